#include "signal_pipe.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "text/program_error.h"

namespace {

constexpr char kStopByte = 's';
// A signal handler can reach nothing else; both are set once, before the
// handlers are installed.
int writeEnd = -1;
int readEnd = -1;
volatile sig_atomic_t stopSeen = 0;

extern "C" void OnSignal(int number) {
    int saved = errno;
    char byte = number == SIGCHLD ? 'c' : kStopByte;
    if (byte == kStopByte) stopSeen = 1;
    ssize_t ignored = write(writeEnd, &byte, 1);  // a full pipe wakes its reader already
    (void)ignored;
    errno = saved;
}

void Check(bool ok) {
    if (!ok) throw ProgramError("Could not install the signal handlers.");
}

}  // namespace

UniqueFd InstallSignalPipe() {
    int ends[2];
    if (pipe(ends) != 0) throw ProgramError("Could not create a pipe.");
    UniqueFd read(ends[0]);
    for (int fd : ends) Check(KeepToSelf(fd));
    writeEnd = ends[1];
    readEnd = ends[0];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    Check(sigemptyset(&action.sa_mask) == 0);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) Check(sigaction(number, &action, nullptr) == 0);
    return read;
}

bool TakeSignals(int fd) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
    return stopSeen != 0;
}

bool StopRequested() { return stopSeen != 0; }

int SignalFd() { return readEnd; }

void WaitForSignal(int timeoutMs) {
    pollfd fd{readEnd, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) > 0) TakeSignals(readEnd);
}
