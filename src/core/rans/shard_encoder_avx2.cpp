// The AVX2 kernel of the sharded encoder: the four states of a shard in one
// vector, one group of four symbols per step. Compiled for AVX2 whatever the
// build's target; chosen at run time (cpu_features.hpp).
//
// The division runs in double precision. For a state x below 2^40 and a
// regular symbol, p = (x + 0.5) * (1 / f), each of the two products rounded,
// lies within (x + 0.5) / f * 2^-52 < 2^-12 / f of (x + 0.5) / f, whose
// fractional part lies in [0.5 / f, 1 - 0.5 / f]; so adding 2^52 - 0.5 rounds
// to 2^52 + floor(x / f) exactly (the maximum with 2^52 covers x < f, where
// the sum may round down to 2^52 - 0.5). Its bits then hold q0 = x / f, and
// q0 >= 2^27 exactly when x >= f << 27: the bytes to give out follow from q0,
// and after renormalisation by s bits the quotient is q0 >> s.
#include <immintrin.h>

#include <array>
#include <cstdint>

#include "core/rans/shard_encoder_lanes.hpp"

namespace kelm::shard_encoding {

namespace {

#define KELM_AVX2 __attribute__((target("avx2,bmi2,popcnt")))

constexpr unsigned kDefaultCsr = 0x1F80;  // round to nearest, all exceptions masked

// 1 / f for f = 1 to 4096 (entry 0 unused), rounded to nearest.
constexpr std::array<double, kProbScale + 1> kReciprocals = [] {
    std::array<double, kProbScale + 1> t{};
    for (std::size_t f = 1; f <= kProbScale; ++f) t[f] = 1.0 / double(f);
    return t;
}();

// Byte shuffles that pack the bytes a group gives out, and their counts.
// Bit 2j of the index: state j gives out its low byte; bit 2j + 1: also its
// second byte. The source holds the low 32 bits of state j at bytes 4j to
// 4j + 3; states are coded 3 first, each low byte first. Unused positions
// select zero.
struct PackTable {
    uint64_t shuffle[256];
    uint8_t count[256];
};
constexpr PackTable kPack = [] {
    PackTable t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        uint64_t ctl = 0;
        int n = 0;
        for (int j = 3; j >= 0; --j)
            for (int b = 0; b < 2; ++b)
                if (mask >> (2 * j + b) & 1) ctl |= uint64_t(4 * j + b) << (8 * n++);
        t.count[mask] = uint8_t(n);
        for (; n < 8; ++n) ctl |= uint64_t(0x80) << (8 * n);
        t.shuffle[mask] = ctl;
    }
    return t;
}();

struct Constants {
    __m256i magic;        // the bits of 2^52
    __m256i limit1;       // the bits of 2^52 + 2^27 - 1: one byte above
    __m256i limit2;       // the bits of 2^52 + 2^35 - 1: two bytes above
    __m256i eight;
    __m256i sixteen;
    __m256i low_halves;   // gathers the low 32 bits of the four states
    __m256i irregular;
    __m256d magic_less_half;
    __m256d two52;

    KELM_AVX2 Constants()
        : magic(_mm256_set1_epi64x(0x4330000000000000)),
          limit1(_mm256_set1_epi64x(0x4330000000000000 + (1ll << 27) - 1)),
          limit2(_mm256_set1_epi64x(0x4330000000000000 + (1ll << 35) - 1)),
          eight(_mm256_set1_epi64x(8)),
          sixteen(_mm256_set1_epi64x(16)),
          low_halves(_mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)),
          irregular(_mm256_set1_epi64x(kIrregular)),
          magic_less_half(_mm256_set1_pd(4503599627370496.0 - 0.5)),
          two52(_mm256_set1_pd(4503599627370496.0)) {}
};

