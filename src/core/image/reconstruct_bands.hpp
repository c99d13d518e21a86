// Rebuilds many horizontal bands of one image in a single call: the bands run
// in lockstep groups on one thread each, the groups on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"

namespace kelm {

// The bands' gr, rd and bd planes stacked in band order: (sum of heights) x w each.
struct BandPlanes {
    Buffer<uint8_t> gr, rd, bd;
};

// Band b (heights[b] rows of width w) reads its gr, rd and bd residuals from
// `residuals`, where every band's three streams follow each other (h_b * w
// each, bands in order), and the first residual of each of its n_shards shards
// per plane from offsets[(3 b + plane) * n_shards ..]. Each band's planes are
// what reconstruct_shards_rgb gives for that band alone, and a failing band
// fails as it would there; when several fail, the first band is reported.
// Checks the sizes of a band rebuild before any work (a band's pixel count
// must fit the 32-bit shard offsets); returns the bands' pixels in all.
std::size_t check_band_inputs(std::span<const uint64_t> heights, std::size_t w, std::span<const uint8_t> residuals,
                              std::span<const uint32_t> offsets, std::size_t n_shards);

BandPlanes reconstruct_bands_rgb(std::span<const uint64_t> heights, std::size_t w,
                                 std::span<const uint8_t> residuals, std::span<const uint32_t> offsets,
                                 std::size_t n_shards, const ContextTables& tables);

}  // namespace kelm
