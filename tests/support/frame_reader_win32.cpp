#include "support/frame_reader_win32.h"

#include <string>

WireFrame ReadFrame(ChildProcess& child, std::uint32_t timeoutMs) {
    const std::string header = child.ReadOutput(16, timeoutMs);
    if (header.size() != 16) return {0, 0, "(no frame: " + std::to_string(header.size()) + " header bytes)"};
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(static_cast<unsigned char>(header[12 + i])) << (8 * i);
    const std::string payload = length == 0 ? std::string() : child.ReadOutput(length, timeoutMs);
    std::size_t rest = 0;
    const auto frames = ParseWire(header + payload, &rest);
    if (frames.size() != 1 || rest != 0) return {0, 0, "(malformed frame)"};
    return frames[0];
}
