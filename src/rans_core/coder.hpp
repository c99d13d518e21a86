// The rANS coder shared by the sharded codec and the plane coder: 12-bit
// frequencies, 64-bit states, byte-wise renormalisation.
#pragma once

#include <cstdint>
#include <span>

#include "check.hpp"

namespace kelm {

constexpr unsigned kProbBits = 12;
constexpr uint64_t kProbScale = 1u << kProbBits;  // table total 4096
constexpr uint64_t kSlotMask = kProbScale - 1;
constexpr uint64_t kLowerBound = 1ull << 31;      // decoder: below it, take bytes in
constexpr uint64_t kTwoByteLimit = 0x7FFFFF;      // decoder: at or below it, take a second byte
constexpr unsigned kOutputShift = 27;             // encoder: x >= f << 27 gives out bytes
constexpr std::size_t kMagicLen = 4097;

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
