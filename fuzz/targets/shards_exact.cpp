// The codec's decode_shards: the sharded decoder held to what the encoder
// writes (records fill the payload, states in range, every byte read, every
// state back at the initial state). Whatever it accepts, kelm_rans's decoder
// decodes to the same symbols.
#include <cstring>
#include <vector>

#include "../common.hpp"
#include "core/rans/shard_exact.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    fuzz::ShardInput in = fuzz::read_shard_input(r);
    kelm::Buffer<uint8_t> exact;
    bool accepted = false;
    fuzz::guarded([&] {
        exact = kelm::rans_decode_shards_exact(in.payload, in.counts, in.cums, in.syms, in.lookups, in.initial_state);
        accepted = true;
    });
    if (!accepted) return 0;
    // What it accepts, kelm_rans's decoder decodes to the same symbols.
    uint64_t total = 0;
    for (uint32_t c : in.counts) total += c;
    auto plain = kelm::rans_decode_shards_parallel(in.payload, in.counts, in.cums, in.syms, in.lookups);
    if (exact.size() != total || plain.decoded.size() != total || plain.consumed != in.payload.size() ||
        (total && std::memcmp(exact.data(), plain.decoded.data(), total)))
        __builtin_trap();
    return 0;
}
