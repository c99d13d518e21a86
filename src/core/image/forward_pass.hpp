// First encoding pass over an image: prediction, folding, classification into
// shards and the per-shard statistics (counts, histograms, starts, row
// offsets) the caller plans its shards with; plus the unclassified alpha pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/buffer.hpp"
#include "core/common/check.hpp"
#include "core/common/pixel.hpp"

namespace kelm {

// Private statistics of one chunk of rows, merged by integer addition.
struct ChunkStats {
    Buffer<uint32_t> histogram;        // (plane * n + shard) * 256 + folded residual
    Buffer<uint32_t> value_histogram;  // plane * 256 + value (colour pass only)
    uint64_t error_sum[3] = {};             // sum of |X - prediction| per plane
};

struct AlphaResult {
    Buffer<uint8_t> residuals;  // h * w folded residuals, raster order
    uint64_t exact_count = 0;
    double error_sum = 0.0;
    bool ran = false;  // whether the alpha pass ran at all
};

// Everything the forward passes return; per-shard arrays are laid out for
// three planes ((3, n), (3, n, 256), (h, 3, n)); the gray pass fills plane 0.
struct ForwardResult {
    Buffer<uint8_t> planes[3];     // bordered planes (gray: planes[0] only)
    Buffer<uint8_t> residuals[3];  // bordered residual planes (gray: [0] only)
    Buffer<uint32_t> value_histogram;  // 768 (colour pass only)
    Buffer<uint32_t> shard_counts;     // 3n
    Buffer<uint32_t> histograms;       // 768n
    Buffer<uint32_t> shard_starts;     // 3n
    Buffer<uint32_t> row_offsets;      // 3nh
    Buffer<uint32_t> exact_counts;     // 3
    Buffer<uint64_t> error_sums;       // 3
    AlphaResult alpha;
};

ForwardResult fused_rct_p1_gray(std::size_t h, std::size_t w, std::span<const uint8_t> gray,
                                std::span<const uint8_t> alpha, bool is_rgba, std::size_t n_shards,
                                const ContextTables& tables);

ForwardResult fused_rct_p1_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> rgb,
                               std::span<const uint8_t> alpha, bool is_rgba, std::size_t n_shards,
                               const ContextTables& tables);

AlphaResult alpha_pass(std::size_t h, std::size_t w, std::span<const uint8_t> alpha);

struct AlphaResiduals {
    Buffer<uint8_t> residuals;   // h * w, raster order
    Buffer<uint64_t> histogram;  // 256: their counts
};

// alpha_pass's residuals of the alpha samples of h x w RGBA pixels, read in
// place, a row at a time through the row stage's vector loop (rows in
// parallel), and their histogram; the first missing sample panics at the
// length, as there.
AlphaResiduals alpha_residuals_rgba(std::size_t h, std::size_t w, std::span<const uint8_t> rgba);

}  // namespace kelm
