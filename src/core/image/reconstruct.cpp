#include "core/image/reconstruct.hpp"

#include <vector>

#include "core/image/image_size.hpp"

namespace kelm {

namespace {

struct PlaneState {
    uint8_t* plane;                  // h * w, raster order
    std::span<const uint8_t> res;    // residuals grouped by shard
    std::span<const uint32_t> off;   // first residual of each shard
    std::vector<uint32_t> cursor;    // private copy of off
};

// One plane's pass state inside rebuild: the plane, its residuals and cursors,
// and the left and up-left neighbours of the next pixel.
struct Lane {
    uint8_t* plane;
    const uint8_t* res;
    std::size_t res_len, n_off;
    uint32_t* cursor;
    uint8_t l, ul;
};

// Rebuilds pixel x of a row (up: the row above); v is the intensity input
// when it comes from the gr plane (Guided), else the prediction is.
template <bool Guided, bool Checked>
inline void step(Lane& s, uint8_t* row, const uint8_t* up, std::size_t x, uint8_t v, const ContextTables& t) {
    const uint8_t u = up[x];
    const uint8_t p = predict_pixel(s.l, u, s.ul);
    const uint8_t shard = classify_pixel<Checked>(s.l, u, s.ul, Guided ? v : p, t);
    if constexpr (Checked)
        if (shard >= s.n_off) panic_index(s.n_off, shard);
    const uint32_t c = s.cursor[shard];
    // The cursors come from the caller: always checked.
    if (c >= s.res_len) [[unlikely]]
        panic_index(s.res_len, c);
    s.cursor[shard] = c + 1;
    // Each shard is its own read stream, too many for the hardware
    // prefetcher to follow: fetch its residuals a few lines ahead.
    __builtin_prefetch(s.res + c + 512);
    const uint8_t value = unfold_residual(s.res[c], p);
    row[x] = value;
    s.l = value;
    s.ul = u;
}

// One raster row of gr (row yg, when G) and of the planes in RB (row yc):
// their dependency chains are independent, so they overlap. The planes are
// unbordered: the left neighbours start at 0 in registers and the first row
// reads the zero row as its upper neighbours.
template <bool G, unsigned RB, bool Checked>
[[gnu::noinline]] void rebuild_row(std::size_t w, const Lane* lane, const uint8_t* zero, std::size_t yg,
                                   std::size_t yc, const ContextTables& tables) {
    const ContextTables t = tables;
    // Private copies keep each chain's left neighbour in a register.
    Lane a = lane[0], b = lane[1], c = lane[2];
    a.l = a.ul = b.l = b.ul = c.l = c.ul = 0;
    uint8_t* const ga = a.plane + yg * w;
    const uint8_t* const ua = yg ? ga - w : zero;
    uint8_t* const gb = b.plane + yc * w;
    const uint8_t* const ub = yc ? gb - w : zero;
    uint8_t* const gc = c.plane + yc * w;
    const uint8_t* const uc = yc ? gc - w : zero;
    const uint8_t* const guide = a.plane + yc * w;
    for (std::size_t x = 0; x < w; ++x) {
        if constexpr (G) step<false, Checked>(a, ga, ua, x, 0, t);
        if constexpr ((RB & 2u) != 0) step<true, Checked>(b, gb, ub, x, guide[x], t);
        if constexpr ((RB & 4u) != 0) step<true, Checked>(c, gc, uc, x, guide[x], t);
    }
}

// Rebuilds the planes selected by Mask (bit k: plane k) in raster order.
// Each pixel of plane k > 0 needs only the finished gr pixel at the same
// place, so when gr shares the pass it runs one row ahead of rd and bd and
// the three chains overlap. A checked run rebuilds one plane per pass, in
// plane order, so its first failure is the first in gr, rd, bd order.
template <unsigned Mask, bool Checked>
void rebuild(std::size_t h, std::size_t w, PlaneState* ps, const ContextTables& tables) {
    const ContextTables t = tables;
    const std::vector<uint8_t> zero(w, 0);
    Lane lane[3];
    for (int k = 0; k < 3; ++k)
        lane[k] = Lane{ps[k].plane, ps[k].res.data(), ps[k].res.size(), ps[k].off.size(), ps[k].cursor.data(), 0, 0};
    constexpr bool G = (Mask & 1u) != 0;
    constexpr unsigned RB = Mask & 6u;
    const uint8_t* z = zero.data();
    if constexpr (!G) {
        for (std::size_t y = 0; y < h; ++y) rebuild_row<false, RB, Checked>(w, lane, z, 0, y, t);
    } else if constexpr (RB == 0) {
        for (std::size_t y = 0; y < h; ++y) rebuild_row<true, 0, Checked>(w, lane, z, y, 0, t);
    } else {
        rebuild_row<true, 0, Checked>(w, lane, z, 0, 0, t);
        for (std::size_t y = 1; y < h; ++y) rebuild_row<true, RB, Checked>(w, lane, z, y, y - 1, t);
        rebuild_row<false, RB, Checked>(w, lane, z, 0, h - 1, t);
    }
}

}  // namespace

RebuiltPlanes reconstruct_shards_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> res_gr,
                                     std::span<const uint8_t> res_rd, std::span<const uint8_t> res_bd,
                                     std::span<const uint32_t> off_gr, std::span<const uint32_t> off_rd,
                                     std::span<const uint32_t> off_bd, const ContextTables& tables) {
    const std::size_t total = checked_mul(h, w);
    RebuiltPlanes out;
    if (total == 0) {
        out.gr = Buffer<uint8_t>::zeroed(0);
        out.rd = Buffer<uint8_t>::zeroed(0);
        out.bd = Buffer<uint8_t>::zeroed(0);
        return out;
    }
    bordered_size(h, w);  // the same size limit as the encoder's bordered planes
    require_32bit_pixel_count(h, w);
    // Every pixel is written before it is read, so no zero fill is needed.
    out.gr = Buffer<uint8_t>::uninit(total);
    out.rd = Buffer<uint8_t>::uninit(total);
    out.bd = Buffer<uint8_t>::uninit(total);
    uint8_t* const planes[3] = {out.gr.data(), out.rd.data(), out.bd.data()};
    const std::span<const uint8_t> res[3] = {res_gr, res_rd, res_bd};
    const std::span<const uint32_t> off[3] = {off_gr, off_rd, off_bd};
    auto fresh = [&](PlaneState* ps) {
        for (int k = 0; k < 3; ++k)
            ps[k] = PlaneState{planes[k], res[k], off[k], std::vector<uint32_t>(off[k].begin(), off[k].end())};
    };
    PlaneState ps[3];
    const auto max_class = tables.max_reachable_class();
    bool fast = max_class.has_value();
    for (int k = 0; k < 3 && fast; ++k) fast = std::size_t(*max_class) < off[k].size();
    bool done = false;
    if (fast) {
        fresh(ps);
        try {
            rebuild<7, false>(h, w, ps, tables);
            done = true;
        } catch (const Panic&) {
            // A shard ran past its residuals: redo plane by plane so the
            // failure reported is the first in plane order.
        }
    }
    if (!done) {
        fresh(ps);
        rebuild<1, true>(h, w, ps, tables);
        rebuild<2, true>(h, w, ps, tables);
        rebuild<4, true>(h, w, ps, tables);
    }
    return out;
}

Buffer<uint8_t> reconstruct_2d_channels(std::size_t h, std::size_t w, std::span<const uint8_t> residuals) {
    const std::size_t total = checked_mul(h, w);
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(total);
    // Residuals are read forward in raster order: the first one missing is at the length.
    if (residuals.size() < total) panic_index(residuals.size(), residuals.size());
    if (total == 0) return out;
    const std::vector<uint8_t> zero_row(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        const uint8_t* __restrict res = residuals.data() + y * w;
        uint8_t* cur = out.data() + y * w;
        const uint8_t* up = y ? cur - w : zero_row.data();
        uint8_t l = 0, ul = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t u = up[x];
            l = unfold_residual(res[x], predict_pixel(l, u, ul));
            cur[x] = l;
            ul = u;
        }
    }
    return out;
}

}  // namespace kelm
