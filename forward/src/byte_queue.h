#pragma once
// Bytes waiting to be written to a non-blocking descriptor, in order.

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteQueue {
public:
    void Append(const std::uint8_t* bytes, std::size_t count) {
        if (head_ != 0 && head_ == data_.size()) {
            data_.clear();
            head_ = 0;
        }
        data_.insert(data_.end(), bytes, bytes + count);
    }
    const std::uint8_t* Front() const { return data_.data() + head_; }
    std::size_t Size() const { return data_.size() - head_; }
    bool Empty() const { return Size() == 0; }

    // Drops `count` written bytes. The block is compacted once the written
    // part outweighs the rest, so the memory held stays near the most queued.
    void Drop(std::size_t count) {
        head_ += count;
        if (head_ == data_.size()) {
            data_.clear();
            head_ = 0;
        } else if (head_ > data_.size() / 2) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

private:
    std::vector<std::uint8_t> data_;
    std::size_t head_ = 0;
};
