// stdio-copy: copies standard input to standard output until input ends, with
// ReadFile/WriteFile on the standard handles and a 64 KiB buffer. The baseline
// that end-to-end benchmarks set the program's own stdio round trip against.
// Exits 0 at the end of input, 2 when a write fails.

#include <windows.h>

#include <vector>

int main() {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<char> buffer(65536);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) || got == 0) return 0;
        const char* data = buffer.data();
        while (got > 0) {
            DWORD wrote = 0;
            if (!::WriteFile(out, data, got, &wrote, nullptr) || wrote == 0) return 2;
            data += wrote;
            got -= wrote;
        }
    }
}
