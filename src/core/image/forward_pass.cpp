#include "core/image/forward_pass.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "core/common/cpu_features.hpp"
#include "core/common/failure.hpp"
#include "core/image/image_size.hpp"
#include "core/image/row_stage.hpp"
#include "core/pool/pool.hpp"
#include "core/tables/freq_table.hpp"

namespace kelm {

namespace {

constexpr std::size_t kMaxChunks = 16;

// Rows per parallel piece for passes that only copy or transform bytes.
std::size_t row_grain(std::size_t w) { return std::max<std::size_t>(1, (std::size_t(1) << 16) / (w + 1)); }

struct PassInput {
    std::size_t h, w, n;
    const uint8_t* planes[3];
    uint8_t* residuals[3];
    uint32_t* row_counts;  // (h, 3, n)
    const ContextTables* tables;
};


// One chunk of rows of the forward pass over Planes (1: gray, 3: gr/rd/bd):
// the row stage for every plane, then per pixel the classification and the
// counters, planes in order (the order a checked run reports failures in).
template <int Planes, bool Checked>
void forward_rows(const PassInput& in, std::size_t y0, std::size_t y1, ChunkStats& st) {
    const std::size_t W = in.w + 2, n = in.n, w = in.w;
    const ContextTables t = *in.tables;
    uint32_t* const hist = st.histogram.data();
    uint32_t* const vh = Planes == 3 ? st.value_histogram.data() : nullptr;
    std::vector<uint32_t> grad_rows(Planes * w);
    std::vector<uint8_t> pred_rows(Planes * w);
    uint64_t err[3] = {};
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t row = (y + 1) * W + 1;
        const uint8_t* cur[Planes];
        const uint8_t* res[Planes];
        const uint32_t* grad[Planes];
        uint32_t* rc[Planes];
        uint32_t* hk[Planes];
        for (int k = 0; k < Planes; ++k) {
            cur[k] = in.planes[k] + row;
            uint8_t* r = in.residuals[k] + row;
            err[k] += row_stage(cur[k], cur[k] - W, w, pred_rows.data() + k * w, r, grad_rows.data() + k * w);
            res[k] = r;
            grad[k] = grad_rows.data() + k * w;
            rc[k] = in.row_counts + y * 3 * n + k * n;
            hk[k] = hist + k * n * 256;
        }
        const uint8_t* const pred0 = pred_rows.data();
        for (std::size_t x = 0; x < w; ++x) {
            // Plane 0: classified through its own prediction.
            const uint8_t s0 = classify_gradient<Checked>(t, grad[0][x], pred0[x]);
            const uint8_t z0 = res[0][x];
            if constexpr (Checked)
                if (s0 >= n) panic_index(n, s0);
            ++rc[0][s0];
            ++hk[0][std::size_t(s0) * 256 + z0];
            if constexpr (Planes == 3) {
                const uint8_t x0 = cur[0][x];
                ++vh[x0];
                // The difference planes share plane 0's value as intensity input.
                const uint8_t b = intensity_bucket<Checked>(t, x0);
                for (int k = 1; k < 3; ++k) {
                    const uint8_t s = class_from_bucket<Checked>(t, grad[k][x], b);
                    const uint8_t z = res[k][x];
                    if constexpr (Checked)
                        if (s >= n) panic_index(n, s);
                    ++rc[k][s];
                    ++hk[k][std::size_t(s) * 256 + z];
                    ++vh[k * 256 + cur[k][x]];
                }
            }
        }
    }
    for (int k = 0; k < 3; ++k) st.error_sum[k] += err[k];
}

// Chunks the rows (at most 16 chunks of equal height), runs them on the pool
// and returns their statistics in chunk order.
template <int Planes>
std::vector<ChunkStats> run_chunks(const PassInput& in) {
    const std::size_t count = std::min(std::max<std::size_t>(in.h, 1), kMaxChunks);
    const std::size_t height = (in.h + count - 1) / count;
    std::vector<ChunkStats> stats(count);
    const std::size_t hist_len = checked_mul(checked_mul(Planes, in.n), 256);
    for (ChunkStats& st : stats) {
        st.histogram = Buffer<uint32_t>::zeroed(hist_len);
        if (Planes == 3) st.value_histogram = Buffer<uint32_t>::zeroed(768);
    }
    auto rows_of = [&](std::size_t c) {
        return std::pair{std::min(in.h, c * height), std::min(in.h, (c + 1) * height)};
    };
    if (in.tables->classes_below(in.n)) {
        parallel_for(count, [&](std::size_t c) {
            auto [y0, y1] = rows_of(c);
            forward_rows<Planes, false>(in, y0, y1, stats[c]);
        });
    } else {
        FirstFailure first;
        parallel_for(count, [&](std::size_t c) {
            first.run(c, [&] {
                auto [y0, y1] = rows_of(c);
                forward_rows<Planes, true>(in, y0, y1, stats[c]);
            });
        });
        first.rethrow();
    }
    return stats;
}

// Merges the chunk statistics and turns the row counts (h, 3, n) into row
// offsets in place; fills counts, histograms, starts and the plane totals.
template <int Planes>
void finish(ForwardResult& r, const std::vector<ChunkStats>& stats, std::size_t h, std::size_t n) {
    const std::size_t per_plane = n * 256;
    r.histograms = Buffer<uint32_t>::zeroed(checked_mul(3 * 256, n));
    r.exact_counts = Buffer<uint32_t>::zeroed(3);
    r.error_sums = Buffer<uint64_t>::zeroed(3);
    if (Planes == 3) r.value_histogram = Buffer<uint32_t>::zeroed(768);
    for (const ChunkStats& st : stats) {
        uint32_t* hist = r.histograms.data();
        for (std::size_t i = 0; i < Planes * per_plane; ++i) hist[i] += st.histogram[i];
        if (Planes == 3)
            for (std::size_t i = 0; i < 768; ++i) r.value_histogram[i] += st.value_histogram[i];
        for (int k = 0; k < Planes; ++k) r.error_sums[k] += st.error_sum[k];
    }
    // Exact predictions are the residuals 0 of every shard.
    for (std::size_t k = 0; k < Planes; ++k)
        for (std::size_t s = 0; s < n; ++s) r.exact_counts[k] += r.histograms[(k * n + s) * 256];
    const std::size_t row_len = 3 * n;
    r.shard_counts = Buffer<uint32_t>::zeroed(row_len);
    r.shard_starts = Buffer<uint32_t>::zeroed(row_len);
    uint32_t* rows = r.row_offsets.data();
    uint32_t* counts = r.shard_counts.data();
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t j = 0; j < row_len; ++j) counts[j] += rows[y * row_len + j];
    for (std::size_t k = 0; k < 3; ++k) {
        uint32_t start = 0;
        for (std::size_t s = 0; s < n; ++s) {
            r.shard_starts[k * n + s] = start;
            start += counts[k * n + s];
        }
    }
    std::vector<uint32_t> cursor(r.shard_starts.data(), r.shard_starts.data() + row_len);
    for (std::size_t y = 0; y < h; ++y) {
        uint32_t* row = rows + y * row_len;
        for (std::size_t j = 0; j < row_len; ++j) {
            const uint32_t c = row[j];
            row[j] = cursor[j];
            cursor[j] += c;
        }
    }
}

