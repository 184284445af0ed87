// The argument grammar and start-up order, through recorded actions.

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "text/encoding.h"
#include "text/program_error.h"

namespace {

struct Recorder {
    std::vector<std::string> calls;
    std::vector<std::string> lines;
    bool listed = true;
    bool failDefault = false;

    ProgramActions Actions() {
        ProgramActions a;
        a.defaultAllowlistPath = [this] {
            calls.push_back("default");
            if (failDefault) throw ProgramError("Could not locate local application data.");
            return WideString(u"C:\\default\\http-pipe.allow");
        };
        a.printLine = [this](std::string_view line) { lines.emplace_back(line); };
        a.platformLine = [] { return std::string("arm64 windows"); };
        a.productPipeName = [this] {
            calls.push_back("product");
            return std::string("\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-18");
        };
        a.isPipeAllowlisted = [this](std::string_view pipe, const WideString& path) {
            calls.push_back("allowlisted " + std::string(pipe) + " in " + WideToUtf8(path));
            return listed;
        };
        a.installQuorlTholm = [this] { calls.push_back("install"); };
        a.runStreamEngine = [this](EngineMode mode, const std::string& pipe, const WideString& path) {
            calls.push_back(std::string(mode == EngineMode::Service ? "service" : "bridge") + " " + pipe + " in " +
                            WideToUtf8(path));
        };
        return a;
    }

    std::string Run(std::vector<std::string> args) {
        try {
            RunCommandLine(args, Actions());
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
};

}  // namespace

using Lines = std::vector<std::string>;

// What each valid command line does, in order: the default allowlist is
// located first, always; a bridge pipe is canonical before the engine starts;
// the product pipe is printed only when listed, and after an install. What
// --version and --platform print is the transcript cases'.
TEST(CommandLine, RunsEachCommandInItsOrder) {
    const std::string product = "\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-18";
    const std::string kDefault = "C:\\default\\http-pipe.allow";
    struct Case {
        std::vector<std::string> args;
        bool listed;
        Lines calls;
        Lines lines;
    };
    const Case cases[] = {
        {{"--user-allowlist", "D:\\J\xC3\xB6rg", "bridge", "--socket", "\\\\.\\PIPE\\My.Pipe"},
         true,
         {"default", "bridge \\\\.\\pipe\\my.pipe in D:\\J\xC3\xB6rg"},
         {}},
        {{"service"}, true, {"default", "service  in " + kDefault}, {}},
        {{"--quorl-tholm"}, false, {"default", "product", "allowlisted " + product + " in " + kDefault}, {}},
        {{"--install-quorl-tholm"}, true, {"default", "install", "product"}, {product}},
    };
    for (const Case& c : cases) {
        Recorder r;
        r.listed = c.listed;
        EXPECT_EQ(r.Run(c.args), "") << testing::PrintToString(c.args);
        EXPECT_EQ(r.calls, c.calls) << testing::PrintToString(c.args);
        EXPECT_EQ(r.lines, c.lines) << testing::PrintToString(c.args);
    }
}

TEST(CommandLine, ResolvesTheDefaultAllowlistFirstEvenForVersion) {
    Recorder r;
    r.failDefault = true;
    EXPECT_EQ(r.Run({"--version"}), "Could not locate local application data.");
    EXPECT_EQ(r.Run({"bogus"}), "Could not locate local application data.");
    EXPECT_TRUE(r.lines.empty());
}

// Refused before anything runs: everything outside the grammar with the usage
// line, then a bad allowlist path or bridge pipe with its own message.
TEST(CommandLine, RefusesBadCommandLinesBeforeRunningAnything) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, kUsageMessage},
        {{"--version", "x"}, kUsageMessage},
        {{"Service"}, kUsageMessage},
        {{"bridge", "--Socket", "\\\\.\\pipe\\a"}, kUsageMessage},
        {{"bridge", "--socket", "\\\\.\\pipe\\a", "x"}, kUsageMessage},
        {{"--user-allowlist"}, kUsageMessage},
        {{"--user-allowlist", "C:\\a"}, kUsageMessage},
        {{"--user-allowlist", "C:\\a", "--user-allowlist", "C:\\b", "service"}, kUsageMessage},
        {{"--user-allowlist", "C:\\\xFF", "service"}, "Invalid UTF-8 text."},
        {{"bridge", "--socket", "//./pipe/x"}, "Enter a local named pipe path beginning with \\\\.\\pipe\\."},
    };
    for (const auto& [args, message] : cases) {
        Recorder r;
        EXPECT_EQ(r.Run(args), message) << testing::PrintToString(args);
        EXPECT_EQ(r.calls, Lines{"default"}) << testing::PrintToString(args);
        EXPECT_TRUE(r.lines.empty());
    }
}
