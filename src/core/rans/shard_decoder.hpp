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

// One stream decoded a piece at a time, with the results of decoding it at
// once (rans_decode_4way): pieces of a multiple of 4 symbols keep the states'
// interleave, so only the stream's last piece may have another length.
class StreamPieces {
public:
    StreamPieces() = default;
    // The stream's final states, its bytes (emission order), and its table:
    // 257 cumulative frequencies, 256 frequencies, a 4096-entry slot lookup.
    StreamPieces(const uint64_t (&st)[4], std::span<const uint8_t> bytes, const uint64_t* cums,
                 const uint64_t* freqs, const uint8_t* lookup);
    void next(uint8_t* out, std::size_t n);
    const uint64_t* states() const { return st_; }
    std::size_t unread() const { return std::size_t(pos_ + 1); }

private:
    uint64_t st_[4] = {};
    const uint8_t* bytes_ = nullptr;
    std::ptrdiff_t pos_ = -1;  // the next byte to read, from the end
    const uint64_t* cums_ = nullptr;
    const uint64_t* freqs_ = nullptr;
    const uint8_t* lookup_ = nullptr;
};

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
