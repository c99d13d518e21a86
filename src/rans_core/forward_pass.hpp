// First encoding pass over an image: prediction, folding, classification into
// shards and the per-shard statistics (counts, histograms, starts, row
// offsets) the caller plans its shards with; plus the unclassified alpha pass.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "check.hpp"
#include "pixel.hpp"

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

// The per-row part that does not depend on the tables: predictions, folded
// residuals (written to the residual row), gradient indices and the sum of
// |X - prediction|, for pixels [0, w) of a bordered row. The arithmetic of
// fold_residual and gradient_index is spelled out on 16-bit lanes so the
// compiler vectorises the loop; the tests compare both forms exhaustively.
uint64_t row_stage(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                   uint8_t* __restrict pred, uint8_t* __restrict res, uint32_t* __restrict grad);

// Sizes of a bordered plane, with "capacity overflow" when they do not fit.
std::size_t bordered_size(std::size_t h, std::size_t w);

// Rejects images whose pixel count does not fit the 32-bit shard counters and
// offsets (they would wrap and give a corrupt layout).
void require_32bit_pixel_count(std::size_t h, std::size_t w);

// Parallel rows or chunks that run the checked kernel record their failures
// here; the failure of the lowest-numbered task (the first in raster order)
// is rethrown, whatever the pool size. Tasks after a failed one may skip.
class FirstPanic {
public:
    template <class F>
    void run(std::size_t task, F&& body) {
        if (task > first_.load(std::memory_order_relaxed)) return;
        try {
            body();
        } catch (const Panic& p) {
            std::lock_guard lock(mutex_);
            if (task < first_.load(std::memory_order_relaxed)) {
                first_.store(task, std::memory_order_relaxed);
                panic_ = p;
            }
        }
    }
    void rethrow() const {
        if (first_.load(std::memory_order_relaxed) != SIZE_MAX) throw panic_;
    }

private:
    std::atomic<std::size_t> first_{SIZE_MAX};
    std::mutex mutex_;
    Panic panic_;
};

}  // namespace kelm
