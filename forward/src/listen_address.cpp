#include "listen_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <deque>

#include "text/program_error.h"

namespace {

[[noreturn]] void FailListen(const std::string& name, int error) {
    throw ProgramError("Could not listen on " + name + ": " + std::strerror(error) + ".");
}

std::uint16_t ParsePort(std::string_view digits, std::string_view whole) {
    std::uint16_t port = 0;
    const char* end = digits.data() + digits.size();
    // from_chars takes no sign or space and fails past 65535; six digits are no port even when zeros lead.
    const auto [stop, error] = std::from_chars(digits.data(), end, port);
    if (digits.empty() || digits.size() > 5 || error != std::errc() || stop != end)
        throw ProgramError("Invalid port in listen address " + std::string(whole) + ".");
    return port;
}

bool IsNumericHost(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

std::deque<std::string> Names(const std::string& path) {
    std::deque<std::string> names;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        if (slash > at && path.compare(at, slash - at, ".") != 0) names.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return names;
}

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kMostLinks = 40;  // as the kernel's own lookup

// The socket's folder, reached one folder at a time from the root (or the
// working folder) and held open, so that what is checked and where the socket
// is made are the same folder whatever is renamed meanwhile. A link on the way
// is followed only when root or the user owns it; the folder itself must not be
// a link. A missing folder, the last one only, is created with mode 0700.
UniqueFd OpenSocketFolder(const std::string& folder) {
    auto failed = [&folder](int error) {
        return ProgramError("Could not create the socket folder " + folder + ": " + std::strerror(error) + ".");
    };
    const bool absolute = folder.front() == '/';
    UniqueFd at(open(absolute ? "/" : ".", kOpenFolder));
    if (!at) throw failed(errno);
    std::string walked = absolute ? "/" : "";
    std::deque<std::string> left = Names(folder);
    int links = 0;
    while (!left.empty()) {
        const std::string name = std::move(left.front());
        left.pop_front();
        const bool last = left.empty();
        UniqueFd next(openat(at.get(), name.c_str(), kOpenFolder));
        const int error = errno;
        struct stat info {};
        if (!next && fstatat(at.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !last || mkdirat(at.get(), name.c_str(), 0700) != 0) throw failed(errno);
            next.reset(openat(at.get(), name.c_str(), kOpenFolder));
            if (!next) throw failed(errno);
        }
        if (next) {
            at = std::move(next);
            walked += name + "/";
            continue;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (last && !S_ISDIR(info.st_mode)) throw ProgramError("The socket folder " + folder + " is not a folder.");
            throw failed(error);
        }
        if (last) throw ProgramError("The socket folder " + folder + " is a symbolic link; give the folder itself.");
        // Whoever owns a link can point it elsewhere at any time.
        if (info.st_uid != 0 && info.st_uid != getuid())
            throw ProgramError("The socket folder " + folder + " is reached through " + walked + name +
                               ", a link of another user.");
        if (++links > kMostLinks) throw failed(ELOOP);
        std::string target(PATH_MAX, '\0');
        ssize_t size = readlinkat(at.get(), name.c_str(), target.data(), target.size());
        if (size <= 0 || static_cast<std::size_t>(size) >= target.size()) throw failed(size < 0 ? errno : ENAMETOOLONG);
        target.resize(static_cast<std::size_t>(size));
        std::deque<std::string> names = Names(target);
        left.insert(left.begin(), names.begin(), names.end());
        if (target.front() == '/') {
            at.reset(open("/", kOpenFolder));
            if (!at) throw failed(errno);
            walked = "/";
        }
    }
    return at;
}

void RequirePrivateFolder(const std::string& folder, int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) throw ProgramError("Could not inspect " + folder + ": " + std::strerror(errno) + ".");
    // Nobody but the owner may look up names in the folder: other users can
    // then neither reach the socket nor plant one in its place.
    if (info.st_uid != getuid() || (info.st_mode & (S_IXGRP | S_IXOTH)) != 0)
        throw ProgramError("The socket folder " + folder +
                           " must belong to you and be closed to other users (mode 0700).");
}

sockaddr_un UnixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// A socket already at `path` may be a leftover of an earlier run; it is taken
// over only when it is the user's own and nobody answers on it. It is judged
// and removed in the folder that was checked.
void ClearStaleSocket(const std::string& path, int folder, const std::string& name) {
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
        throw ProgramError("Could not inspect " + path + ": " + std::strerror(errno) + ".");
    }
    if (!S_ISSOCK(info.st_mode)) throw ProgramError(path + " exists and is not a socket.");
    if (info.st_uid != getuid()) throw ProgramError(path + " is a socket of another user.");
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!probe) throw ProgramError(std::string("Could not create a socket: ") + std::strerror(errno) + ".");
    sockaddr_un address = UnixAddress(path);
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        throw ProgramError(path + " is in use by another program.");
    if (errno != ECONNREFUSED && errno != ENOENT)
        throw ProgramError("Could not inspect " + path + ": " + std::strerror(errno) + ".");
    if (unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
        throw ProgramError("Could not remove the old socket " + path + ": " + std::strerror(errno) + ".");
}

}  // namespace