// Codes the group p[0, 4) (symbol j with state j) from the states x.
KELM_AVX2 inline __attribute__((always_inline)) __m256i group(__m256i x, const uint8_t* p,
                                                             const Avx2Kernel::Entry* t, uint8_t*& out,
                                                             __m256i& irregular, const Constants& c) {
    // The entries of the four symbols, as vectors of 1 / f and of (4096 - f, cum).
    const __m128i* e = reinterpret_cast<const __m128i*>(t);
    const __m256i e02 = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_load_si128(e + p[0])),
                                                _mm_load_si128(e + p[2]), 1);
    const __m256i e13 = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_load_si128(e + p[1])),
                                                _mm_load_si128(e + p[3]), 1);
    const __m256d rcp = _mm256_castsi256_pd(_mm256_unpacklo_epi64(e02, e13));
    const __m256i spread_cum = _mm256_unpackhi_epi64(e02, e13);
    irregular = _mm256_or_si256(irregular, spread_cum);

    // 2^52 + x / f; x + 0.5 = (2^52 + x) - (2^52 - 0.5) exactly.
    const __m256d half_up = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(x, c.magic)), c.magic_less_half);
    const __m256d q0 = _mm256_max_pd(_mm256_add_pd(_mm256_mul_pd(half_up, rcp), c.magic_less_half), c.two52);
    const __m256i q0_bits = _mm256_castpd_si256(q0);

    // Renormalisation: one byte when q0 >= 2^27, two when q0 >= 2^35.
    const __m256i one = _mm256_cmpgt_epi64(q0_bits, c.limit1);
    const __m256i two = _mm256_cmpgt_epi64(q0_bits, c.limit2);
    const __m256i shift = _mm256_blendv_epi8(_mm256_and_si256(one, c.eight), c.sixteen, two);
    const __m128i lows = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(x, c.low_halves));
    const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_blend_epi32(one, two, 0xAA))));
    const __m128i shuffle = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kPack.shuffle[mask]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(lows, shuffle));
    out += kPack.count[mask];

    // x >> s + cum + (q0 >> s) (4096 - f); the low 32 bits of q0_bits >> s
    // are q0 >> s (s <= 16, q0 >> s < 2^27).
    const __m256i xr = _mm256_srlv_epi64(x, shift);
    const __m256i q = _mm256_srlv_epi64(q0_bits, shift);
    return _mm256_add_epi64(_mm256_add_epi64(xr, _mm256_srli_epi64(spread_cum, 32)), _mm256_mul_epu32(q, spread_cum));
}

template <int N>
KELM_AVX2 void avx2_run(Lane<Avx2Kernel::Table>* lanes, std::size_t m) {
    // The rounding above needs round-to-nearest, and the states of an
    // irregular lane may be anything: the default environment (all
    // exceptions masked) for the loop, the caller's again afterwards.
    const unsigned csr = _mm_getcsr();
    _mm_setcsr(kDefaultCsr);
    const Constants c;
    __m256i x[N], irregular[N];
    uint8_t* out[N];
    const uint8_t* p[N];
    const Avx2Kernel::Entry* t[N];
    for (int j = 0; j < N; ++j) {
        x[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[j].x));
        irregular[j] = _mm256_setzero_si256();
        out[j] = lanes[j].out;
        p[j] = lanes[j].data + lanes[j].k - m;
        t[j] = lanes[j].table->e;
    }
    for (std::size_t i = m; i > 0;) {
        i -= 4;
        for (int j = 0; j < N; ++j) x[j] = group(x[j], p[j] + i, t[j], out[j], irregular[j], c);
    }
    for (int j = 0; j < N; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes[j].x), x[j]);
        lanes[j].out = out[j];
        lanes[j].k -= m;
        lanes[j].irregular |= !_mm256_testz_si256(irregular[j], c.irregular);
    }
    _mm_setcsr(csr);
}

}  // namespace

void Avx2Kernel::build(Table& t, const uint64_t* freqs, const uint64_t* cums) {
    const double* rcp = kReciprocals.data();
    for (unsigned s = 0; s < kAlphabet; ++s) {
        const uint64_t f = freqs[s], c = cums[s];
        t.e[s] = is_regular(f, c) ? Entry{rcp[f], uint32_t(kProbScale - f), uint32_t(c)} : Entry{0.0, kIrregular, 0};
    }
}

void Avx2Kernel::run(Lane<Table>* lanes, int count, std::size_t m) {
    if (count == 3) return avx2_run<3>(lanes, m);
    if (count == 2) return avx2_run<2>(lanes, m);
    avx2_run<1>(lanes, m);
}

}  // namespace kelm::shard_encoding
