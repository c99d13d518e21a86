#include "core/image/reconstruct.hpp"

#include <vector>

#include "core/image/image_size.hpp"
#include "core/image/rebuild.hpp"

namespace kelm {

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
    BandJob band;
    band.h = h;
    band.planes[0] = out.gr.data();
    band.planes[1] = out.rd.data();
    band.planes[2] = out.bd.data();
    band.res[0] = res_gr, band.res[1] = res_rd, band.res[2] = res_bd;
    band.off[0] = off_gr, band.off[1] = off_rd, band.off[2] = off_bd;
    rebuild_bands({&band, 1}, w, tables, *fold_tables(tables));
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
