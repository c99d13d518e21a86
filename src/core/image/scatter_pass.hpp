// Second encoding pass: recomputes every pixel's folded residual and class
// and writes the residual into its shard's place in the plane's shard stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/pixel.hpp"

namespace kelm {

// row_offsets has shape (h, 3, n); n = its length / (3h). Every write is
// checked against its stream's length. h = 0 does nothing.
void shard_pass_2_gray(std::size_t h, std::size_t w, std::span<const uint8_t> gray,
                       std::span<const uint32_t> row_offsets, std::span<uint8_t> shard_gray,
                       const ContextTables& tables);

void shard_pass_2_rgb(std::size_t h, std::size_t w, std::span<const uint8_t> gr, std::span<const uint8_t> rd,
                      std::span<const uint8_t> bd, std::span<const uint32_t> row_offsets,
                      std::span<uint8_t> shard_gr, std::span<uint8_t> shard_rd, std::span<uint8_t> shard_bd,
                      const ContextTables& tables);

}  // namespace kelm
