#include "core/common/crc32.hpp"

#include <immintrin.h>

#include <array>

#include "core/common/cpu_features.hpp"

namespace kelm {

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;

// Four tables: the byte-at-a-time table and its shifts by one to three bytes.
constexpr std::array<std::array<uint32_t, 256>, 4> make_tables() {
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (kPoly & (0u - (c & 1u)));
        t[0][i] = c;
    }
    for (std::size_t s = 1; s < 4; ++s)
        for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr auto kTables = make_tables();

// On the inverted register, as the folding kernel works too.
uint32_t table_run(uint32_t c, const uint8_t* p, std::size_t len) {
    for (; len >= 4; len -= 4, p += 4) {
        c ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        c = kTables[3][c & 0xFF] ^ kTables[2][(c >> 8) & 0xFF] ^ kTables[1][(c >> 16) & 0xFF] ^ kTables[0][c >> 24];
    }
    for (; len > 0; --len, ++p) c = (c >> 8) ^ kTables[0][(c ^ *p) & 0xFF];
    return c;
}

__m128i load(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x times both halves of k, plus the next 16 bytes.
[[gnu::target("pclmul,sse4.1"), gnu::always_inline]] inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Folds 64 bytes at a time in four 128-bit lanes by carry-less products with
// x^(512 +- 32) mod P, then the lanes into one, then 16 bytes at a time, and
// reduces the last 128 bits to 32 (Barrett). len >= 64 and a multiple of 16;
// c is the inverted register.
[[gnu::target("pclmul,sse4.1")]] uint32_t fold_run(uint32_t c, const uint8_t* p, std::size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(c)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    len -= 64;
    for (; len >= 64; len -= 64, p += 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    for (; len >= 16; len -= 16, p += 16) x1 = fold(x1, k3k4, load(p));

    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool can_fold() {
    static const bool pclmul = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return pclmul && simd_level() != SimdLevel::scalar;
}

}  // namespace

uint32_t crc32_table(uint32_t crc, const uint8_t* data, std::size_t len) {
    return ~table_run(~crc, data, len);
}

uint32_t crc32(uint32_t crc, const uint8_t* data, std::size_t len) {
    uint32_t c = ~crc;
    if (len >= 64 && can_fold()) {
        const std::size_t body = len & ~std::size_t(15);
        c = fold_run(c, data, body);
        data += body;
        len -= body;
    }
    return ~table_run(c, data, len);
}

}  // namespace kelm
