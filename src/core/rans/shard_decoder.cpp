#include "core/rans/shard_decoder.hpp"

#include <algorithm>
#include <cstring>

#include "core/common/cpu_features.hpp"
#include "core/common/failure.hpp"
#include "core/common/huge_pages.hpp"
#include "core/pool/pool.hpp"
#include "core/rans/coder.hpp"
#include "core/rans/payload.hpp"
#include "core/rans/shard_decode_avx2.hpp"

namespace kelm {

namespace {

// Most shards per batch of the vector decoder.
constexpr std::size_t kAvx2Batch = 48;

#define KELM_INLINE inline __attribute__((always_inline))

void build_slot_lookup(const uint64_t* cum, uint8_t* out) {
    std::memset(out, 0, kProbScale);
    for (unsigned s = 0; s < kAlphabet; ++s) {
        const uint64_t lo = cum[s], hi = cum[s + 1];
        if (lo < hi && hi <= kProbScale) std::memset(out + lo, int(s), hi - lo);
    }
}

// The tables of one stream. Checked: every index is tested (tables may be
// shorter than the symbols and slots they are indexed with); unchecked: the
// lookup has 4096 entries and both frequency tables at least 256. Held by
// value with plain pointers so that the decoder keeps them in registers
// (stores of symbols could otherwise alias them).
template <bool Checked>
struct StreamTables {
    const uint8_t* lookup;
    const uint64_t* freqs;
    const uint64_t* cums;
    std::size_t lookup_len, freqs_len, cums_len;

    // The decode step up to renormalisation; the symbol goes to dst before the
    // frequency tables are read.
    KELM_INLINE uint64_t advance(uint64_t x, uint8_t* dst) const {
        const uint64_t slot = x & kSlotMask;
        if constexpr (Checked) {
            if (slot >= lookup_len) panic_index(lookup_len, slot);
        }
        const uint8_t s = lookup[slot];
        *dst = s;
        if constexpr (Checked) {
            if (s >= freqs_len) panic_index(freqs_len, s);
            if (s >= cums_len) panic_index(cums_len, s);
        }
        return freqs[s] * (x >> kProbBits) + slot - cums[s];
    }
};

// Per-slot tables of a stream with regular tables: each slot's frequency and
// its offset into the symbol's range (slot - cum), so that the state update
// needs one load after the slot instead of two in a row.
struct SlotTables {
    const uint8_t* lookup;
    const uint16_t* freq;  // freq of the slot's symbol
    const uint16_t* bias;  // slot - cum of the slot's symbol

