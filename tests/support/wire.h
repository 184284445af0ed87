#pragma once
// The frame format as the tests write and read it: coded here by hand, apart
// from the product's own parser, so that a fault there cannot hide itself in
// what the tests expect. Every C++ test, harness and tool uses this one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t kWireHeaderSize = 16;

// The header the bridge sends first: Hello, stream 0, no payload.
inline const std::string kHello("QSF1\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16);

struct WireFrame {
    std::uint32_t type;
    std::uint32_t streamId;
    std::string payload;
    bool operator==(const WireFrame&) const = default;
};

// Any frame, also one the program would refuse (a type out of range, a length
// over the limit): the type is cut to its 16 bits.
inline std::string FrameBytes(std::uint32_t type, std::uint32_t streamId, const std::string& payload = std::string()) {
    std::string raw("QSF1\x01\x00", 6);
    raw += static_cast<char>(type & 0xFF);
    raw += static_cast<char>((type >> 8) & 0xFF);
    for (int i = 0; i < 4; ++i) raw += static_cast<char>((streamId >> (8 * i)) & 0xFF);
    const std::uint64_t length = payload.size();
    for (int i = 0; i < 4; ++i) raw += static_cast<char>((length >> (8 * i)) & 0xFF);
    return raw + payload;
}

inline std::uint32_t WireWord(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Whole frames in `bytes`, read without checking magic or version; `rest`
// gets the bytes of an incomplete last frame.
inline std::vector<WireFrame> ParseWire(const std::string& bytes, std::size_t* rest = nullptr) {
    std::vector<WireFrame> frames;
    std::size_t at = 0;
    while (bytes.size() - at >= kWireHeaderSize) {
        const std::uint32_t type =
            static_cast<unsigned char>(bytes[at + 6]) | (static_cast<unsigned char>(bytes[at + 7]) << 8);
        const std::uint32_t length = WireWord(bytes, at + 12);
        if (bytes.size() - at - kWireHeaderSize < length) break;
        frames.push_back({type, WireWord(bytes, at + 8), bytes.substr(at + kWireHeaderSize, length)});
        at += kWireHeaderSize + length;
    }
    if (rest) *rest = bytes.size() - at;
    return frames;
}
