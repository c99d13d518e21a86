// Size rules shared by the image passes.
#pragma once

#include <cstddef>
#include <string>

#include "core/common/check.hpp"

namespace kelm {

// Elements of a bordered (h + 2) x (w + 2) plane, with "capacity overflow"
// when they do not fit a machine word.
inline std::size_t bordered_size(std::size_t h, std::size_t w) {
    return checked_mul(checked_add(h, 2), checked_add(w, 2));
}

// Rejects images whose pixel count does not fit the 32-bit shard counters and
// offsets (they would wrap and give a corrupt layout).
inline void require_32bit_pixel_count(std::size_t h, std::size_t w) {
    if (checked_mul(h, w) >= (std::size_t(1) << 32))
        reject("image of " + std::to_string(h) + " x " + std::to_string(w) +
               " pixels is too large: the pixel count must be below 2^32");
}

}  // namespace kelm
