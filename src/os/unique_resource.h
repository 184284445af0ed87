#pragma once
// One move-only owner for every kind of operating-system resource. A kind is
// declared by a traits type (its value type, its "none" value, how to tell a
// held value and how to release it) and one alias line; see handles_win32.h.

#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept : value_(Traits::None()) {}
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Value get() const noexcept { return value_; }
    bool held() const noexcept { return Traits::IsHeld(value_); }
    explicit operator bool() const noexcept { return held(); }

    // Gives up ownership without releasing.
    Value release() noexcept { return std::exchange(value_, Traits::None()); }

    // Releases what is held (if anything) and takes `value`.
    void reset(Value value = Traits::None()) noexcept {
        Value old = std::exchange(value_, value);
        if (Traits::IsHeld(old)) Traits::Release(old);
    }

    // For out-parameters of creating calls: releases what is held first.
    Value* put() noexcept {
        reset();
        return &value_;
    }

private:
    Value value_;
};
