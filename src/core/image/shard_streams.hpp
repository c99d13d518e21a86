// The codec's encoding pass in one call: the colour transform, prediction and
// classification of every pixel done once, then a stable counting sort of the
// residuals by shard. Gives the shard streams that the scatter pass writes and
// the counts and histograms of the forward pass, without the bordered planes
// and row offsets in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"
#include "core/image/band_samples.hpp"

namespace kelm {

struct ShardStreams {
    Buffer<uint8_t> streams;      // 3 * h * w: plane k's residuals in shard order at k * h * w
    Buffer<uint32_t> counts;      // (3, n): residuals per plane and shard
    Buffer<uint32_t> histograms;  // (3, n, 256): residual counts per plane and shard
};

// The pass over a band of h rows, read where its samples are; the planes are
// band.coded_width() wide. Failures are those of the forward pass (a table
// lookup outside its table, a class not below n), reported for the first
// failing pixel in raster order, after band.check(h).
ShardStreams shard_streams(std::size_t h, const BandSamples& band, std::size_t n, const ContextTables& tables);

// rgb: h * w * 3 samples, row-major.
inline ShardStreams shard_streams_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> rgb, std::size_t n,
                                      const ContextTables& tables) {
    return shard_streams(h, BandSamples::rgb(w, rgb), n, tables);
}

}  // namespace kelm
