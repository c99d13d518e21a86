#include "core/image/row_stage.hpp"

#include <algorithm>

#include "core/common/pixel.hpp"

namespace kelm {

namespace {

// The loop, inlined into the build-target and the AVX2 entry points; without
// Gradients it writes no gradient indices.
template <bool Gradients = true>
[[gnu::always_inline]] inline uint64_t row_stage_body(const uint8_t* __restrict cur, const uint8_t* __restrict up,
                                                      std::size_t w, uint8_t* __restrict pred, uint8_t* __restrict res,
                                                      uint32_t* __restrict grad) {
    const uint8_t* const left = cur - 1;  // left and up-left neighbours: one column back
    const uint8_t* const up_left = up - 1;
    uint64_t total = 0;
    for (std::size_t x0 = 0; x0 < w; x0 += 1 << 16) {
        const std::size_t x1 = std::min(w, x0 + (std::size_t(1) << 16));
        uint32_t err = 0;  // at most 2^16 * 255 per segment
        for (std::size_t x = x0; x < x1; ++x) {
            const int16_t l = left[x], u = up[x], ul = up_left[x], X = cur[x];
            const int16_t p = predict_lane(l, u, ul);
            pred[x] = uint8_t(p);
            const int8_t d = int8_t(uint8_t(X - p));
            res[x] = uint8_t((d << 1) ^ (d >> 7));
            const int16_t e = int16_t(X - p);
            err += uint32_t(e < 0 ? -e : e);
            if constexpr (Gradients) grad[x] = uint32_t(l - ul + 255) * uint32_t(kGradientSide) + uint32_t(u - ul + 255);
        }
        total += err;
    }
    return total;
}

}  // namespace

uint64_t row_stage(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                   uint8_t* __restrict pred, uint8_t* __restrict res, uint32_t* __restrict grad) {
    return row_stage_body(cur, up, w, pred, res, grad);
}

[[gnu::target("avx2")]] uint64_t row_stage_avx2(const uint8_t* __restrict cur, const uint8_t* __restrict up,
                                                std::size_t w, uint8_t* __restrict pred, uint8_t* __restrict res,
                                                uint32_t* __restrict grad) {
    return row_stage_body(cur, up, w, pred, res, grad);
}

void residual_row(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                  uint8_t* __restrict pred, uint8_t* __restrict res) {
    row_stage_body<false>(cur, up, w, pred, res, nullptr);
}

[[gnu::target("avx2")]] void residual_row_avx2(const uint8_t* __restrict cur, const uint8_t* __restrict up,
                                               std::size_t w, uint8_t* __restrict pred, uint8_t* __restrict res) {
    row_stage_body<false>(cur, up, w, pred, res, nullptr);
}

}  // namespace kelm
