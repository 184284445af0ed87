#include "peer_state.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// An address as /proc/net/tcp{,6} writes it: each 32-bit word of the address
// in network order printed as a host-order number, then the port.
std::string TableAddress(const sockaddr_storage& address) {
    char text[64];
    if (address.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(address);
        std::snprintf(text, sizeof text, "%08X:%04X", a.sin_addr.s_addr, ntohs(a.sin_port));
        return text;
    }
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    std::uint32_t words[4];
    std::memcpy(words, &a.sin6_addr, sizeof words);
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3],
                  ntohs(a.sin6_port));
    return text;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    // A v4-mapped peer of an IPv6 socket is listed in the other table: not
    // looked for.
    return address.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

}  // namespace

PeerState LocalPeerState(int fd) {
    sockaddr_storage ours{}, theirs{};
    socklen_t ourLength = sizeof ours, theirLength = sizeof theirs;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ourLength) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirLength) != 0)
        return PeerState::Unknown;
    if (theirs.ss_family != AF_INET && theirs.ss_family != AF_INET6) return PeerState::Unknown;
    if (!IsLoopback(theirs)) return PeerState::Unknown;
    // The peer's own entry: its local address is our remote one and back.
    const std::string local = TableAddress(theirs), remote = TableAddress(ours);
    std::ifstream table(theirs.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    if (!table) return PeerState::Unknown;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localField, remoteField, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> localField >> remoteField >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (!fields || localField != local || remoteField != remote) continue;
        return inode == "0" ? PeerState::Closed : PeerState::Open;
    }
    // A loopback peer that is not in the table has gone altogether.
    return PeerState::Closed;
}
