#include "engine/frame.h"

#include <cstring>
#include <new>

namespace {

constexpr std::uint8_t kMagic[4] = {0x51, 0x53, 0x46, 0x31};  // "QSF1"
constexpr std::uint32_t kLastFrameType = 15;

void PutLe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t GetLe16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

std::uint32_t GetLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

bool IsFrameType(std::uint32_t type) { return type >= 1 && type <= kLastFrameType; }

}  // namespace

bool BuildFrameHeader(std::uint32_t type, std::uint32_t streamId, std::uint32_t payloadLength, FrameHeader& header) {
    if (!IsFrameType(type) || payloadLength > kMaxFramePayload) return false;
    std::memcpy(header.bytes, kMagic, sizeof kMagic);
    PutLe16(header.bytes + 4, 1);
    header.bytes[6] = static_cast<std::uint8_t>(type);
    header.bytes[7] = 0;
    PutLe32(header.bytes + 8, streamId);
    PutLe32(header.bytes + 12, payloadLength);
    return true;
}

bool FrameBuffer::AppendInput(const void* bytes, std::size_t count) {
    if (count > kMaxBufferedInput - size_) return false;
    if (count == 0) return true;
    if (size_ + count > capacity_) {
        std::size_t grown = capacity_ == 0 ? 4096 : capacity_;
        while (grown < size_ + count) grown *= 2;
        std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[grown]);
        if (!block) return false;
        if (size_ != 0) std::memcpy(block.get(), data_.get() + start_, size_);
        data_ = std::move(block);
        capacity_ = grown;
        start_ = 0;
    } else if (start_ + size_ + count > capacity_) {
        std::memmove(data_.get(), data_.get() + start_, size_);
        start_ = 0;
    }
    std::memcpy(data_.get() + start_ + size_, bytes, count);
    size_ += count;
    return true;
}

ParseStatus FrameBuffer::ParseFrame(FrameView& view) {
    const std::uint8_t* at = data_.get() + start_;
    if (pendingLength_ == 0) {
        if (size_ < kFrameHeaderSize) return ParseStatus::NeedMore;
        if (std::memcmp(at, kMagic, sizeof kMagic) != 0) return ParseStatus::BadMagic;
        if (GetLe16(at + 4) != 1) return ParseStatus::BadVersion;
        if (!IsFrameType(GetLe16(at + 6))) return ParseStatus::BadType;
        const std::uint32_t length = GetLe32(at + 12);
        if (length > kMaxFramePayload) return ParseStatus::TooLong;
        if (size_ < kFrameHeaderSize + length) return ParseStatus::NeedMore;
        pendingLength_ = kFrameHeaderSize + length;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(pendingLength_ - kFrameHeaderSize);
    view.type = GetLe16(at + 6);
    view.streamId = GetLe32(at + 8);
    view.payload = length == 0 ? nullptr : at + kFrameHeaderSize;
    view.length = length;
    return ParseStatus::Ok;
}

void FrameBuffer::ConsumeFrame() {
    if (pendingLength_ == 0) return;
    size_ -= pendingLength_;
    start_ = size_ == 0 ? 0 : start_ + pendingLength_;
    pendingLength_ = 0;
}

void FrameBuffer::Free() {
    data_.reset();
    start_ = size_ = capacity_ = pendingLength_ = 0;
}
