#pragma once
// Where the forwarder listens: a Unix socket in a folder only its user can
// enter, or a TCP port on loopback unless another address is written out.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "unique_fd.h"

struct ListenAddress {
    enum class Kind { Unix, Tcp };
    Kind kind = Kind::Unix;
    std::string path;        // Unix
    std::string host;        // Tcp: numeric IPv4 or IPv6 text
    std::uint16_t port = 0;  // Tcp; 0 lets the system choose
};

// "unix:PATH", "PATH" (no prefix: a Unix socket), "tcp:PORT" (127.0.0.1),
// "tcp:HOST:PORT" or "tcp:[HOST]:PORT" with a numeric HOST or "localhost".
// Throws ProgramError with a sentence naming `text` when it is none of these.
ListenAddress ParseListenAddress(std::string_view text);

// A listening, non-blocking socket. A Unix socket it created is removed when it
// is destroyed, unless something else has taken its path since.
class Listener {
public:
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener();

    // Creates the socket. For a Unix socket: the folder must belong to the
    // user and be closed to everyone else (it is created with mode 0700 when
    // missing), and be reached through no link but root's and the user's; an
    // existing path is replaced only when it is a dead socket of the user's
    // own; the socket gets mode 0600. Throws ProgramError.
    static std::unique_ptr<Listener> Open(const ListenAddress& address);
    // A listening socket someone else made (a service manager's): used as it
    // is and never removed. Throws ProgramError when `fd` is not a listening
    // stream socket.
    static std::unique_ptr<Listener> Adopt(int fd);

    int Fd() const { return fd_.get(); }
    // "unix:PATH" or "tcp:HOST:PORT" with the port actually bound.
    const std::string& Name() const { return name_; }

private:
    Listener() = default;
    void ListenUnix(const std::string& path);
    void ListenTcp(const ListenAddress& address);

    UniqueFd fd_;
    std::string name_;
    // A Unix socket it created: its folder, held open, and its name there.
    UniqueFd folder_;
    std::string socketName_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
