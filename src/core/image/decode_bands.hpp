// The codec's band decoder: a group of consecutive bands of a colour image
// decoded straight into the caller's output rows. Per band, the shards'
// residuals (held to what the encoder writes, as rans_decode_shards_exact),
// the gr, rd and bd planes rebuilt in lockstep keeping two rows each, every
// finished row restored into the output, then the alpha plane into the
// output's fourth channel. Nothing of a band outlives it but its rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/pixel.hpp"
#include "core/image/predictors.hpp"

namespace kelm {

// Shard tables, row-major: cumulative (n, 257), frequencies (n, 256), slot lookups (n, 4096).
struct ShardCoding {
    std::span<const uint64_t> cum, sym;
    std::span<const uint8_t> lookups;
};

struct BandInput {
    std::size_t h = 0;
    std::span<const uint8_t> payload;        // the band's shard records, gr, rd, bd shards in order
    std::span<const uint32_t> counts;        // the symbols of each shard (3 n)
    std::span<const uint8_t> alpha_payload;  // the alpha plane's one record (K = 4)
};

// Decodes the bands into out: sum(h) rows of w pixels of K = 3 (RGB) or 4
// (RGBA) bytes. Failures on damaged data are InvalidInput or Panic; the bands
// fail in order, a band's colour planes before its alpha plane. Bands of more
// than piece_pixels pixels decode their shards a piece at a time as the
// rebuild takes them, so that they need no room for their residuals.
// With predictors other than {0, 0, 0} (the file's predictor per plane) every
// band decodes its residuals whole and rebuilds whole planes, as
// reconstruct_predicted does, before its rows are restored.
void decode_colour_bands(std::span<const BandInput> bands, std::size_t w, std::size_t K, std::span<uint8_t> out,
                         const ShardCoding& colour, const ShardCoding& alpha, const ContextTables& tables,
                         uint64_t initial_state, std::size_t piece_pixels,
                         PlanePredictors predictors = PlanePredictors{0, 0, 0});

}  // namespace kelm