    KELM_INLINE uint64_t advance(uint64_t x, uint8_t* dst) const {
        const uint64_t slot = x & kSlotMask;
        *dst = lookup[slot];
        return uint64_t(freq[slot]) * (x >> kProbBits) + bias[slot];
    }
};

// Fills the per-slot tables; false when some slot's frequency or offset does
// not fit 16 bits (then the stream decodes through the symbol tables).
bool build_slot_tables(const uint8_t* lookup, const uint64_t* freqs, const uint64_t* cums, uint16_t* freq,
                       uint16_t* bias) {
    for (uint32_t slot = 0; slot < kProbScale; ++slot) {
        const uint8_t s = lookup[slot];
        const uint64_t f = freqs[s], c = cums[s];
        if (f > 0xFFFF || c > slot || slot - c > 0xFFFF) return false;
        freq[slot] = uint16_t(f);
        bias[slot] = uint16_t(slot - c);
    }
    return true;
}

// Streams this long amortise building the per-slot tables.
constexpr std::size_t kSlotTablesMin = 16384;

// Decoder renormalisation while at least two bytes remain (pos >= 1): the
// common single byte through a select, the rare second byte behind a branch.
KELM_INLINE uint64_t renorm_unguarded(uint64_t x, const uint8_t* bytes, std::ptrdiff_t& pos) {
    const uint64_t b = bytes[pos];
    if (x <= kTwoByteLimit) [[unlikely]] {
        x = (x << 16) | (b << 8) | bytes[pos - 1];
        pos -= 2;
        return x;
    }
    // Takes the byte when x < 2^31: the position drops by the carry.
    return select_below<0>(x, kLowerBound, (x << 8) | b, x, pos);
}

// The states after a stream's last symbol and its read position (-1 when every byte was read).
struct StreamEnd {
    uint64_t st[4];
    std::ptrdiff_t pos;
};

template <class Tables>
StreamEnd decode_stream(const uint64_t (&st)[4], std::span<const uint8_t> bytes, const Tables t,
                        uint8_t* out, std::size_t n) {
    uint64_t x0 = st[0], x1 = st[1], x2 = st[2], x3 = st[3];
    const uint8_t* b = bytes.data();
    std::ptrdiff_t pos = std::ptrdiff_t(bytes.size()) - 1;
    const std::size_t whole = n & ~std::size_t(3);
    std::size_t i = 0;
    // A group reads at most 8 bytes: with pos >= 8 no read needs a bound test.
    for (; i < whole && pos >= 8; i += 4) {
        x0 = renorm_unguarded(t.advance(x0, out + i), b, pos);
        x1 = renorm_unguarded(t.advance(x1, out + i + 1), b, pos);
        x2 = renorm_unguarded(t.advance(x2, out + i + 2), b, pos);
        x3 = renorm_unguarded(t.advance(x3, out + i + 3), b, pos);
    }
    for (; i < whole; i += 4) {
        x0 = decode_renorm(t.advance(x0, out + i), b, pos);
        x1 = decode_renorm(t.advance(x1, out + i + 1), b, pos);
        x2 = decode_renorm(t.advance(x2, out + i + 2), b, pos);
        x3 = decode_renorm(t.advance(x3, out + i + 3), b, pos);
    }
    if (i < n) x0 = decode_renorm(t.advance(x0, out + i++), b, pos);
    if (i < n) x1 = decode_renorm(t.advance(x1, out + i++), b, pos);
    if (i < n) x2 = decode_renorm(t.advance(x2, out + i++), b, pos);
    return {{x0, x1, x2, x3}, pos};
}

// The single-stream decode with the single-symbol shortcut.
StreamEnd decode_one(const uint64_t (&st)[4], std::span<const uint8_t> bytes, std::span<const uint64_t> cums,
                     std::span<const uint64_t> freqs, std::span<const uint8_t> lookup, uint8_t* out, std::size_t n) {
    if (at(freqs, 0) == kProbScale) {
        const uint8_t only = at(lookup, 0);
        if (n != 0) std::memset(out, only, n);
        return {{st[0], st[1], st[2], st[3]}, std::ptrdiff_t(bytes.size()) - 1};
    }
    if (lookup.size() >= kProbScale && freqs.size() >= kAlphabet && cums.size() >= kAlphabet) {
        if (n >= kSlotTablesMin) {
            // On the heap: the calling thread's stack may be small.
            Buffer<uint16_t> slots = Buffer<uint16_t>::uninit(2 * kProbScale);
            uint16_t* freq = slots.data();
            uint16_t* bias = slots.data() + kProbScale;
            if (build_slot_tables(lookup.data(), freqs.data(), cums.data(), freq, bias))
                return decode_stream(st, bytes, SlotTables{lookup.data(), freq, bias}, out, n);
        }
        return decode_stream(st, bytes, StreamTables<false>{lookup.data(), freqs.data(), cums.data(), 0, 0, 0}, out,
                             n);
    } else {
        return decode_stream(st, bytes,
                             StreamTables<true>{lookup.data(), freqs.data(), cums.data(), lookup.size(),
                                                freqs.size(), cums.size()},
                             out, n);
    }
}

}  // namespace

StreamPieces::StreamPieces(const uint64_t (&st)[4], std::span<const uint8_t> bytes, const uint64_t* cums,
                           const uint64_t* freqs, const uint8_t* lookup)
    : st_{st[0], st[1], st[2], st[3]},
      bytes_(bytes.data()),
      pos_(std::ptrdiff_t(bytes.size()) - 1),
      cums_(cums),
      freqs_(freqs),
      lookup_(lookup) {}

void StreamPieces::next(uint8_t* out, std::size_t n) {
    if (n == 0) return;
    if (freqs_[0] == kProbScale) {  // decode_one's single-symbol shortcut: nothing moves
        std::memset(out, lookup_[0], n);
        return;
    }
    const StreamEnd e = decode_stream(st_, {bytes_, std::size_t(pos_ + 1)},
                                      StreamTables<false>{lookup_, freqs_, cums_, 0, 0, 0}, out, n);
    std::memcpy(st_, e.st, sizeof st_);
    pos_ = e.pos;
}

Buffer<uint8_t> build_all_lookups(std::span<const uint64_t> all_cum_freqs, std::size_t n_tables) {
    if (n_tables != 0 && checked_mul(n_tables, kCumLen) > all_cum_freqs.size()) {
        // The first table whose row lies beyond the copy.
        const std::size_t t = all_cum_freqs.size() / kCumLen;
        panic_range_end(t * kCumLen + kCumLen, all_cum_freqs.size());
    }
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(checked_mul(n_tables, kProbScale));
    parallel_for(
        n_tables,
        [&](std::size_t t) { build_slot_lookup(all_cum_freqs.data() + t * kCumLen, out.data() + t * kProbScale); },
        16);
    return out;
}

void rans_decode_4way(const uint64_t (&st)[4], std::span<const uint8_t> bytes, std::span<const uint64_t> cum_freqs,
                      std::span<const uint64_t> sym_freqs, std::span<const uint8_t> slot_lookup,
                      std::span<uint8_t> out) {
    // An output that shares memory with an input is written and read strictly
    // step by step, in the order of the decode steps.
    auto overlaps = [&](const void* p, std::size_t size) {
        auto* b = static_cast<const uint8_t*>(p);
        return size != 0 && !out.empty() && b < out.data() + out.size() && out.data() < b + size;
    };
    if (overlaps(bytes.data(), bytes.size_bytes()) || overlaps(cum_freqs.data(), cum_freqs.size_bytes()) ||
        overlaps(sym_freqs.data(), sym_freqs.size_bytes()) || overlaps(slot_lookup.data(), slot_lookup.size_bytes())) {
        if (at(sym_freqs, 0) == kProbScale) {
            const uint8_t only = at(slot_lookup, 0);
            for (uint8_t& o : out) o = only;
            return;
        }
        decode_stream(st, bytes,
                      StreamTables<true>{slot_lookup.data(), sym_freqs.data(), cum_freqs.data(), slot_lookup.size(),
                                         sym_freqs.size(), cum_freqs.size()},
                      out.data(), out.size());
        return;
    }
    decode_one(st, bytes, cum_freqs, sym_freqs, slot_lookup, out.data(), out.size());
}

DecodedShards rans_decode_shards_parallel(std::span<const uint8_t> payload, std::span<const uint32_t> shard_counts,
                                          std::span<const uint64_t> cum_freqs, std::span<const uint64_t> sym_freqs,
                                          std::span<const uint8_t> lookups, std::span<ShardEnd> ends) {
    const std::size_t n = shard_counts.size();
    if (n == 0) return {Buffer<uint8_t>::uninit(0), 0};

    uint64_t consumed = 0;
    Buffer<ShardRecord> records = read_shard_records(payload, n, consumed);

    // Each shard decodes straight into its own range of the output.
    Buffer<uint64_t> out_offsets = Buffer<uint64_t>::uninit(n);
    uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out_offsets[i] = total;
        total += shard_counts[i];
    }
    DecodedShards result{Buffer<uint8_t>::uninit(total), consumed};
    prefer_huge_pages(result.decoded.data(), total);

