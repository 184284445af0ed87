// test-pipe-server: serves a named pipe for tests, benchmarks and the field
// test bed, then waits for its standard input to close and exits 0 (every
// instance goes with the process).
//
//   test-pipe-server --name \\.\pipe\NAME [options]
//     --sddl TEXT       security descriptor of every instance, in SDDL (owner,
//                       DACL and label are kept as given); without it the
//                       descriptor Windows gives a non-elevated server by
//                       default: owned by the user, full control for
//                       LocalSystem, Administrators and the user, read for
//                       everyone (Wine would give the pipe no owner at all)
//     --null-dacl       a null DACL (after --sddl, which may still give the owner)
//     --mode MODE       what each instance does with a connected client:
//                         echo        writes back everything it reads (default)
//                         echo-cut    echoes, and once it has echoed as many
//                                     bytes as the first 8 bytes of the
//                                     connection say (little-endian, those 8
//                                     included) disconnects the client; the
//                                     client chooses where its stream ends
//                         close       disconnects the client at once
//                         never-read  keeps the client, never reads or writes
//                         hold        same as never-read (a quiet server for
//                                     read cancellation)
//                         source      writes without pause until the client
//                                     goes: byte k of the stream is k % 251
//                                     (for throughput benchmarks)
//                         choose      the client's first byte chooses: 'e'
//                                     echo, 's' source (busy streams beside
//                                     echoing ones on one pipe)
//                         relay       carries the client, both ways, over a
//                                     new TCP connection to 127.0.0.1:PORT, so
//                                     that a Linux service (an ssh-agent
//                                     through socat, an HTTP server) can stand
//                                     behind a Windows pipe. The client's end
//                                     becomes shutdown(SD_SEND); the TCP
//                                     peer's end disconnects the client once
//                                     it has read everything (a byte pipe has
//                                     no half-close)
//     --port PORT       the loopback TCP port of relay
//     --first-mode MODE what the server's first client gets instead of --mode
//                       (one stalled stream beside working ones)
//     --send TEXT       writes TEXT to each client once it connects, before MODE
//     --instances N     pipe instances served at once (default 1)
//
// Prints "ready" and a line feed on standard output once every instance
// exists. Each instance serves one client after another on a thread of its
// own. Failures print one line on standard error and exit 2. No iostreams:
// this builds with zig too.

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os/handles_win32.h"

namespace {

enum class Mode { Echo, EchoCut, Close, Quiet, Source, Choose, Relay };

struct Options {
    std::wstring name;
    std::wstring sddl;
    bool nullDacl = false;
    Mode mode = Mode::Echo;
    std::optional<Mode> firstMode;
    std::string send;
    DWORD instances = 1;
    unsigned short port = 0;
};

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
    std::fprintf(stderr, "test-pipe-server: %s (error %lu)\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
    ::ExitProcess(2);
}

Mode ParseMode(const std::wstring& text) {
    const std::pair<const wchar_t*, Mode> modes[] = {
        {L"echo", Mode::Echo},  {L"echo-cut", Mode::EchoCut}, {L"close", Mode::Close},   {L"never-read", Mode::Quiet},
        {L"hold", Mode::Quiet}, {L"source", Mode::Source},    {L"choose", Mode::Choose}, {L"relay", Mode::Relay}};
    for (const auto& [name, mode] : modes) {
        if (text == name) return mode;
    }
    Fail("unknown mode", 0);
}

// Owned by the user, as a real server's pipe is on Windows; Wine's token owner
// is a group (S-1-5-21-0-0-0-513), not the user Windows makes the default owner.
std::wstring UserPipeSddl() {
    UniqueHandle token;
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid, &text)) {
        Fail("reading the user's SID", ::GetLastError());
    }
    const UniqueLocalMemory owned(text);
    const std::wstring owner = text;
    return L"O:" + owner + L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + owner + L")(A;;FR;;;WD)";
}

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (word == L"--null-dacl") {
            options.nullDacl = true;
            continue;
        }
        if (i + 1 >= argc) Fail("missing value or unknown option", 0);
        const std::wstring value = argv[++i];
        const DWORD number = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
        if (word == L"--name") {
            options.name = value;
        } else if (word == L"--sddl") {
            options.sddl = value;
        } else if (word == L"--send") {
            options.send.assign(value.begin(), value.end());
        } else if (word == L"--instances") {
            options.instances = number;
        } else if (word == L"--port") {
            options.port = static_cast<unsigned short>(number);
        } else if (word == L"--mode") {
            options.mode = ParseMode(value);
        } else if (word == L"--first-mode") {
            options.firstMode = ParseMode(value);
        } else {
            Fail("unknown option", 0);
        }
    }
    if (options.name.empty() || options.instances == 0) Fail("--name is required", 0);
    if ((options.mode == Mode::Relay) != (options.port != 0)) Fail("--mode relay goes with --port", 0);
    if (options.sddl.empty()) options.sddl = UserPipeSddl();
    return options;
}

