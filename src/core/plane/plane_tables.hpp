// The pair-plane context model of the plane coder and its per-context tables.
// Every residual byte is split into four 2-bit symbols (pair plane j holds
// bits 2j+1..2j); the symbol of plane j is coded with the table row
// j * n_ctx + class * 64 + (the same two bits of the up-left, up and left
// residuals). Tables are 4-letter rows adding up to 4096.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"

namespace kelm::plane {

constexpr std::size_t kPairPlanes = 4;
constexpr std::size_t kPatterns = 64;            // neighbour patterns per class
constexpr std::size_t kCountsPerCtx = 16;        // counters per context number (4 planes x 4 symbols)

// Byte lane j of the result holds pair_j(b) = (b >> 2j) & 3.
constexpr std::array<uint32_t, 256> kPairLanes = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; ++b)
        t[b] = (b & 3) | ((b >> 2) & 3) << 8 | ((b >> 4) & 3) << 16 | (b >> 6) << 24;
    return t;
}();

// Lane j: the neighbour pattern of pair plane j (up-left bits 5-4, up 3-2, left 1-0).
inline uint32_t pattern_lanes(uint8_t l, uint8_t u, uint8_t ul) {
    return kPairLanes[ul] << 4 | kPairLanes[u] << 2 | kPairLanes[l];
}

inline uint32_t lane(uint32_t lanes, unsigned j) { return (lanes >> (8 * j)) & 0xFF; }

// Geometry of a bordered (h + 2) x (w + 2) plane.
struct PlaneShape {
    std::size_t h = 0, w = 0;
    std::size_t stride = 0;  // w + 2
    std::size_t cells = 0;   // (h + 2) * (w + 2), for planes this code allocates
    std::size_t needed = 0;  // h * stride + w + 1: elements a plane must have for its pixels to be read
    bool empty() const { return h == 0 || w == 0; }
};

// "capacity overflow" when a non-empty plane's sizes do not fit a machine word.
PlaneShape plane_shape(uint64_t h, uint64_t w);

// The last table row (pair plane 3, class max_class, pattern 63), when it fits a word.
std::optional<std::size_t> last_row(std::size_t n_ctx, std::optional<uint8_t> max_class);

// True when every table row that a class up to max_class can select fits
// frequency and cumulative arrays of the given lengths (4 and 5 per row).
bool rows_fit(std::size_t n_ctx, std::optional<uint8_t> max_class, std::size_t sf_len, std::size_t cf_len);

// The 4-symbol normalisation: every frequency at least 1, total 4096; the
// largest frequency (highest index on ties) absorbs the rounding difference.
void normalize_pair_row(const uint64_t counts[4], uint16_t freqs[4]);

// Frequency array (4, n_ctx, 4) and cumulative array (4, n_ctx, 5) of one plane.
struct PlaneTables {
    Buffer<uint16_t> sf;
    Buffer<uint16_t> cf;
};

PlaneTables bp_build_pdf_sharded(std::span<const uint8_t> resid, std::span<const uint8_t> guide,
                                 const ContextTables& tables, uint64_t h, uint64_t w, uint64_t n_ctx,
                                 bool is_chroma);

// Green in luma mode, red and blue in chroma mode, all guided by gr_ref.
std::array<PlaneTables, 3> bp_build_pdf_sharded_rgb(std::span<const uint8_t> gr, std::span<const uint8_t> rd,
                                                    std::span<const uint8_t> bd, std::span<const uint8_t> gr_ref,
                                                    const ContextTables& tables, uint64_t h, uint64_t w,
                                                    uint64_t n_ctx);


}  // namespace kelm::plane
