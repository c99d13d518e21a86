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

// The records of n shards filling the payload, their states in the coder's interval.
Buffer<ShardRecord> exact_records(std::span<const uint8_t> payload, std::size_t n) {
    uint64_t consumed = 0;
    Buffer<ShardRecord> records = read_shard_records(payload, n, consumed);
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
    return records;
}

void check_end(std::size_t i, uint64_t unread, const uint64_t* st, uint64_t initial_state) {
    if (unread != 0) reject_shard(i, std::to_string(unread) + " bytes left unread");
    for (unsigned j = 0; j < 4; ++j) {
        if (st[j] != initial_state)
            reject_shard(i, "the stream runs out or is damaged (it does not end at the start state)");
    }
}

}  // namespace

std::vector<StreamPieces> shard_pieces_exact(std::span<const uint8_t> payload, std::size_t n,
                                             std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                             std::span<const uint8_t> lookups) {
    const Buffer<ShardRecord> records = exact_records(payload, n);
    std::vector<StreamPieces> shards;
    shards.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const ShardRecord& r = records[i];
        shards.emplace_back(r.st, slice_len(payload, r.start, r.len), slice_len(cum_freqs, i * kCumLen, kCumLen).data(),
                            slice_len(sym_freqs, i * kAlphabet, kAlphabet).data(),
                            slice_len(lookups, i * kProbScale, kProbScale).data());
    }
    return shards;
}

void check_pieces_ended(std::span<const StreamPieces> shards, uint64_t initial_state) {
    for (std::size_t i = 0; i < shards.size(); ++i) check_end(i, shards[i].unread(), shards[i].states(), initial_state);
}

Buffer<uint8_t> rans_decode_shards_exact(std::span<const uint8_t> payload, std::span<const uint32_t> shard_counts,
                                         std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                         std::span<const uint8_t> lookups, uint64_t initial_state) {
    const std::size_t n = shard_counts.size();
    exact_records(payload, n);
    Buffer<ShardEnd> ends = Buffer<ShardEnd>::zeroed(n);  // a shard no decoder finished fails the checks
    DecodedShards r = rans_decode_shards_parallel(payload, shard_counts, cum_freqs, sym_freqs, lookups, ends.span());
    for (std::size_t i = 0; i < n; ++i) check_end(i, ends[i].unread, ends[i].st, initial_state);
    return std::move(r.decoded);
}

}  // namespace kelm
