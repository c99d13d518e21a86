#include "shard_encoder.hpp"

#include <cstring>

#include "coder.hpp"
#include "pool.hpp"

namespace kelm {

namespace {

constexpr std::size_t kFreqStride = 256;
constexpr std::size_t kCumStride = 257;
constexpr uint64_t kRegionSlack = 1024;

// Per-symbol record of the fast loop. Symbols whose table entry the fast loop
// cannot code (frequency 0 or above 4096, cumulative frequency above 32 bits)
// carry kIrregular in freq and go through the exact step instead.
struct alignas(16) FastSymbol {
    uint64_t magic;
    uint32_t freq;
    uint32_t cum;
};
constexpr uint32_t kIrregular = 0x80000000u;

struct ShardTables {
    const uint64_t* freqs;
    const uint64_t* cums;
    std::size_t shard;
};

// The exact encode step for any state and any table entry: frequency 0 and
// frequencies outside MAGIC_LUT stop the call, renormalisation loops as long
// as needed.
uint64_t exact_step(uint64_t x, uint8_t symbol, const ShardTables& t, uint8_t*& out, const uint8_t* end) {
    uint64_t freq = t.freqs[symbol];
    if (freq == 0)
        panic("symbol " + std::to_string(symbol) + " of shard " + std::to_string(t.shard) +
              " has frequency 0 in its table");
    EncSymbol s = make_enc_symbol(freq, t.cums[symbol]);
    const uint64_t threshold = s.freq << kOutputShift;
    while (x >= threshold) {
        if (out == end) [[unlikely]]
            panic("encoded bytes exceed the shard's reserved region");
        *out++ = uint8_t(x);
        x >>= 8;
    }
    return encode_divide(x, s);
}

// The encode step for a regular symbol and a state below 2^43: renormalisation
// gives out at most two bytes, both stored unconditionally (two bytes of room
// are guaranteed) and the write position advanced by the number really due.
inline __attribute__((always_inline)) uint64_t fast_step(uint64_t x, const FastSymbol& s, uint8_t*& out) {
    const uint64_t freq = s.freq;
    const uint64_t threshold = freq << kOutputShift;
    const unsigned count = unsigned(x >= threshold) + unsigned(x >= (threshold << 8));
    uint16_t low = uint16_t(x);
    std::memcpy(out, &low, 2);
    out += count;
    x >>= 8 * count;
    uint64_t q = uint64_t((unsigned __int128)x * s.magic >> 64);
    uint64_t r = x - q * freq;
    if (r >= freq) {
        q += 1;
        r -= freq;
    }
    return (q << kProbBits) + r + s.cum;
}

// Codes one shard into [out, end); returns the number of bytes given out.
// After an exact step with a regular symbol every state is below 2^40, which
// the fast loop needs; the first group of four (each state's first step) and
// the group after any irregular symbol therefore run exactly.
std::size_t encode_shard(const uint8_t* data, std::size_t len, const ShardTables& t, uint64_t (&st)[4],
                         uint8_t* out, uint8_t* end) {
    FastSymbol table[256];
    const uint64_t* magic = magic_lut();
    for (unsigned s = 0; s < 256; ++s) {
        uint64_t f = t.freqs[s], c = t.cums[s];
        bool regular = f >= 1 && f < kMagicLen && c <= UINT32_MAX;
        table[s] = regular ? FastSymbol{magic[f], uint32_t(f), uint32_t(c)} : FastSymbol{0, kIrregular, 0};
    }

    uint8_t* const begin = out;
    uint64_t x0 = st[0], x1 = st[1], x2 = st[2], x3 = st[3];
    std::size_t k = len;
    const std::size_t whole = len & ~std::size_t(3);
    // Positions above the last multiple of four, highest first.
    while (k > whole) {
        --k;
        uint64_t& x = (k & 3) == 0 ? x0 : (k & 3) == 1 ? x1 : x2;
        x = exact_step(x, data[k], t, out, end);
    }
    uint32_t pending = 1;
    while (k > 0) {
        k -= 4;
        const uint8_t* g = data + k;
        const FastSymbol& s3 = table[g[3]];
        const FastSymbol& s2 = table[g[2]];
        const FastSymbol& s1 = table[g[1]];
        const FastSymbol& s0 = table[g[0]];
        const uint32_t irregular = (s0.freq | s1.freq | s2.freq | s3.freq) & kIrregular;
        if ((irregular | pending) != 0 || end - out < 10) [[unlikely]] {
            x3 = exact_step(x3, g[3], t, out, end);
            x2 = exact_step(x2, g[2], t, out, end);
            x1 = exact_step(x1, g[1], t, out, end);
            x0 = exact_step(x0, g[0], t, out, end);
            pending = irregular;
            continue;
        }
        x3 = fast_step(x3, s3, out);
        x2 = fast_step(x2, s2, out);
        x1 = fast_step(x1, s1, out);
        x0 = fast_step(x0, s0, out);
    }
    // The fast step's spare store may have left up to two bytes behind the end.
    for (uint8_t* p = out; p < end && p < out + 2; ++p) *p = 0;
    st[0] = x0, st[1] = x1, st[2] = x2, st[3] = x3;
    return std::size_t(out - begin);
}

}  // namespace

EncodedShards rans_encode_shards_parallel(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                          std::span<const uint32_t> lengths, std::span<const uint64_t> cum_freqs,
                                          std::span<const uint64_t> sym_freqs, uint64_t initial_state) {
    magic_lut();
    const std::size_t n = lengths.size();

    // Reserved regions of 2 * len + 1024 bytes, back to back. Offsets are 32-bit:
    // inputs whose regions do not fit are refused before any work.
    EncodedShards r;
    r.bs_offsets = Buffer<uint32_t>::uninit(n);
    uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (total <= UINT32_MAX) r.bs_offsets[i] = uint32_t(total);
        total += 2 * uint64_t(lengths[i]) + kRegionSlack;
    }
    if (total > UINT32_MAX)
        reject("shards too large to encode: their output regions need " + std::to_string(total) +
               " bytes, more than the 4294967295 that 32-bit offsets can address");

    r.final_states = Buffer<uint64_t>::uninit(checked_mul(n, 4));
    r.bitstreams = Buffer<uint8_t>::zeroed(total);
    r.bs_lengths = Buffer<uint32_t>::uninit(n);

    LowestFailure failure;
    parallel_for(n, [&](std::size_t i) {
        failure.run(i, [&] {
            auto freqs = slice(sym_freqs, i * kFreqStride, i * kFreqStride + kFreqStride);
            auto cums = slice(cum_freqs, i * kCumStride, i * kCumStride + kCumStride);
            uint64_t st[4] = {initial_state, initial_state, initial_state, initial_state};
            std::size_t written = 0;
            const std::size_t len = lengths[i];
            if (len != 0 && freqs[0] != kProbScale) {
                const std::size_t start = at(offsets, i);
                if (start + len > data.size()) panic_index(data.size(), start + len - 1);
                uint8_t* region = r.bitstreams.data() + r.bs_offsets[i];
                ShardTables t{freqs.data(), cums.data(), i};
                written = encode_shard(data.data() + start, len, t, st, region, region + 2 * len + kRegionSlack);
            }
            std::memcpy(&r.final_states[4 * i], st, sizeof st);
            r.bs_lengths[i] = uint32_t(written);
        });
    });
    failure.rethrow();
    return r;
}

}  // namespace kelm
