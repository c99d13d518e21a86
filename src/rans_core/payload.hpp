// Shard records: four little-endian 64-bit final states, a little-endian
// 32-bit byte count L, then the L bytes of the shard's byte sequence.
#pragma once

#include <cstdint>
#include <span>

namespace kelm {

// Writes shard i's record at out[write_offsets[i]], for every shard of
// bs_lengths; bytes of out outside the records keep their values.
void pack_shard_payloads(std::span<const uint64_t> final_states, std::span<const uint32_t> bs_lengths,
                         std::span<const uint32_t> bs_offsets, std::span<const uint8_t> bitstreams,
                         std::span<uint8_t> out, std::span<const uint32_t> write_offsets);

}  // namespace kelm
