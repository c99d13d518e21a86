#include "core/rans/shard_encoder.hpp"

#include <cstring>

#include "core/common/failure.hpp"
#include "core/common/huge_pages.hpp"
#include "core/rans/coder.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

namespace {

constexpr uint64_t kRegionSlack = 1024;

// Per-symbol record of the fast loop. The fast loop only runs on states below
// 2^39, where every regular step leaves them (coder.hpp): renormalisation gives
// out at most two bytes (x >> 16 < 2^23 <= f * 2^27) and leaves the state below
// f * 2^27; for such states q = floor(2x * mult / 2^64) with
// mult = ceil(2^63 / f) is exactly x / f, and the coded state
// (q << 12) + (x - q f) + c equals x + c + q (4096 - f).
// Symbols that the fast loop cannot code (frequency 0 or above 4096,
// cumulative frequency above 32 bits) carry kIrregular in `spread`; they make
// the shard run through the exact steps instead.
struct alignas(32) FastSymbol {
    uint64_t mult;
    uint64_t threshold;  // f << 27: the state gives out bytes while at or above it
    uint32_t spread;     // 4096 - f
    uint32_t cum;
};
constexpr uint32_t kIrregular = 0x80000000u;

struct EncoderTables {
    const uint64_t* freqs;
    const uint64_t* cums;
    std::size_t shard;
};

// The exact encode step for any state and any table entry: frequency 0 and
// frequencies outside MAGIC_LUT stop the call, renormalisation loops as long
// as needed.
uint64_t exact_step(uint64_t x, uint8_t symbol, const EncoderTables& t, uint8_t*& out, const uint8_t* end) {
    uint64_t freq = t.freqs[symbol];
    if (freq == 0)
        panic("symbol " + std::to_string(symbol) + " of shard " + std::to_string(t.shard) +
              " has frequency 0 in its table");
    EncSymbol s = make_enc_symbol(freq, t.cums[symbol]);
    const uint64_t threshold = s.freq << kOutputShift;
    while (x >= threshold) {
        if (out == end) [[unlikely]]
            panic("shard " + std::to_string(t.shard) + " gives out more bytes than its reserved region holds");
        *out++ = uint8_t(x);
        x >>= 8;
    }
    return encode_divide(x, s);
}

// The fast encode step. Both renormalisation bytes are stored unconditionally
// (room for two is guaranteed) and the write position advances by the number
// really due. Each renormalisation byte is one compare that drives both a
// conditional move (the state shifted by 8) and the position (carry): the
// shifted state is compared with the same threshold, since x >= f << 35
// exactly when (x >> 8) >= f << 27.
inline __attribute__((always_inline)) uint64_t fast_step(uint64_t x, const FastSymbol& s, uint8_t*& out,
                                                         uint32_t& irregular) {
    uint16_t low = uint16_t(x);
    std::memcpy(out, &low, 2);
    const uint64_t threshold = s.threshold;
    for (int k = 0; k < 2; ++k) {
        // Gives a byte when x >= threshold: the position advances by 1 - carry.
        x = select_below<-1>(x, threshold, x, x >> 8, out);
    }
    const uint64_t q = uint64_t((unsigned __int128)(x + x) * s.mult >> 64);
    const uint32_t spread = s.spread;
    irregular |= spread;
    return x + s.cum + q * spread;
}

// Codes one shard exactly, from the initial states, into [out, end).
std::size_t encode_exact(const uint8_t* data, std::size_t len, const EncoderTables& t, uint64_t (&st)[4],
                         uint8_t* out, const uint8_t* end) {
    uint8_t* const begin = out;
    for (std::size_t k = len; k-- > 0;) st[k & 3] = exact_step(st[k & 3], data[k], t, out, end);
    return std::size_t(out - begin);
}

// Codes one shard into [out, end); returns the number of bytes given out.
// The positions above the last multiple of four and the last group of four
// (every state's first step) run exactly; afterwards every state stays below
// 2^39 as long as the symbols are regular, and the rest runs fast. A shard
// that meets an irregular symbol is coded again, exactly, from the start.
std::size_t encode_shard(const uint8_t* data, std::size_t len, const EncoderTables& t, uint64_t (&st)[4],
                         uint8_t* out, uint8_t* end) {
    const uint64_t init[4] = {st[0], st[1], st[2], st[3]};
    FastSymbol table[kAlphabet];
    uint32_t irregular = 0;
    for (unsigned s = 0; s < kAlphabet; ++s) {
        const uint64_t f = t.freqs[s], c = t.cums[s];
        const bool regular = f >= 1 && f <= kProbScale && c <= UINT32_MAX;
        table[s] = regular ? FastSymbol{((uint64_t(1) << 63) + f - 1) / f, f << kOutputShift,
                                        uint32_t(kProbScale - f), uint32_t(c)}
                           : FastSymbol{0, 0, kIrregular, 0};
    }

    uint8_t* const begin = out;
    std::size_t k = len;
    std::size_t exact_until = len < 4 ? 0 : (len & ~std::size_t(3)) - 4;
    while (k > exact_until) {
        --k;
        st[k & 3] = exact_step(st[k & 3], data[k], t, out, end);
        irregular |= table[data[k]].spread;
    }
    if (std::size_t(end - out) < 2 * k + 2) irregular = kIrregular;
    if (!(irregular & kIrregular)) {
        uint64_t x0 = st[0], x1 = st[1], x2 = st[2], x3 = st[3];
        while (k > 0) {
            k -= 4;
            const uint8_t* g = data + k;
            x3 = fast_step(x3, table[g[3]], out, irregular);
            x2 = fast_step(x2, table[g[2]], out, irregular);
            x1 = fast_step(x1, table[g[1]], out, irregular);
            x0 = fast_step(x0, table[g[0]], out, irregular);
        }
        st[0] = x0, st[1] = x1, st[2] = x2, st[3] = x3;
    }
    if (irregular & kIrregular) {
        std::memset(begin, 0, std::size_t(end - begin));
        std::memcpy(st, init, sizeof init);
        return encode_exact(data, len, t, st, begin, end);
    }
    // The fast step's spare store may have left up to two bytes behind the end.
    for (uint8_t* p = out; p < end && p < out + 2; ++p) *p = 0;
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
    prefer_huge_pages(r.bitstreams.data(), total);
    r.bs_lengths = Buffer<uint32_t>::uninit(n);

    FirstFailure failure;
    parallel_for(n, [&](std::size_t i) {
        failure.run(i, [&] {
            auto freqs = slice(sym_freqs, i * kAlphabet, i * kAlphabet + kAlphabet);
            auto cums = slice(cum_freqs, i * kCumLen, i * kCumLen + kCumLen);
            uint64_t st[4] = {initial_state, initial_state, initial_state, initial_state};
            std::size_t written = 0;
            const std::size_t len = lengths[i];
            if (len != 0 && freqs[0] != kProbScale) {
                const std::size_t start = at(offsets, i);
                if (start + len > data.size()) panic_index(data.size(), start + len - 1);
                uint8_t* region = r.bitstreams.data() + r.bs_offsets[i];
                EncoderTables t{freqs.data(), cums.data(), i};
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