UniqueHandle NewEvent() {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) Fail("CreateEventW", ::GetLastError());
    return event;
}

// One overlapped transfer at a time, with an event of its own: instances are
// overlapped because a synchronous handle serialises its reads and writes,
// and a relay reads and writes at once, from two threads.
class PipeIo {
public:
    explicit PipeIo(HANDLE pipe) : pipe_(pipe) {}

    // Moves some bytes; false at the client's end or on any failure, or once
    // `stop` is set (the pending transfer is cancelled and settled first).
    bool Some(char* data, DWORD size, bool write, DWORD& moved, HANDLE stop = nullptr) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        const BOOL done = write ? ::WriteFile(pipe_, data, size, nullptr, &overlapped)
                                : ::ReadFile(pipe_, data, size, nullptr, &overlapped);
        if (!done && ::GetLastError() != ERROR_IO_PENDING) return false;
        const HANDLE waits[] = {event_.get(), stop};
        if (::WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe_, &overlapped);
            ::GetOverlappedResult(pipe_, &overlapped, &moved, TRUE);
            return false;
        }
        return ::GetOverlappedResult(pipe_, &overlapped, &moved, TRUE) && moved > 0;
    }

    bool WriteAll(const char* data, DWORD size) {
        for (DWORD moved = 0; size > 0; data += moved, size -= moved) {
            if (!Some(const_cast<char*>(data), size, true, moved)) return false;
        }
        return true;
    }

private:
    HANDLE pipe_;
    UniqueHandle event_ = NewEvent();
};

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
void Relay(HANDLE pipe, PipeIo& fromPipe, unsigned short port) {
    UniqueSocket tcp = ConnectLoopback(port);
    if (!tcp) return;
    const UniqueHandle tcpEnded = NewEvent();
    std::thread toPipe([&] {
        PipeIo io(pipe);
        std::vector<char> buffer(65536);
        for (;;) {
            const int got = ::recv(tcp.get(), buffer.data(), static_cast<int>(buffer.size()), 0);
            if (got == 0) ::FlushFileBuffers(pipe);
            if (got <= 0 || !io.WriteAll(buffer.data(), static_cast<DWORD>(got))) break;
        }
        ::SetEvent(tcpEnded.get());
    });
    std::vector<char> buffer(65536);
    DWORD got = 0;
    while (fromPipe.Some(buffer.data(), static_cast<DWORD>(buffer.size()), false, got, tcpEnded.get())) {
        if (::send(tcp.get(), buffer.data(), static_cast<int>(got), 0) != static_cast<int>(got)) break;
    }
    ::shutdown(tcp.get(), SD_SEND);
    toPipe.join();
}

