// test-pipe-server: serves a named pipe for tests, then waits for its standard
// input to close and exits 0 (every instance goes with the process).
//
//   test-pipe-server --name \\.\pipe\NAME [options]
//     --sddl TEXT       security descriptor of every instance, in SDDL (owner,
//                       DACL and label are kept as given); without it the
//                       descriptor Windows gives a non-elevated server by
//                       default: owned by the user, full control for
//                       LocalSystem, Administrators and the user, read for
//                       everyone
//     --no-descriptor   no descriptor at all (Wine then reports neither owner
//                       nor DACL, which Windows never does)
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
//     --first-mode MODE what the server's first client gets instead of --mode
//                       (one stalled stream beside working ones)
//     --send TEXT       writes TEXT to each client once it connects, before MODE
//     --instances N     pipe instances served at once (default 1)
//     --buffer N        in and out buffer sizes in bytes (default 65536)
//
// Prints "ready" and a line feed on standard output once every instance
// exists. Each instance serves one client after another. Failures print one
// line on standard error and exit 2. No iostreams: this builds with zig too.

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "os/handles_win32.h"
#include "user_pipe_descriptor.h"

namespace {

enum class Mode { Echo, EchoCut, Close, Quiet, Source, Choose };

struct Options {
    std::wstring name;
    std::wstring sddl;
    bool nullDacl = false;
    bool noDescriptor = false;
    Mode mode = Mode::Echo;
    Mode firstMode = Mode::Echo;
    bool hasFirstMode = false;
    std::string send;
    DWORD instances = 1;
    DWORD buffer = 65536;
};

[[noreturn]] void Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "test-pipe-server: %s (error %lu)\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
    std::exit(2);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(static_cast<char>(c));
    return out;
}

Mode ParseMode(const std::wstring& mode) {
    if (mode == L"echo") return Mode::Echo;
    if (mode == L"echo-cut") return Mode::EchoCut;
    if (mode == L"close") return Mode::Close;
    if (mode == L"never-read" || mode == L"hold") return Mode::Quiet;
    if (mode == L"source") return Mode::Source;
    if (mode == L"choose") return Mode::Choose;
    Fail("unknown mode", 0);
}

std::wstring DefaultSddl() {
    std::wstring sddl = UserPipeSddl();
    if (sddl.empty()) Fail("reading the user's SID", ::GetLastError());
    return sddl;
}

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == L"--null-dacl") {
            options.nullDacl = true;
        } else if (word == L"--no-descriptor") {
            options.noDescriptor = true;
        } else if (!hasValue) {
            Fail("missing value or unknown option", 0);
        } else if (word == L"--name") {
            options.name = argv[++i];
        } else if (word == L"--sddl") {
            options.sddl = argv[++i];
        } else if (word == L"--send") {
            options.send = Narrow(argv[++i]);
        } else if (word == L"--instances") {
            options.instances = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (word == L"--buffer") {
            options.buffer = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (word == L"--mode") {
            options.mode = ParseMode(argv[++i]);
        } else if (word == L"--first-mode") {
            options.firstMode = ParseMode(argv[++i]);
            options.hasFirstMode = true;
        } else {
            Fail("unknown option", 0);
        }
    }
    if (options.name.empty() || options.instances == 0) Fail("--name is required", 0);
    if (options.sddl.empty() && !options.noDescriptor) options.sddl = DefaultSddl();
    return options;
}

