// Listen addresses: the grammar, and the rules that keep a Unix socket private
// to its user.

#include <sys/stat.h>

#include "harness.h"
#include "listen_address.h"
#include "stream_ids.h"

namespace {

using qsf_test::TempFolder;

constexpr uid_t kOtherUser = 65534;

// A socket left behind at `path` by a program that has gone.
void LeaveDeadSocket(const std::string& path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// TCP on loopback unless another address is written.
TEST(ListenAddress, ParsesUnixAndLoopbackForms) {
    const std::pair<std::string, std::string> cases[] = {
        {"relative/agent.sock", "unix relative/agent.sock"},
        {"tcp:localhost:9", "tcp 127.0.0.1 9"},
        {"tcp:0.0.0.0:80", "tcp 0.0.0.0 80"},
        {"tcp:[::1]:65535", "tcp ::1 65535"},
    };
    for (const auto& [text, parsed] : cases) {
        const ListenAddress a = ParseListenAddress(text);
        EXPECT_EQ(
            a.kind == ListenAddress::Kind::Unix ? "unix " + a.path : "tcp " + a.host + " " + std::to_string(a.port),
            parsed);
    }
}

TEST(ListenAddress, RefusesWhatItCannotTake) {
    const std::string longPath = "/" + std::string(200, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"tcp:127.0.0.1:", "Invalid port in listen address tcp:127.0.0.1:."},
        {"tcp:example.org:80", "Give a numeric host address in listen address tcp:example.org:80."},
        {longPath, "The socket path " + longPath + " is too long."},
    };
    for (const auto& [text, said] : cases) EXPECT_EQ(MessageOf([&] { ParseListenAddress(text); }), said);
}

// A link of the user's own on the way is followed. A dead socket of the user's
// is taken over.
TEST(UnixListener, CreatesAPrivateFolderAndSocketAndTakesOverADeadOne) {
    TempFolder temp;
    ASSERT_EQ(symlink(temp.Path().c_str(), (temp.Path() + "/mine").c_str()), 0);
    std::string folder = temp.Path() + "/mine/sockets";
    std::string path = folder + "/agent.sock";
    {
        auto listener = Listener::Open(ParseListenAddress("unix:" + path));
        EXPECT_EQ(ModeOf(folder), 0700u);
        EXPECT_EQ(ModeOf(path), 0600u);
    }
    LeaveDeadSocket(path);
    EXPECT_NE(Listener::Open(ParseListenAddress(path)), nullptr);
}

// Each refusal leaves what is at the path as it was. A link is refused even
// when it leads to a private folder of the user's own: whoever owns the link
// can point it elsewhere later.
TEST(UnixListener, RefusesAnUnsafeOrTakenPathAndLeavesItAlone) {
    using Setup = std::function<std::pair<std::string, std::string>(const std::string& folder)>;
    std::unique_ptr<Listener> first;
    const Setup cases[] = {
        [](const std::string& folder) {
            EXPECT_EQ(chmod(folder.c_str(), 0755), 0);
            return std::pair(
                folder + "/agent.sock",
                "The socket folder " + folder + " must belong to you and be closed to other users (mode 0700).");
        },
        [](const std::string& folder) {
            EXPECT_EQ(mkdir((folder + "/real").c_str(), 0700), 0);
            EXPECT_EQ(symlink((folder + "/real").c_str(), (folder + "/link").c_str()), 0);
            return std::pair(folder + "/link/agent.sock",
                             "The socket folder " + folder + "/link is a symbolic link; give the folder itself.");
        },
        [](const std::string& folder) {
            std::ofstream(folder + "/agent.sock") << "keep me";
            return std::pair(folder + "/agent.sock", folder + "/agent.sock exists and is not a socket.");
        },
        [&first](const std::string& folder) {
            first = Listener::Open(ParseListenAddress(folder + "/agent.sock"));
            return std::pair(folder + "/agent.sock", folder + "/agent.sock is in use by another program.");
        },
    };
    for (const Setup& setUp : cases) {
        TempFolder temp;
        const auto [path, said] = setUp(temp.Path());
        struct stat before {};
        const bool existed = lstat(path.c_str(), &before) == 0;
        EXPECT_EQ(MessageOf([&] { Listener::Open(ParseListenAddress(path)); }), said);
        struct stat after {};
        EXPECT_EQ(lstat(path.c_str(), &after) == 0, existed) << path;
        EXPECT_EQ(after.st_ino, before.st_ino) << path;
        first.reset();
    }
}

// Only root can make files of another user; elsewhere these cases are skipped.
// Whoever owns a link on the way to the folder can point it elsewhere.
TEST(UnixListener, RefusesASocketOrFolderOfAnotherUser) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to create files owned by another user";
    TempFolder temp;
    std::string path = temp.Path() + "/agent.sock";
    LeaveDeadSocket(path);
    ASSERT_EQ(lchown(path.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(MessageOf([&] { Listener::Open(ParseListenAddress(path)); }), path + " is a socket of another user.");
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "not removed";

    TempFolder foreign;
    ASSERT_EQ(chown(foreign.Path().c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(MessageOf([&] { Listener::Open(ParseListenAddress(foreign.Path() + "/agent.sock")); }),
              "The socket folder " + foreign.Path() + " must belong to you and be closed to other users (mode 0700).");

    const std::string link = temp.Path() + "/theirs";
    ASSERT_EQ(symlink(temp.Path().c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(MessageOf([&] { Listener::Open(ParseListenAddress(link + "/sockets/agent.sock")); }),
              "The socket folder " + link + "/sockets is reached through " + link + ", a link of another user.");
    EXPECT_EQ(access((temp.Path() + "/sockets").c_str(), F_OK), -1) << "nothing is made behind it";
}

// IDs wrap past 0 (the order they go up in and that an ended one is not
// reused at once are the session tests').
TEST(StreamIds, WrapPastZero) {
    StreamIdAllocator wrapping(0xFFFFFFFEu);
    EXPECT_EQ(wrapping.Allocate(), 0xFFFFFFFFu);
    EXPECT_EQ(wrapping.Allocate(), 1u);
    EXPECT_TRUE(wrapping.InUse(0xFFFFFFFFu));
}

}  // namespace
