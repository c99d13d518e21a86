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

// Rebuilds the planes selected by Mask (bit k: plane k) in one raster pass.
// Each pixel of plane k > 0 needs only the finished gr pixel at the same
// place, so the three planes may share a pass: their dependency chains then
// overlap. A checked run rebuilds one plane per pass, in plane order, so its
// first failure is the first in gr, rd, bd order.
template <unsigned Mask, bool Checked>
void rebuild(std::size_t h, std::size_t w, PlaneState* ps, const ContextTables& tables) {
    const std::size_t W = w + 2;
    const ContextTables t = tables;
    uint8_t* pl[3];
    const uint8_t* res[3];
    std::size_t res_len[3], n_off[3];
    uint32_t* cursor[3];
    for (int k = 0; k < 3; ++k) {
        pl[k] = ps[k].plane;
        res[k] = ps[k].res.data();
        res_len[k] = ps[k].res.size();
        n_off[k] = ps[k].off.size();
        cursor[k] = ps[k].cursor.data();
    }
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t row = (y + 1) * W + 1;
        // L and UL come from registers: the left pixel was just rebuilt.
        uint8_t l[3] = {0, 0, 0}, ul[3] = {0, 0, 0};
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t i = row + x;
            uint8_t g = 0;
            for (unsigned k = 0; k < 3; ++k) {
                if (!(Mask & (1u << k))) continue;
                const uint8_t u = pl[k][i - W];
                const uint8_t p = predict_pixel(l[k], u, ul[k]);
                const uint8_t v = k == 0 ? p : (Mask & 1u) ? g : pl[0][i];
                const uint8_t shard = classify_pixel<Checked>(l[k], u, ul[k], v, t);
                if constexpr (Checked)
                    if (shard >= n_off[k]) panic_index(n_off[k], shard);
                const uint32_t c = cursor[k][shard];
                // The cursors come from the caller: always checked.
                if (c >= res_len[k]) [[unlikely]]
                    panic_index(res_len[k], c);
                cursor[k][shard] = c + 1;
                const uint8_t value = unfold_residual(res[k][c], p);
                pl[k][i] = value;
                if (k == 0) g = value;
                l[k] = value;
                ul[k] = u;
            }
        }
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
