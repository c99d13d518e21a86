// Per-pixel operations shared by every image pass and the plane coder, so the
// encoder and decoder sides compute bit-identical predictions and classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/common/check.hpp"

namespace kelm {

constexpr std::size_t kGradientSide = 511;
constexpr std::size_t kSLutLen = kGradientSide * kGradientSide;  // 261,121

// Median-style predictor with two deviations that are part of the format:
// a negative gradient clamps to the top, and nearly equal neighbours under a
// much brighter or darker up-left pixel flip to the opposite extreme.
// Written on 16-bit lanes with selects only, so row loops vectorise it and
// inner loops never branch on pixel data; inputs are byte values.
inline int16_t predict_lane(int16_t l, int16_t u, int16_t ul) {
    const int16_t mn = l < u ? l : u, mx = l < u ? u : l;
    const int16_t g = int16_t(l + u - ul);
    int16_t p = g < mn ? mn : g;
    p = p > mx ? mx : p;
    p = g < 0 ? mx : p;
    const bool near = int16_t(mx - mn) <= 3;
    // At most one of the two edge conditions can hold (mn <= mx).
    p = (near & (ul > int16_t(mx + 50))) ? mx : p;
    p = (near & (ul < int16_t(mn - 50))) ? mn : p;
    return p;
}

inline uint8_t predict_pixel(uint8_t l, uint8_t u, uint8_t ul) { return uint8_t(predict_lane(l, u, ul)); }

inline uint8_t fold_residual(uint8_t x, uint8_t prediction) {
    const int8_t d = int8_t(uint8_t(x - prediction));
    return uint8_t((d << 1) ^ (d >> 7));
}

inline uint8_t unfold_residual(uint8_t z, uint8_t prediction) {
    const uint8_t d = uint8_t((z >> 1) ^ (0u - (z & 1u)));
    return uint8_t(prediction + d);
}

// |x - prediction| on byte values.
inline uint32_t abs_error(uint8_t x, uint8_t prediction) {
    const int32_t d = int32_t(x) - int32_t(prediction);
    return uint32_t(d < 0 ? -d : d);
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

    // The largest class any pixel can get, when every lookup a pixel can make
    // stays inside the tables; nullopt when some lookup may fail, so the
    // checked kernel must run. Visits the class indices 4 * s + b for every
    // bucket b that i_lut holds and every s up to the largest in s_lut.
    std::optional<uint8_t> max_reachable_class() const {
        if (s_lut.size() < kSLutLen || i_lut.size() < 256) return std::nullopt;
        uint8_t max_s = 0;
        for (std::size_t i = 0; i < kSLutLen; ++i) max_s = s_lut[i] > max_s ? s_lut[i] : max_s;
        bool b_seen[256] = {};
        for (std::size_t i = 0; i < 256; ++i) b_seen[i_lut[i]] = true;
        uint8_t max_class = 0;
        for (std::size_t s = 0; s <= max_s; ++s) {
            for (std::size_t b = 0; b < 256; ++b) {
                if (!b_seen[b]) continue;
                const std::size_t k = 4 * s + b;
                if (k >= d_lut.size()) return std::nullopt;
                max_class = d_lut[k] > max_class ? d_lut[k] : max_class;
            }
        }
        return max_class;
    }

    // True when the unchecked kernels may run: every reachable lookup is in
    // range and every reachable class is below n_classes.
    bool classes_below(std::size_t n_classes) const {
        const auto m = max_reachable_class();
        return m && std::size_t(*m) < n_classes;
    }
};

template <bool Checked>
inline uint8_t intensity_bucket(const ContextTables& t, uint8_t v) {
    return read<Checked>(t.i_lut, v);
}

template <bool Checked>
inline uint8_t class_from_bucket(const ContextTables& t, std::size_t gradient, uint8_t bucket) {
    const uint8_t s = read<Checked>(t.s_lut, gradient);
    return read<Checked>(t.d_lut, 4 * std::size_t(s) + bucket);
}

// Lookups in the order s_lut, i_lut, d_lut, so a checked run reports the
// first table that fails.
template <bool Checked>
inline uint8_t classify_gradient(const ContextTables& t, std::size_t gradient, uint8_t v) {
    const uint8_t s = read<Checked>(t.s_lut, gradient);
    const uint8_t b = intensity_bucket<Checked>(t, v);
    return read<Checked>(t.d_lut, 4 * std::size_t(s) + b);
}

template <bool Checked>
inline uint8_t classify_pixel(uint8_t l, uint8_t u, uint8_t ul, uint8_t v, const ContextTables& t) {
    return classify_gradient<Checked>(t, gradient_index(l, u, ul), v);
}

}  // namespace kelm
