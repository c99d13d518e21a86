#include "core/plane/plane_tables.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/common/alphabet.hpp"
#include "core/pool/pool.hpp"

namespace kelm::plane {

PlaneShape plane_shape(uint64_t h, uint64_t w) {
    PlaneShape s;
    s.h = h;
    s.w = w;
    if (s.empty()) return s;
    s.stride = checked_add(w, 2);
    s.cells = checked_mul(checked_add(h, 2), s.stride);
    s.needed = checked_add(checked_mul(h, s.stride), checked_add(w, 1));
    return s;
}

std::optional<std::size_t> last_row(std::size_t n_ctx, std::optional<uint8_t> max_class) {
    std::size_t row;
    if (!max_class || __builtin_mul_overflow(n_ctx, std::size_t{3}, &row) ||
        __builtin_add_overflow(row, *max_class * kPatterns + kPatterns - 1, &row))
        return std::nullopt;
    return row;
}

bool rows_fit(std::size_t n_ctx, std::optional<uint8_t> max_class, std::size_t sf_len, std::size_t cf_len) {
    const std::optional<std::size_t> row = last_row(n_ctx, max_class);
    std::size_t sf_end, cf_end;
    if (!row || __builtin_mul_overflow(*row, std::size_t{4}, &sf_end) ||
        __builtin_mul_overflow(*row, std::size_t{5}, &cf_end))
        return false;
    return sf_end + 3 < sf_len && cf_end + 3 < cf_len;
}

void normalize_pair_row(const uint64_t counts[4], uint16_t freqs[4]) {
    const uint64_t total = counts[0] + counts[1] + counts[2] + counts[3];
    if (total == 0) {
        for (int s = 0; s < 4; ++s) freqs[s] = 1024;
        return;
    }
    int64_t f[4];
    for (int s = 0; s < 4; ++s) {
        const double q = std::round(double(counts[s]) * double(kProbScale) / double(total));
        const int64_t v = int64_t(q);  // q lies in 0..4096
        f[s] = v < 2 ? 1 : v;
    }
    int m = 0;
    for (int s = 1; s < 4; ++s)
        if (f[s] >= f[m]) m = s;
    const int64_t fixed = f[m] + int64_t(kProbScale) - (f[0] + f[1] + f[2] + f[3]);
    f[m] = fixed < 2 ? 1 : fixed;
    for (int s = 0; s < 4; ++s) freqs[s] = uint16_t(f[s]);
}

namespace {

// Which planes a counting pass covers: one plane in luma or chroma mode, or
// the colour triple (green luma, red and blue chroma) sharing one guide.
enum class Mode { luma, chroma, rgb };

template <Mode M>
constexpr std::size_t kPlanes = M == Mode::rgb ? 3 : 1;

struct CountInput {
    std::span<const uint8_t> guide;
    std::array<std::span<const uint8_t>, 3> resid;
    const ContextTables* tables;
    PlaneShape shape;
    std::size_t n_ctx;
};

// Counts the pixels x0..x1 of row y into counts (one block of 16 * n_ctx
// counters per plane).
template <bool Checked, Mode M, class Counter>
void count_segment(const CountInput& in, std::size_t y, std::size_t x0, std::size_t x1, std::span<Counter> counts) {
    constexpr bool kLuma = M != Mode::chroma;
    constexpr bool kChroma = M != Mode::luma;
    // Local copies: stores through the counters cannot alias them.
    const ContextTables t = *in.tables;
    const std::span<const uint8_t> guide = in.guide;
    const std::array<std::span<const uint8_t>, 3> resid = in.resid;
    const std::size_t W = in.shape.stride, n = in.n_ctx, block = kCountsPerCtx * n;
    Counter* const c = counts.data();
    for (std::size_t x = x0; x < x1; ++x) {
        const std::size_t i = (y + 1) * W + x + 1;
        const uint8_t gl = read<Checked>(guide, i - 1);
        const uint8_t gu = read<Checked>(guide, i - W);
        const uint8_t gul = read<Checked>(guide, i - W - 1);
        const std::size_t grad = gradient_index(gl, gu, gul);
        std::size_t luma_class = 0, chroma_class = 0;
        if constexpr (kLuma)
            luma_class = class_from_bucket<Checked>(t, grad, intensity_bucket<Checked>(t, predict_pixel(gl, gu, gul)));
        if constexpr (kChroma)
            chroma_class = class_from_bucket<Checked>(t, grad, intensity_bucket<Checked>(t, read<Checked>(guide, i)));
        for (std::size_t k = 0; k < kPlanes<M>; ++k) {
            const bool chroma = M == Mode::chroma || (M == Mode::rgb && k > 0);
            const std::size_t base = k * block + (chroma ? chroma_class : luma_class) * (kPatterns * 4);
            const std::span<const uint8_t> r = resid[k];
            const uint8_t rl = read<Checked>(r, i - 1);
            const uint8_t ru = read<Checked>(r, i - W);
            const uint8_t rul = read<Checked>(r, i - W - 1);
            const uint8_t rx = read<Checked>(r, i);
            // Lane j: neighbour pattern * 4 + symbol of pair plane j.
            const uint32_t lanes = pattern_lanes(rl, ru, rul) << 2 | kPairLanes[rx];
            for (unsigned j = 0; j < kPairPlanes; ++j) {
                const std::size_t idx = base + j * n * 4 + lane(lanes, j);
                if constexpr (Checked)
                    at(counts, idx) += 1;
                else
                    c[idx] += 1;
            }
        }
    }
}

// Counts on the pool, each piece of rows into its own arrays; the arrays are
// added up, so the counts do not depend on the split. A piece counts into
// 32-bit counters (half the cache footprint) and adds them to its 64-bit
// total before they could overflow.
template <Mode M>
Buffer<uint64_t> count_plane(const CountInput& in) {
    const std::size_t len = checked_mul(kCountsPerCtx * kPlanes<M>, in.n_ctx);
    Buffer<uint64_t> total = Buffer<uint64_t>::zeroed(len);
    if (in.shape.empty()) return total;

    const ContextTables& t = *in.tables;
    bool fast = in.shape.needed <= in.guide.size();
    for (std::size_t k = 0; k < kPlanes<M>; ++k) fast = fast && in.shape.needed <= in.resid[k].size();
    // Every counter index stays inside its plane's block of 4 * n_ctx rows.
    const std::optional<std::size_t> row = last_row(in.n_ctx, t.max_reachable_class());
    fast = fast && row && *row < kPairPlanes * in.n_ctx;

    const std::size_t h = in.shape.h, w = in.shape.w;
    if (!fast) {
        // Some access may leave its buffer: count with every access checked, in
        // raster order, so a failure names the first bad access.
        parallel_for(1, [&](std::size_t) {
            for (std::size_t y = 0; y < h; ++y) count_segment<true, M>(in, y, 0, w, total.span());
        });
        return total;
    }

    // Enough pieces to keep the workers busy, few enough that their arrays stay
    // small, and each counting several times as many pixels as its arrays
    // hold: a small image would otherwise spend its time clearing and adding them.
    const std::size_t piece_bytes = std::max<std::size_t>(len * (sizeof(uint64_t) + sizeof(uint32_t)), 1);
    const std::size_t worth = std::max<std::size_t>(checked_mul(h, w) / (4 * len), 1);
    const std::size_t pieces = std::clamp<std::size_t>((std::size_t(64) << 20) / piece_bytes, 1,
                                                       std::min<std::size_t>({h, 16, worth}));
    std::vector<Buffer<uint64_t>> parts;
    std::vector<Buffer<uint32_t>> scratch;
    parts.reserve(pieces);
    scratch.reserve(pieces);
    for (std::size_t p = 0; p < pieces; ++p) {
        parts.push_back(p == 0 ? std::move(total) : Buffer<uint64_t>::zeroed(len));
        scratch.push_back(Buffer<uint32_t>::zeroed(len));
    }
    parallel_for(pieces, [&](std::size_t p) {
        uint64_t* const sum = parts[p].data();
        uint32_t* const part = scratch[p].data();
        const auto flush = [&] {
            for (std::size_t e = 0; e < len; ++e) sum[e] += part[e];
            std::fill_n(part, len, 0u);
        };
        constexpr std::size_t kMaxPending = UINT32_MAX;  // pixels a 32-bit counter can take
        std::size_t pending = 0;
        const std::size_t y0 = h / pieces * p + std::min(p, h % pieces);
        const std::size_t y1 = h / pieces * (p + 1) + std::min(p + 1, h % pieces);
        for (std::size_t y = y0; y < y1; ++y) {
            for (std::size_t x0 = 0; x0 < w;) {
                const std::size_t x1 = x0 + std::min(w - x0, kMaxPending / 2);
                if (pending + (x1 - x0) > kMaxPending) {
                    flush();
                    pending = 0;
                }
                count_segment<false, M>(in, y, x0, x1, scratch[p].span());
                pending += x1 - x0;
                x0 = x1;
            }
        }
        flush();
    });
    total = std::move(parts[0]);
    for (std::size_t p = 1; p < pieces; ++p)
        for (std::size_t e = 0; e < len; ++e) total[e] += parts[p][e];
    return total;
}

PlaneTables normalise_block(const uint64_t* counts, std::size_t n_ctx) {
    const std::size_t rows = kPairPlanes * n_ctx;
    PlaneTables out{Buffer<uint16_t>::uninit(checked_mul(rows, 4)), Buffer<uint16_t>::uninit(checked_mul(rows, 5))};
    for (std::size_t r = 0; r < rows; ++r) {
        uint16_t* f = out.sf.data() + r * 4;
        uint16_t* c = out.cf.data() + r * 5;
        normalize_pair_row(counts + r * 4, f);
        c[0] = 0;
        for (int s = 0; s < 4; ++s) c[s + 1] = uint16_t(c[s] + f[s]);
    }
    return out;
}

}  // namespace

PlaneTables bp_build_pdf_sharded(std::span<const uint8_t> resid, std::span<const uint8_t> guide,
                                 const ContextTables& tables, uint64_t h, uint64_t w, uint64_t n_ctx,
                                 bool is_chroma) {
    const CountInput in{guide, {resid, {}, {}}, &tables, plane_shape(h, w), n_ctx};
    const Buffer<uint64_t> counts = is_chroma ? count_plane<Mode::chroma>(in) : count_plane<Mode::luma>(in);
    return normalise_block(counts.data(), n_ctx);
}

std::array<PlaneTables, 3> bp_build_pdf_sharded_rgb(std::span<const uint8_t> gr, std::span<const uint8_t> rd,
                                                    std::span<const uint8_t> bd, std::span<const uint8_t> gr_ref,
                                                    const ContextTables& tables, uint64_t h, uint64_t w,
                                                    uint64_t n_ctx) {
    const CountInput in{gr_ref, {gr, rd, bd}, &tables, plane_shape(h, w), n_ctx};
    const Buffer<uint64_t> counts = count_plane<Mode::rgb>(in);
    const std::size_t block = kCountsPerCtx * n_ctx;
    return {normalise_block(counts.data(), n_ctx), normalise_block(counts.data() + block, n_ctx),
            normalise_block(counts.data() + 2 * block, n_ctx)};
}

}  // namespace kelm::plane
