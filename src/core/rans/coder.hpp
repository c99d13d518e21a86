// The rANS coder shared by the sharded codec and the plane coder: 12-bit
// frequencies, 64-bit states, byte-wise renormalisation.
//
// State interval: coded states lie in [2^31, 2^39). The encoder gives out low
// bytes while x >= f * 2^27, so x / f < 2^27 and the coded state
// (x / f) * 4096 + x % f + cum stays below 2^39. The decoder's step
// x' = f * (x >> 12) + slot - cum leaves x' >= f * 2^19 >= 2^19; it takes a
// byte while x' < 2^31, and a second one when x' <= 0x7FFFFF (one byte would
// leave it below 2^31), so two bytes always suffice: 2^19 * 2^16 >= 2^31.
//
// Interleave: a stream of n symbols has four states; symbol k uses state
// k mod 4. The encoder codes symbols last to first, appending bytes; the
// decoder reads them back from the end, states in order 0, 1, 2, 3.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/alphabet.hpp"
#include "core/common/check.hpp"

namespace kelm {

constexpr uint64_t kLowerBound = 1ull << 31;      // decoder: below it, take bytes in
constexpr uint64_t kStateEnd = 1ull << 39;        // coded states lie below it
constexpr uint64_t kTwoByteLimit = 0x7FFFFF;      // decoder: at or below it, take a second byte
constexpr unsigned kOutputShift = 27;             // encoder: x >= f << 27 gives out bytes
constexpr std::size_t kMagicLen = 4097;

// Branch-free renormalisation helper: one compare of x with bound drives both
// a conditional move and a counter. Returns x < bound ? if_below : otherwise,
// and steps counter by -Borrow - (x < bound).
template <int Borrow, class Counter>
inline __attribute__((always_inline)) uint64_t select_below(uint64_t x, uint64_t bound, uint64_t if_below,
                                                            uint64_t otherwise, Counter& counter) {
#if defined(__x86_64__)
    asm("cmpq %[bound], %[x]\n\t"
        "cmovbq %[if_below], %[r]\n\t"
        "sbbq %[borrow], %[c]"
        : [r] "+r"(otherwise), [c] "+r"(counter)
        : [x] "r"(x), [bound] "r"(bound), [if_below] "r"(if_below), [borrow] "i"(Borrow)
        : "cc");
    return otherwise;
#else
    const bool below = x < bound;
    counter -= Borrow + below;
    return below ? if_below : otherwise;
#endif
}

// MAGIC_LUT: entry f = floor((2^64 - 1) / f), entry 0 = 0; built once.
const uint64_t* magic_lut();

// Everything one encode step needs of a symbol, packed so one load serves it.
struct EncSymbol {
    uint64_t magic;
    uint64_t cum;
    uint64_t freq;
};

// Encoder record of a symbol; a frequency above 4096 lies outside MAGIC_LUT.
inline EncSymbol make_enc_symbol(uint64_t freq, uint64_t cum) {
    if (freq >= kMagicLen) panic_index(kMagicLen, freq);
    return {magic_lut()[freq], cum, freq};
}

// x / f and x % f for every 64-bit x, through the reciprocal and one correction.
inline uint64_t encode_divide(uint64_t x, const EncSymbol& s) {
    uint64_t q = uint64_t((unsigned __int128)x * s.magic >> 64);
    uint64_t r = x - q * s.freq;
    if (r >= s.freq) {
        q += 1;
        r -= s.freq;
    }
    return (q << kProbBits) + r + s.cum;
}

// Encode step: renormalise (appending low bytes at out), then code the symbol.
// The caller guarantees room for the bytes (at most 8 per step) and freq >= 1.
inline uint64_t encode_step(uint64_t x, const EncSymbol& s, uint8_t*& out) {
    const uint64_t threshold = s.freq << kOutputShift;
    while (x >= threshold) {
        *out++ = uint8_t(x);
        x >>= 8;
    }
    return encode_divide(x, s);
}

// Decoder renormalisation: reads backwards from bytes[pos], pos = -1 when used up.
inline uint64_t decode_renorm(uint64_t x, const uint8_t* bytes, std::ptrdiff_t& pos) {
    if (x < kLowerBound && pos >= 0) {
        uint64_t x1 = (x << 8) | bytes[pos];
        if (x <= kTwoByteLimit && pos >= 1) {
            x = (x1 << 8) | bytes[pos - 1];
            pos -= 2;
        } else {
            x = x1;
            pos -= 1;
        }
    }
    return x;
}

// The state update of a decode step for a symbol with frequency f, cumulative c.
inline uint64_t decode_advance(uint64_t x, uint64_t freq, uint64_t cum) {
    return freq * (x >> kProbBits) + (x & kSlotMask) - cum;
}

}  // namespace kelm
