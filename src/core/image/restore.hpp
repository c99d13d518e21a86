// Last decoding step: undoes the colour transform and interleaves the planes
// (and alpha) into one h x w x K image, K = 3 or 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"

namespace kelm {

// Red and blue: the gray plane (is_grayscale), rd/bd plus green (apply_gsub),
// or rd/bd as they are. Empty images give an empty buffer.
Buffer<uint8_t> restore_channels(std::size_t h, std::size_t w, std::span<const uint8_t> gr,
                                 std::span<const uint8_t> rd, std::span<const uint8_t> bd,
                                 std::span<const uint8_t> alpha, bool is_rgba, bool is_grayscale, bool apply_gsub);

// One row of restore_channels with apply_gsub: w pixels of K = 3 or 4 bytes
// (alpha from a when K = 4); vector: 16 pixels a step with SSSE3, which the
// caller has checked the CPU has (the simple path is the reference).
void restore_row_gsub(uint8_t* out, const uint8_t* g, const uint8_t* r, const uint8_t* b, const uint8_t* a,
                      std::size_t w, std::size_t K, bool vector);

}  // namespace kelm
