// The real quorl-socket-forward program with a stand-in bridge as COMMAND:
// what it prints, its exit status, and what its local clients see when the
// command or the user ends the session.

#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

extern char** environ;

namespace {

using qsf_test::Client;
using qsf_test::TempFolder;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// One run of a program, its standard output and error going to files in
// `folder`; killed on every path that leaves it running.
class Program {
public:
    Program(const std::string& folder, const std::vector<std::string>& argv) : folder_(folder) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (folder + "/out").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (folder + "/err").c_str(), O_WRONLY | O_CREAT, 0600);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (running_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void Signal(int signal) { kill(pid_, signal); }

    // False if the program has not exited within `timeoutMs`.
    bool WaitExit(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (running_ && waitpid(pid_, &status_, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            poll(nullptr, 0, 10);
        }
        running_ = false;
        return true;
    }
    int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string Out() const { return ReadFile(folder_ + "/out"); }
    std::string Err() const { return ReadFile(folder_ + "/err"); }

private:
    std::string folder_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool running_ = true;
};

bool WaitForPath(const std::string& path) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

// Writes `data` and reads until as much has come back, or with `toEnd` until
// the connection ends; within a bound.
std::string Talk(Client& client, const std::string& data, bool toEnd = false) {
    std::size_t written = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!client.ended && (toEnd || client.received.size() < data.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        if (written < data.size()) written += client.Write(data.substr(written, 65536));
        pollfd fd{client.Fd(), POLLIN, 0};
        poll(&fd, 1, 5);
        client.Drain();
    }
    return client.received;
}

// A session in use ends by the command's exit (status 1 and its last words),
// or by SIGTERM, SIGINT or a hang-up (status 0, silently); either way every
// connection is closed and the socket removed. A login greeting before the
// bridge starts is no obstacle.
TEST(ForwardProgram, EndsASessionInUseByTheCommandsExitOrAStopSignal) {
    struct Case {
        int stopSignal;  // 0: the command exits with status 3
        int status;
        std::string err;
    };
    const Case cases[] = {
        {0, 1, "quorl-socket-forward: the command ended with status 3: fake bridge: asked to quit\n"},
        {SIGTERM, 0, ""},
        {SIGINT, 0, ""},
        {SIGHUP, 0, ""},
    };
    std::string data(300000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stopSignal);
        TempFolder temp;
        std::string path = temp.Path() + "/forward.sock";
        Program program(temp.Path(), {QSF_FORWARD_PROGRAM, "--listen", "unix:" + path, "--", "/bin/sh", "-c",
                                      std::string("echo Welcome to the host.; exec ") + QSF_FAKE_BRIDGE_PROGRAM});
        ASSERT_TRUE(WaitForPath(path));
        Client echo(path);
        EXPECT_TRUE(Talk(echo, data) == data);
        Client quitter(path);
        if (c.stopSignal == 0) quitter.Write("quit:3");
        else program.Signal(c.stopSignal);
        ASSERT_TRUE(program.WaitExit(10000));
        EXPECT_EQ(program.ExitCode(), c.status);
        EXPECT_EQ(program.Err(), c.err);
        Talk(echo, "", true);
        EXPECT_TRUE(echo.ended) << "every local connection is closed";
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the socket is removed";
    }
}

// With --reconnect a session that ends is started again: the socket stays,
// one line says what happened, and a connection made meanwhile is served by
// the new session.
TEST(ForwardProgram, ReconnectsAfterTheCommandEnds) {
    TempFolder temp;
    std::string path = temp.Path() + "/forward.sock";
    Program program(temp.Path(), {QSF_FORWARD_PROGRAM, "--reconnect", "--listen", path, "--", QSF_FAKE_BRIDGE_PROGRAM});
    ASSERT_TRUE(WaitForPath(path));
    Client quitter(path);
    quitter.Write("quit:3");
    Talk(quitter, "", true);
    EXPECT_TRUE(quitter.ended);
    Client next(path);
    EXPECT_EQ(Talk(next, "after the reconnect"), "after the reconnect");
    program.Signal(SIGTERM);
    ASSERT_TRUE(program.WaitExit(10000));
    EXPECT_EQ(program.ExitCode(), 0);
    EXPECT_EQ(
        program.Err(),
        "quorl-socket-forward: the command ended with status 3: fake bridge: asked to quit Reconnecting in 1 s.\n");
}

// Runs that end on their own: the exit status and the one line on standard
// error, nothing left listening. A command that ends before the bridge's Hello
// is reported with what it said, or what it printed instead of the bridge, or
// a hint that it may not run the bridge at all.
TEST(ForwardProgram, EndsWithAStatusAndOneLineSayingWhy) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;  // what standard output begins with
        std::string err;
    };
    const std::string bridge = QSF_FAKE_BRIDGE_PROGRAM;
    const Case cases[] = {
        {{"--help"}, 0, "Usage:\n  quorl-socket-forward [-v] [--reconnect]", ""},
        {{},
         1,
         "",
         "Give --ssh HOST, or the command that starts the bridge after --.\n"
         "Try 'quorl-socket-forward --help'."},
        {{"--", "/nonexistent/bridge-command"},
         1,
         "",
         "Could not start /nonexistent/bridge-command: No such file or directory."},
        // Its last words need no line end; trailing spaces and a carriage return go.
        {{"--", "/bin/sh", "-c", "printf 'This named pipe is not in the HTTP allowlist. \\r' >&2; exit 1"},
         1,
         "",
         "the command ended with status 1 before the bridge started: This named pipe is not in the HTTP allowlist."},
        {{"--", "/bin/sh", "-c", "exit 0"},
         1,
         "",
         "the command ended with status 0 before the bridge started; check that it runs quorl-socket-bridge."},
        {{"--", "/bin/sh", "-c", "kill -9 $$"},
         1,
         "",
         "the command ended with signal 9 before the bridge started; check that it runs quorl-socket-bridge."},
        {{"--", "/bin/sh", "-c", "echo 'Welcome to win-host.'; echo 'Last login: today'"},
         1,
         "",
         "The bridge did not start; the remote command printed: \"Welcome to win-host.\"."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
        TempFolder temp;
        std::string path = temp.Path() + "/forward.sock";
        std::vector<std::string> argv{QSF_FORWARD_PROGRAM, "--listen", path};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Program program(temp.Path(), argv);
        ASSERT_TRUE(program.WaitExit(10000));
        EXPECT_EQ(program.ExitCode(), c.status);
        EXPECT_EQ(program.Out().rfind(c.out, 0), 0u) << program.Out();
        EXPECT_EQ(program.Err(), c.err.empty() ? "" : "quorl-socket-forward: " + c.err + "\n");
        EXPECT_EQ(access(path.c_str(), F_OK), -1);
    }
}