ListenAddress ParseListenAddress(std::string_view text) {
    ListenAddress address;
    if (text.starts_with("tcp:")) {
        address.kind = ListenAddress::Kind::Tcp;
        std::string_view rest = text.substr(4);
        // With no host, the whole rest is the port (npos + 1 is 0).
        std::size_t colon = rest.find_last_of(':');
        std::string_view host = colon == std::string_view::npos ? "localhost" : rest.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        address.host = host == "localhost" ? std::string("127.0.0.1") : std::string(host);
        if (!IsNumericHost(address.host))
            throw ProgramError("Give a numeric host address in listen address " + std::string(text) + ".");
        address.port = ParsePort(rest.substr(colon + 1), text);
        return address;
    }
    std::string_view path = text.starts_with("unix:") ? text.substr(5) : text;
    if (path.empty()) throw ProgramError("Give a socket path in listen address " + std::string(text) + ".");
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        throw ProgramError("The socket path " + std::string(path) + " is too long.");
    if (path.find('\0') != std::string_view::npos) throw ProgramError("Invalid socket path.");
    address.path = std::string(path);
    return address;
}

std::unique_ptr<Listener> Listener::Open(const ListenAddress& address) {
    std::unique_ptr<Listener> listener(new Listener());
    if (address.kind == ListenAddress::Kind::Unix) listener->ListenUnix(address.path);
    else listener->ListenTcp(address);
    return listener;
}

void Listener::ListenUnix(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    name_ = "unix:" + path;
    folder_ = OpenSocketFolder(folder);
    RequirePrivateFolder(folder, folder_.get());
    ClearStaleSocket(path, folder_.get(), name);
    fd_.reset(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd_ || !KeepToSelf(fd_.get())) FailListen(name_, errno);
    // The socket is made under a passing name and renamed into place once
    // it listens, so that a client that finds the path is never refused
    // (a path too long for the passing name is bound where it is).
    const std::string passing = ".quorl-socket-forward." + std::to_string(getpid());
    const bool staged = folder.size() + 1 + passing.size() < sizeof(sockaddr_un{}.sun_path);
    const std::string madeName = staged ? passing : name;
    const std::string madePath = staged ? (folder == "/" ? "" : folder) + "/" + passing : path;
    if (staged) unlinkat(folder_.get(), passing.c_str(), 0);  // a leftover of a killed run with this process ID
    sockaddr_un bound = UnixAddress(madePath);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) FailListen(name_, errno);
    // bind takes a path, looked up once more: the socket must be in the
    // folder that was checked, and the path must still lead to it.
    struct stat inFolder {
    }, atPath{};
    if (fstatat(folder_.get(), madeName.c_str(), &inFolder, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(inFolder.st_mode)) {
        socketName_ = madeName;
        device_ = inFolder.st_dev;
        inode_ = inFolder.st_ino;
    }
    if (socketName_.empty() || lstat(madePath.c_str(), &atPath) != 0 || atPath.st_dev != inFolder.st_dev ||
        atPath.st_ino != inFolder.st_ino)
        throw ProgramError("The socket folder " + folder + " was replaced while the socket was made in it.");
    if (fchmodat(folder_.get(), madeName.c_str(), 0600, 0) != 0) FailListen(name_, errno);
    if (listen(fd_.get(), SOMAXCONN) != 0) FailListen(name_, errno);
    if (!staged) return;
    if (renameat(folder_.get(), madeName.c_str(), folder_.get(), name.c_str()) != 0) FailListen(name_, errno);
    socketName_ = name;
}

void Listener::ListenTcp(const ListenAddress& address) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    const bool isV6 = inet_pton(AF_INET6, address.host.c_str(), &v6->sin6_addr) == 1;
    const std::string asked = "tcp:" + (isV6 ? "[" + address.host + "]" : address.host) + ":";
    if (!isV6 && inet_pton(AF_INET, address.host.c_str(), &v4->sin_addr) != 1)
        FailListen(asked + std::to_string(address.port), EINVAL);
    storage.ss_family = isV6 ? AF_INET6 : AF_INET;
    (isV6 ? v6->sin6_port : v4->sin_port) = htons(address.port);
    socklen_t length = isV6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    fd_.reset(socket(storage.ss_family, SOCK_STREAM, 0));
    int on = 1;
    if (!fd_ || !KeepToSelf(fd_.get()) || setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd_.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0)
        FailListen(asked + std::to_string(address.port), errno);
    // The port the system chose when asked for 0.
    length = sizeof storage;
    if (getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        FailListen(asked + std::to_string(address.port), errno);
    name_ = asked + std::to_string(ntohs(isV6 ? v6->sin6_port : v4->sin_port));
    if (listen(fd_.get(), SOMAXCONN) != 0) FailListen(name_, errno);
}

std::unique_ptr<Listener> Listener::Adopt(int fd) {
    std::unique_ptr<Listener> listener(new Listener());
    listener->fd_.reset(fd);
    int listening = 0;
    socklen_t size = sizeof listening;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0 || !KeepToSelf(fd))
        throw ProgramError("Descriptor " + std::to_string(fd) +
                           " passed by the service manager is not a listening socket.");
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_UNIX) {
        const auto* a = reinterpret_cast<const sockaddr_un*>(&storage);
        listener->name_ = "unix:" + std::string(a->sun_path, strnlen(a->sun_path, sizeof a->sun_path));
    } else if (storage.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        listener->name_ = "tcp:[" + std::string(text) + "]:" + std::to_string(ntohs(a->sin6_port));
    } else {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        listener->name_ = "tcp:" + std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
    }
    return listener;
}

Listener::~Listener() {
    fd_.reset();
    if (socketName_.empty()) return;
    struct stat info {};
    if (fstatat(folder_.get(), socketName_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_dev == device_ &&
        info.st_ino == inode_)
        unlinkat(folder_.get(), socketName_.c_str(), 0);
}
