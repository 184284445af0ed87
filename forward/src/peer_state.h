#pragma once
// Whether the local program at the other end of an accepted TCP connection
// still holds its socket. TCP itself cannot tell: a peer that closed for good
// and one that only shut down its sending look the same until something is
// written to it. For a peer on this machine's loopback, though, the system's
// socket table shows it: a socket its program has closed no longer belongs to
// any file (Linux lists it with inode 0, or not at all once it is gone).

enum class PeerState { Unknown, Open, Closed };

// Unknown for anything but a TCP connection from a loopback address, or where
// the socket table cannot be read.
PeerState LocalPeerState(int fd);
