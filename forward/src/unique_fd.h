#pragma once
// The owner of one POSIX file descriptor (sockets, pipe ends, folders).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/unique_resource.h"

struct FdTraits {
    using Value = int;
    static int None() noexcept { return -1; }
    static bool IsHeld(int fd) noexcept { return fd >= 0; }
    static void Release(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

// Not inherited by later children, and non-blocking: every descriptor the
// forwarder polls. False (errno set) when the system refuses.
inline bool KeepToSelf(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// After a failed read or write on such a descriptor: nothing is lost, the
// next turn tries again.
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
