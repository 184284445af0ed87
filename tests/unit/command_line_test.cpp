// The argument grammar and start-up order, through recorded actions.

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "text/program_error.h"

namespace {

struct Recorder {
    std::vector<std::string> calls;
    std::vector<std::string> lines;
    WideString allowlistSeen;
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
            calls.push_back("allowlisted " + std::string(pipe));
            allowlistSeen = path;
            return listed;
        };
        a.installQuorlTholm = [this] { calls.push_back("install"); };
        a.runStreamEngine = [this](EngineMode mode, const std::string& pipe, const WideString& path) {
            calls.push_back(std::string(mode == EngineMode::Service ? "service" : "bridge") + " " + pipe);
            allowlistSeen = path;
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

TEST(CommandLine, PrintsTheFixedLines) {
    Recorder r;
    EXPECT_EQ(r.Run({"--version"}), "");
    EXPECT_EQ(r.Run({"--platform"}), "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"quorl-socket-bridge 1 windows", "arm64 windows"}));
}

TEST(CommandLine, ResolvesTheDefaultAllowlistFirstEvenForVersion) {
    Recorder r;
    r.failDefault = true;
    EXPECT_EQ(r.Run({"--version"}), "Could not locate local application data.");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.Run({"bogus"}), "Could not locate local application data.");
}

TEST(CommandLine, RefusesEverythingOutsideTheGrammarWithTheUsageLine) {
    const std::string usage = kUsageMessage;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"--version", "x"},
             {"Service"},
             {"SERVICE"},
             {"Bridge", "--socket", "\\\\.\\pipe\\a"},
             {"bridge", "--Socket", "\\\\.\\pipe\\a"},
             {"bridge", "\\\\.\\pipe\\a"},
             {"bridge", "--socket", "\\\\.\\pipe\\a", "x"},
             {"--user-allowlist"},
             {"--user-allowlist", "C:\\a"},
             {"--user-allowlist", "C:\\a", "--user-allowlist", "C:\\b", "service"},
             {"--help"},
         }) {
        Recorder r;
        EXPECT_EQ(r.Run(args), usage) << testing::PrintToString(args);
        EXPECT_TRUE(r.lines.empty());
    }
}

TEST(CommandLine, TakesTheUserAllowlistPrefixOnce) {
    Recorder r;
    EXPECT_EQ(r.Run({"--user-allowlist", "C:\\Users\\J\xC3\xB6rg\\a.allow", "service"}), "");
    EXPECT_EQ(r.allowlistSeen, u"C:\\Users\\J\u00F6rg\\a.allow");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"default", "service "}));
}

TEST(CommandLine, RefusesAnAllowlistPathThatIsNotUtf8) {
    Recorder r;
    EXPECT_EQ(r.Run({"--user-allowlist", "C:\\\xFF", "service"}), "Invalid UTF-8 text.");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"default"}));
}

TEST(CommandLine, ValidatesTheBridgePipeBeforeTheEngineStarts) {
    Recorder r;
    EXPECT_EQ(r.Run({"--user-allowlist", "D:\\x", "bridge", "--socket", "\\\\.\\PIPE\\My.Pipe"}), "");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"default", "bridge \\\\.\\pipe\\my.pipe"}));
    EXPECT_EQ(r.allowlistSeen, u"D:\\x");

    Recorder bad;
    EXPECT_EQ(bad.Run({"bridge", "--socket", "//./pipe/x"}),
              "Enter a local named pipe path beginning with \\\\.\\pipe\\.");
    EXPECT_EQ(bad.calls, (std::vector<std::string>{"default"}));
}

TEST(CommandLine, QuorlTholmPrintsThePipeOnlyWhenListed) {
    Recorder listed;
    EXPECT_EQ(listed.Run({"--quorl-tholm"}), "");
    EXPECT_EQ(listed.lines, (std::vector<std::string>{"\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-18"}));

    Recorder unlisted;
    unlisted.listed = false;
    EXPECT_EQ(unlisted.Run({"--quorl-tholm"}), "");
    EXPECT_TRUE(unlisted.lines.empty());
}

TEST(CommandLine, InstallRunsSetupBeforePrintingThePipe) {
    Recorder r;
    EXPECT_EQ(r.Run({"--install-quorl-tholm"}), "");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"default", "install", "product"}));
    EXPECT_EQ(r.lines.size(), 1u);
}
