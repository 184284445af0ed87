#pragma once
// Stream IDs for new streams: each one is the next number after the last one
// given (0 skipped), so an ID that just ended is not reused until the whole
// 32-bit space has gone round. Frames still in flight for an ended stream can
// therefore never be mistaken for frames of a new one, and the bridge never
// sees an `Open` for an ID it may not have forgotten yet.

#include <cstdint>
#include <set>

class StreamIdAllocator {
public:
    // The first ID given is the one after `last` (1 when `last` is 0).
    explicit StreamIdAllocator(std::uint32_t last = 0) : last_(last) {}

    // Marks and returns the next ID that is neither 0 nor in use. The caller
    // holds far fewer than 2^32 - 1 IDs at a time.
    std::uint32_t Allocate();

    void Release(std::uint32_t id) { used_.erase(id); }
    bool InUse(std::uint32_t id) const { return used_.count(id) != 0; }

private:
    std::uint32_t last_;
    std::set<std::uint32_t> used_;
};
