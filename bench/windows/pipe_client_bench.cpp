// pipe-client-bench: a direct named-pipe client of test-pipe-server, the
// reference the bridge's throughput is measured against.
//
//   pipe-client-bench --name \\.\pipe\NAME --mode echo|receive [--mib N]
//     echo     writes N MiB in 32 KiB blocks on one thread while reading the
//              echo back on another (server in --mode echo)
//     receive  reads N MiB in 32 KiB blocks from a server that sends without
//              pause (server in --mode source)
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

struct Options {
    std::wstring name;
    bool echo = true;
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
        } else if (word == L"--mode" && (value == L"echo" || value == L"receive")) {
            options.echo = value == L"echo";
        } else {
            Fail("unknown option or mode", 0);
        }
    }
    if (argc % 2 == 0 || options.name.empty() || options.bytes == 0) Fail("usage: --name PIPE --mode MODE [--mib N]", 0);
    return options;
}

// Opens the pipe for overlapped reads and writes, waiting up to about 10 s
// while every instance is busy. Exits on any other failure.
UniqueHandle Connect(const std::wstring& name) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        UniqueHandle pipe(::CreateFileW(name.c_str(),
                                        GENERIC_READ | GENERIC_WRITE,
                                        0,
                                        nullptr,
                                        OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED,
                                        nullptr));
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

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) Fail("CommandLineToArgvW", ::GetLastError());
    const UniqueLocalMemory ownedArgv(argv);
    const Options options = ParseOptions(argc, argv);
    const Pattern pattern;
    const UniqueHandle pipe = Connect(options.name);

    const double started = Now();
    if (options.echo) {
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
                options.echo ? "echo" : "receive",
                options.bytes,
                static_cast<unsigned long>(kBlock),
                seconds,
                mib / seconds);
    std::fflush(stdout);
    return 0;
}