// Checks every size the pass allocates, rejects images too large for the
// 32-bit counters, then allocates the bordered planes, residual planes and
// row counts.
void allocate(ForwardResult& r, std::size_t h, std::size_t w, std::size_t n, int planes) {
    const std::size_t plane = bordered_size(h, w);
    const std::size_t rows = checked_mul(checked_mul(h, 3), n);
    checked_mul(checked_mul(3 * 256, n), sizeof(uint32_t));
    byte_size<uint32_t>(rows);
    require_32bit_pixel_count(h, w);
    for (int k = 0; k < planes; ++k) {
        r.planes[k] = Buffer<uint8_t>::zeroed(plane);
        r.residuals[k] = Buffer<uint8_t>::zeroed(plane);
    }
    r.row_offsets = Buffer<uint32_t>::zeroed(rows);
}

// The frame both forward passes share: allocation, the bordered planes filled
// by fill(result, bordered width), the chunks, their statistics, alpha.
template <int Planes, class Fill>
ForwardResult forward_pass(std::size_t h, std::size_t w, std::size_t n, const ContextTables& tables,
                           std::span<const uint8_t> alpha, bool is_rgba, Fill&& fill) {
    ForwardResult r;
    allocate(r, h, w, n, Planes);
    fill(r, w + 2);
    PassInput in{h,
                 w,
                 n,
                 {r.planes[0].data(), r.planes[1].data(), r.planes[2].data()},
                 {r.residuals[0].data(), r.residuals[1].data(), r.residuals[2].data()},
                 r.row_offsets.data(),
                 &tables};
    finish<Planes>(r, run_chunks<Planes>(in), h, n);
    if (is_rgba && !alpha.empty()) r.alpha = alpha_pass(h, w, alpha);
    return r;
}

}  // namespace

ForwardResult fused_rct_p1_gray(std::size_t h, std::size_t w, std::span<const uint8_t> gray,
                                std::span<const uint8_t> alpha, bool is_rgba, std::size_t n,
                                const ContextTables& tables) {
    return forward_pass<1>(h, w, n, tables, alpha, is_rgba, [&](ForwardResult& r, std::size_t W) {
        // The row copy's range check: the first row that ends past the input.
        if (w > 0 && gray.size() < h * w) {
            const std::size_t y = gray.size() / w;
            panic_range_end(y * w + w, gray.size());
        }
        uint8_t* plane = r.planes[0].data();
        parallel_for_ranges(h, row_grain(w), [&](std::size_t y0, std::size_t y1) {
            for (std::size_t y = y0; y < y1; ++y) std::memcpy(plane + (y + 1) * W + 1, gray.data() + y * w, w);
        });
    });
}

