// Panic: the failure of an internal check. Algorithms throw it; the binding
// layer turns it into the internal-error exception with the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace kelm {

struct Panic {
    std::string message;
};

// Input that the caller must fix (raised as ValueError, before any output is written).
struct InvalidInput {
    std::string message;
};

[[noreturn]] void panic(std::string message);
[[noreturn]] void panic_index(std::size_t len, std::size_t index);
[[noreturn]] void panic_range_end(std::size_t end, std::size_t len);
[[noreturn]] void panic_range_start(std::size_t start, std::size_t len);
[[noreturn]] void panic_range_order(std::size_t start, std::size_t end);
[[noreturn]] void panic_capacity_overflow();
[[noreturn]] void reject(std::string message);

// Checked element access: the index message when i is outside the span.
template <class T>
inline T& at(std::span<T> s, std::size_t i) {
    if (i >= s.size()) [[unlikely]]
        panic_index(s.size(), i);
    return s[i];
}

// Reads s[i]; the checked kernels test the index, the unchecked ones rely on
// the sizes validated before the loop.
template <bool Checked, class T>
inline T read(std::span<const T> s, std::size_t i) {
    if constexpr (Checked) return at(s, i);
    return s[i];
}

// Checked sub-range [start, end): the range messages in the order a slice
// checks them (order first, then end).
template <class T>
inline std::span<T> slice(std::span<T> s, std::size_t start, std::size_t end) {
    if (start > end) [[unlikely]]
        panic_range_order(start, end);
    if (end > s.size()) [[unlikely]]
        panic_range_end(end, s.size());
    return s.subspan(start, end - start);
}

// start + len with the range-end message on overflow of the end itself.
template <class T>
inline std::span<T> slice_len(std::span<T> s, std::size_t start, std::size_t len) {
    std::size_t end = start + len;
    if (end < start) [[unlikely]]
        panic_capacity_overflow();
    return slice(s, start, end);
}

// Byte size of n elements of T, or "capacity overflow".
template <class T>
inline std::size_t byte_size(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) [[unlikely]]
        panic_capacity_overflow();
    return n * sizeof(T);
}

inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        panic_capacity_overflow();
    return r;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        panic_capacity_overflow();
    return r;
}

}  // namespace kelm
