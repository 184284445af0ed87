#include "socket_activation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "text/program_error.h"

namespace {

constexpr int kFirstPassedFd = 3;  // SD_LISTEN_FDS_START
constexpr long kMostPassed = 64;

bool ParseCount(const char* text, long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

}  // namespace

std::vector<std::unique_ptr<Listener>> TakePassedListeners() {
    long pid = 0, count = 0;
    bool forUs = ParseCount(std::getenv("LISTEN_PID"), pid) && pid == static_cast<long>(getpid()) &&
                 ParseCount(std::getenv("LISTEN_FDS"), count);
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    std::vector<std::unique_ptr<Listener>> listeners;
    if (!forUs) return listeners;
    if (count > kMostPassed)
        throw ProgramError("The service manager passed " + std::to_string(count) + " sockets; at most 64 are taken.");
    for (int fd = kFirstPassedFd; fd < kFirstPassedFd + count; ++fd) listeners.push_back(Listener::Adopt(fd));
    return listeners;
}