// Owns the descriptor every instance is created with (or none).
class Descriptor {
public:
    explicit Descriptor(const Options& options) {
        if (!options.sddl.empty()) {
            PSECURITY_DESCRIPTOR parsed = nullptr;
            if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(options.sddl.c_str(), SDDL_REVISION_1, &parsed,
                                                                        nullptr)) {
                Fail("bad SDDL", ::GetLastError());
            }
            parsed_.reset(parsed);
        }
        if (options.nullDacl) {
            // Wine turns "D:NO_ACCESS_CONTROL" into an empty DACL: build the null
            // DACL by hand, on an absolute copy that can take it.
            if (!::InitializeSecurityDescriptor(&absolute_, SECURITY_DESCRIPTOR_REVISION)) {
                Fail("InitializeSecurityDescriptor", ::GetLastError());
            }
            if (parsed_) {
                PSID owner = nullptr;
                BOOL defaulted = FALSE;
                if (::GetSecurityDescriptorOwner(parsed_.get(), &owner, &defaulted) && owner) {
                    ::SetSecurityDescriptorOwner(&absolute_, owner, FALSE);
                }
            }
            if (!::SetSecurityDescriptorDacl(&absolute_, TRUE, nullptr, FALSE)) {
                Fail("SetSecurityDescriptorDacl", ::GetLastError());
            }
            attributes_.lpSecurityDescriptor = &absolute_;
        } else {
            attributes_.lpSecurityDescriptor = parsed_.get();
        }
    }
    SECURITY_ATTRIBUTES* Attributes() { return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr; }

private:
    UniqueLocalMemory parsed_;
    SECURITY_DESCRIPTOR absolute_{};
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

bool WriteAll(HANDLE pipe, const char* data, DWORD size) {
    while (size > 0) {
        DWORD wrote = 0;
        if (!::WriteFile(pipe, data, size, &wrote, nullptr) || wrote == 0) return false;
        data += wrote;
        size -= wrote;
    }
    return true;
}

void ServeClient(HANDLE pipe, const Options& options, Mode mode) {
    if (!options.send.empty() && !WriteAll(pipe, options.send.data(), static_cast<DWORD>(options.send.size()))) return;
    if (mode == Mode::Close) return;
    if (mode == Mode::Choose) {
        char choice = 0;
        DWORD got = 0;
        if (!::ReadFile(pipe, &choice, 1, &got, nullptr) || got != 1) return;
        if (choice == 'e') mode = Mode::Echo;
        else if (choice == 's') mode = Mode::Source;
        else return;
    }
    if (mode == Mode::Quiet) {
        // Keep the client until it goes: a zero-byte peek fails once it has.
        for (;;) {
            if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) return;
            ::Sleep(20);
        }
    }
    if (mode == Mode::Source) {
        // 32 KiB writes at every phase of the period, so any read can be checked.
        constexpr DWORD block = 32768;
        std::vector<char> pattern(block + 251);
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % 251);
        for (unsigned long long sent = 0;; sent += block) {
            if (!WriteAll(pipe, pattern.data() + sent % 251, block)) return;
        }
    }
    // Echo. In echo-cut the limit is known once 8 bytes have come; until then
    // the bytes are echoed at once, so a client may send fewer than 8.
    std::vector<char> buffer(65536);
    unsigned long long limit = ~0ull;
    unsigned long long echoed = 0;
    unsigned char header[8];
    unsigned headerBytes = options.mode == Mode::EchoCut ? 0 : 8;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return;
        for (DWORD i = 0; i < got && headerBytes < 8; ++i) {
            header[headerBytes++] = static_cast<unsigned char>(buffer[i]);
            if (headerBytes == 8) {
                limit = 0;
                for (int b = 7; b >= 0; --b) limit = (limit << 8) | header[b];
            }
        }
        DWORD give = echoed >= limit ? 0 : got;
        if (give > limit - echoed) give = static_cast<DWORD>(limit - echoed);
        if (give > 0 && !WriteAll(pipe, buffer.data(), give)) return;
        echoed += give;
        // The caller flushes before it disconnects, so the client reads every echoed byte first.
        if (echoed >= limit) return;
    }
}

void ServeInstance(HANDLE pipe, const Options& options, std::atomic<bool>& firstServed) {
    for (;;) {
        if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return;
        const bool first = options.hasFirstMode && !firstServed.exchange(true);
        ServeClient(pipe, options, first ? options.firstMode : options.mode);
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
    Descriptor descriptor(options);

    std::vector<UniqueHandle> pipes;
    for (DWORD i = 0; i < options.instances; ++i) {
        UniqueHandle pipe(::CreateNamedPipeW(options.name.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, options.instances,
                                             options.buffer, options.buffer, 0, descriptor.Attributes()));
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
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), sink, sizeof sink, &got, nullptr) || got == 0) break;
    }
    ::ExitProcess(0);
}
