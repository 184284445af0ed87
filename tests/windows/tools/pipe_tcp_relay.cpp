// pipe-tcp-relay: serves a named pipe and carries each of its connections, both
// ways, over a new TCP connection to 127.0.0.1:PORT, so that a service on the
// Linux side of the field test bed (an ssh-agent through socat, an HTTP server)
// can stand behind a Windows pipe.
//
//   pipe-tcp-relay --name \\.\pipe\NAME --port N
//
// 64 instances, each serving one client after another on a thread of its own.
// Half-closes are passed on: the pipe client's end becomes shutdown(SD_SEND) on
// the TCP socket, and the TCP peer's end closes the pipe instance once the
// client has read everything written to it (a byte pipe has no half-close).
// Prints "ready" once every instance exists and exits when its standard input
// closes. Failures print one line on standard error and exit 2. No iostreams:
// this builds with zig too.

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "os/handles_win32.h"
#include "user_pipe_descriptor.h"

namespace {

constexpr DWORD kInstances = 64;
constexpr DWORD kBuffer = 65536;

struct SocketTraits {
    using Value = SOCKET;
    static Value None() noexcept { return INVALID_SOCKET; }
    static bool IsHeld(Value v) noexcept { return v != INVALID_SOCKET; }
    static void Release(Value v) noexcept {
        win32_detail::PreserveLastError keep;
        ::closesocket(v);
    }
};
using UniqueSocket = UniqueResource<SocketTraits>;

[[noreturn]] void Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "pipe-tcp-relay: %s (error %lu)\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
    ::ExitProcess(2);
}

struct Options {
    std::wstring name;
    unsigned short port = 0;
};

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring word = argv[i];
        if (word == L"--name") {
            options.name = argv[i + 1];
        } else if (word == L"--port") {
            options.port = static_cast<unsigned short>(std::wcstoul(argv[i + 1], nullptr, 10));
        } else {
            Fail("unknown option", 0);
        }
    }
    if (argc % 2 == 0 || options.name.empty() || options.port == 0) Fail("usage: --name PIPE --port N", 0);
    return options;
}

UniqueHandle NewEvent() {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) Fail("CreateEventW", ::GetLastError());
    return event;
}

// One overlapped operation on the pipe at a time per direction, each with its
// own event: the instance is opened for overlapped I/O because a synchronous
// handle serialises its reads and writes, and the relay reads and writes at once.
class PipeTransfer {
public:
    explicit PipeTransfer(HANDLE pipe) : pipe_(pipe) {}

    // Reads some bytes; false at the client's end or on any failure, or once
    // `stop` is set (the pending read is cancelled and settled first).
    bool Read(char* data, DWORD size, DWORD& got, HANDLE stop) {
        OVERLAPPED* overlapped = Fresh();
        if (!::ReadFile(pipe_, data, size, nullptr, overlapped) && ::GetLastError() != ERROR_IO_PENDING) return false;
        const HANDLE waits[] = {event_.get(), stop};
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe_, overlapped);
            ::GetOverlappedResult(pipe_, overlapped, &got, TRUE);
            return false;
        }
        return ::GetOverlappedResult(pipe_, overlapped, &got, TRUE) && got > 0;
    }

    bool WriteAll(const char* data, DWORD size) {
        while (size > 0) {
            OVERLAPPED* overlapped = Fresh();
            DWORD wrote = 0;
            if (!::WriteFile(pipe_, data, size, nullptr, overlapped) && ::GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            if (!::GetOverlappedResult(pipe_, overlapped, &wrote, TRUE) || wrote == 0) return false;
            data += wrote;
            size -= wrote;
        }
        return true;
    }

private:
    OVERLAPPED* Fresh() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        return &overlapped_;
    }

    HANDLE pipe_;
    UniqueHandle event_ = NewEvent();
    OVERLAPPED overlapped_{};
};

bool SendAll(SOCKET tcp, const char* data, DWORD size) {
    while (size > 0) {
        const int sent = ::send(tcp, data, static_cast<int>(size), 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<DWORD>(sent);
    }
    return true;
}

UniqueSocket ConnectLoopback(unsigned short port) {
    UniqueSocket tcp(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!tcp) return tcp;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) tcp.reset();
    return tcp;
}

// Carries one pipe client until both directions have ended. The TCP-to-pipe
// direction ends the connection when the TCP peer ends: the pipe is flushed
// (the client has read everything) and the pipe-to-TCP read is stopped.
void Relay(HANDLE pipe, unsigned short port) {
    UniqueSocket tcp = ConnectLoopback(port);
    if (!tcp) return;
    const UniqueHandle tcpEnded = NewEvent();

    std::thread toPipe([&] {
        PipeTransfer write(pipe);
        std::vector<char> buffer(kBuffer);
        for (;;) {
            const int got = ::recv(tcp.get(), buffer.data(), static_cast<int>(buffer.size()), 0);
            if (got == 0) ::FlushFileBuffers(pipe);
            if (got <= 0 || !write.WriteAll(buffer.data(), static_cast<DWORD>(got))) break;
        }
        ::SetEvent(tcpEnded.get());
    });

    PipeTransfer read(pipe);
    std::vector<char> buffer(kBuffer);
    DWORD got = 0;
    while (read.Read(buffer.data(), static_cast<DWORD>(buffer.size()), got, tcpEnded.get())) {
        if (!SendAll(tcp.get(), buffer.data(), got)) break;
    }
    ::shutdown(tcp.get(), SD_SEND);
    toPipe.join();
}

void ServeInstance(HANDLE pipe, unsigned short port) {
    const UniqueHandle connected = NewEvent();
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = connected.get();
        if (!::ConnectNamedPipe(pipe, &overlapped)) {
            const DWORD error = ::GetLastError();
            DWORD ignored = 0;
            if (error == ERROR_IO_PENDING) {
                if (!::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE)) return;
            } else if (error != ERROR_PIPE_CONNECTED) {
                return;
            }
        }
        Relay(pipe, port);
        ::DisconnectNamedPipe(pipe);
    }
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) Fail("CommandLineToArgvW", ::GetLastError());
    const UniqueLocalMemory ownedArgv(argv);
    const Options options = ParseOptions(argc, argv);

    WSADATA winsock{};
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &winsock); error != 0) Fail("WSAStartup", error);

    // Owned by the user, as a real server's pipe is on Windows.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(UserPipeSddl().c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        Fail("the pipe's descriptor", ::GetLastError());
    }
    const UniqueLocalMemory ownedDescriptor(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    std::vector<UniqueHandle> pipes;
    for (DWORD i = 0; i < kInstances; ++i) {
        UniqueHandle pipe(::CreateNamedPipeW(options.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, kInstances, kBuffer,
                                             kBuffer, 0, &attributes));
        if (!pipe) Fail("CreateNamedPipeW", ::GetLastError());
        pipes.push_back(std::move(pipe));
    }
    for (const UniqueHandle& pipe : pipes) {
        std::thread([handle = pipe.get(), port = options.port] { ServeInstance(handle, port); }).detach();
    }
    DWORD wrote = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &wrote, nullptr);

    // Runs until the test closes our standard input; the instances and their
    // connections end with the process.
    char sink[256];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), sink, sizeof sink, &got, nullptr) || got == 0) break;
    }
    ::ExitProcess(0);
}
