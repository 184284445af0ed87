// The real program under Wine: every command-line form and usage error, with
// the exact bytes on both streams and the exit status.

#include <gtest/gtest.h>

#include "pipes/pipe_path.h"
#include "support/child_process_win32.h"
#include "support/temp_folder_win32.h"

namespace {

const std::string kUsageLine =
    "Usage: quorl-socket-bridge service | bridge --socket PIPE | --quorl-tholm | --platform | --version\r\n";

#if defined(__aarch64__) || defined(_M_ARM64)
const std::string kPlatformLine = "arm64 windows\r\n";
#else
const std::string kPlatformLine = "x64 windows\r\n";
#endif

}  // namespace

TEST(CommandLineE2E, VersionAndPlatformPrintOneLineEach) {
    ProgramResult version = RunProduct({L"--version"});
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_EQ(version.out, "quorl-socket-bridge 1 windows\r\n");
    EXPECT_EQ(version.err, "");

    ProgramResult platform = RunProduct({L"--platform"});
    EXPECT_EQ(platform.exitCode, 0u);
    EXPECT_EQ(platform.out, kPlatformLine);
    EXPECT_EQ(platform.err, "");
}

TEST(CommandLineE2E, UsageErrorsWriteOnlyTheUsageLine) {
    for (const std::vector<std::wstring>& args : std::vector<std::vector<std::wstring>>{
             {},
             {L"--version", L"extra"},
             {L"Service"},
             {L"--user-allowlist"},
             {L"--user-allowlist", L"C:\\a.allow"},
             {L"--user-allowlist", L"C:\\a", L"--user-allowlist", L"C:\\b", L"service"},
             {L"bridge", L"--socket"},
             {L"BRIDGE", L"--socket", L"\\\\.\\pipe\\a"},
         }) {
        ProgramResult r = RunProduct(args);
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsageLine);
    }
}

TEST(CommandLineE2E, ABadBridgePipeFailsBeforeAnyFrame) {
    ProgramResult prefix = RunProduct({L"bridge", L"--socket", L"//./pipe/x"});
    EXPECT_EQ(prefix.exitCode, 1u);
    EXPECT_EQ(prefix.out, "");
    EXPECT_EQ(prefix.err, "Enter a local named pipe path beginning with \\\\.\\pipe\\.\r\n");

    ProgramResult alphabet = RunProduct({L"bridge", L"--socket", L"\\\\.\\pipe\\a b"});
    EXPECT_EQ(alphabet.exitCode, 1u);
    EXPECT_EQ(alphabet.out, "");
    EXPECT_EQ(alphabet.err, "Pipe names may contain letters, numbers, dots, hyphens, and underscores.\r\n");
}

TEST(CommandLineE2E, ANonAsciiAllowlistPathIsTakenAsThePrefix) {
    // "Jörg" and "김" are outside most ANSI code pages: only the UTF-16 command
    // line carries them. The path is taken, then the usage error follows.
    ProgramResult r = RunProduct({L"--user-allowlist", L"C:\\Users\\J\u00F6rg\\\uAE40\\http-pipe.allow", L"--version",
                                  L"x"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, kUsageLine);

    ProgramResult ok = RunProduct({L"--user-allowlist", L"C:\\Users\\J\u00F6rg\\\uAE40\\http-pipe.allow", L"--version"});
    EXPECT_EQ(ok.exitCode, 0u);
    EXPECT_EQ(ok.out, "quorl-socket-bridge 1 windows\r\n");
}

// --quorl-tholm prints the product pipe exactly when the allowlist lists it.
// The allowlist lies in a folder named with characters outside most ANSI code
// pages, so the path must reach the program intact through the UTF-16 command
// line for the listed case to print anything.
TEST(CommandLineE2E, QuorlTholmPrintsTheProductPipeOnlyWhenListed) {
    const std::string product = ProductPipeName();
    ASSERT_EQ(product.rfind("\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-", 0), 0u) << product;

    TempFolder root(L"tholm");
    const std::wstring user = root.Path() + L"\\J\u00F6rg";
    const std::wstring folder = user + L"\\\uAE40";
    const std::wstring file = folder + L"\\http-pipe.allow";
    MakeFolder(user);

    ProgramResult noFolder = RunProduct({L"--user-allowlist", file, L"--quorl-tholm"});
    EXPECT_EQ(noFolder.exitCode, 0u);
    EXPECT_EQ(noFolder.out, "");
    EXPECT_EQ(noFolder.err, "");

    MakeFolder(folder);
    WriteTestFile(file, "\\\\.\\pipe\\something-else\r\n");
    ProgramResult unlisted = RunProduct({L"--user-allowlist", file, L"--quorl-tholm"});
    EXPECT_EQ(unlisted.exitCode, 0u);
    EXPECT_EQ(unlisted.out, "");
    EXPECT_EQ(unlisted.err, "");

    WriteTestFile(file, "# the desktop product\r\n" + product + "\r\n");
    ProgramResult listed = RunProduct({L"--user-allowlist", file, L"--quorl-tholm"});
    EXPECT_EQ(listed.exitCode, 0u);
    EXPECT_EQ(listed.out, product + "\r\n");
    EXPECT_EQ(listed.err, "");

    // A bad entry before the product's line is reported, with exit status 1.
    WriteTestFile(file, "pipe\\x\n" + product + "\n");
    ProgramResult bad = RunProduct({L"--user-allowlist", file, L"--quorl-tholm"});
    EXPECT_EQ(bad.exitCode, 1u);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Enter a local named pipe path beginning with \\\\.\\pipe\\.\r\n");
}
