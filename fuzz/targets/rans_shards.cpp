// kelm_rans's rans_decode_shards_parallel: shard records parsed from the
// payload, each shard decoded with its own table, on the scalar or the AVX2
// kernels, with or without the shard ends; the scalar and the AVX2 kernels
// must give the same symbols and fail alike.
#include <cstring>
#include <vector>

#include "../common.hpp"
#include "core/rans/shard_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    fuzz::ShardInput in = fuzz::read_shard_input(r);
    std::vector<kelm::ShardEnd> ends(in.flags & 16 ? in.counts.size() : 0);
    kelm::DecodedShards first;
    bool accepted = false;
    fuzz::guarded([&] {
        first = kelm::rans_decode_shards_parallel(in.payload, in.counts, in.cums, in.syms, in.lookups, ends);
        accepted = true;
    });
    // The other kernel (scalar or AVX2) must agree, failing or not. consumed
    // may pass the payload's end: the bytes of shards without symbols are
    // never read, so their lengths are not checked.
    fuzz::choose_simd(!(in.flags & 1));
    bool again = false;
    fuzz::guarded([&] {
        auto second = kelm::rans_decode_shards_parallel(in.payload, in.counts, in.cums, in.syms, in.lookups);
        again = true;
        uint64_t total = 0;
        for (uint32_t c : in.counts) total += c;
        if (!accepted || second.decoded.size() != total || first.decoded.size() != total ||
            second.consumed != first.consumed ||
            (total && std::memcmp(first.decoded.data(), second.decoded.data(), total)))
            __builtin_trap();
    });
    if (accepted != again) __builtin_trap();
    return 0;
}
