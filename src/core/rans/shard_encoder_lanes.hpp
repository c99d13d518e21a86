// The fast kernels of the sharded encoder. A worker keeps several shards in
// flight, one per lane, and a kernel codes a stretch of every lane per call,
// interleaved, so that the core has the state chains of several shards to
// work on at once. Each lane writes its own region, in the order of a lone
// shard.
//
// The kernels only code regular symbols (frequency 1 to 4096, cumulative
// frequency below 2^32) from states below 2^40; coded states then stay below
// 2^39 + 2^32 (quotient below 2^27, remainder below 4096, cumulative below
// 2^32), so the state of a shard never leaves that range once the exact steps
// of its first group are done. A lane that meets another symbol is marked
// irregular; its shard is then coded again, exactly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/alphabet.hpp"
#include "core/rans/shard_encoder.hpp"

namespace kelm::shard_encoding {

// The fast kernels write at most 8 bytes past the next byte of a lane; their
// spare bytes past the end of a shard are zeroed afterwards.
constexpr std::size_t kSpareBytes = 8;

// Marks an irregular symbol in the tables' spread fields (4096 - f < 2^12).
constexpr uint32_t kIrregular = 0x80000000u;

inline bool is_regular(uint64_t freq, uint64_t cum) { return freq >= 1 && freq <= kProbScale && cum <= UINT32_MAX; }

// One shard in flight. The kernels read and update x, out, k and irregular;
// the rest belongs to the worker.
template <class Table>
struct Lane {
    uint64_t x[4];          // states 0 to 3
    uint8_t* out;           // the next byte of the shard
    const uint8_t* data;    // the shard's symbols; data[0, k) remain to be coded
    std::size_t k;          // a multiple of 4
    Table* table;
    bool irregular;
    std::size_t shard;
    std::size_t len;
    uint8_t* begin;         // the shard's region
    uint8_t* end;
};

// Generic x86-64: one step after the other, four states per shard.
struct ScalarKernel {
    static constexpr int kLanes = 2;
    struct Table {
        uint64_t mult[kAlphabet];       // ceil(2^63 / f)
        uint64_t threshold[kAlphabet];  // f << 27
        uint64_t spread[kAlphabet];     // 4096 - f, or kIrregular
        uint64_t cum[kAlphabet];
    };
    static void build(Table& t, const uint64_t* freqs, const uint64_t* cums);
    // Codes m symbols (a multiple of 4, at most any lane's k) of each of the
    // first `count` lanes.
    static void run(Lane<Table>* lanes, int count, std::size_t m);
};

// AVX2: the four states of a shard in one vector.
struct Avx2Kernel {
    static constexpr int kLanes = 3;
    struct alignas(16) Entry {
        double reciprocal;  // 1 / f
        uint32_t spread;    // 4096 - f, or kIrregular
        uint32_t cum;
    };
    struct Table {
        Entry e[kAlphabet];
    };
    static void build(Table& t, const uint64_t* freqs, const uint64_t* cums);
    static void run(Lane<Table>* lanes, int count, std::size_t m);
};

}  // namespace kelm::shard_encoding
