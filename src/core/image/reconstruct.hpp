// Decoder-side inverse of the forward passes: rebuilds planes from folded
// residuals with the encoder's predictor (and classification, for shards).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"

namespace kelm {

struct RebuiltPlanes {
    Buffer<uint8_t> gr, rd, bd;  // h * w each
};

// Rebuilds gr, then rd, then bd; each plane reads its shards' residuals
// from res_* starting at off_* (one entry per shard), in raster order.
RebuiltPlanes reconstruct_shards_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> res_gr,
                                     std::span<const uint8_t> res_rd, std::span<const uint8_t> res_bd,
                                     std::span<const uint32_t> off_gr, std::span<const uint32_t> off_rd,
                                     std::span<const uint32_t> off_bd, const ContextTables& tables);

// Rebuilds one plane from residuals in raster order (inverse of the alpha pass).
Buffer<uint8_t> reconstruct_2d_channels(std::size_t h, std::size_t w, std::span<const uint8_t> residuals);

}  // namespace kelm
