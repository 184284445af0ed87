#include "peer_state.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef __linux__
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#endif

#include "unique_fd.h"

namespace {

// Both ends of an accepted TCP connection, as this side sees them.
struct TcpEnds {
    sockaddr_storage ours{};
    sockaddr_storage theirs{};
};

bool GetTcpEnds(int fd, TcpEnds& ends) {
    socklen_t ourLength = sizeof ends.ours, theirLength = sizeof ends.theirs;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ends.ours), &ourLength) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&ends.theirs), &theirLength) != 0)
        return false;
    return ends.theirs.ss_family == AF_INET || ends.theirs.ss_family == AF_INET6;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&v6);
}

// The peer's own socket as the kernel lists it.
struct PeerSocket {
    enum class Lookup { Found, Missing, Failed };
    Lookup lookup = Lookup::Failed;
    std::uint32_t uid = 0;
    std::uint32_t inode = 0;  // 0 once no program holds it
};

#ifdef __linux__
// In network order, as the kernel keeps them.
std::uint16_t PortOf(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
}

void CopyAddress(const sockaddr_storage& address, std::uint32_t (&words)[4]) {
    if (address.ss_family == AF_INET)
        std::memcpy(words, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, sizeof(in_addr));
    else std::memcpy(words, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, sizeof(in6_addr));
}

// One exact lookup, whatever else the table holds: the peer's socket has the
// address we see it at as its source, and ours as its destination. (A v4
// peer of a dual-stack socket is written v4-mapped; the kernel looks such a
// pair up among the v4 sockets.)
PeerSocket FindPeerSocket(const TcpEnds& ends) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<std::uint8_t>(ends.theirs.ss_family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    inet_diag_sockid& id = request.body.id;
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    id.idiag_sport = PortOf(ends.theirs);
    id.idiag_dport = PortOf(ends.ours);
    CopyAddress(ends.theirs, id.idiag_src);
    CopyAddress(ends.ours, id.idiag_dst);

    PeerSocket result;
    UniqueFd link(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!link || send(link.get(), &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) return result;
    // The kernel answers within the send; waiting could only hold up the loop.
    alignas(nlmsghdr) unsigned char answer[1024];
    ssize_t got = recv(link.get(), answer, sizeof answer, MSG_DONTWAIT);
    if (got < static_cast<ssize_t>(sizeof(nlmsghdr))) return result;
    const std::size_t length = static_cast<std::size_t>(got);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (header->nlmsg_len > length) return result;
    if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return result;
        if (static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error == -ENOENT)
            result.lookup = PeerSocket::Lookup::Missing;
        return result;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return result;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    // With no connection of that address and port, the lookup falls back to a
    // socket listening there: that is not the peer.
    if (found->id.idiag_sport != id.idiag_sport || found->id.idiag_dport != id.idiag_dport) {
        result.lookup = PeerSocket::Lookup::Missing;
        return result;
    }
    result.lookup = PeerSocket::Lookup::Found;
    result.uid = found->idiag_uid;
    result.inode = found->idiag_inode;
    return result;
}
#else
PeerSocket FindPeerSocket(const TcpEnds&) { return PeerSocket{}; }
#endif

PeerUser UnixPeerUser(int fd) {
#ifdef SO_PEERCRED
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return PeerUser{};
    return PeerUser{PeerUser::Kind::Known, credentials.uid};
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (getpeereid(fd, &uid, &gid) != 0) return PeerUser{};
    return PeerUser{PeerUser::Kind::Known, uid};
#endif
}

}  // namespace

bool TellsTcpPeerUsers() {
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

PeerState LocalPeerState(int fd) {
    TcpEnds ends;
    if (!GetTcpEnds(fd, ends)) return PeerState::Unknown;
    PeerSocket peer = FindPeerSocket(ends);
    switch (peer.lookup) {
        case PeerSocket::Lookup::Found:
            return peer.inode == 0 ? PeerState::Closed : PeerState::Open;
        case PeerSocket::Lookup::Missing:
            // A loopback peer that is not listed has gone altogether; another may
            // be on another machine.
            return IsLoopback(ends.theirs) ? PeerState::Closed : PeerState::Unknown;
        case PeerSocket::Lookup::Failed:
            break;
    }
    return PeerState::Unknown;
}

PeerUser LocalPeerUser(int fd) {
    sockaddr_storage ours{};
    socklen_t length = sizeof ours;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &length) != 0) return PeerUser{};
    if (ours.ss_family == AF_UNIX) return UnixPeerUser(fd);
    TcpEnds ends;
    if (!GetTcpEnds(fd, ends)) return PeerUser{};
    if (!TellsTcpPeerUsers()) return PeerUser{PeerUser::Kind::Untold, 0};
    PeerSocket peer = FindPeerSocket(ends);
    // A socket closed by its program still names a user while it lingers, but
    // a finished one names root: neither is believed.
    if (peer.lookup == PeerSocket::Lookup::Found && peer.inode != 0) return PeerUser{PeerUser::Kind::Known, peer.uid};
    if (peer.lookup == PeerSocket::Lookup::Missing && !IsLoopback(ends.theirs))
        return PeerUser{PeerUser::Kind::Remote, 0};
    return PeerUser{};
}
