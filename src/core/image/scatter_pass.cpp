#include "core/image/scatter_pass.hpp"

#include <algorithm>
#include <vector>

#include "core/common/failure.hpp"
#include "core/image/image_size.hpp"
#include "core/image/row_stage.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

namespace {

struct ScatterInput {
    std::size_t h, w, n;
    std::span<const uint8_t> planes[3];
    std::span<const uint32_t> row_offsets;
    std::span<uint8_t> streams[3];
    const ContextTables* tables;
};

// Stores z at the shard's cursor and advances it (32-bit, wrapping). The
// position is always checked: the offsets come from the caller.
inline void put(std::span<uint8_t> stream, uint32_t& cursor, uint8_t z) {
    const std::size_t pos = cursor;
    if (pos >= stream.size()) [[unlikely]]
        panic_index(stream.size(), pos);
    stream.data()[pos] = z;
    // Every shard is its own write stream, too many for the hardware
    // prefetcher: fetch the lines a little ahead.
    __builtin_prefetch(stream.data() + pos + 512, 1);
    ++cursor;
}

// Per-task scratch rows of the staged scatter: predictions, folded residuals
// and gradient indices of every plane.
struct RowScratch {
    std::vector<uint8_t> pred, res;
    std::vector<uint32_t> grad;
    explicit RowScratch(std::size_t len) : pred(len), res(len), grad(len) {}
};

// One row of the scatter pass over Planes (1: gray, 3: gr/rd/bd); cursor
// holds 3n entries of scratch space. Spans and tables are copied into locals
// so the byte stores into the streams cannot force them to be reloaded.
// When the planes hold every pixel the row reads (always, in the unchecked
// kernel), the table-free arithmetic runs first for the whole row on
// vectorised row stages; then each pixel is classified and stored, with the
// lookups in the same order as the per-pixel form below.
template <int Planes, bool Checked>
void scatter_row(const ScatterInput& in, std::size_t y, uint32_t* cursor, RowScratch& rs) {
    const std::size_t W = in.w + 2, n = in.n, w = in.w;
    const ContextTables t = *in.tables;
    std::span<const uint8_t> plane[Planes];
    std::span<uint8_t> stream[Planes];
    uint32_t* cur[Planes];
    for (int k = 0; k < Planes; ++k) {
        plane[k] = in.planes[k];
        stream[k] = in.streams[k];
        cur[k] = cursor + k * n;
    }
    const uint32_t* src = in.row_offsets.data() + 3 * y * n;
    std::copy(src, src + Planes * n, cursor);
    const std::size_t row = (y + 1) * W;
    bool staged = true;
    if constexpr (Checked)
        for (int k = 0; k < Planes; ++k) staged = staged && plane[k].size() > row + w;
    if (staged) {
        for (int k = 0; k < Planes; ++k)
            row_stage(plane[k].data() + row + 1, plane[k].data() + row + 1 - W, w, rs.pred.data() + k * w,
                      rs.res.data() + k * w, rs.grad.data() + k * w);
        const uint8_t* const x0 = plane[0].data() + row + 1;
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t s0 = classify_gradient<Checked>(t, rs.grad[x], rs.pred[x]);
            uint8_t b = 0;
            // The difference planes use plane 0's value as intensity input.
            if (Planes == 3) b = intensity_bucket<Checked>(t, x0[x]);
            if constexpr (Checked)
                if (s0 >= n) panic_index(n, s0);
            put(stream[0], cur[0][s0], rs.res[x]);
            for (int k = 1; k < Planes; ++k) {
                const uint8_t s = class_from_bucket<Checked>(t, rs.grad[k * w + x], b);
                if constexpr (Checked)
                    if (s >= n) panic_index(n, s);
                put(stream[k], cur[k][s], rs.res[k * w + x]);
            }
        }
        return;
    }
    for (std::size_t x = 1; x <= w; ++x) {
        const std::size_t i = row + x;
        uint8_t b = 0;
        for (int k = 0; k < Planes; ++k) {
            const uint8_t l = read<Checked>(plane[k], i - 1);
            const uint8_t u = read<Checked>(plane[k], i - W);
            const uint8_t ul = read<Checked>(plane[k], i - W - 1);
            const uint8_t p = predict_pixel(l, u, ul);
            uint8_t s, v;
            if (k == 0) {
                s = classify_pixel<Checked>(l, u, ul, p, t);
                v = read<Checked>(plane[k], i);
                if (Planes == 3) b = intensity_bucket<Checked>(t, v);
            } else {
                s = class_from_bucket<Checked>(t, gradient_index(l, u, ul), b);
            }
            if constexpr (Checked)
                if (s >= n) panic_index(n, s);
            if (k != 0) v = read<Checked>(plane[k], i);
            put(stream[k], cur[k][s], fold_residual(v, p));
        }
    }
}

template <int Planes, bool Checked>
void scatter_rows(const ScatterInput& in, std::size_t grain) {
    const std::size_t cursor_len = checked_mul(3, in.n);
    FirstFailure first;
    parallel_for_ranges(in.h, grain, [&](std::size_t y0, std::size_t y1) {
        std::vector<uint32_t> cursor(cursor_len);
        RowScratch rs(Planes * in.w);
        for (std::size_t y = y0; y < y1; ++y)
            first.run(y, [&] { scatter_row<Planes, Checked>(in, y, cursor.data(), rs); });
    });
    first.rethrow();
}

template <int Planes>
void scatter(ScatterInput& in) {
    // Without pixels nothing is written (and n, a division by h, is not needed).
    if (in.h == 0 || in.w == 0) return;
    require_32bit_pixel_count(in.h, in.w);
    in.n = in.row_offsets.size() / checked_mul(3, in.h);
    // A plane longer than the largest index any pixel reads needs no per-read checks.
    const std::size_t needed = checked_add(checked_mul(in.h, in.w + 2), in.w + 1);
    bool fast = in.tables->classes_below(in.n);
    for (int k = 0; k < Planes; ++k) fast = fast && in.planes[k].size() >= needed;
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 15) / (in.w + 1));
    if (fast)
        scatter_rows<Planes, false>(in, grain);
    else
        scatter_rows<Planes, true>(in, grain);
}

}  // namespace

void shard_pass_2_gray(std::size_t h, std::size_t w, std::span<const uint8_t> gray,
                       std::span<const uint32_t> row_offsets, std::span<uint8_t> shard_gray,
                       const ContextTables& tables) {
    ScatterInput in{h, w, 0, {gray, {}, {}}, row_offsets, {shard_gray, {}, {}}, &tables};
    scatter<1>(in);
}

void shard_pass_2_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> gr, std::span<const uint8_t> rd,
                      std::span<const uint8_t> bd, std::span<const uint32_t> row_offsets,
                      std::span<uint8_t> shard_gr, std::span<uint8_t> shard_rd, std::span<uint8_t> shard_bd,
                      const ContextTables& tables) {
    ScatterInput in{h, w, 0, {gr, rd, bd}, row_offsets, {shard_gr, shard_rd, shard_bd}, &tables};
    scatter<3>(in);
}

}  // namespace kelm
