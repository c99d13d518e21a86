// A band's samples read where the caller holds them: the encoding passes take
// the colour transform of each row straight from an RGB, RGBA or gray band,
// without first copying it into an RGB array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelm {

struct BandSamples {
    enum class Layout : uint8_t {
        rgb,     // h x width x 3
        rgba,    // h x width x 4; the colour planes skip the alpha sample
        strips,  // h x width gray samples cut into three vertical strips of
                 // ceil(width / 3) columns, which are the gr, rd and bd planes
                 // (the last strip padded with copies of the last column)
    };
    Layout layout;
    std::span<const uint8_t> samples;
    std::size_t width;  // the band's width in pixels

    static BandSamples rgb(std::size_t w, std::span<const uint8_t> s) { return {Layout::rgb, s, w}; }

    // Width of the coded planes.
    std::size_t coded_width() const { return layout == Layout::strips ? width / 3 + (width % 3 != 0) : width; }
    // Samples of one row of the band.
    std::size_t row_samples() const {
        return width * (layout == Layout::rgb ? 3 : layout == Layout::rgba ? 4 : 1);
    }
    // Rejects a band of h rows that does not fit the coded planes' 32-bit
    // counters; panics with the index message when the samples end before
    // h rows (reads go forward in memory order: the first missing sample is
    // at the length).
    void check(std::size_t h) const;
};

// The colour transform of a band's rows (gr = green, rd = red - green,
// bd = blue - green, mod 256; a gray band's three strips as they are),
// its build chosen once for the layout and SIMD level.
class BandRows {
public:
    BandRows(const BandSamples& band, bool avx2);

    // Row y into the coded_width() bytes at gr, rd and bd.
    void operator()(std::size_t y, uint8_t* gr, uint8_t* rd, uint8_t* bd) const {
        row_(samples_ + y * stride_, width_, gr, rd, bd);
    }

    using RowFn = void (*)(const uint8_t* row, std::size_t width, uint8_t* gr, uint8_t* rd, uint8_t* bd);

private:
    RowFn row_;
    const uint8_t* samples_;
    std::size_t stride_, width_;
};

}  // namespace kelm
