// The installer download's read loop and limits, against a body source and a
// file sink made of plain functions: the bytes that reach the file, the limit
// checked before a chunk is written, and every message.

#include <gtest/gtest.h>

#include <vector>

#include "setup/setup_constants.h"
#include "setup/setup_download.h"
#include "support/error_message.h"

namespace {

// A body given as chunk sizes. Its first mebibyte carries a running pattern,
// so the sink can tell a dropped, repeated or reordered byte; bytes are never
// stored, so a 256 MiB body costs no memory. A chunk size of kFail makes that
// read fail.
constexpr std::uint64_t kFail = ~std::uint64_t{0};
constexpr std::uint64_t kPatterned = 1048576;

unsigned char Pattern(std::uint64_t at) { return static_cast<unsigned char>(at * 7 + 3); }

struct FakeBody {
    std::vector<std::uint64_t> chunks;
    std::size_t next = 0;
    std::uint64_t produced = 0;

    bool Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t& received) {
        received = 0;
        if (next == chunks.size()) return true;
        const std::uint64_t size = chunks[next++];
        if (size == kFail) return false;
        for (std::uint64_t i = 0; i < size && i < capacity && produced < kPatterned; ++i)
            buffer[i] = Pattern(produced + i);
        produced += size;
        received = static_cast<std::uint32_t>(size);
        return true;
    }
};

struct FakeFile {
    std::uint64_t written = 0;
    std::size_t flushes = 0;
    bool patternIntact = true;
    std::uint32_t shortBy = 0;  // reports this many bytes fewer than asked
    bool failWrite = false;
    bool failFlush = false;

    bool Write(const unsigned char* data, std::uint32_t size, std::uint32_t& done) {
        if (failWrite) return false;
        for (std::uint32_t i = 0; i < size && written < kPatterned; ++i) {
            patternIntact = patternIntact && data[i] == Pattern(written + i);
        }
        done = size - (shortBy < size ? shortBy : size);
        written += done;
        return true;
    }
    bool Flush() {
        ++flushes;
        return !failFlush;
    }
};

SetupBodyTransfer TransferBetween(FakeBody& body, FakeFile& file) {
    SetupBodyTransfer transfer;
    transfer.read = [&body](unsigned char* b, std::uint32_t c, std::uint32_t& r) { return body.Read(b, c, r); };
    transfer.write = [&file](const unsigned char* d, std::uint32_t s, std::uint32_t& w) { return file.Write(d, s, w); };
    transfer.flush = [&file] { return file.Flush(); };
    return transfer;
}

std::vector<std::uint64_t> FullChunks(std::uint64_t total) {
    return std::vector<std::uint64_t>(total / kSetupReadBufferSize, kSetupReadBufferSize);
}

}  // namespace

// Bytes arrive in the file in order and intact, whatever the chunk sizes, and
// only a complete body is flushed, once. The limit is inclusive, and the chunk
// that takes the body past it is refused before it is written. Each fault ends
// the copy with its message; what was written before it stays written (the
// staging clean-up removes the file). A source that reports more bytes than the
// buffer holds has not delivered them.
TEST(CopySetupBody, CopiesInOrderAndRefusesEachFaultWithItsMessage) {
    const std::string incomplete = "Quorl Tholm setup download is empty or incomplete.";
    const std::string unsaved = "Could not save Quorl Tholm setup.";
    const std::string interrupted = "Quorl Tholm download was interrupted.";
    const std::string tooLarge = "Quorl Tholm setup exceeds the download limit.";
    const auto limitThen = [](std::vector<std::uint64_t> more) {
        std::vector<std::uint64_t> chunks = FullChunks(kSetupDownloadLimit);
        chunks.insert(chunks.end(), more.begin(), more.end());
        return chunks;
    };
    std::vector<std::uint64_t> crossing = FullChunks(kSetupDownloadLimit - 65536);
    crossing.insert(crossing.end(), {100, 65536});
    struct Case {
        const char* name;
        std::vector<std::uint64_t> chunks;
        void (*fault)(FakeFile&);
        std::string message;
        std::uint64_t written;
    };
    const Case cases[] = {
        {"exactly the limit", limitThen({}), [](FakeFile&) {}, "(no error)", kSetupDownloadLimit},
        {"one byte over the limit", limitThen({1}), [](FakeFile&) {}, tooLarge, kSetupDownloadLimit},
        {"a chunk crossing the limit", crossing, [](FakeFile&) {}, tooLarge, kSetupDownloadLimit - 65536 + 100},
        {"short write", {1000, 1000}, [](FakeFile& f) { f.shortBy = 1; }, unsaved, 999},
        {"failed write", {1000}, [](FakeFile& f) { f.failWrite = true; }, unsaved, 0},
        {"failed read after data", {5000, 70, kFail, 10}, [](FakeFile&) {}, interrupted, 5070},
        {"read longer than the buffer", {10, 65537}, [](FakeFile&) {}, interrupted, 10},
        {"failed flush", {42}, [](FakeFile& f) { f.failFlush = true; }, incomplete, 42},
    };
    for (const Case& c : cases) {
        FakeBody body{c.chunks};
        FakeFile file;
        c.fault(file);
        const std::string message =
            MessageOf([&] { EXPECT_EQ(CopySetupBody(TransferBetween(body, file)), c.written) << c.name; });
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(file.written, c.written) << c.name;
        EXPECT_TRUE(file.patternIntact) << c.name;
        const bool complete = c.message == "(no error)" || file.failFlush;
        EXPECT_EQ(file.flushes, complete ? 1u : 0u) << c.name;
    }
}

// The request path names the native architecture; others are refused.
TEST(SetupDownloadRequest, NamesTheNativeArchitectureInThePath) {
    EXPECT_EQ(SetupArchitectureName(0), "x86");
    EXPECT_EQ(SetupArchitectureName(9), "x64");
    EXPECT_EQ(SetupArchitectureName(12), "arm64");
    for (const std::uint16_t other : {1, 5, 6, 10, 11, 13, 0xFFFF}) {
        EXPECT_EQ(MessageOf([&] { SetupArchitectureName(other); }),
                  "Quorl Tholm does not support this Windows architecture.");
    }
    EXPECT_EQ(SetupDownloadPath(SetupArchitectureName(12)), "/quorl-tholm/latest/quorl-tholm-windows-arm64-setup.exe");
}

TEST(SetupDownloadRequest, MessagesNameTheHostTheyAreGiven) {
    EXPECT_EQ(SetupConnectMessage("localhost"), "Could not connect to localhost.");
}
