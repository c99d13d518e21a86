// The sharded decoder held to what the encoder writes, for data read from
// files: the records fill the payload, every shard's states lie in
// [2^31, 2^39), and every shard's decoding reads all of its bytes and ends at
// the encoder's initial state. Failures are InvalidInput naming the shard.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/buffer.hpp"
#include "core/rans/shard_decoder.hpp"

namespace kelm {

Buffer<uint8_t> rans_decode_shards_exact(std::span<const uint8_t> payload, std::span<const uint32_t> shard_counts,
                                         std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                         std::span<const uint8_t> lookups, uint64_t initial_state);

// The same decoding a piece at a time: the n shards' streams, after the
// checks made before decoding; check_pieces_ended makes those after it.
std::vector<StreamPieces> shard_pieces_exact(std::span<const uint8_t> payload, std::size_t n,
                                             std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                             std::span<const uint8_t> lookups);
void check_pieces_ended(std::span<const StreamPieces> shards, uint64_t initial_state);

}  // namespace kelm
