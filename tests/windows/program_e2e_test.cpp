// The real program under Wine, run to its end: what only the built program
// can show (its bytes on both streams, its exit status, the one error line,
// UTF-16 arguments), one row each. The command-line grammar, the fatal frames
// and their sentences are tables of the native unit tests.

#include <gtest/gtest.h>

#include "pipes/product_pipe_win32.h"
#include "support/child_process_win32.h"
#include "support/temp_folder_win32.h"
#include "support/wire.h"

namespace {

#if defined(__aarch64__) || defined(_M_ARM64)
const std::string kPlatformLine = "arm64 windows\r\n";
#else
const std::string kPlatformLine = "x64 windows\r\n";
#endif

// Stands for the allowlist's path in a row's arguments.
const std::wstring kAllowlist = L"{allowlist}";

struct Row {
    const char* name;
    std::vector<std::wstring> arguments;
    std::string input;
    DWORD status;
    std::string out;
    std::string err;
};

}  // namespace

TEST(ProgramE2E, EachRunEndsWithItsBytesStatusAndErrorLine) {
    // "Jörg" and "김" are outside most ANSI code pages: only the UTF-16 command
    // line carries the allowlist's path to the program intact, and the product
    // pipe is printed only when the file there is read.
    TempFolder root(L"e2e");
    const std::wstring user = root.Path() + L"\\J\u00F6rg";
    const std::wstring folder = user + L"\\\uAE40";
    const std::wstring allowlist = folder + L"\\http-pipe.allow";
    MakeFolder(user);
    MakeFolder(folder);
    const std::string product = ProductPipeName();
    WriteTestFile(allowlist, "# the desktop product\r\n" + product + "\r\n");

    const std::string big(70000, 'b');
    const std::vector<Row> rows = {
        {"version", {L"--version"}, "", 0, "quorl-socket-bridge 1 windows\r\n", ""},
        {"platform", {L"--platform"}, "", 0, kPlatformLine, ""},
        {"usage",
         {L"BRIDGE", L"--socket", L"\\\\.\\pipe\\a"},
         "",
         1,
         "",
         "Usage: quorl-socket-bridge service | bridge --socket PIPE | --quorl-tholm | --platform | --version\r\n"},
        {"product pipe listed", {L"--user-allowlist", kAllowlist, L"--quorl-tholm"}, "", 0, product + "\r\n", ""},
        {"bad bridge pipe",
         {L"bridge", L"--socket", L"//./pipe/x"},
         "",
         1,
         "",
         "Enter a local named pipe path beginning with \\\\.\\pipe\\.\r\n"},
        {"unlisted bridge pipe",
         {L"--user-allowlist", kAllowlist, L"bridge", L"--socket", L"\\\\.\\pipe\\qsb-e2e-unlisted"},
         FrameBytes(8, 1, "ping"),
         1,
         "",
         "This named pipe is not in the HTTP allowlist.\r\n"},
        {"service to the end of input",
         {L"service"},
         FrameBytes(8, 1, "a") + FrameBytes(8, 2, "bb") + FrameBytes(8, 3, big),
         0,
         kHello + FrameBytes(9, 1, "a") + FrameBytes(9, 2, "bb") + FrameBytes(9, 3, big),
         ""},
        {"input cut inside a header",
         {L"service"},
         FrameBytes(8, 1, "before") + FrameBytes(8, 3, "abc").substr(0, 10),
         1,
         kHello + FrameBytes(9, 1, "before"),
         "Truncated input frame.\r\n"},
        {"input cut inside a payload",
         {L"service"},
         FrameBytes(8, 1, "before") + FrameBytes(8, 3, big).substr(0, 100),
         1,
         kHello + FrameBytes(9, 1, "before"),
         "Truncated input frame.\r\n"},
        {"fatal frame",
         {L"service"},
         FrameBytes(2, 1) + FrameBytes(8, 1, "after"),
         1,
         kHello,
         "Invalid service request.\r\n"},
        // No download host can be reached here.
        {"install", {L"--install-quorl-tholm"}, "", 1, "", "Quorl Tholm download failed.\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::wstring> arguments = row.arguments;
        for (std::wstring& argument : arguments) {
            if (argument == kAllowlist) argument = allowlist;
        }
        const ProgramResult r = RunProduct(arguments, row.input, 120000);
        EXPECT_EQ(r.exitCode, row.status);
        EXPECT_TRUE(r.out == row.out) << r.out.size() << " bytes: " << r.out.substr(0, 200);
        EXPECT_EQ(r.err, row.err);
    }
}
