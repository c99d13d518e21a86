// The decoding half of the sharded codec: slot lookup tables, the 4-state
// single-stream decoder, and the parallel decoder of a payload of shard records.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"

namespace kelm {

// Slot lookup tables of n_tables rows of 257 cumulative frequencies (read with
// stride 257), 4096 bytes each, back to back.
Buffer<uint8_t> build_all_lookups(std::span<const uint64_t> all_cum_freqs, std::size_t n_tables);

// Decodes out.size() symbols of one stream from its final states st and its
// bytes (in emission order; read from the end).
void rans_decode_4way(const uint64_t (&st)[4], std::span<const uint8_t> bytes, std::span<const uint64_t> cum_freqs,
                      std::span<const uint64_t> sym_freqs, std::span<const uint8_t> slot_lookup, std::span<uint8_t> out);

// Where a shard's decoding ended: its four states and the bytes it left unread.
struct ShardEnd {
    uint64_t st[4];
    uint64_t unread;
};

struct DecodedShards {
    Buffer<uint8_t> decoded;  // the shards' symbols, concatenated in shard order
    uint64_t consumed = 0;    // payload bytes taken by the shard records
};

// ends, when given (one per shard), receives where each shard ended (a shard
// without symbols: its record's states and byte count).
DecodedShards rans_decode_shards_parallel(std::span<const uint8_t> payload, std::span<const uint32_t> shard_counts,
                                          std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                          std::span<const uint8_t> lookups, std::span<ShardEnd> ends = {});

}  // namespace kelm
