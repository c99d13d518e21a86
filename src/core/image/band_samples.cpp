#include "core/image/band_samples.hpp"

#include <algorithm>
#include <cstring>

#include "core/common/check.hpp"
#include "core/image/image_size.hpp"

namespace kelm {

namespace {

// A colour row of `channels` samples a pixel (red, green, blue first).
template <std::size_t channels>
[[gnu::always_inline]] inline void colour_row_body(const uint8_t* __restrict row, std::size_t w,
                                                   uint8_t* __restrict g, uint8_t* __restrict r,
                                                   uint8_t* __restrict b) {
    for (std::size_t x = 0; x < w; ++x) {
        const uint8_t green = row[channels * x + 1];
        g[x] = green;
        r[x] = uint8_t(row[channels * x] - green);
        b[x] = uint8_t(row[channels * x + 2] - green);
    }
}

template <std::size_t channels>
void colour_row(const uint8_t* row, std::size_t w, uint8_t* g, uint8_t* r, uint8_t* b) {
    colour_row_body<channels>(row, w, g, r, b);
}

template <std::size_t channels>
[[gnu::target("avx2")]] void colour_row_avx2(const uint8_t* row, std::size_t w, uint8_t* g, uint8_t* r,
                                             uint8_t* b) {
    colour_row_body<channels>(row, w, g, r, b);
}

// A gray row's three strips, each copied whole; columns past the row repeat its last sample.
void strips_row(const uint8_t* row, std::size_t width, uint8_t* gr, uint8_t* rd, uint8_t* bd) {
    const std::size_t cw = width / 3 + (width % 3 != 0);
    uint8_t* const out[3] = {gr, rd, bd};
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t left = std::min(width, k * cw), cols = std::min(cw, width - left);
        std::memcpy(out[k], row + left, cols);
        std::memset(out[k] + cols, row[width - 1], cw - cols);
    }
}

}  // namespace

void BandSamples::check(std::size_t h) const {
    require_32bit_pixel_count(h, coded_width());
    // Below 2^32 coded pixels a band holds fewer than 2^35 samples.
    if (h > 0 && samples.size() < h * row_samples()) panic_index(samples.size(), samples.size());
}

BandRows::BandRows(const BandSamples& band, bool avx2)
    : samples_(band.samples.data()), stride_(band.row_samples()), width_(band.width) {
    switch (band.layout) {
        case BandSamples::Layout::rgb: row_ = avx2 ? colour_row_avx2<3> : colour_row<3>; break;
        case BandSamples::Layout::rgba: row_ = avx2 ? colour_row_avx2<4> : colour_row<4>; break;
        default: row_ = strips_row; break;
    }
}

}  // namespace kelm
