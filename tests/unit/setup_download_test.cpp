// The installer download's read loop and limits, against a body source and a
// file sink made of plain functions: the bytes that reach the file, the limit
// checked before a chunk is written, and every message.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "setup/setup_constants.h"
#include "setup/setup_download.h"
#include "support/error_message.h"

namespace {

// A body given as chunk sizes. Bytes carry a running pattern, so the sink can
// tell a dropped, repeated or reordered byte; they are never stored, so a
// 256 MiB body costs no memory. A chunk size of kFail makes that read fail.
constexpr std::uint64_t kFail = ~std::uint64_t{0};

struct FakeBody {
    explicit FakeBody(std::vector<std::uint64_t> sizes) : chunks(std::move(sizes)) {}

    std::vector<std::uint64_t> chunks;
    std::size_t next = 0;
    std::uint64_t produced = 0;
    std::vector<unsigned char*> buffers;
    std::vector<std::uint32_t> capacities;
    bool firstBufferWasZero = false;
    bool patternFill = true;

    bool Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t& received) {
        if (buffers.empty()) {
            firstBufferWasZero = true;
            for (std::uint32_t i = 0; i < capacity; ++i) firstBufferWasZero = firstBufferWasZero && buffer[i] == 0;
        }
        buffers.push_back(buffer);
        capacities.push_back(capacity);
        if (next == chunks.size()) {
            received = 0;
            return true;
        }
        const std::uint64_t size = chunks[next++];
        if (size == kFail) return false;
        if (patternFill) {
            for (std::uint64_t i = 0; i < size && i < capacity; ++i) {
                buffer[i] = static_cast<unsigned char>((produced + i) * 7 + 3);
            }
        }
        produced += size;
        received = static_cast<std::uint32_t>(size);
        return true;
    }
};

// A file that checks the pattern of every byte it is given, in order.
struct FakeFile {
    std::uint64_t written = 0;
    std::size_t writes = 0;
    std::size_t flushes = 0;
    bool patternIntact = true;
    bool checkPattern = true;
    std::uint32_t shortBy = 0;  // reports this many bytes fewer than asked
    bool failWrite = false;
    bool failFlush = false;
    std::vector<const unsigned char*> sources;

