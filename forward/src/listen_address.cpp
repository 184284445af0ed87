#include "listen_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "text/program_error.h"

namespace {

std::string SystemReason(int error) { return std::strerror(error); }

[[noreturn]] void FailListen(const std::string& name, int error) {
    throw ProgramError("Could not listen on " + name + ": " + SystemReason(error) + ".");
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::uint16_t ParsePort(std::string_view digits, std::string_view whole) {
    if (digits.empty() || digits.size() > 5)
        throw ProgramError("Invalid port in listen address " + std::string(whole) + ".");
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') throw ProgramError("Invalid port in listen address " + std::string(whole) + ".");
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 65535) throw ProgramError("Invalid port in listen address " + std::string(whole) + ".");
    return static_cast<std::uint16_t>(value);
}

bool IsNumericHost(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

std::string ParentFolder(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LastName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// Nobody but the owner may look up names in the folder: other users can then
// neither reach the socket nor plant one in its place.
bool ClosedToOthers(mode_t mode) { return (mode & (S_IXGRP | S_IXOTH)) == 0; }

// Whoever owns a link can point it elsewhere at any time.
bool MayFollowLinkOf(uid_t owner) { return owner == 0 || owner == getuid(); }

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
        return ProgramError("Could not create the socket folder " + folder + ": " + SystemReason(error) + ".");
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
        if (!MayFollowLinkOf(info.st_uid))
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
    if (fstat(fd, &info) != 0) throw ProgramError("Could not inspect " + folder + ": " + SystemReason(errno) + ".");
    if (info.st_uid != getuid() || !ClosedToOthers(info.st_mode))
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
        throw ProgramError("Could not inspect " + path + ": " + SystemReason(errno) + ".");
    }
    if (!S_ISSOCK(info.st_mode)) throw ProgramError(path + " exists and is not a socket.");
    if (info.st_uid != getuid()) throw ProgramError(path + " is a socket of another user.");
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!probe) throw ProgramError("Could not create a socket: " + SystemReason(errno) + ".");
    sockaddr_un address = UnixAddress(path);
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        throw ProgramError(path + " is in use by another program.");
    if (errno != ECONNREFUSED && errno != ENOENT)
        throw ProgramError("Could not inspect " + path + ": " + SystemReason(errno) + ".");
    if (unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
        throw ProgramError("Could not remove the old socket " + path + ": " + SystemReason(errno) + ".");
}

}  // namespace

ListenAddress ParseListenAddress(std::string_view text) {
    ListenAddress address;
    if (StartsWith(text, "tcp:")) {
        address.kind = ListenAddress::Kind::Tcp;
        std::string_view rest = text.substr(4);
        std::size_t colon = rest.find_last_of(':');
        if (colon == std::string_view::npos) {
            address.host = "127.0.0.1";
            address.port = ParsePort(rest, text);
            return address;
        }
        std::string_view host = rest.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        address.host = host == "localhost" ? std::string("127.0.0.1") : std::string(host);
        if (!IsNumericHost(address.host))
            throw ProgramError("Give a numeric host address in listen address " + std::string(text) + ".");
        address.port = ParsePort(rest.substr(colon + 1), text);
        return address;
    }
    std::string_view path = StartsWith(text, "unix:") ? text.substr(5) : text;
    if (path.empty()) throw ProgramError("Give a socket path in listen address " + std::string(text) + ".");
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        throw ProgramError("The socket path " + std::string(path) + " is too long.");
    if (path.find('\0') != std::string_view::npos) throw ProgramError("Invalid socket path.");
    address.path = std::string(path);
    return address;
}

std::unique_ptr<Listener> Listener::Open(const ListenAddress& address) {
    std::unique_ptr<Listener> listener(new Listener());
    if (address.kind == ListenAddress::Kind::Unix) {
        const std::string& path = address.path;
        const std::string folder = ParentFolder(path), name = LastName(path);
        listener->name_ = "unix:" + path;
        listener->folder_ = OpenSocketFolder(folder);
        const int folderFd = listener->folder_.get();
        RequirePrivateFolder(folder, folderFd);
        ClearStaleSocket(path, folderFd, name);
        listener->fd_.reset(socket(AF_UNIX, SOCK_STREAM, 0));
        if (!listener->fd_ || !KeepToSelf(listener->fd_.get())) FailListen(listener->name_, errno);
        // The socket is made under a passing name and renamed into place once
        // it listens, so that a client that finds the path is never refused
        // (a path too long for the passing name is bound where it is).
        const std::string passing = ".quorl-socket-forward." + std::to_string(getpid());
        const bool staged = folder.size() + 1 + passing.size() < sizeof(sockaddr_un{}.sun_path);
        const std::string madeName = staged ? passing : name;
        const std::string madePath = staged ? (folder == "/" ? "" : folder) + "/" + passing : path;
        if (staged) unlinkat(folderFd, passing.c_str(), 0);  // a leftover of a killed run with this process ID
        sockaddr_un bound = UnixAddress(madePath);
        if (bind(listener->fd_.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
            FailListen(listener->name_, errno);
        // bind takes a path, looked up once more: the socket must be in the
        // folder that was checked, and the path must still lead to it.
        struct stat inFolder {
        }, atPath{};
        if (fstatat(folderFd, madeName.c_str(), &inFolder, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(inFolder.st_mode)) {
            listener->socketName_ = madeName;
            listener->device_ = inFolder.st_dev;
            listener->inode_ = inFolder.st_ino;
        }
        if (listener->socketName_.empty() || lstat(madePath.c_str(), &atPath) != 0 ||
            atPath.st_dev != inFolder.st_dev || atPath.st_ino != inFolder.st_ino)
            throw ProgramError("The socket folder " + folder + " was replaced while the socket was made in it.");
        if (fchmodat(folderFd, madeName.c_str(), 0600, 0) != 0) FailListen(listener->name_, errno);
        if (listen(listener->fd_.get(), SOMAXCONN) != 0) FailListen(listener->name_, errno);
        if (staged) {
            if (renameat(folderFd, madeName.c_str(), folderFd, name.c_str()) != 0) FailListen(listener->name_, errno);
            listener->socketName_ = name;
        }
        return listener;
    } else {
        in6_addr v6{};
        bool isV6 = inet_pton(AF_INET6, address.host.c_str(), &v6) == 1;
        listener->fd_.reset(socket(isV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
        std::string shown = isV6 ? "[" + address.host + "]" : address.host;
        int on = 1;
        if (!listener->fd_ || !KeepToSelf(listener->fd_.get()) ||
            setsockopt(listener->fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            FailListen("tcp:" + shown + ":" + std::to_string(address.port), errno);
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (isV6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
            a->sin6_family = AF_INET6;
            a->sin6_addr = v6;
            a->sin6_port = htons(address.port);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&storage);
            a->sin_family = AF_INET;
            inet_pton(AF_INET, address.host.c_str(), &a->sin_addr);
            a->sin_port = htons(address.port);
            length = sizeof *a;
        }
        if (bind(listener->fd_.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0)
            FailListen("tcp:" + shown + ":" + std::to_string(address.port), errno);
        socklen_t actualLength = sizeof storage;
        getsockname(listener->fd_.get(), reinterpret_cast<sockaddr*>(&storage), &actualLength);
        std::uint16_t port = isV6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
        listener->name_ = "tcp:" + shown + ":" + std::to_string(port);
    }
    if (listen(listener->fd_.get(), SOMAXCONN) != 0) FailListen(listener->name_, errno);
    return listener;
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
