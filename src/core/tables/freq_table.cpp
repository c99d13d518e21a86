#include "core/tables/freq_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "core/common/check.hpp"
#include "core/pool/pool.hpp"
#include "core/tables/shard_mode.hpp"

namespace kelm {

namespace {

// Shards are counted in pieces of at most this many bytes.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// Nearest integer, halves away from zero, saturated into u64 (NaN and
// negatives give 0).
uint64_t round_to_u64(double x) {
    double r = std::round(x);
    if (!(r >= 0.0)) return 0;
    if (r >= 18446744073709551616.0) return UINT64_MAX;
    return uint64_t(r);
}

}  // namespace

void normalize_counts(const uint64_t* counts, uint64_t width, uint64_t* f) {
    // The total is exact (128 bits): counts near 2^64 must not wrap it.
    unsigned __int128 total = 0;
    for (std::size_t k = 0; k < kAlphabet; ++k) total += counts[k];
    std::fill(f, f + kAlphabet, uint64_t{0});
    if (width == 0) {
        f[0] = kProbScale;
        return;
    }
    const std::size_t L = width < kAlphabet ? std::size_t(width) : kAlphabet;
    const double dtotal = double(total);
    for (std::size_t k = 0; k < L; ++k) {
        if (counts[k] == 0) continue;
        double x = double(counts[k]) / dtotal;
        x = x * 4096.0;
        uint64_t v = round_to_u64(x);
        f[k] = v ? v : 1;
    }
    uint64_t S = 0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < L; ++k) {
        S += f[k];
        if (f[k] >= f[j]) j = k;  // highest index wins ties
    }
    const int64_t r = int64_t(f[j] + kProbScale - S);
    if (r > 0) {
        f[j] = uint64_t(r);
        return;
    }
    // The other entries alone reach 4096: the largest drops to 1 and the
    // remaining excess comes off the entries in symbol order, none below 1.
    uint64_t excess = S - f[j] + 1 - kProbScale;
    f[j] = 1;
    for (std::size_t k = 0; k < L && excess != 0; ++k) {
        if (k == j || f[k] < 2) continue;
        uint64_t d = std::min(excess, f[k] - 1);
        f[k] -= d;
        excess -= d;
    }
}

void single_symbol_table(uint64_t* freqs) {
    std::fill(freqs, freqs + kAlphabet, uint64_t{0});
    freqs[0] = kProbScale;
}

void cumulative_table(const uint64_t* freqs, uint64_t* cum) {
    uint64_t c = 0;
    cum[0] = 0;
    for (std::size_t k = 0; k < kAlphabet; ++k) {
        c += freqs[k];
        cum[k + 1] = c;
    }
}

namespace {

// Counts the eight bytes of a word, spread over the four count tables.
inline void count_word(uint32_t (&c)[4][kAlphabet], uint64_t word) {
    for (unsigned k = 0; k < 8; ++k) ++c[k & 3][(word >> (8 * k)) & 0xFF];
}

}  // namespace

void add_histogram(std::span<const uint8_t> data, uint64_t* counts) {
    // Four interleaved count tables keep runs of one byte value from
    // serialising on a single counter; 32-bit counters are flushed before
    // they can overflow.
    constexpr std::size_t kFlush = std::size_t{1} << 30;
    alignas(64) uint32_t c[4][kAlphabet];
    const uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        std::memset(c, 0, sizeof c);
        std::size_t n = std::min(left, kFlush);
        const uint8_t* end = p + n;
        while (end - p >= 16) {
            uint64_t a, b;
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + 8, 8);
            p += 16;
            count_word(c, a);
            count_word(c, b);
        }
        while (p < end) ++c[0][*p++];
        for (std::size_t s = 0; s < kAlphabet; ++s)
            counts[s] += uint64_t(c[0][s]) + c[1][s] + c[2][s] + c[3][s];
        left -= n;
    }
}

ShardTables build_pdf_tables_from_shards(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                         std::span<const uint32_t> lengths, std::span<const uint16_t> widths,
                                         std::span<const uint64_t> templates, std::size_t n_templates,
                                         bool disable_templates) {
    const std::size_t n = lengths.size();
    ShardTables out{Buffer<uint64_t>::uninit(checked_mul(n, kCumLen)),
                    Buffer<uint64_t>::uninit(checked_mul(n, kAlphabet)), Buffer<uint8_t>::uninit(n)};

    // Every shard's slice must lie inside data (64-bit ends, no wrap). Long
    // shards are counted in pieces with private counts, summed per shard
    // afterwards, so a few large shards still spread over the pool.
    const std::size_t n_counted = std::min(n, offsets.size());
    std::vector<std::size_t> first_piece(n_counted + 1, 0);
    for (std::size_t i = 0; i < n_counted; ++i) {
        const uint64_t end = uint64_t(offsets[i]) + uint64_t(lengths[i]);
        if (end > data.size()) panic_range_end(std::size_t(end), data.size());
        first_piece[i + 1] = first_piece[i] + (std::size_t(lengths[i]) + kPieceBytes - 1) / kPieceBytes;
    }
    // A shard with symbols needs a width (its counts add up to its length).
    for (std::size_t i = widths.size(); i < n_counted; ++i)
        if (lengths[i] > 0) panic_index(widths.size(), i);
    const std::size_t n_pieces = first_piece[n_counted];
    std::vector<std::size_t> piece_shard(n_pieces);
    for (std::size_t i = 0; i < n_counted; ++i)
        std::fill(piece_shard.begin() + first_piece[i], piece_shard.begin() + first_piece[i + 1], i);
    Buffer<uint64_t> piece_counts = Buffer<uint64_t>::zeroed(checked_mul(n_pieces, kAlphabet));
    parallel_for(n_pieces, [&](std::size_t q) {
        const std::size_t i = piece_shard[q];
        const std::size_t skip = (q - first_piece[i]) * kPieceBytes;
        const std::size_t len = std::min<std::size_t>(lengths[i] - skip, kPieceBytes);
        add_histogram(data.subspan(std::size_t(offsets[i]) + skip, len), piece_counts.data() + q * kAlphabet);
    });

    std::optional<TemplateSet> set;
    if (!disable_templates && n_templates > 0) set.emplace(templates, n_templates, true);
    parallel_for(n, [&](std::size_t i) {
        uint64_t cnt[kAlphabet] = {};
        if (i < n_counted) {
            for (std::size_t q = first_piece[i]; q < first_piece[i + 1]; ++q)
                for (std::size_t s = 0; s < kAlphabet; ++s) cnt[s] += piece_counts[q * kAlphabet + s];
        }
        uint64_t* sym = out.sym_freqs.data() + i * kAlphabet;
        const bool empty = std::all_of(cnt, cnt + kAlphabet, [](uint64_t c) { return c == 0; });
        if (empty) {
            single_symbol_table(sym);
            out.modes[i] = kModeSingle;
        } else {
            const uint64_t width = at(widths, i);
            out.modes[i] = decide_shard_mode(cnt, width, set ? &*set : nullptr, kHeaderPenaltyBits,
                                             disable_templates, sym);
        }
        cumulative_table(sym, out.cum_freqs.data() + i * kCumLen);
    });
    return out;
}

}  // namespace kelm
