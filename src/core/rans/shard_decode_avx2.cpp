#include "core/rans/shard_decode_avx2.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/common/buffer.hpp"
#include "core/rans/coder.hpp"
#include "core/rans/shard_decoder.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kelm {

#if defined(__x86_64__)

namespace {

#define KELM_AVX2 __attribute__((target("avx2,bmi2,popcnt")))

// Shards in flight: one shard's chain (table load, multiply, renormalisation)
// is far longer than its work, several together keep the core busy.
constexpr int kMaxLanes = 6;
// With fewer shards left the scalar decoder is faster.
constexpr int kMinLanes = 3;
// Shorter shards do not repay building their slot entries.
constexpr std::size_t kMinSymbols = 2048;
// With frequencies and offsets below 4096 a state below 2^44 stays below 2^44
// (4095 * (2^32 - 1) + 4095 < 2^44), so x >> 12 always fits the 32-bit multiply
// and the signed compares see the state's value.
constexpr uint64_t kStateLimit = 1ull << 44;
// Slot entries, with room for the 8-wide stores past the last run.
constexpr std::size_t kEntries = kProbScale + 8;

// A group's renormalisation for one combination of needs: bit 2k of the index
// is set when lane k is below 2^31 (takes a byte), bit 2k + 1 when it is at or
// below 0x7FFFFF (takes a second one). Lanes take their bytes in lane order
// from the 8 bytes below the read position.
struct alignas(64) RenormStep {
    uint8_t shuffle[32];  // source byte of each lane's new low bytes, 0x80 for none
    uint64_t shift[4];    // bits each lane moves up: 0, 8 or 16
};

constexpr std::array<RenormStep, 256> make_renorm_steps() {
    std::array<RenormStep, 256> steps{};
    for (unsigned idx = 0; idx < 256; ++idx) {
        RenormStep& step = steps[idx];
        for (uint8_t& b : step.shuffle) b = 0x80;
        unsigned top = 8;  // the 8 bytes end at the read position
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned need = (idx >> (2 * k)) & 1 ? 1 + ((idx >> (2 * k + 1)) & 1) : 0;
            for (unsigned j = 0; j < need; ++j) step.shuffle[8 * k + j] = uint8_t(top - need + j);
            top -= need;
            step.shift[k] = 8 * need;
        }
    }
    return steps;
}

alignas(64) constexpr std::array<RenormStep, 256> kRenorm = make_renorm_steps();

// Per slot: symbol | freq << 8 | (slot - cum) << 20, filled run by run of the
// lookup, 8 entries at a time. False unless every slot's symbol has freq and
// slot - cum below 4096.
KELM_AVX2 bool build_slot_entries(const ShardJob& job, uint32_t* entries) {
    const uint8_t* lookup = job.lookup;
    const __m256i steps = _mm256_setr_epi32(0, 1 << 20, 2 << 20, 3 << 20, 4 << 20, 5 << 20, 6 << 20, 7 << 20);
    uint32_t j = 0;
    while (j < kProbScale) {
        const uint8_t s = lookup[j];
        const uint64_t f = job.freqs[s], c = job.cums[s];
        if (f >= kProbScale || c > j) return false;
        uint32_t v = s | uint32_t(f) << 8 | (j - uint32_t(c)) << 20;
        const uint64_t run = s * 0x0101010101010101ull;
        for (;;) {
            // Entries past the run's end are overwritten by the next run.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + j),
                                _mm256_add_epi32(_mm256_set1_epi32(int(v)), steps));
            if (j + 8 > kProbScale) {
                while (j < kProbScale && lookup[j] == s) ++j;
                break;
            }
            uint64_t w;
            std::memcpy(&w, lookup + j, 8);
            if (const uint64_t diff = w ^ run) {
                j += unsigned(__builtin_ctzll(diff)) / 8;
                break;
            }
            j += 8;
            v += 8 << 20;
        }
    }
    return true;
}

