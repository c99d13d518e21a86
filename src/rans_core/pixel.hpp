// Per-pixel operations shared by every image pass and the plane coder, so the
// encoder and decoder sides compute bit-identical predictions and classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "check.hpp"

namespace kelm {

constexpr std::size_t kGradientSide = 511;
constexpr std::size_t kSLutLen = kGradientSide * kGradientSide;  // 261,121

// Median-style predictor with two deviations that are part of the format:
// a negative gradient clamps to the top, and nearly equal neighbours under a
// much brighter or darker up-left pixel flip to the opposite extreme.
inline uint8_t predict_pixel(uint8_t l, uint8_t u, uint8_t ul) {
    const uint32_t mn = l < u ? l : u;
    const uint32_t mx = l < u ? u : l;
    const uint32_t g = uint32_t(l) + uint32_t(u) - uint32_t(ul);  // wraps when negative
    uint32_t p = g < mn ? mn : g;
    p = p > mx ? mx : p;
    if (mx - mn <= 3) {
        if (int32_t(ul) > int32_t(mx) + 50) return uint8_t(mx);
        if (int32_t(ul) < int32_t(mn) - 50) return uint8_t(mn);
    }
    return uint8_t(p);
}

inline uint8_t fold_residual(uint8_t x, uint8_t prediction) {
    const int8_t d = int8_t(uint8_t(x - prediction));
    return uint8_t((d << 1) ^ (d >> 7));
}

inline uint8_t unfold_residual(uint8_t z, uint8_t prediction) {
    const uint8_t d = uint8_t((z >> 1) ^ (0u - (z & 1u)));
    return uint8_t(prediction + d);
}

inline std::size_t gradient_index(uint8_t l, uint8_t u, uint8_t ul) {
    return std::size_t(int(l) - int(ul) + 255) * kGradientSide + std::size_t(int(u) - int(ul) + 255);
}

// The caller's three classification tables, read flat.
struct ContextTables {
    std::span<const uint8_t> s_lut;  // gradient classes over the 511 x 511 index
    std::span<const uint8_t> i_lut;  // intensity buckets
    std::span<const uint8_t> d_lut;  // class of 4 * gradient class + bucket

    // True when no byte-valued lookup can leave the tables, so kernels may
    // skip the per-lookup checks.
    bool cover_all_lookups() const { return s_lut.size() >= kSLutLen && i_lut.size() >= 256 && d_lut.size() >= 4 * 255 + 256; }
};

// Lookups with or without bounds checks (Checked picks the kernel instantiation).
template <bool Checked>
inline uint8_t lookup(std::span<const uint8_t> table, std::size_t i) {
    if constexpr (Checked) return at(table, i);
    return table[i];
}

template <bool Checked>
inline uint8_t intensity_bucket(const ContextTables& t, uint8_t v) {
    return lookup<Checked>(t.i_lut, v);
}

template <bool Checked>
inline uint8_t class_from_bucket(const ContextTables& t, std::size_t gradient, uint8_t bucket) {
    const uint8_t s = lookup<Checked>(t.s_lut, gradient);
    return lookup<Checked>(t.d_lut, 4 * std::size_t(s) + bucket);
}

template <bool Checked>
inline uint8_t classify_pixel(uint8_t l, uint8_t u, uint8_t ul, uint8_t v, const ContextTables& t) {
    return class_from_bucket<Checked>(t, gradient_index(l, u, ul), intensity_bucket<Checked>(t, v));
}

}  // namespace kelm