void ServeClient(HANDLE pipe, const Options& options, Mode mode) {
    PipeIo io(pipe);
    if (!io.WriteAll(options.send.data(), static_cast<DWORD>(options.send.size())) || mode == Mode::Close) return;
    if (mode == Mode::Relay) return Relay(pipe, io, options.port);
    DWORD got = 0;
    if (mode == Mode::Choose) {
        char choice = 0;
        if (!io.Some(&choice, 1, false, got) || (choice != 'e' && choice != 's')) return;
        mode = choice == 'e' ? Mode::Echo : Mode::Source;
    }
    if (mode == Mode::Quiet) {
        // Keep the client until it goes: a zero-byte peek fails once it has.
        while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) ::Sleep(20);
        return;
    }
    if (mode == Mode::Source) {
        // 32 KiB writes at every phase of the period, so any read can be checked.
        constexpr DWORD block = 32768;
        std::vector<char> pattern(block + 251);
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % 251);
        for (unsigned long long sent = 0; io.WriteAll(pattern.data() + sent % 251, block); sent += block) {
        }
        return;
    }
    // Echo. In echo-cut the limit is known once 8 bytes have come; until then
    // the bytes are echoed at once, so a client may send fewer than 8.
    std::vector<char> buffer(65536);
    unsigned long long limit = ~0ull;
    unsigned long long echoed = 0;
    unsigned char header[8];
    unsigned headerBytes = mode == Mode::EchoCut ? 0 : 8;
    while (echoed < limit && io.Some(buffer.data(), static_cast<DWORD>(buffer.size()), false, got)) {
        for (DWORD i = 0; i < got && headerBytes < 8; ++i) {
            header[headerBytes++] = static_cast<unsigned char>(buffer[i]);
            if (headerBytes == 8) std::memcpy(&limit, header, 8);  // Windows runs little-endian only
        }
        const DWORD give = echoed >= limit ? 0 : static_cast<DWORD>(std::min<unsigned long long>(got, limit - echoed));
        if (!io.WriteAll(buffer.data(), give)) return;
        echoed += give;
    }
}

void ServeInstance(HANDLE pipe, const Options& options, std::atomic<bool>& firstServed) {
    const UniqueHandle connected = NewEvent();
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = connected.get();
        DWORD ignored = 0;
        if (!::ConnectNamedPipe(pipe, &overlapped) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
            (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE))) {
            return;
        }
        const bool first = options.firstMode && !firstServed.exchange(true);
        ServeClient(pipe, options, first ? *options.firstMode : options.mode);
        // The client reads every byte written to it before it is disconnected.
        ::FlushFileBuffers(pipe);
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
    PSECURITY_DESCRIPTOR parsed = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(options.sddl.c_str(), SDDL_REVISION_1, &parsed,
                                                                nullptr)) {
        Fail("bad SDDL", ::GetLastError());
    }
    const UniqueLocalMemory ownedDescriptor(parsed);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), parsed, FALSE};
    // Wine turns "D:NO_ACCESS_CONTROL" into an empty DACL: build the null DACL
    // by hand, on an absolute descriptor that can take it, with the owner given.
    SECURITY_DESCRIPTOR nullDacl{};
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (options.nullDacl && (!::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION) ||
                             !::GetSecurityDescriptorOwner(parsed, &owner, &defaulted) ||
                             !::SetSecurityDescriptorOwner(&nullDacl, owner, FALSE) ||
                             !::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE))) {
        Fail("the null DACL", ::GetLastError());
    }
    if (options.nullDacl) attributes.lpSecurityDescriptor = &nullDacl;
    WSADATA winsock{};
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &winsock); error != 0) Fail("WSAStartup", error);

    std::vector<UniqueHandle> pipes;
    for (DWORD i = 0; i < options.instances; ++i) {
        UniqueHandle pipe(::CreateNamedPipeW(options.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, options.instances, 65536,
                                             65536, 0, &attributes));
        if (!pipe) Fail("CreateNamedPipeW", ::GetLastError());
        pipes.push_back(std::move(pipe));
    }
    std::atomic<bool> firstServed{false};
    for (const UniqueHandle& pipe : pipes) {
        std::thread([handle = pipe.get(), &options, &firstServed] {
            ServeInstance(handle, options, firstServed);
        }).detach();
    }
    // Straight to the handle: exactly "ready\n" whatever the C runtime's text mode does.
    DWORD wrote = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &wrote, nullptr);

    // Runs until the test closes our standard input; the instances end with the process.
    char sink[256];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), sink, sizeof sink, &got, nullptr) && got > 0) {
    }
    ::ExitProcess(0);
}
