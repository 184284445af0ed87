// The real quorl-socket-forward program with a stand-in bridge as COMMAND:
// what it prints, its exit status, and what its local clients see when the
// command or the user ends the session.

#include <sys/stat.h>

#include <fstream>

#include "harness.h"

namespace {

using qsf_test::Client;
using qsf_test::Eventually;
using qsf_test::Program;
using qsf_test::TempFolder;

const std::string kForward = QSF_FORWARD_PROGRAM;
const std::string kBridge = QSF_FAKE_BRIDGE_PROGRAM;

bool Echoes(Client& client, const std::string& text) {
    client.Write(text);
    return Eventually([&] {
               client.Drain();
               return client.received.size() >= text.size();
           }) &&
           client.received == text;
}

// Every run ends with a status and at most one line on standard error, and
// leaves nothing listening. A session in use ends by the command's exit
// (status 1 and its last words; a login greeting before the bridge started is
// no obstacle) or by SIGTERM (status 0, silently), closing every connection.
// A command that ends before the bridge's Hello is reported with what it said
// or what it printed instead of the bridge.
TEST(ForwardProgram, EndsWithAStatusAndOneLineSayingWhy) {
    struct Case {
        int stop;  // with a session in use: 0 for the command's exit, or a signal; -1: none
        int status;
        std::vector<std::string> args;
        std::string err;
    };
    const std::string sh = "/bin/sh";
    const Case cases[] = {
        {0,
         1,
         {"--", sh, "-c", "echo Welcome to the host.; exec " + kBridge},
         "the command ended with status 3: fake bridge: asked to quit"},
        {SIGTERM, 0, {"--", kBridge}, ""},
        {-1, 1, {"--", "/nonexistent/bridge"}, "Could not start /nonexistent/bridge: No such file or directory."},
        // Its last words need no line end; trailing spaces and a carriage return go.
        {-1,
         1,
         {"--", sh, "-c", "printf 'This named pipe is not in the HTTP allowlist. \\r' >&2; exit 1"},
         "the command ended with status 1 before the bridge started: This named pipe is not in the HTTP allowlist."},
        {-1,
         1,
         {"--", sh, "-c", "echo 'Welcome to win-host.'; echo 'Last login: today'"},
         "The bridge did not start; the remote command printed: \"Welcome to win-host.\"."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args.back() + " " + std::to_string(c.stop));
        TempFolder temp;
        std::string path = temp.Path() + "/forward.sock";
        std::vector<std::string> argv{kForward, "--listen", path};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Program program(temp.Path(), argv);
        std::optional<Client> echo;
        if (c.stop >= 0) {
            ASSERT_TRUE(Eventually([&] { return access(path.c_str(), F_OK) == 0; }));
            EXPECT_TRUE(Echoes(echo.emplace(path), "before the end"));
            if (c.stop == 0) Client(path).Write("quit:3");
            if (c.stop != 0) program.Signal(c.stop);
        }
        ASSERT_TRUE(program.WaitExit());
        EXPECT_EQ(program.ExitCode(), c.status);
        EXPECT_EQ(program.Out(), "");
        EXPECT_EQ(program.Err(), c.err.empty() ? "" : "quorl-socket-forward: " + c.err + "\n");
        EXPECT_TRUE(!echo || Eventually([&] { return echo->Drain(), echo->ended; })) << "every connection is closed";
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the socket is removed";
    }
}

// What the host sends and the forwarder prints (its greeting and standard
// error under -v on standard error, the bridge's refusal in the watch report
// on standard output) reaches the user with its control characters escaped:
// no escape sequence of the host's reaches the terminal, and no line of the
// watch report is forged.
TEST(ForwardProgram, EscapesTheControlCharactersOfWhatTheHostSays) {
    const std::string host = R"sh(printf 'Welcome \033[31mhome\r\n'; printf 'notice \033[2J\n' >&2; )sh"
                             R"sh(exec "$0" "$(printf 'No \033]0;owned\007 server.\nforged')")sh";
    TempFolder temp;
    Program watch(temp.Path(), {kForward, "-v", "watch", "\\\\.\\pipe\\a", "--", "/bin/sh", "-c", host, kBridge});
    ASSERT_TRUE(watch.WaitExit());
    EXPECT_EQ(watch.Out(), "\\\\.\\pipe\\a refused: No \\x1b]0;owned\\x07 server.\\x0aforged\n");
    for (const char* line :
         {R"(remote: Welcome \x1b[31mhome)", R"(command: notice \x1b[2J)", "No pipe is being watched."})
        EXPECT_NE(watch.Err().find(std::string("quorl-socket-forward: ") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(watch.Err().find_first_of("\x1b\x07"), std::string::npos) << watch.Err();
}

// A stop sent to the forwarder alone reaches doctor (and deploy) while the
// host is slow to answer: the command they wait for is ended, not waited out.
TEST(ForwardProgram, StopsDoctorWhileTheHostIsSlowToAnswer) {
    TempFolder temp;
    const std::string started = temp.Path() + "/started", host = temp.Path() + "/cmd.exe";
    std::ofstream(host) << "#!/bin/sh\n: >" << started << "\nexec /bin/sleep 60\n";
    ASSERT_EQ(chmod(host.c_str(), 0700), 0);
    const std::string path = getenv("PATH");
    setenv("PATH", temp.Path().c_str(), 1);  // where --local finds cmd.exe
    Program doctor(temp.Path(), {kForward, "doctor", "--local"});
    setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(Eventually([&] { return access(started.c_str(), F_OK) == 0; }));
    doctor.Signal(SIGTERM);
    ASSERT_TRUE(doctor.WaitExit());
    EXPECT_EQ(doctor.ExitCode(), 1);
    EXPECT_EQ(doctor.Out(), "cmd.exe: failed: Stopped, as asked, while " + host +
                                " was running.\nshell: skipped\nprogram: skipped\n");
}

// Under socket activation the passed socket is served, the session starts
// with the connection that woke the forwarder, and an idle forwarder exits,
// leaving the socket to the service manager.
TEST(ForwardProgram, ServesASocketPassedByTheServiceManager) {
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is missing";
    TempFolder temp;
    std::string path = temp.Path() + "/activated.sock";
    Program program(temp.Path(),
                    {"/usr/bin/systemd-socket-activate", "-l", path, kForward, "--idle-exit", "0.3", "--", kBridge});
    ASSERT_TRUE(Eventually([&] { return access(path.c_str(), F_OK) == 0; }));
    Client client(path);
    EXPECT_TRUE(Echoes(client, "woken"));
    client.Close();
    ASSERT_TRUE(program.WaitExit()) << "an idle activated forwarder exits";
    EXPECT_EQ(program.ExitCode(), 0) << program.Err();
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the manager's socket is left to it";
}

}  // namespace
