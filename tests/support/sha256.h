#pragma once
// SHA-256 (FIPS 180-4), incremental, for checking bytes carried by the bridge
// without keeping them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(const void* data, std::size_t size);
    // The digest of everything given so far; the object is not changed, so
    // more bytes may follow.
    Digest Final() const;
    std::uint64_t Size() const { return size_; }

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::uint64_t size_ = 0;
};

// Lower-case hexadecimal of a digest.
std::string DigestHex(const Sha256::Digest& digest);
