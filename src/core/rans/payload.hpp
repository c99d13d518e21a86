// Shard records, back to back in a payload: four little-endian 64-bit final
// states st0..st3, a little-endian 32-bit byte count L, then the L bytes of
// the shard's byte sequence in emission order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/buffer.hpp"

namespace kelm {

constexpr std::size_t kRecordStates = 4;
constexpr std::size_t kRecordLengthAt = 8 * kRecordStates;       // 32
constexpr std::size_t kRecordHeader = kRecordLengthAt + 4;        // 36

// Writes shard i's record at out[write_offsets[i]], for every shard of
// bs_lengths; bytes of out outside the records keep their values.
void pack_shard_payloads(std::span<const uint64_t> final_states, std::span<const uint32_t> bs_lengths,
                         std::span<const uint32_t> bs_offsets, std::span<const uint8_t> bitstreams,
                         std::span<uint8_t> out, std::span<const uint32_t> write_offsets);

struct ShardRecord {
    uint64_t st[kRecordStates];
    uint64_t start;  // payload position of the record's bytes
    uint32_t len;
};

// The headers of n records from the payload's first byte; consumed is set to
// the payload bytes they take. A header that runs past the payload stops at
// its first field outside (range-end message); the bytes are not checked here.
Buffer<ShardRecord> read_shard_records(std::span<const uint8_t> payload, std::size_t n, uint64_t& consumed);

}  // namespace kelm
