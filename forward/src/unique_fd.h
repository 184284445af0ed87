#pragma once
// The owner of one POSIX file descriptor (sockets, pipe ends, folders).

#include <unistd.h>

#include "os/unique_resource.h"

struct FdTraits {
    using Value = int;
    static int None() noexcept { return -1; }
    static bool IsHeld(int fd) noexcept { return fd >= 0; }
    static void Release(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;
