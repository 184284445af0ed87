// pipe-client-bench: a direct named-pipe client of test-pipe-server, the
// reference the bridge's throughput is measured against, and a relay of the
// kind peer tools are, the other reference.
//
//   pipe-client-bench --name \\.\pipe\NAME --mode echo|receive|relay [--mib N]
//     echo     writes N MiB in 32 KiB blocks on one thread while reading the
//              echo back on another (server in --mode echo)
//     receive  reads N MiB in 32 KiB blocks from a server that sends without
//              pause (server in --mode source)
//     relay    carries standard input to the pipe and the pipe to standard
//              output in 32 KiB blocks until either ends, then exits 0: one
//              process per connection, raw bytes, no framing and no check of
//              who serves the pipe
//
// Every byte read is checked against the pattern both sides use: byte at
// offset k of the stream is k % 251. Prints one line of key=value pairs on
// standard output; a failure prints one line on standard error and exits 2.
// No iostreams: this builds with zig too.

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/handles_win32.h"

namespace {

constexpr DWORD kBlock = 32768;
constexpr unsigned kPeriod = 251;

enum class Mode { Echo, Receive, Relay };

struct Options {
    std::wstring name;
    Mode mode = Mode::Echo;
    unsigned long long bytes = 64ull << 20;
};

[[noreturn]] void Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "pipe-client-bench: %s (error %lu)\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
    std::exit(2);
}

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring word = argv[i];
        const std::wstring value = argv[i + 1];
        if (word == L"--name") {
            options.name = value;
        } else if (word == L"--mib") {
            options.bytes = std::wcstoull(value.c_str(), nullptr, 10) << 20;
        } else if (word == L"--mode" && value == L"echo") {
            options.mode = Mode::Echo;
        } else if (word == L"--mode" && value == L"receive") {
            options.mode = Mode::Receive;
        } else if (word == L"--mode" && value == L"relay") {
            options.mode = Mode::Relay;
        } else {
            Fail("unknown option or mode", 0);
        }
    }
    if (argc % 2 == 0 || options.name.empty() || options.bytes == 0)
        Fail("usage: --name PIPE --mode MODE [--mib N]", 0);
    return options;
}

// Opens the pipe for overlapped reads and writes, waiting up to about 10 s
// while every instance is busy. Exits on any other failure.
UniqueHandle Connect(const std::wstring& name) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        UniqueHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe) return pipe;
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY) Fail("CreateFileW", error);
        ::WaitNamedPipeW(name.c_str(), 500);
    }
    Fail("every pipe instance stayed busy", ERROR_PIPE_BUSY);
}

// One overlapped transfer carried to its end; a synchronous handle would
// serialize the reader and the writer on the one file object.
class Transfer {
public:
    Transfer() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!event_) Fail("CreateEventW", ::GetLastError());
    }

    // Reads (or writes) up to size bytes; returns the count moved, 0 when the pipe ended.
    DWORD Run(HANDLE pipe, bool read, void* data, DWORD size) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        const BOOL done = read ? ::ReadFile(pipe, data, size, nullptr, &overlapped)
                               : ::WriteFile(pipe, data, size, nullptr, &overlapped);
        if (!done && ::GetLastError() != ERROR_IO_PENDING) return 0;
        DWORD moved = 0;
        if (!::GetOverlappedResult(pipe, &overlapped, &moved, TRUE)) return 0;
        return moved;
    }

private:
    UniqueHandle event_;
};

struct Pattern {
    // Long enough that any block can start at any phase of the period.
    std::vector<char> bytes = std::vector<char>(kBlock + kPeriod);
    Pattern() {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % kPeriod);
    }
    const char* At(unsigned long long offset) const { return bytes.data() + offset % kPeriod; }
};

double Now() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Reads until `total` bytes arrived, checking each against the pattern.
void ReadAll(HANDLE pipe, unsigned long long total, const Pattern& pattern) {
    Transfer transfer;
    std::vector<char> buffer(kBlock);
    unsigned long long received = 0;
    while (received < total) {
        const DWORD want = static_cast<DWORD>(total - received < kBlock ? total - received : kBlock);
        const DWORD got = transfer.Run(pipe, true, buffer.data(), want);
        if (got == 0) Fail("read ended early", ::GetLastError());
        if (std::memcmp(buffer.data(), pattern.At(received), got) != 0) Fail("received bytes differ", 0);
        received += got;
    }
}

// Copies standard input to the pipe on one thread and the pipe to standard
// output on this one; the process ends with the first direction that ends.
[[noreturn]] void Relay(HANDLE pipe) {
    std::thread inward([pipe] {
        Transfer transfer;
        std::vector<char> buffer(kBlock);
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer.data(), kBlock, &got, nullptr) || got == 0) break;
            for (DWORD sent = 0; sent < got;) {
                const DWORD wrote = transfer.Run(pipe, false, buffer.data() + sent, got - sent);
                if (wrote == 0) ::ExitProcess(0);
                sent += wrote;
            }
        }
        ::ExitProcess(0);
    });
    inward.detach();
    Transfer transfer;
    std::vector<char> buffer(kBlock);
    for (;;) {
        const DWORD got = transfer.Run(pipe, true, buffer.data(), kBlock);
        if (got == 0) break;
        for (DWORD sent = 0; sent < got;) {
            DWORD wrote = 0;
            if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), buffer.data() + sent, got - sent, &wrote, nullptr) ||
                wrote == 0) {
                ::ExitProcess(0);
            }
            sent += wrote;
        }
    }
    ::ExitProcess(0);
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) Fail("CommandLineToArgvW", ::GetLastError());
    const UniqueLocalMemory ownedArgv(argv);
    const Options options = ParseOptions(argc, argv);
    const Pattern pattern;
    const UniqueHandle pipe = Connect(options.name);
    if (options.mode == Mode::Relay) Relay(pipe.get());

    const double started = Now();
    if (options.mode == Mode::Echo) {
        std::atomic<bool> writeFailed{false};
        std::thread writer([&] {
            Transfer transfer;
            for (unsigned long long sent = 0; sent < options.bytes;) {
                const DWORD size = static_cast<DWORD>(options.bytes - sent < kBlock ? options.bytes - sent : kBlock);
                const DWORD wrote = transfer.Run(pipe.get(), false, const_cast<char*>(pattern.At(sent)), size);
                if (wrote == 0) {
                    writeFailed = true;
                    return;
                }
                sent += wrote;
            }
        });
        ReadAll(pipe.get(), options.bytes, pattern);
        writer.join();
        if (writeFailed) Fail("write failed", 0);
    } else {
        ReadAll(pipe.get(), options.bytes, pattern);
    }
    const double seconds = Now() - started;

    const double mib = static_cast<double>(options.bytes) / (1024.0 * 1024.0);
    std::printf("mode=%s bytes=%llu block=%lu seconds=%.4f mib_per_s=%.1f\n",
                options.mode == Mode::Echo ? "echo" : "receive", options.bytes, static_cast<unsigned long>(kBlock),
                seconds, mib / seconds);
    std::fflush(stdout);
    return 0;
}