    // Shard i's inputs; false when it has no symbols.
    auto shard_job = [&](std::size_t i, ShardJob& job) {
        const std::size_t count = shard_counts[i];
        const ShardRecord& r = records[i];
        ShardEnd* end = ends.empty() ? nullptr : &at(ends, i);
        if (count == 0) {
            if (end) *end = {{r.st[0], r.st[1], r.st[2], r.st[3]}, r.len};
            return false;
        }
        auto bytes = slice(payload, r.start, r.start + r.len);
        auto cums = slice(cum_freqs, i * kCumLen, i * kCumLen + kCumLen);
        auto freqs = slice(sym_freqs, i * kAlphabet, i * kAlphabet + kAlphabet);
        auto lookup = slice(lookups, i * kProbScale, i * kProbScale + kProbScale);
        job = {{r.st[0], r.st[1], r.st[2], r.st[3]}, bytes.data(), bytes.size(), cums.data(), freqs.data(),
               lookup.data(), result.decoded.data() + out_offsets[i], count, end};
        return true;
    };
    auto decode_job = [](const ShardJob& job) {
        const StreamEnd e = decode_one(job.st, {job.bytes, job.len}, {job.cums, kCumLen}, {job.freqs, kAlphabet},
                                       {job.lookup, kProbScale}, job.out, job.n);
        if (job.end) *job.end = {{e.st[0], e.st[1], e.st[2], e.st[3]}, uint64_t(e.pos + 1)};
    };

    FirstFailure failure;
    if (simd_level() == SimdLevel::avx2) {
        // Batches of shards for the vector decoder, which keeps several in flight;
        // it hands back what it leaves to the scalar decoder, mostly the ends of
        // a batch's last shards: the larger the batch, the less that is.
        const std::size_t grain = std::clamp<std::size_t>(n / 4, 3, kAvx2Batch);
        parallel_for_ranges(n, grain, [&](std::size_t begin, std::size_t end) {
            ShardJob jobs[kAvx2Batch];
            std::size_t m = 0;
            for (std::size_t i = begin; i < end; ++i) failure.run(i, [&] { m += shard_job(i, jobs[m]); });
            m = decode_shards_avx2({jobs, m});
            for (std::size_t k = 0; k < m; ++k) decode_job(jobs[k]);
        });
    } else {
        parallel_for(n, [&](std::size_t i) {
            failure.run(i, [&] {
                ShardJob job;
                if (shard_job(i, job)) decode_job(job);
            });
        });
    }
    failure.rethrow();
    return result;
}

}  // namespace kelm
