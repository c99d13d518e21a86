// The selectable predictors of format version 2: each coded plane of the
// shards method names one, stored in the file. Predictor 0 is the
// median-style predictor of every other pass; the others serve content where
// it loses (ramps, soft gradients, noisy texture); few enough that the
// reconstruction has a kernel for every choice of the three. Classification is
// unchanged: the class comes from the left, upper and upper-left neighbours
// and the intensity bucket of the prediction (gr) or of the gr value (rd, bd).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/pixel.hpp"
#include "core/image/reconstruct_bands.hpp"
#include "core/image/shard_streams.hpp"

namespace kelm {

struct FoldedTables;

enum Predictor : uint8_t {
    kMedianStyle = 0,  // predict_pixel
    kAverage = 1,      // (l + u) / 2, rounded down
    kGradient = 2,     // l + u - ul, clamped to 0 .. 255
    kBlend = 3,        // (2 x median-style + l + u) / 4, rounded down
    kUpRight = 4,      // (median-style + (l + ur + 1) / 2 + 1) / 2
};
constexpr std::size_t kPredictors = 5;

// The neighbours of a pixel: left, up, up-left, up-right (0 outside the band;
// up-right is the upper neighbour in the last column).
template <int P>
inline uint8_t predict_with(int16_t l, int16_t u, int16_t ul, int16_t ur) {
    if constexpr (P == kMedianStyle) {
        return uint8_t(predict_lane(l, u, ul));
    } else if constexpr (P == kAverage) {
        return uint8_t((l + u) >> 1);
    } else if constexpr (P == kGradient) {
        const int16_t g = int16_t(l + u - ul);
        return uint8_t(g < 0 ? 0 : g > 255 ? 255 : g);
    } else if constexpr (P == kBlend) {
        return uint8_t((2 * predict_lane(l, u, ul) + l + u) >> 2);
    } else {
        static_assert(P == kUpRight);
        return uint8_t((predict_lane(l, u, ul) + ((l + ur + 1) >> 1) + 1) >> 1);
    }
}

using PlanePredictors = std::array<uint8_t, 3>;  // gr, rd, bd; each below kPredictors

// shard_streams with a predictor per plane (the same results for {0, 0, 0}).
ShardStreams shard_streams_predicted(std::size_t h, const BandSamples& band, std::size_t n,
                                     const ContextTables& tables, PlanePredictors predictors);

inline ShardStreams shard_streams_predicted(std::size_t h, std::size_t w, std::span<const uint8_t> rgb,
                                            std::size_t n, const ContextTables& tables, PlanePredictors predictors) {
    return shard_streams_predicted(h, BandSamples::rgb(w, rgb), n, tables, predictors);
}

// reconstruct_bands_rgb's inverse of shard_streams_predicted: the same inputs
// and checks, and a failing band fails with the index message of its first
// bad access (a class without a shard, a shard past its plane's residuals).
BandPlanes reconstruct_predicted(std::span<const uint64_t> heights, std::size_t w,
                                 std::span<const uint8_t> residuals, std::span<const uint32_t> offsets,
                                 std::size_t n_shards, const ContextTables& tables, PlanePredictors predictors);

// The predictors are valid (each below kPredictors), else the index message.
void check_predictors(PlanePredictors predictors);

// One band of reconstruct_predicted rebuilt into the caller's whole planes
// (h x w each) from its residuals and the offsets of its n shards per plane;
// a failure throws that band's message. folded: fold_tables(tables).
void rebuild_predicted_band(std::size_t h, std::size_t w, uint8_t* const planes[3],
                            const std::span<const uint8_t> res[3], const std::span<const uint32_t> off[3],
                            const ContextTables& tables, const FoldedTables& folded, PlanePredictors predictors);

}  // namespace kelm
