// Shared pieces of the fuzz targets: a little-endian reader over the fuzz
// input, the frequency and context tables built from a short header, and the
// guard that turns the core's own failures (Panic, InvalidInput) into
// ordinary rejections. Anything else (a sanitizer report, a crash, another
// exception, a hang) is a finding.
//
// Every target reads a small header that picks sizes and tables, then takes
// the rest of the input as the body (payload, stream or residuals), so the
// fuzzer mutates the data a decoder walks as well as the shapes around it.
// Sizes are bounded so that one input runs in well under a millisecond or so.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "core/common/alphabet.hpp"
#include "core/common/check.hpp"
#include "core/common/pixel.hpp"
#include "core/plane/plane_tables.hpp"
#include "core/pool/pool.hpp"
#include "core/rans/shard_decoder.hpp"
#include "core/tables/freq_table.hpp"

namespace fuzz {

class Reader {
public:
    Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return uint16_t(u8() | unsigned(u8()) << 8); }
    uint32_t u32() { return u16() | uint32_t(u16()) << 16; }
    uint64_t u64() { return u32() | uint64_t(u32()) << 32; }

    // Up to n bytes (fewer when the input ends).
    std::span<const uint8_t> bytes(std::size_t n) {
        n = std::min(n, size_ - pos_);
        std::span<const uint8_t> s{data_ + pos_, n};
        pos_ += n;
        return s;
    }
    std::span<const uint8_t> rest() { return bytes(size_ - pos_); }
    std::size_t left() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A copy of s in its own heap block, so that ASan sees reads past its end.
template <class T>
std::vector<T> own(std::span<const T> s) {
    return std::vector<T>(s.begin(), s.end());
}

// Runs f; the core's documented failures are rejections of the input.
template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (const kelm::Panic&) {
    } catch (const kelm::InvalidInput&) {
    }
}

// One worker thread, the scalar or the vector kernels as the input asks.
inline void setup_pool() {
    static const bool once = [] {
        kelm::pool_init(1);
        return true;
    }();
    (void)once;
}
inline void choose_simd(bool scalar) { setenv("KELM_SIMD", scalar ? "scalar" : "avx2", 1); }

// One 256-entry frequency row: u8 k, then k + 1 little-endian u16 values
// for symbols 0..k (the rest 0). With `normalize`, the values are counts
// normalised to 4096 as the encoder does; otherwise they are taken as they are.
inline void read_freq_row(Reader& r, bool normalize, uint64_t* freqs) {
    const unsigned k = 1 + r.u8();
    uint64_t counts[kelm::kAlphabet] = {};
    for (unsigned s = 0; s < k; ++s) counts[s] = r.u16();
    if (!normalize) {
        std::memcpy(freqs, counts, sizeof counts);
        return;
    }
    bool other = false;
    for (unsigned s = 1; s < kelm::kAlphabet; ++s) other |= counts[s] != 0;
    if (other)
        kelm::normalize_counts(counts, k, freqs);
    else
        kelm::single_symbol_table(freqs);
}

// Context tables from a recipe of the codec's kind (activity or signed
// gradient classes, intensity buckets, class tables), optionally shortened so
// that the checked kernels run:
//   u8 flags: 1 signed classes, 2 class table from the input, 4 shorten tables
//   u8 n, n thresholds (n <= 10); u8 m, m intensity thresholds (m <= 3)
//   class table: with flag 2, 4 * k raw bytes; otherwise u16 `split` (bit
//     c % 16: class c split by bucket) and u8 `merge` (when not 0: classes
//     merged into min(merge, 8) plane classes)
//   with flag 4: u16, u8, u8 bytes cut off s_lut, i_lut, d_lut
struct OwnedTables {
    std::shared_ptr<const std::vector<uint8_t>> s_full;  // shared by inputs with the same recipe
    std::vector<uint8_t> s_cut, i_lut, d_lut;              // s_cut: a shortened copy, when asked for
    bool cut = false;
    std::size_t n_classes = 1;  // classes the recipe produces
    kelm::ContextTables view() const { return {cut ? std::span<const uint8_t>(s_cut) : *s_full, i_lut, d_lut}; }
};

