#include "reconstruct.hpp"

#include <cstring>
#include <vector>

#include "forward_pass.hpp"

namespace kelm {

namespace {

struct PlaneState {
    uint8_t* plane;                  // bordered, zero border
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

// Rebuilds one pixel of a plane at bordered index i; v is the intensity
// input when it comes from the gr plane (Guided), else the prediction is.
template <bool Guided, bool Checked>
inline uint8_t step(Lane& s, std::size_t i, std::size_t W, uint8_t v, const ContextTables& t) {
    const uint8_t u = s.plane[i - W];
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
    s.plane[i] = value;
    s.l = value;
    s.ul = u;
    return value;
}

// One raster row of gr (row yg, when G) and of the planes in RB (row yc):
// their dependency chains are independent, so they overlap.
template <bool G, unsigned RB, bool Checked>
[[gnu::noinline]] void rebuild_row(std::size_t w, std::size_t W, const Lane* lane, std::size_t yg, std::size_t yc,
                                   const ContextTables& tables) {
    const ContextTables t = tables;
    const std::size_t rg = (yg + 1) * W + 1, rc = (yc + 1) * W + 1;
    // Private copies keep each chain's left neighbour in a register.
    Lane a = lane[0], b = lane[1], c = lane[2];
    a.l = a.ul = b.l = b.ul = c.l = c.ul = 0;
    const uint8_t* guide = lane[0].plane + rc;
    for (std::size_t x = 0; x < w; ++x) {
        if constexpr (G) step<false, Checked>(a, rg + x, W, 0, t);
        if constexpr ((RB & 2u) != 0) step<true, Checked>(b, rc + x, W, guide[x], t);
        if constexpr ((RB & 4u) != 0) step<true, Checked>(c, rc + x, W, guide[x], t);
    }
}

// Rebuilds the planes selected by Mask (bit k: plane k) in raster order.
// Each pixel of plane k > 0 needs only the finished gr pixel at the same
// place, so when gr shares the pass it runs one row ahead of rd and bd and
// the three chains overlap. A checked run rebuilds one plane per pass, in
// plane order, so its first failure is the first in gr, rd, bd order.
template <unsigned Mask, bool Checked>
void rebuild(std::size_t h, std::size_t w, PlaneState* ps, const ContextTables& tables) {
    const std::size_t W = w + 2;
    const ContextTables t = tables;
    Lane lane[3];
    for (int k = 0; k < 3; ++k)
        lane[k] = Lane{ps[k].plane, ps[k].res.data(), ps[k].res.size(), ps[k].off.size(), ps[k].cursor.data(), 0, 0};
    constexpr bool G = (Mask & 1u) != 0;
    constexpr unsigned RB = Mask & 6u;
    if constexpr (!G) {
        for (std::size_t y = 0; y < h; ++y) rebuild_row<false, RB, Checked>(w, W, lane, 0, y, t);
    } else if constexpr (RB == 0) {
        for (std::size_t y = 0; y < h; ++y) rebuild_row<true, 0, Checked>(w, W, lane, y, 0, t);
    } else {
        rebuild_row<true, 0, Checked>(w, W, lane, 0, 0, t);
        for (std::size_t y = 1; y < h; ++y) rebuild_row<true, RB, Checked>(w, W, lane, y, y - 1, t);
        rebuild_row<false, RB, Checked>(w, W, lane, 0, h - 1, t);
    }
}

Buffer<uint8_t> interior(const uint8_t* plane, std::size_t h, std::size_t w) {
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(h * w);
    for (std::size_t y = 0; y < h; ++y) std::memcpy(out.data() + y * w, plane + (y + 1) * (w + 2) + 1, w);
    return out;
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
    const std::size_t size = bordered_size(h, w);
    require_32bit_pixel_count(h, w);
    Buffer<uint8_t> planes[3] = {Buffer<uint8_t>::zeroed(size), Buffer<uint8_t>::zeroed(size),
                                 Buffer<uint8_t>::zeroed(size)};
    const std::span<const uint8_t> res[3] = {res_gr, res_rd, res_bd};
    const std::span<const uint32_t> off[3] = {off_gr, off_rd, off_bd};
    auto fresh = [&](PlaneState* ps) {
        for (int k = 0; k < 3; ++k) {
            std::memset(planes[k].data(), 0, size);
            ps[k] = PlaneState{planes[k].data(), res[k], off[k], std::vector<uint32_t>(off[k].begin(), off[k].end())};
        }
    };
    PlaneState ps[3];
    const auto max_class = tables.max_reachable_class();
    bool fast = max_class.has_value();
    for (int k = 0; k < 3 && fast; ++k) fast = std::size_t(*max_class) < off[k].size();
    bool done = false;
    if (fast) {
        for (int k = 0; k < 3; ++k)
            ps[k] = PlaneState{planes[k].data(), res[k], off[k], std::vector<uint32_t>(off[k].begin(), off[k].end())};
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
    out.gr = interior(planes[0].data(), h, w);
    out.rd = interior(planes[1].data(), h, w);
    out.bd = interior(planes[2].data(), h, w);
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