    bool Write(const unsigned char* data, std::uint32_t size, std::uint32_t& done) {
        ++writes;
        sources.push_back(data);
        if (failWrite) return false;
        if (checkPattern) {
            for (std::uint32_t i = 0; i < size; ++i) {
                patternIntact = patternIntact && data[i] == static_cast<unsigned char>((written + i) * 7 + 3);
            }
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
// the file is flushed once at the end.
TEST(CopySetupBody, WritesEveryChunkInOrderThenFlushes) {
    FakeBody body{{1, 65536, 17, 40000, 65535}};
    FakeFile file;
    EXPECT_EQ(CopySetupBody(TransferBetween(body, file)), 1u + 65536 + 17 + 40000 + 65535);
    EXPECT_EQ(file.written, 1u + 65536 + 17 + 40000 + 65535);
    EXPECT_TRUE(file.patternIntact);
    EXPECT_EQ(file.writes, 5u);
    EXPECT_EQ(file.flushes, 1u);
}

// One 65536-byte buffer, zero-filled before the first read, serves every read
// and every write: the body is never held in memory.
TEST(CopySetupBody, ReusesOneZeroFilledBuffer) {
    FakeBody body{{300, 65536, 5}};
    FakeFile file;
    CopySetupBody(TransferBetween(body, file));
    EXPECT_TRUE(body.firstBufferWasZero);
    ASSERT_EQ(body.buffers.size(), 4u);
    for (std::size_t i = 0; i < body.buffers.size(); ++i) {
        EXPECT_EQ(body.buffers[i], body.buffers[0]);
        EXPECT_EQ(body.capacities[i], 65536u);
    }
    for (const unsigned char* source : file.sources) EXPECT_EQ(source, body.buffers[0]);
}

// The limit is inclusive: exactly 268435456 bytes is a complete download.
TEST(CopySetupBody, AcceptsABodyOfExactlyTheLimit) {
    FakeBody body{FullChunks(kSetupDownloadLimit)};
    body.patternFill = false;
    FakeFile file;
    file.checkPattern = false;
    EXPECT_EQ(CopySetupBody(TransferBetween(body, file)), 268435456u);
    EXPECT_EQ(file.written, 268435456u);
    EXPECT_EQ(file.flushes, 1u);
}

// The chunk that takes the body past the limit is refused before it is
// written, whether it adds one byte or crosses the limit part way.
TEST(CopySetupBody, RefusesTheChunkThatCrossesTheLimitBeforeWritingIt) {
    for (const std::uint64_t before : {kSetupDownloadLimit, kSetupDownloadLimit - 65536 + 100}) {
        FakeBody body{FullChunks(before)};
        if (before % kSetupReadBufferSize != 0) body.chunks.push_back(before % kSetupReadBufferSize);
        body.chunks.push_back(before == kSetupDownloadLimit ? 1 : 65536);
        body.patternFill = false;
        FakeFile file;
        file.checkPattern = false;
        EXPECT_EQ(MessageOf([&] { CopySetupBody(TransferBetween(body, file)); }),
                  "Quorl Tholm setup exceeds the download limit.");
        EXPECT_EQ(file.written, before);
        EXPECT_EQ(file.flushes, 0u);
    }
}

// Each fault ends the copy with its message; what was written before it stays
// written (the staging clean-up removes the file), and only a complete body
// is flushed. A source that reports more bytes than the buffer holds has not
// delivered them.
TEST(CopySetupBody, RefusesEachFaultWithItsMessage) {
    const std::string incomplete = "Quorl Tholm setup download is empty or incomplete.";
    const std::string unsaved = "Could not save Quorl Tholm setup.";
    const std::string interrupted = "Quorl Tholm download was interrupted.";
    struct Case {
        const char* name;
        std::vector<std::uint64_t> chunks;
        void (*fault)(FakeFile&);
        std::string message;
        std::uint64_t written;
    };
    const Case cases[] = {
        {"empty body", {}, [](FakeFile&) {}, incomplete, 0},
        {"short write", {1000, 1000}, [](FakeFile& f) { f.shortBy = 1; }, unsaved, 999},
        {"failed write", {1000}, [](FakeFile& f) { f.failWrite = true; }, unsaved, 0},
        {"failed read after data", {5000, 70, kFail, 10}, [](FakeFile&) {}, interrupted, 5070},
        {"failed first read", {kFail}, [](FakeFile&) {}, interrupted, 0},
        {"read longer than the buffer", {10, 65537}, [](FakeFile&) {}, interrupted, 10},
        {"failed flush", {42}, [](FakeFile& f) { f.failFlush = true; }, incomplete, 42},
    };
    for (const Case& c : cases) {
        FakeBody body{c.chunks};
        FakeFile file;
        c.fault(file);
        EXPECT_EQ(MessageOf([&] { CopySetupBody(TransferBetween(body, file)); }), c.message) << c.name;
        EXPECT_EQ(file.written, c.written) << c.name;
        if (c.chunks.empty()) {
            EXPECT_EQ(file.writes, 0u);
        }
        EXPECT_EQ(file.flushes, file.failFlush ? 1u : 0u) << c.name;
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
    EXPECT_EQ(SetupDownloadPath("x64"), "/quorl-tholm/latest/quorl-tholm-windows-x64-setup.exe");
}

TEST(SetupDownloadRequest, MessagesNameTheHostTheyAreGiven) {
    EXPECT_EQ(SetupConnectMessage("localhost"), "Could not connect to localhost.");
    EXPECT_EQ(SetupNotAvailableMessage("localhost"), "Quorl Tholm setup is not available from localhost.");
}
