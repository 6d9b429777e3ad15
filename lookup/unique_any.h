// One owner for every kind of handle and block: a move-only holder that
// calls its kind's release function exactly once, when it goes or is reset.
// Each kind is a one-line alias below (or beside the code that uses it).
#pragma once

#include <utility>

// `Close` is a plain function taking the handle; `Invalid` is the value that
// owns nothing (null for most kinds, INVALID_HANDLE_VALUE for some).
template <typename T, auto Close, T Invalid = T()> class UniqueAny {
public:
    UniqueAny() = default;
    explicit UniqueAny(T value) : value_(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny &) = delete;
    UniqueAny &operator=(const UniqueAny &) = delete;
    UniqueAny(UniqueAny &&other) noexcept : value_(other.release()) {}
    UniqueAny &operator=(UniqueAny &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid; }

    // Gives up ownership without releasing.
    T release() { return std::exchange(value_, Invalid); }
    // Releases what is held (if anything) and takes `value`.
    void reset(T value = Invalid)
    {
        T old = std::exchange(value_, value);
        if (old != Invalid)
            Close(old);
    }

private:
    T value_ = Invalid;
};