// count groups of every lane (lane k's slot entries at entries + k * kEntries,
// so that one register addresses them all); each lane has at least count
// whole groups left and at least 8 + 8 * (count - 1) bytes, so no read needs
// a bound test.
template <int K>
KELM_AVX2 void run_groups(ShardJob* lanes, const uint32_t* entries, std::size_t count) {
    __m256i X[K];
    const uint8_t* R[K];  // the 8 bytes that end at the read position
    uint8_t* O[K];
    for (int k = 0; k < K; ++k) {
        X[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[k].st));
        R[k] = lanes[k].bytes + lanes[k].len - 8;
        O[k] = lanes[k].out;
    }
    const __m256i slot_mask = _mm256_set1_epi64x(int64_t(kSlotMask));
    const __m256i lower = _mm256_set1_epi64x(int64_t(kLowerBound));
    const __m256i two_bytes = _mm256_set1_epi64x(int64_t(kTwoByteLimit + 1));
    const __m128i symbols = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    for (std::size_t g = 0; g < count; ++g) {
        // All lanes' table loads first, so that their latencies overlap. Each
        // entry is inserted straight from memory (a load and an insert), not
        // joined in general registers and moved across.
        __m128i E[K];
        for (int k = 0; k < K; ++k) {
            const __m256i slot = _mm256_and_si256(X[k], slot_mask);
            const __m128i lo = _mm256_castsi256_si128(slot), hi = _mm256_extracti128_si256(slot, 1);
            const uint32_t* t = entries + k * kEntries;
            __m128i v = _mm_cvtsi32_si128(int(t[_mm_cvtsi128_si64(lo)]));
            v = _mm_insert_epi32(v, int(t[_mm_extract_epi64(lo, 1)]), 1);
            v = _mm_insert_epi32(v, int(t[_mm_cvtsi128_si64(hi)]), 2);
            E[k] = _mm_insert_epi32(v, int(t[_mm_extract_epi64(hi, 1)]), 3);
        }
        for (int k = 0; k < K; ++k) {
            const uint32_t syms = uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi8(E[k], symbols)));
            std::memcpy(O[k] + 4 * g, &syms, 4);
            const __m256i e = _mm256_cvtepu32_epi64(E[k]);
            const __m256i freq = _mm256_and_si256(_mm256_srli_epi64(e, 8), slot_mask);
            const __m256i x = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(X[k], kProbBits), freq),
                                               _mm256_srli_epi64(e, 20));
            // Written as asm: the compiler turns c > x into a compare the other
            // way round plus an inversion.
            __m256i below, two;
            asm("vpcmpgtq %1, %2, %0" : "=x"(below) : "x"(x), "x"(lower));
            asm("vpcmpgtq %1, %2, %0" : "=x"(two) : "x"(x), "x"(two_bytes));
            const unsigned need =
                unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_blend_epi32(below, two, 0xAA))));
            uint64_t w;
            std::memcpy(&w, R[k], 8);
            const RenormStep& step = kRenorm[need];
            const __m256i in = _mm256_shuffle_epi8(_mm256_set1_epi64x(int64_t(w)),
                                                   _mm256_load_si256(reinterpret_cast<const __m256i*>(step.shuffle)));
            const __m256i shift = _mm256_load_si256(reinterpret_cast<const __m256i*>(step.shift));
            X[k] = _mm256_or_si256(_mm256_sllv_epi64(x, shift), in);
            R[k] -= _mm_popcnt_u32(need);
        }
    }
    for (int k = 0; k < K; ++k) {
        ShardJob& job = lanes[k];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(job.st), X[k]);
        job.len = std::size_t(R[k] + 8 - job.bytes);
        job.out += 4 * count;
        job.n -= 4 * count;
    }
}

void run_lanes(ShardJob* lanes, const uint32_t* entries, int active, std::size_t count) {
    static_assert(kMinLanes == 3 && kMaxLanes == 6);
    switch (active) {
        case 3: return run_groups<3>(lanes, entries, count);
        case 4: return run_groups<4>(lanes, entries, count);
        case 5: return run_groups<5>(lanes, entries, count);
        default: return run_groups<6>(lanes, entries, count);
    }
}

bool takes(const ShardJob& job) {
    if (job.n < kMinSymbols || job.len < 8 || job.freqs[0] == kProbScale) return false;
    return job.st[0] < kStateLimit && job.st[1] < kStateLimit && job.st[2] < kStateLimit &&
           job.st[3] < kStateLimit;
}

}  // namespace

std::size_t decode_shards_avx2(std::span<ShardJob> jobs) {
    // Longest first, so that the lanes run out of work at about the same time
    // and little is left for the scalar decoder.
    std::stable_sort(jobs.begin(), jobs.end(), [](const ShardJob& a, const ShardJob& b) { return a.n > b.n; });
    Buffer<uint32_t> entries = Buffer<uint32_t>::uninit(kMaxLanes * kEntries);
    const auto slot = [&](int k) { return entries.data() + k * kEntries; };
    ShardJob lanes[kMaxLanes];
    int active = 0;
    std::size_t next = 0, kept = 0;
    // Lane k takes the next job it can run, with its slot entries built in
    // slot k; false when none is left. A job is copied into a lane before
    // any continuation is written back, and kept never passes next, so the
    // writes only overwrite jobs already taken.
    const auto take_next = [&](int k) {
        while (next < jobs.size()) {
            const ShardJob& job = jobs[next++];
            if (takes(job) && build_slot_entries(job, slot(k))) {
                lanes[k] = job;
                return true;
            }
            jobs[kept++] = job;
        }
        return false;
    };
    while (active < kMaxLanes && take_next(active)) ++active;
    while (active >= kMinLanes) {
        // Groups every lane can run without a bound test: a group reads at
        // most 8 bytes, and the first needs 8 below the read position.
        std::size_t count = SIZE_MAX;
        for (int k = 0; k < active; ++k) count = std::min({count, lanes[k].n / 4, (lanes[k].len - 8) / 8 + 1});
        run_lanes(lanes, entries.data(), active, count);
        for (int k = 0; k < active;) {
            const ShardJob& job = lanes[k];
            if (job.n >= 4 && job.len >= 8) {
                ++k;
                continue;
            }
            if (job.n != 0) {
                jobs[kept++] = job;
            } else if (job.end) {
                *job.end = {{job.st[0], job.st[1], job.st[2], job.st[3]}, job.len};
            }
            if (take_next(k)) continue;
            // No job left: the last lane moves into this slot, with its entries.
            if (--active != k) {
                lanes[k] = lanes[active];
                std::memcpy(slot(k), slot(active), kEntries * sizeof(uint32_t));
            }
        }
    }
    for (int k = 0; k < active; ++k) jobs[kept++] = lanes[k];
    return kept;
}

#else

std::size_t decode_shards_avx2(std::span<ShardJob> jobs) { return jobs.size(); }

#endif

}  // namespace kelm
