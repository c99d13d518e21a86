// The sharded encoder: many independent 4-state rANS streams coded in
// parallel, each shard with its own table, into one flat byte array.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "buffer.hpp"

namespace kelm {

struct EncodedShards {
    Buffer<uint64_t> final_states;  // n x 4
    Buffer<uint8_t> bitstreams;     // T bytes, shard i's bytes at bs_offsets[i]
    Buffer<uint32_t> bs_offsets;    // start of each shard's reserved region
    Buffer<uint32_t> bs_lengths;    // bytes each shard gave out
};

// Shard i: lengths[i] symbols of data from offsets[i]; tables: row i of
// sym_freqs (stride 256) and cum_freqs (stride 257). All four states of every
// shard start at initial_state.
EncodedShards rans_encode_shards_parallel(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                          std::span<const uint32_t> lengths, std::span<const uint64_t> cum_freqs,
                                          std::span<const uint64_t> sym_freqs, uint64_t initial_state);

// Asks for huge pages on the whole 2 MiB pages of a fresh large buffer, so
// that writing it for the first time takes few page faults.
void prefer_huge_pages(void* data, std::size_t size);

// Keeps the failure of the lowest item index, so a parallel step reports the
// same failure whatever the pool size and the order in which items ran.
class LowestFailure {
public:
    template <class F>
    void run(std::size_t item, F&& work) {
        try {
            work();
        } catch (const Panic& p) {
            std::lock_guard lock(mutex_);
            if (item < item_) {
                item_ = item;
                message_ = p.message;
            }
        }
    }
    // Rethrows the kept failure on the calling thread.
    void rethrow() const {
        if (item_ != SIZE_MAX) throw Panic{message_};
    }

private:
    std::mutex mutex_;
    std::size_t item_ = SIZE_MAX;
    std::string message_;
};

}  // namespace kelm
