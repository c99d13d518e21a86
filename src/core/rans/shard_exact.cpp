#include "core/rans/shard_exact.hpp"

#include <string>

#include "core/rans/coder.hpp"
#include "core/rans/payload.hpp"
#include "core/rans/shard_decoder.hpp"

namespace kelm {

namespace {

[[noreturn]] void reject_shard(std::size_t i, const std::string& what) {
    reject("shard " + std::to_string(i) + ": " + what);
}

}  // namespace

Buffer<uint8_t> rans_decode_shards_exact(std::span<const uint8_t> payload, std::span<const uint32_t> shard_counts,
                                         std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                         std::span<const uint8_t> lookups, uint64_t initial_state) {
    const std::size_t n = shard_counts.size();
    uint64_t consumed = 0;
    const Buffer<ShardRecord> records = read_shard_records(payload, n, consumed);
    if (consumed != payload.size())
        reject("the shard records take " + std::to_string(consumed) + " of the payload's " +
               std::to_string(payload.size()) + " bytes");
    for (std::size_t i = 0; i < n; ++i) {
        for (unsigned j = 0; j < 4; ++j) {
            const uint64_t x = records[i].st[j];
            if (x < kLowerBound || x >= kStateEnd)
                reject_shard(i, "state " + std::to_string(j) + " is " + std::to_string(x) + ", outside [2^31, 2^39)");
        }
    }
    Buffer<ShardEnd> ends = Buffer<ShardEnd>::zeroed(n);  // a shard no decoder finished fails the checks
    DecodedShards r = rans_decode_shards_parallel(payload, shard_counts, cum_freqs, sym_freqs, lookups, ends.span());
    for (std::size_t i = 0; i < n; ++i) {
        if (ends[i].unread != 0) reject_shard(i, std::to_string(ends[i].unread) + " bytes left unread");
        for (uint64_t x : ends[i].st) {
            if (x != initial_state)
                reject_shard(i, "the stream runs out or is damaged (it does not end at the start state)");
        }
    }
    return std::move(r.decoded);
}

}  // namespace kelm
