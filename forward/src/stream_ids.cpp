#include "stream_ids.h"

std::uint32_t StreamIdAllocator::Allocate() {
    std::uint32_t candidate = last_;
    do {
        ++candidate;  // wraps from 0xFFFFFFFF to 0, which is skipped below
    } while (candidate == 0 || used_.count(candidate) != 0);
    used_.insert(candidate);
    last_ = candidate;
    return candidate;
}