// What the host sends and the forwarder prints (its greeting and standard
// error under -v, the bridge's refusal of a stream or of a watch) reaches the
// user with its control characters escaped: no escape sequence of the host's
// reaches the terminal, and no line of the watch report is forged.
TEST(ForwardProgram, EscapesTheControlCharactersOfWhatTheHostSays) {
    const std::string host = R"sh(printf 'Welcome \033[31mhome\r\n'; printf 'notice \033[2J\n' >&2; )sh"
                             R"sh(exec "$0" "$(printf 'No \033]0;owned\007 server.\nforged')")sh";
    const std::string refusal = R"(No \x1b]0;owned\x07 server.\x0aforged)";
    TempFolder temp;
    std::string path = temp.Path() + "/forward.sock";
    Program program(temp.Path(), {QSF_FORWARD_PROGRAM, "-v", "--listen", path, "--", "/bin/sh", "-c", host,
                                  QSF_FAKE_BRIDGE_PROGRAM});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto says = [&](const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            if (program.Err().find("quorl-socket-forward: " + line + "\n") == std::string::npos) return false;
        return true;
    };
    // The -v line says the forwarder listens; its socket's path is in place by then.
    while (!says({"listening on unix:" + path}) && std::chrono::steady_clock::now() < deadline) poll(nullptr, 0, 20);
    Client refused(path);
    const std::vector<std::string> said{R"(remote: Welcome \x1b[31mhome)", R"(command: notice \x1b[2J)",
                                        "Could not open the pipe: " + refusal};
    while (!says(said) && std::chrono::steady_clock::now() < deadline) poll(nullptr, 0, 20);
    program.Signal(SIGTERM);
    ASSERT_TRUE(program.WaitExit(10000));
    EXPECT_TRUE(says(said)) << program.Err();
    EXPECT_EQ(program.Err().find_first_of("\x1b\x07"), std::string::npos) << program.Err();

    TempFolder watchTemp;
    Program watch(watchTemp.Path(), {QSF_FORWARD_PROGRAM, "watch", "\\\\.\\pipe\\a", "--", "/bin/sh", "-c", host,
                                     QSF_FAKE_BRIDGE_PROGRAM});
    ASSERT_TRUE(watch.WaitExit(10000));
    EXPECT_EQ(watch.Out(), "\\\\.\\pipe\\a refused: " + refusal + "\n");
    EXPECT_EQ(watch.Err(), "quorl-socket-forward: No pipe is being watched.\n");
}

