// The compacted table stream: one record per shard of mode 0..2, dense
// (tag 0, 2 bytes per symbol below the width) or sparse (tag 1, K symbols and
// their frequencies), whichever is strictly shorter; 16-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"

namespace kelm {

Buffer<uint8_t> compact_pdf_tables(std::span<const uint64_t> all_sym_freqs, std::span<const uint16_t> widths,
                                   std::span<const uint8_t> modes);

// n x 256 frequencies, n = widths.size(). Damaged or missing records give the
// single-symbol table.
Buffer<uint64_t> expand_pdf_tables(std::span<const uint8_t> compacted, std::span<const uint16_t> widths,
                                   std::span<const uint8_t> modes, std::span<const uint64_t> templates,
                                   std::size_t n_templates);

}  // namespace kelm