ForwardResult fused_rct_p1_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> rgb,
                               std::span<const uint8_t> alpha, bool is_rgba, std::size_t n,
                               const ContextTables& tables) {
    return forward_pass<3>(h, w, n, tables, alpha, is_rgba, [&](ForwardResult& r, std::size_t W) {
        // Samples are read in memory order, so the first missing one is at the input's length.
        if (h > 0 && w > 0 && rgb.size() < 3 * h * w) panic_index(rgb.size(), rgb.size());
        uint8_t* gp = r.planes[0].data();
        uint8_t* rp = r.planes[1].data();
        uint8_t* bp = r.planes[2].data();
        parallel_for_ranges(h, row_grain(w), [&](std::size_t y0, std::size_t y1) {
            for (std::size_t y = y0; y < y1; ++y) {
                const uint8_t* __restrict src = rgb.data() + 3 * y * w;
                const std::size_t o = (y + 1) * W + 1;
                uint8_t* __restrict g = gp + o;
                uint8_t* __restrict rd = rp + o;
                uint8_t* __restrict bd = bp + o;
                for (std::size_t x = 0; x < w; ++x) {
                    const uint8_t green = src[3 * x + 1];
                    g[x] = green;
                    rd[x] = uint8_t(src[3 * x] - green);
                    bd[x] = uint8_t(src[3 * x + 2] - green);
                }
            }
        });
    });
}

AlphaResult alpha_pass(std::size_t h, std::size_t w, std::span<const uint8_t> a) {
    const std::size_t total = checked_mul(h, w);
    AlphaResult r;
    r.ran = true;
    r.residuals = Buffer<uint8_t>::uninit(total);
    // Reads go forward in raster order: the first one outside is at the length.
    if (a.size() < total) panic_index(a.size(), a.size());
    if (total == 0) return r;
    const std::vector<uint8_t> zero_row(w, 0);
    uint64_t exact = 0, err = 0;
    for (std::size_t y = 0; y < h; ++y) {
        const uint8_t* cur = a.data() + y * w;
        const uint8_t* up = y ? cur - w : zero_row.data();
        uint8_t* out = r.residuals.data() + y * w;
        uint8_t l = 0, ul = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t u = up[x], v = cur[x];
            const uint8_t p = predict_pixel(l, u, ul);
            const uint8_t z = fold_residual(v, p);
            out[x] = z;
            exact += z == 0;
            err += abs_error(v, p);
            l = v;
            ul = u;
        }
    }
    r.exact_count = exact;
    r.error_sum = double(err);  // exact: every partial sum stays far below 2^53
    return r;
}

namespace {

// The alpha samples of w RGBA pixels.
[[gnu::always_inline]] inline void alpha_row_body(const uint8_t* __restrict rgba, std::size_t w,
                                                  uint8_t* __restrict out) {
    for (std::size_t x = 0; x < w; ++x) out[x] = rgba[4 * x + 3];
}

void alpha_row(const uint8_t* rgba, std::size_t w, uint8_t* out) { alpha_row_body(rgba, w, out); }

[[gnu::target("avx2")]] void alpha_row_avx2(const uint8_t* rgba, std::size_t w, uint8_t* out) {
    alpha_row_body(rgba, w, out);
}

}  // namespace

AlphaResiduals alpha_residuals_rgba(std::size_t h, std::size_t w, std::span<const uint8_t> rgba) {
    const std::size_t total = checked_mul(h, w);
    AlphaResiduals r;
    r.residuals = Buffer<uint8_t>::uninit(total);
    r.histogram = Buffer<uint64_t>::zeroed(256);
    if (total == 0) return r;
    if (rgba.size() / 4 < total) panic_index(rgba.size(), rgba.size());
    const bool avx2 = simd_level() == SimdLevel::avx2;
    const auto gather = avx2 ? alpha_row_avx2 : alpha_row;
    const auto residuals = avx2 ? residual_row_avx2 : residual_row;
    std::mutex merge;
    parallel_for_ranges(h, row_grain(w), [&](std::size_t y0, std::size_t y1) {
        std::vector<uint8_t> rows(2 * (w + 1), 0), pred(w);  // two rows, each after a zero left border
        uint8_t* up = rows.data() + 1;
        uint8_t* cur = up + (w + 1);
        uint64_t counts[256] = {};
        if (y0 > 0) gather(rgba.data() + 4 * (y0 - 1) * w, w, up);
        for (std::size_t y = y0; y < y1; ++y) {
            uint8_t* const out = r.residuals.data() + y * w;
            gather(rgba.data() + 4 * y * w, w, cur);
            residuals(cur, up, w, pred.data(), out);
            std::swap(up, cur);
        }
        add_histogram({r.residuals.data() + y0 * w, (y1 - y0) * w}, counts);
        std::lock_guard lock(merge);
        for (std::size_t v = 0; v < 256; ++v) r.histogram[v] += counts[v];
    });
    return r;
}

}  // namespace kelm
