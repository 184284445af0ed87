#pragma once
// The wire unit of both running modes: a 16-byte little-endian header followed
// at once by the payload, and the buffer in which incoming bytes are cut into
// frames in place.

#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr std::size_t kFrameHeaderSize = 16;
inline constexpr std::uint32_t kMaxFramePayload = 1048576;
// The most unparsed input the engine holds at once.
inline constexpr std::size_t kMaxBufferedInput = 4194304;

enum class FrameType : std::uint16_t {
    Hello = 1,
    Open = 2,
    Opened = 3,
    OpenFailed = 4,
    Data = 5,
    Eof = 6,
    Close = 7,
    Ping = 8,
    Pong = 9,
    WatchState = 10,
    AllowlistQuery = 11,
    ServiceReply = 12,
    Watch = 13,
    Unwatch = 14,
    AllowlistReply = 15,
};

enum class PipeState : std::uint8_t { Absent = 0, Available = 1, Undetermined = 2 };

struct FrameHeader {
    std::uint8_t bytes[kFrameHeaderSize];
};

// Fills `header` for a frame the program writes. False, leaving `header`
// untouched, unless 1 <= type <= 15 and payloadLength <= 1 MiB.
bool BuildFrameHeader(std::uint32_t type, std::uint32_t streamId, std::uint32_t payloadLength, FrameHeader& header);

enum class ParseStatus { Ok = 0, NeedMore = 1, BadMagic = 2, BadVersion = 3, BadType = 4, TooLong = 5 };

// One frame inside a FrameBuffer; valid until the next ConsumeFrame or AppendInput.
struct FrameView {
    std::uint32_t type = 0;
    std::uint32_t streamId = 0;
    const std::uint8_t* payload = nullptr;  // null when length is 0
    std::uint32_t length = 0;
};

class FrameBuffer {
public:
    FrameBuffer() = default;
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    // Appends `count` bytes. False, changing nothing, when the buffer would hold
    // more than 4 MiB or the block cannot be grown. Only while no frame is pending.
    bool AppendInput(const void* bytes, std::size_t count);

    // The frame at the front, or why there is none. The header is judged as
    // soon as its 16 bytes are present, before the payload arrives.
    ParseStatus ParseFrame(FrameView& view);

    // Drops the pending frame. Nothing is moved here: the bytes that follow are
    // moved to the front of the block only when an append needs the room.
    void ConsumeFrame();

    std::size_t PendingBytes() const { return size_; }
    // Drops every byte and the block itself.
    void Free();
    std::size_t Capacity() const { return capacity_; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t start_ = 0;  // offset of the first unparsed byte in the block
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t pendingLength_ = 0;
};
