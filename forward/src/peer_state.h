#pragma once
// What this machine's kernel says about the program at the other end of an
// accepted connection: whether it still holds its socket, and whose it is.
//
// TCP itself cannot tell whether a peer closed for good or only shut down its
// sending until something is written to it. For a peer on this machine the
// kernel's socket diagnostics (Linux) show its own socket, looked up by exactly
// that connection: a socket its program has closed belongs to no file any
// more (inode 0), and one that is gone is not found. The same entry names the
// user whose program made it. A Unix socket carries its peer's credentials.

#include <sys/types.h>

enum class PeerState { Unknown, Open, Closed };

// Unknown for anything but a TCP connection whose peer the kernel can look up.
PeerState LocalPeerState(int fd);

struct PeerUser {
    enum class Kind {
        Known,    // `uid` made the peer's socket
        Remote,   // a TCP peer that is not on this machine
        Unknown,  // on this machine, but whose cannot be learned: it has closed its socket, or the kernel would not say
        Untold,   // a TCP peer, on a system that does not tell who holds a TCP socket (macOS)
    };
    Kind kind = Kind::Unknown;
    uid_t uid = 0;
};

// Whether this system tells who is at the other end of a TCP connection.
bool TellsTcpPeerUsers();

// For an accepted Unix or TCP connection.
PeerUser LocalPeerUser(int fd);