// The gradient classes of every (L - UL, U - UL): activity classes (the
// number of thresholds at most max - min of 0, L - UL, U - UL) or signed
// classes (q(L - UL), q(U - UL)) with q(d) = sign(d) x the thresholds <= |d|.
inline std::shared_ptr<const std::vector<uint8_t>> gradient_classes(bool is_signed, const uint8_t* thr, unsigned n) {
    static std::map<std::vector<uint8_t>, std::shared_ptr<const std::vector<uint8_t>>> cache;
    std::vector<uint8_t> key(thr, thr + n);
    key.push_back(is_signed);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    auto at_most = [&](int v) {
        int c = 0;
        for (unsigned i = 0; i < n; ++i) c += thr[i] <= v;
        return c;
    };
    // Per difference (signed) or per activity 0..510 (activity classes).
    int cls[2 * 255 + 1];
    for (int v = 0; v <= 510; ++v) cls[v] = !is_signed ? at_most(v) : v > 255 ? at_most(v - 255) : v < 255 ? -at_most(255 - v) : 0;
    auto lut = std::make_shared<std::vector<uint8_t>>(kelm::kSLutLen);
    const int nn = int(n);
    for (int dl = -255; dl <= 255; ++dl) {
        for (int du = -255; du <= 255; ++du) {
            uint8_t c;
            if (is_signed) {
                c = uint8_t((cls[dl + 255] + nn) * (2 * nn + 1) + cls[du + 255] + nn);
            } else {
                const int hi = std::max({dl, du, 0}), lo = std::min({dl, du, 0});
                c = uint8_t(cls[hi - lo]);
            }
            (*lut)[std::size_t(dl + 255) * kelm::kGradientSide + std::size_t(du + 255)] = c;
        }
    }
    if (cache.size() >= 64) cache.clear();
    cache.emplace(std::move(key), lut);
    return lut;
}

inline OwnedTables read_context_tables(Reader& r) {
    OwnedTables t;
    const uint8_t flags = r.u8();
    const unsigned n = std::min<unsigned>(r.u8(), 10);
    uint8_t thr[10];
    for (unsigned i = 0; i < n; ++i) thr[i] = r.u8();
    const unsigned m = std::min<unsigned>(r.u8(), 3);
    uint8_t ithr[3];
    for (unsigned i = 0; i < m; ++i) ithr[i] = r.u8();

    const bool is_signed = flags & 1;
    t.s_full = gradient_classes(is_signed, thr, n);
    const std::size_t k = is_signed ? (2 * n + 1) * (2 * n + 1) : n + 1;  // gradient classes
    t.i_lut.resize(256);
    for (int v = 0; v < 256; ++v) {
        unsigned c = 0;
        for (unsigned i = 0; i < m; ++i) c += ithr[i] <= v;
        t.i_lut[v] = uint8_t(c);
    }
    const std::size_t buckets = m + 1;

    if (flags & 2) {
        const auto raw = r.bytes(4 * k);
        t.d_lut.assign(raw.begin(), raw.end());
        t.d_lut.resize(4 * k, 0);
        t.n_classes = 1 + *std::max_element(t.d_lut.begin(), t.d_lut.end());
    } else {
        const uint16_t split = r.u16();
        const uint8_t merge = r.u8();
        t.d_lut.resize(4 * k);
        if (merge != 0) {
            // The plane coder's classes: gradient class c -> c * p / k.
            const std::size_t p = std::min<std::size_t>(merge, 8);
            for (std::size_t c = 0; c < k; ++c)
                for (std::size_t b = 0; b < 4; ++b) t.d_lut[4 * c + b] = uint8_t(c * p / k);
            t.n_classes = p;
        } else {
            // The sharded method's classes: some classes split by bucket.
            std::size_t next = 0;
            for (std::size_t c = 0; c < k; ++c) {
                const bool s = ((split >> (c % 16)) & 1) && buckets > 1;
                for (std::size_t b = 0; b < 4; ++b)
                    t.d_lut[4 * c + b] = uint8_t(s ? next + std::min(b, buckets - 1) : next);
                next += s ? buckets : 1;
            }
            t.n_classes = next;
        }
    }
    if (flags & 4) {
        const std::size_t cs = r.u16(), ci = r.u8(), cd = r.u8();
        t.cut = true;
        t.s_cut.assign(t.s_full->begin(), t.s_full->end() - std::min(cs, t.s_full->size()));
        t.i_lut.resize(t.i_lut.size() - std::min(ci, t.i_lut.size()));
        t.d_lut.resize(t.d_lut.size() - std::min(cd, t.d_lut.size()));
    }
    return t;
}

// The inputs of the sharded decoders:
//   u8 flags: 1 scalar kernels, 2 frequencies as given (not normalised),
//     4 shorten the tables (u16 cuts for cum, sym, lookups follow the rows),
//     8 overwrite one cumulative entry (u16 index, u16 value follow),
//     16 ask for the shard ends, 32 a given initial state (u64 follows)
//   u8 n: 1 + n % 16 shards
//   n x u16 symbol counts (at most 2^16 symbols in all)
//   n frequency rows (read_freq_row)
//   the rest: the payload of shard records
struct ShardInput {
    uint8_t flags = 0;
    std::vector<uint32_t> counts;
    std::vector<uint64_t> cums, syms;
    std::vector<uint8_t> lookups, payload;
    uint64_t initial_state = 1ull << 31;
};

