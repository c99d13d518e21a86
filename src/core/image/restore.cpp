#include "core/image/restore.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/common/check.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

namespace {

enum class Mode { gray, gsub, plain };

// One output row; K channels per pixel. Each pixel is stored as one 4-byte
// word, which for K = 3 overlaps the next pixel's place, so the row's last
// pixel is written byte by byte.
template <Mode M, int K>
void restore_row(uint8_t* __restrict out, const uint8_t* __restrict g, const uint8_t* __restrict r,
                 const uint8_t* __restrict b, const uint8_t* __restrict a, std::size_t w) {
    auto channels = [&](std::size_t x, uint8_t& red, uint8_t& green, uint8_t& blue) {
        green = g[x];
        if constexpr (M == Mode::gray) {
            red = blue = green;
        } else if constexpr (M == Mode::gsub) {
            red = uint8_t(r[x] + green);
            blue = uint8_t(b[x] + green);
        } else {
            red = r[x];
            blue = b[x];
        }
    };
    std::size_t x = 0;
    for (; x + 1 < w; ++x) {
        uint8_t red, green, blue;
        channels(x, red, green, blue);
        uint64_t word = uint64_t(red) | uint64_t(green) << 8 | uint64_t(blue) << 16;
        if constexpr (K == 4) word |= uint64_t(a[x]) << 24;
        std::memcpy(out + x * K, &word, 4);
    }
    if (x < w) {
        uint8_t red, green, blue;
        channels(x, red, green, blue);
        uint8_t* px = out + x * K;
        px[0] = red;
        px[1] = green;
        px[2] = blue;
        if constexpr (K == 4) px[3] = a[x];
    }
}

// pshufb masks that spread 16 bytes of one channel over the three 16-byte
// pieces of 16 RGB pixels: mask 3 c + k puts channel k's bytes into piece c.
constexpr std::array<std::array<uint8_t, 16>, 9> rgb_spread_masks() {
    std::array<std::array<uint8_t, 16>, 9> m{};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t k = 0; k < 3; ++k)
            for (std::size_t j = 0; j < 16; ++j) {
                const std::size_t p = 16 * c + j;
                m[3 * c + k][j] = p % 3 == k ? uint8_t(p / 3) : uint8_t(0x80);
            }
    return m;
}
constexpr auto kRgbSpread = rgb_spread_masks();

// restore_row's gsub mode 16 pixels at a time; returns the pixels done.
template <int K>
__attribute__((target("ssse3"))) std::size_t restore_gsub_vector(uint8_t* out, const uint8_t* g, const uint8_t* r,
                                                                   const uint8_t* b, const uint8_t* a, std::size_t w) {
    std::size_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i green = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i red = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x)), green);
        const __m128i blue = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x)), green);
        if constexpr (K == 3) {
            for (std::size_t c = 0; c < 3; ++c) {
                auto mask = [&](std::size_t k) {
                    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRgbSpread[3 * c + k].data()));
                };
                const __m128i piece = _mm_or_si128(
                    _mm_or_si128(_mm_shuffle_epi8(red, mask(0)), _mm_shuffle_epi8(green, mask(1))),
                    _mm_shuffle_epi8(blue, mask(2)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 16 * c), piece);
            }
        } else {
            const __m128i alpha = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
            const __m128i rg_lo = _mm_unpacklo_epi8(red, green), rg_hi = _mm_unpackhi_epi8(red, green);
            const __m128i ba_lo = _mm_unpacklo_epi8(blue, alpha), ba_hi = _mm_unpackhi_epi8(blue, alpha);
            __m128i* const o = reinterpret_cast<__m128i*>(out + 4 * x);
            _mm_storeu_si128(o, _mm_unpacklo_epi16(rg_lo, ba_lo));
            _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(rg_lo, ba_lo));
            _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(rg_hi, ba_hi));
            _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(rg_hi, ba_hi));
        }
    }
    return x;
}

template <Mode M, int K>
void restore_all(uint8_t* out, std::size_t h, std::size_t w, const uint8_t* g, const uint8_t* r, const uint8_t* b,
                 const uint8_t* a) {
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 16) / w);
    parallel_for_ranges(h, grain, [&](std::size_t y0, std::size_t y1) {
        for (std::size_t y = y0; y < y1; ++y) {
            const std::size_t o = y * w;
            restore_row<M, K>(out + o * K, g + o, r ? r + o : nullptr, b ? b + o : nullptr, a ? a + o : nullptr, w);
        }
    });
}

template <int K>
void restore_mode(Mode m, uint8_t* out, std::size_t h, std::size_t w, const uint8_t* g, const uint8_t* r,
                  const uint8_t* b, const uint8_t* a) {
    switch (m) {
        case Mode::gray: return restore_all<Mode::gray, K>(out, h, w, g, r, b, a);
        case Mode::gsub: return restore_all<Mode::gsub, K>(out, h, w, g, r, b, a);
        case Mode::plain: return restore_all<Mode::plain, K>(out, h, w, g, r, b, a);
    }
}

}  // namespace

void restore_row_gsub(uint8_t* out, const uint8_t* g, const uint8_t* r, const uint8_t* b, const uint8_t* a,
                      std::size_t w, std::size_t K, bool vector) {
    if (K == 4) {
        const std::size_t x = vector ? restore_gsub_vector<4>(out, g, r, b, a, w) : 0;
        restore_row<Mode::gsub, 4>(out + 4 * x, g + x, r + x, b + x, a + x, w - x);
    } else {
        const std::size_t x = vector ? restore_gsub_vector<3>(out, g, r, b, nullptr, w) : 0;
        restore_row<Mode::gsub, 3>(out + 3 * x, g + x, r + x, b + x, nullptr, w - x);
    }
}

Buffer<uint8_t> restore_channels(std::size_t h, std::size_t w, std::span<const uint8_t> gr,
                                 std::span<const uint8_t> rd, std::span<const uint8_t> bd,
                                 std::span<const uint8_t> alpha, bool is_rgba, bool is_grayscale, bool apply_gsub) {
    const std::size_t K = is_rgba ? 4 : 3;
    const std::size_t total = checked_mul(h, w);
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(checked_mul(total, K));
    if (total == 0) return out;
    // Every plane is read forward in raster order, so the first read outside
    // any of them is at the shortest one's length.
    std::size_t shortest = gr.size();
    if (!is_grayscale) shortest = std::min({shortest, rd.size(), bd.size()});
    if (is_rgba) shortest = std::min(shortest, alpha.size());
    if (shortest < total) panic_index(shortest, shortest);
    const Mode mode = is_grayscale ? Mode::gray : apply_gsub ? Mode::gsub : Mode::plain;
    const uint8_t* r = is_grayscale ? nullptr : rd.data();
    const uint8_t* b = is_grayscale ? nullptr : bd.data();
    const uint8_t* a = is_rgba ? alpha.data() : nullptr;
    if (is_rgba)
        restore_mode<4>(mode, out.data(), h, w, gr.data(), r, b, a);
    else
        restore_mode<3>(mode, out.data(), h, w, gr.data(), r, b, a);
    return out;
}

}  // namespace kelm
