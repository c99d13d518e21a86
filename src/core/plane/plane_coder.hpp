// The plane coder: one residual plane as a single rANS stream, four states
// (one per pair plane) sharing one byte stream. The encoder walks the pixels
// backwards, so the decoders walk forwards and rebuild every context from
// pixels they have already decoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"

namespace kelm::plane {

constexpr uint64_t kPlaneStartState = 1ull << 31;

struct PlaneStream {
    std::array<uint64_t, 4> states;
    Buffer<uint8_t> bytes;  // emission order, exact length
};

// Tables are the flat (4, n_ctx, 5) cumulative and (4, n_ctx, 4) frequency arrays.
PlaneStream bp_encode_sharded(std::span<const uint8_t> resid, std::span<const uint8_t> guide,
                              std::span<const uint16_t> cf, std::span<const uint16_t> sf,
                              const ContextTables& tables, uint64_t h, uint64_t w, uint64_t n_ctx, bool is_chroma);

struct DecodeStart {
    std::span<const uint8_t> bitstream;
    std::array<uint64_t, 4> states;
    uint64_t h, w;
};

// The first pixel whose decoded residual differs from the reference plane.
struct Mismatch {
    uint64_t row, column;  // bordered coordinates y + 1, x + 1
    int64_t position;      // read position before the pixel, -1 when used up
    std::array<uint64_t, 4> states;
    uint8_t expected, decoded;
};

// Luma mode: the guide plane is rebuilt from the decoded residuals. Returns h * w residuals.
Buffer<uint8_t> bp_decode_sharded(const DecodeStart& start, std::span<const uint16_t> cf,
                                  std::span<const uint16_t> sf, const ContextTables& tables);

// Chroma mode with the caller's guide plane.
Buffer<uint8_t> bp_decode_sharded_with_ref(const DecodeStart& start, std::span<const uint16_t> cf,
                                           std::span<const uint16_t> sf, std::span<const uint8_t> ref,
                                           const ContextTables& tables);

// Luma mode (ref empty) or chroma mode, held to what the encoder writes: the
// states lie in [2^31, 2^39), decoding stops with InvalidInput at the end of
// the row in which the stream runs out, and it must end with every byte read
// and every state back at the start state.
Buffer<uint8_t> bp_decode_exact(const DecodeStart& start, std::span<const uint16_t> cf, std::span<const uint16_t> sf,
                                std::span<const uint8_t> ref, const ContextTables& tables);

// Luma decoding compared with the residual plane the encoder was given.
Buffer<uint8_t> bp_decode_sharded_debug(const DecodeStart& start, std::span<const uint16_t> cf,
                                        std::span<const uint16_t> sf, const ContextTables& tables,
                                        std::span<const uint8_t> orig_resid, std::optional<Mismatch>& mismatch);

}  // namespace kelm::plane
