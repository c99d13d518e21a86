// The sharded encoder: many independent 4-state rANS streams coded in
// parallel, each shard with its own table, into one flat byte array.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"

namespace kelm {

struct EncodedShards {
    Buffer<uint64_t> final_states;  // n x 4
    Buffer<uint8_t> bitstreams;     // T bytes, shard i's bytes at bs_offsets[i]
    Buffer<uint32_t> bs_offsets;    // start of each shard's reserved region
    Buffer<uint32_t> bs_lengths;    // bytes each shard gave out
};

// Shard i: lengths[i] symbols of data from offsets[i]; tables: row i of
// sym_freqs (stride 256) and cum_freqs (stride 257). All four states of every
// shard start at initial_state. With room, the shards' regions are in *room,
// grown as needed and moved into the result's bitstreams: a caller that keeps
// it for its next call maps no fresh memory, and the bytes past each shard's
// output are then whatever room held (else zeros).
EncodedShards rans_encode_shards_parallel(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                          std::span<const uint32_t> lengths, std::span<const uint64_t> cum_freqs,
                                          std::span<const uint64_t> sym_freqs, uint64_t initial_state,
                                          Buffer<uint8_t>* room = nullptr);


}  // namespace kelm
