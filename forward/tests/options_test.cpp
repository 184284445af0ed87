// The command line, and the ssh command it builds: what each remote shell
// receives, and what is refused before anything starts.

#include <set>

#include "deploy.h"
#include "doctor.h"
#include "harness.h"
#include "options.h"
#include "pipes/pipe_security.h"

namespace {

using Words = std::vector<std::string>;

const Words kSshDefaults{"ssh", "-T",
                         "-o",  "BatchMode=yes",
                         "-o",  "ConnectTimeout=15",
                         "-o",  "ServerAliveInterval=15",
                         "-o",  "ServerAliveCountMax=3"};

// The bridge command reaches each shell as a line that shell turns back into
// exactly these words: cmd.exe and PowerShell take pipe paths as they are (no
// character of theirs is special to either), a POSIX shell needs them quoted.
TEST(ForwardOptions, BuildsTheSshCommandForEachRemoteShell) {
    const std::string pipe = "\\\\.\\pipe\\My-Agent";
    const std::pair<Words, std::string> cases[] = {
        {{"--remote-shell", "powershell", "--remote-program", "C:\\Program Files\\Q's\\quorl-socket-bridge.exe"},
         "& 'C:\\Program Files\\Q''s\\quorl-socket-bridge.exe' bridge --socket \\\\.\\pipe\\my-agent"},
        {{"--remote-program", "C:\\Program Files (x86)\\q&a\\qsb.exe"},
         "\"C:\\Program Files (x86)\\q&a\\qsb.exe\" bridge --socket \\\\.\\pipe\\my-agent"},
        {{"--remote-shell", "posix", "--remote-program", "/opt/o'q/bridge"},
         "'/opt/o'\\''q/bridge' bridge --socket '\\\\.\\pipe\\my-agent'"},
    };
    for (const auto& [options, line] : cases) {
        SCOPED_TRACE(line);
        Words args{"--listen", "tcp:0", "--ssh", "h", "--pipe", pipe};
        args.insert(args.end(), options.begin(), options.end());
        Words command = kSshDefaults;
        command.insert(command.end(), {"--", "h", line});
        EXPECT_EQ(ParseForwardOptions(args).command, command);
    }
    // An option the user sets replaces the forwarder's own.
    EXPECT_EQ(ParseForwardOptions({"--listen", "tcp:0", "--ssh", "h", "--ssh-option", "connecttimeout=30",
                                   "--ssh-option", "Port=2222", "--pipe", pipe})
                  .command,
              (Words{"ssh", "-T", "-o", "BatchMode=yes", "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3",
                     "-o", "connecttimeout=30", "-o", "Port=2222", "--", "h",
                     "quorl-socket-bridge bridge --socket \\\\.\\pipe\\my-agent"}));
}

// --local runs cmd.exe /c with the line a cmd.exe host gets, as one word that
// WSL's interop puts in quotes; a program path with spaces goes as words, so
// that it arrives in the only quotes cmd.exe keeps.
TEST(ForwardOptions, BuildsTheInteropCommandForLocal) {
    const std::pair<Words, Words> cases[] = {
        {{"--listen", "tcp:0", "--local", "--pipe", "\\\\.\\pipe\\My-Agent"},
         {"/c", "quorl-socket-bridge bridge --socket \\\\.\\pipe\\my-agent"}},
        {{"watch", "--local", "\\\\.\\pipe\\a"}, {"/c", "quorl-socket-bridge service"}},
        {{"--listen", "tcp:0", "--local", "--remote-program", "C:\\Users\\J S\\q.exe", "--pipe", "\\\\.\\pipe\\a"},
         {"/c", "C:\\Users\\J S\\q.exe", "bridge", "--socket", "\\\\.\\pipe\\a"}},
    };
    for (const auto& [args, tail] : cases) {
        SCOPED_TRACE(tail.back());
        const Words command = ParseForwardOptions(args).command;
        ASSERT_FALSE(command.empty());
        EXPECT_TRUE(command.front().ends_with("/cmd.exe")) << command.front();
        EXPECT_EQ(Words(command.begin() + 1, command.end()), tail);
    }
}

// cmd.exe is the first one on PATH (WSL appends the Windows folders to it
// unless told not to), never one in the current folder, else where Windows keeps it.
TEST(ForwardOptions, FindsCmdExeOnPathBeforeTheWindowsDrive) {
    const std::set<std::string> runnable{"/w/sys32/cmd.exe", "/x/cmd.exe", "cmd.exe", "/cmd.exe"};
    const std::pair<const char*, std::string> cases[] = {
        {"/usr/bin:/w/sys32/:/x", "/w/sys32/cmd.exe"}, {"::/usr/bin:", kWindowsCmd}, {"", kWindowsCmd}};
    for (const auto& [path, found] : cases)
        EXPECT_EQ(FindCmdExe(path, [&](const std::string& file) { return runnable.count(file) != 0; }), found) << path;
}

// Each refusal names what is wrong before ssh is started. A pipe path written
// in single quotes for cmd.exe, where they stay part of the word, is the most
// common slip.
TEST(ForwardOptions, RefusesWhatWouldFailOnTheHost) {
    struct Case {
        Words args;
        const char* said;
    };
    const Case cases[] = {
        {{"--listen", "tcp:0", "--ssh", "h", "--pipe", "\\\\.\\pipe\\my agent"},
         "The pipe path \\\\.\\pipe\\my agent contains a space; a pipe name may hold only letters, digits, dots, "
         "hyphens and underscores."},
        {{"--listen", "tcp:0", "--ssh", "h", "--pipe", "'\\\\.\\pipe\\my-agent'"},
         "The pipe path '\\\\.\\pipe\\my-agent' must begin with \\\\.\\pipe\\ (for example \\\\.\\pipe\\my-agent)."},
        {{"--listen", "tcp:0", "--ssh", "h", "--pipe", "\\\\.\\pipe\\" + std::string(102, 'a')},
         "The pipe name in \\\\.\\pipe\\"
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
         " is longer than 101 characters."},
        {{"--listen", "tcp:0", "--ssh", "h", "--remote-program", "C:\\\"q\\qsb.exe", "--pipe", "\\\\.\\pipe\\a"},
         "The remote program C:\\\"q\\qsb.exe cannot be given to cmd.exe: it contains '\"'."},
        {{"--listen", "tcp:0", "--ssh", "h", "--remote-shell", "bash", "--pipe", "\\\\.\\pipe\\a"},
         "Unknown remote shell bash; give cmd, powershell or posix."},
        {{"--listen", "tcp:0", "--ssh", "h"}, "Give the pipe to reach with --pipe \\\\.\\pipe\\NAME."},
        {{"--listen", "tcp:0", "--ssh", "h", "--pipe", "\\\\.\\pipe\\a", "--", "ssh"},
         "Give either --ssh HOST (or --local) or a command after --, not both."},
        {{"watch", "--local", "--remote-shell", "cmd", "\\\\.\\pipe\\a"},
         "--ssh-option and --remote-shell go with --ssh, not --local."},
        {{"--listen", "tcp:0", "--local", "--remote-program", "C:\\Program Files (x86)\\q.exe", "--pipe",
          "\\\\.\\pipe\\a"},
         "The program path in \"C:\\Program Files (x86)\\q.exe\" bridge --socket \\\\.\\pipe\\a cannot be passed "
         "to cmd.exe through WSL's interop: only spaces may make it need quotes."},
        {{"--listen", "tcp:0", "--ssh", "h", "--ssh", "g", "--pipe", "\\\\.\\pipe\\a"}, "Give --ssh only once."},
        {{"--listen", "tcp:0", "--local", "--ssh", "h", "--pipe", "\\\\.\\pipe\\a"},
         "Give --ssh HOST or --local once, not both."},
        {{"--listen", "tcp:0", "--ssh", "-oProxyCommand=x", "--pipe", "\\\\.\\pipe\\a"},
         "Give --ssh a host name, not -oProxyCommand=x."},
        {{"--linger", "soon", "--listen", "tcp:0", "--", "x"},
         "Give --linger a number of seconds from 0 to 86400, not soon."},
        // --allow takes an allowlist line, refused with the allowlist's own sentences.
        {{"deploy", "--ssh", "h", "--allow", "\\\\.\\pipe\\a.s-1-5-18 served-by S-1-5-19"},
         "A served-by in the named pipe allowlist must repeat the SID in the pipe name."},
        {{"deploy", "--ssh", "h", "--remote-program", "x"},
         "deploy takes --ssh, --ssh-option, --remote-shell, --local, --allow and --from only."},
        {{"doctor", "--pipe", "\\\\.\\pipe\\a"}, "doctor needs --ssh HOST or --local."},
        {{"doctor", "--ssh", "h", "--listen", "tcp:0"},
         "doctor takes --ssh, --ssh-option, --remote-shell, --local, --remote-program and --pipe only."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        EXPECT_EQ(MessageOf([&] { ParseForwardOptions(c.args); }), c.said);
    }
}

// deploy learns the host's processor and %LOCALAPPDATA% from one command and
// takes only what it has a program for, where sftp can reach it.
TEST(Deploy, ReadsTheHostsProcessorAndRefusesOthers) {
    const std::string profile = "|C:\\Users\\J\xc3\xb6rg\\AppData\\Local|C:\\Users\\J\xc3\xb6rg";
    EXPECT_EQ(ParseHostFacts("h", "ARM64" + profile, true).arch, "arm64");
    EXPECT_EQ(MessageOf([&] { ParseHostFacts("h", "x86" + profile, true); }),
              "The processor architecture of h is \"x86\"; quorl-socket-bridge runs on ARM64 and x64 Windows only.");
    EXPECT_EQ(
        MessageOf([&] { ParseHostFacts("h", "ARM64|D:\\Local|C:\\Users\\j", true); }),
        "%LOCALAPPDATA% on h is D:\\Local, not in the profile folder C:\\Users\\j; deploy supports only its usual "
        "place.");
    // The file system reaches it wherever it is.
    EXPECT_EQ(ParseHostFacts("h", "AMD64|D:\\Local|C:\\Users\\j", false).localAppData, "D:\\Local");
}

// deploy appends an entry's canonical line unless the first line for its pipe
// is that entry already; one naming the pipe with another served-by would
// decide for it, so deploy refuses rather than add a line that has no effect.
TEST(Deploy, AddsOnlyTheAllowlistEntriesMissingThere) {
    const std::string system = "\\\\.\\pipe\\openssh-ssh-agent served-by S-1-5-18";
    const std::string mine = "\\\\.\\pipe\\my-agent";
    const auto allow = [](const Words& entries) {
        Words args{"deploy", "--ssh", "h"};
        for (const std::string& entry : entries) args.insert(args.end(), {"--allow", entry});
        return ParseForwardOptions(args).allow;
    };
    std::vector<std::pair<std::string, bool>> plan;
    for (const AllowlistAddition& entry :
         PlanAllowlist("h", "# mine\r\n  " + system + "  \r\n", allow({system, mine, mine})))
        plan.emplace_back(entry.line, entry.add);
    EXPECT_EQ(plan, (std::vector<std::pair<std::string, bool>>{{system, false}, {mine, true}, {mine, false}}));
    EXPECT_EQ(MessageOf([&] {
                  PlanAllowlist("h", "\\\\.\\pipe\\x run-as S-1-5-18\n" + mine + " served-by S-1-5-18\n",
                                allow({mine}));
              }),
              "The allowlist on h lists the pipe as " + mine + " served-by S-1-5-18, not as " + mine +
                  "; deploy only adds lines, so change that line on the host.");
}

// A path goes into an sftp batch as one quoted word, or is refused by name:
// a line break would end its command and begin another, a closing quote
// escaped by a backslash would run the word on.
TEST(Deploy, RefusesAPathThatWouldBreakTheSftpBatch) {
    EXPECT_EQ(SftpPath("/tmp/q s\\f\xc3\xb6/x.exe"), "\"/tmp/q s\\f\xc3\xb6/x.exe\"");
    const std::pair<std::string, std::string> refused[] = {
        {"/tmp/a\nrm x", "Cannot give sftp the path /tmp/a\nrm x: it contains a line feed."},
        {"/tmp/a\rrm x", "Cannot give sftp the path /tmp/a\rrm x: it contains a carriage return."},
        {"/tmp/a\"b", "Cannot give sftp the path /tmp/a\"b: it contains '\"'."},
        {"/tmp/from\\", "Cannot give sftp the path /tmp/from\\: it ends with a backslash."},
    };
    for (const auto& [path, said] : refused) EXPECT_EQ(MessageOf([&] { SftpPath(path); }), said);
}

// The probe's line reads differently in each shell: cmd.exe keeps the single
// quotes, PowerShell reads '' inside them as one, a POSIX shell joins the two
// words. A greeting may come first; anything else is no shell of the three.
TEST(Doctor, TellsTheShellByItsAnswerToTheProbe) {
    const std::pair<std::string, std::optional<RemoteShell>> cases[] = {
        {"Welcome.\r\nqsf-shell-probe:'a''b' \r\n", RemoteShell::Cmd},
        {"qsf-shell-probe:a'b\r\n", RemoteShell::PowerShell},
        {"qsf-shell-probe:ab\n", RemoteShell::Posix},
        {"qsf-shell-probe:a''b\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [output, shell] : cases) EXPECT_EQ(ShellFromProbe(output), shell) << output;
}

// A refused server gets the advice for its refusal; every command in it has
// the user's ssh options and shell, quoted for the user's shell.
TEST(Doctor, AdvisesOnEachRefusal) {
    const std::string pipe = "\\\\.\\pipe\\svc";
    const DoctorOptions options{
        {false, "h", {"Port=2222"}, RemoteShell::PowerShell, kDefaultRemoteProgram}, false, true, {pipe}};
    const std::pair<std::string, std::string> cases[] = {
        {kServerUserMessage,
         "line and run quorl-socket-forward deploy --ssh h --ssh-option 'Port=2222' --remote-shell powershell --allow "
         "'\\\\.\\pipe\\svc served-by SID'"},
        {kPlainPipeOwnerMessage, "replace the line \\\\.\\pipe\\svc in"},
        {kServedByOwnerMessage, "correct the served-by of \\\\.\\pipe\\svc in"},
        {kPipeOwnerMessage, "its name promises an account that does not serve it."},
        {"The named pipe app is unavailable (Windows error 2).", "start the program that serves"},
        {"The named pipe app is unavailable (Windows error 231).", "have its server make more instances."},
        {kPipeIntegrityMessage, "the bridge refuses it as it is."},
    };
    for (const auto& [sentence, advice] : cases)
        EXPECT_NE(RefusalAdvice(options, pipe, sentence).find(advice), std::string::npos) << sentence;
    EXPECT_EQ(ParseForwardOptions({"doctor", "--ssh", "h", "--pipe", "\\\\.\\pipe\\A", "--pipe", pipe}).pipes,
              (Words{"\\\\.\\pipe\\a", "\\\\.\\pipe\\svc"}));
}

}  // namespace