// With --idle-exit the session starts only when a connection arrives and ends
// after that long without one; the next connection starts it again.
TEST(ForwardProgram, StartsTheSessionOnDemandAndEndsItWhenIdle) {
    TempFolder temp;
    std::string path = temp.Path() + "/forward.sock";
    std::string starts = temp.Path() + "/starts";
    Program program(temp.Path(), {QSF_FORWARD_PROGRAM, "-v", "--idle-exit", "0.3", "--listen", path, "--", "/bin/sh",
                                  "-c", "echo started >> " + starts + "; exec " + QSF_FAKE_BRIDGE_PROGRAM});
    ASSERT_TRUE(WaitForPath(path));
    auto startCount = [&] { return static_cast<int>(ReadFile(starts).size() / 8); };  // "started\n" each
    EXPECT_EQ(startCount(), 0) << "no session before the first connection";
    std::size_t idleEnd = 0;
    for (int round = 1; round <= 2; ++round) {
        {
            Client client(path);
            EXPECT_EQ(Talk(client, "round " + std::to_string(round)), "round " + std::to_string(round));
        }
        EXPECT_EQ(startCount(), round);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const char* said = "the session ended after 0.30 s without connections.";
        while (program.Err().find(said, idleEnd) == std::string::npos && std::chrono::steady_clock::now() < deadline)
            poll(nullptr, 0, 20);
        idleEnd = program.Err().find(said, idleEnd);
        ASSERT_NE(idleEnd, std::string::npos) << program.Err();
        ++idleEnd;
    }
    program.Signal(SIGTERM);
    ASSERT_TRUE(program.WaitExit(10000));
    EXPECT_EQ(program.ExitCode(), 0);
}

// Under socket activation the passed socket is served, the session starts
// with the connection that woke the forwarder, and an idle forwarder exits,
// leaving the socket to the service manager.
TEST(ForwardProgram, ServesASocketPassedByTheServiceManager) {
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is missing";
    TempFolder temp;
    std::string path = temp.Path() + "/activated.sock";
    Program program(temp.Path(), {"/usr/bin/systemd-socket-activate", "-l", path, QSF_FORWARD_PROGRAM, "--idle-exit",
                                  "0.3", "--", QSF_FAKE_BRIDGE_PROGRAM});
    ASSERT_TRUE(WaitForPath(path));
    {
        Client client(path);
        EXPECT_EQ(Talk(client, "woken"), "woken");
    }
    ASSERT_TRUE(program.WaitExit(10000)) << "an idle activated forwarder exits";
    EXPECT_EQ(program.ExitCode(), 0) << program.Err();
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the manager's socket is left to it";
}

}  // namespace
