// The AVX2 shard decoder: a shard's four states in one vector register and
// several shards in flight, so that their dependency chains overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelm {

struct ShardEnd;

// A shard to decode: n symbols into out from the states st and the len
// bytes at bytes (read from the end), with its 257 cumulative frequencies,
// 256 frequencies and 4096-entry slot lookup.
struct ShardJob {
    uint64_t st[4];
    const uint8_t* bytes;
    std::size_t len;
    const uint64_t* cums;
    const uint64_t* freqs;
    const uint8_t* lookup;
    uint8_t* out;
    std::size_t n;
    ShardEnd* end;  // where the decoder that finishes the shard records how it ended, or null
};

// Decodes what the vector kernel takes of the jobs and moves the rest to the
// front of jobs (the jobs' order is not kept), returning their number: the shards it leaves alone (short
// ones, the single-symbol table, tables with a frequency or offset above
// 4095, states of 2^44 or more) unchanged, and the shards it decoded in part
// as their continuation from a group boundary (states, remaining bytes,
// output and count). The scalar decoder finishes both, with the bytes it
// would have produced on the whole shard. Needs AVX2, BMI2 and POPCNT.
std::size_t decode_shards_avx2(std::span<ShardJob> jobs);

}  // namespace kelm