inline ShardInput read_shard_input(Reader& r) {
    ShardInput in;
    in.flags = r.u8();
    const std::size_t n = 1 + r.u8() % 16;
    uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t c = r.u16();
        c = uint32_t(std::min<uint64_t>(c, (1u << 16) - total));
        total += c;
        in.counts.push_back(c);
    }
    in.syms.resize(n * kelm::kAlphabet);
    in.cums.resize(n * kelm::kCumLen);
    for (std::size_t i = 0; i < n; ++i) {
        read_freq_row(r, !(in.flags & 2), &in.syms[i * kelm::kAlphabet]);
        kelm::cumulative_table(&in.syms[i * kelm::kAlphabet], &in.cums[i * kelm::kCumLen]);
    }
    {
        auto l = kelm::build_all_lookups(in.cums, n);
        in.lookups.assign(l.data(), l.data() + l.size());
    }
    if (in.flags & 4) {
        in.cums.resize(in.cums.size() - std::min<std::size_t>(r.u16(), in.cums.size()));
        in.syms.resize(in.syms.size() - std::min<std::size_t>(r.u16(), in.syms.size()));
        in.lookups.resize(in.lookups.size() - std::min<std::size_t>(r.u16(), in.lookups.size()));
    }
    if (in.flags & 8) {
        const std::size_t at = r.u16();
        const uint16_t v = r.u16();
        if (!in.cums.empty()) in.cums[at % in.cums.size()] = v;
    }
    if (in.flags & 32) in.initial_state = r.u64();
    const auto body = r.rest();
    in.payload.assign(body.begin(), body.end());
    choose_simd(in.flags & 1);
    return in;
}

// The inputs of the plane decoders:
//   u8 flags: 1, 2 the decoder (target-specific), 4 rows as given (4 x u16
//     frequencies) rather than 4 x u8 counts normalised as the encoder does,
//     8 shorten cf and sf (u16 cuts follow the rows), 16 one row for all rows,
//     32 overwrite one cf entry (u16 index, u16 value follow)
//   u8 h, u8 w: each at most 48
//   4 x u64 states
//   context tables (read_context_tables)
//   u8 p: n_ctx = 64 * (1 + p % 8)
//   4 * n_ctx table rows (or one, flag 16); cf is the running sum of sf
//   u16 r: the reference (guide) plane, r % ((h + 2) * (w + 2) + 8) bytes
//   the rest: the bitstream
struct PlaneInput {
    uint8_t flags = 0;
    uint64_t h = 0, w = 0;
    std::array<uint64_t, 4> states{};
    OwnedTables tables;
    std::vector<uint16_t> cf, sf;
    std::vector<uint8_t> ref, bitstream;
};

inline PlaneInput read_plane_input(Reader& r) {
    PlaneInput in;
    in.flags = r.u8();
    in.h = r.u8() % 49;
    in.w = r.u8() % 49;
    for (auto& s : in.states) s = r.u64();
    in.tables = read_context_tables(r);
    const std::size_t n_ctx = 64 * (1 + r.u8() % 8), rows = 4 * n_ctx;
    in.sf.resize(4 * rows);
    in.cf.resize(5 * rows);
    for (std::size_t row = 0; row < rows; ++row) {
        uint16_t f[4];
        if (row > 0 && (in.flags & 16)) {
            std::memcpy(f, &in.sf[0], sizeof f);
        } else if (in.flags & 4) {
            for (auto& v : f) v = r.u16();
        } else {
            uint64_t counts[4];
            for (auto& c : counts) c = r.u8();
            kelm::plane::normalize_pair_row(counts, f);
        }
        uint16_t cum = 0;
        for (unsigned s = 0; s < 4; ++s) {
            in.sf[4 * row + s] = f[s];
            in.cf[5 * row + s] = cum;
            cum = uint16_t(cum + f[s]);
        }
        in.cf[5 * row + 4] = cum;
    }
    if (in.flags & 8) {
        in.cf.resize(in.cf.size() - std::min<std::size_t>(r.u16(), in.cf.size()));
        in.sf.resize(in.sf.size() - std::min<std::size_t>(r.u16(), in.sf.size()));
    }
    if (in.flags & 32) {
        const std::size_t at = r.u16();
        const uint16_t v = r.u16();
        if (!in.cf.empty()) in.cf[at % in.cf.size()] = v;
    }
    const std::size_t ref_len = r.u16() % ((in.h + 2) * (in.w + 2) + 8);
    in.ref = own(r.bytes(ref_len));
    in.bitstream = own(r.rest());
    return in;
}

// n shard offsets: u16 values as given, or running sums of u16 shard counts.
inline std::vector<uint32_t> read_offsets(Reader& r, std::size_t n, bool as_given) {
    std::vector<uint32_t> off(n);
    uint32_t sum = 0;
    for (auto& o : off) {
        const uint16_t v = r.u16();
        o = as_given ? v : sum;
        sum += v;
    }
    return off;
}

}  // namespace fuzz
