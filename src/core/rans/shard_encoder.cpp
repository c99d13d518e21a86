#include "core/rans/shard_encoder.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "core/common/cpu_features.hpp"
#include "core/common/failure.hpp"
#include "core/common/huge_pages.hpp"
#include "core/pool/pool.hpp"
#include "core/rans/coder.hpp"
#include "core/rans/shard_encoder_lanes.hpp"

namespace kelm {

namespace shard_encoding {

// ---------------------------------------------------------------- scalar kernel

void ScalarKernel::build(Table& t, const uint64_t* freqs, const uint64_t* cums) {
    const uint64_t* magic = magic_lut();
    for (unsigned s = 0; s < kAlphabet; ++s) {
        const uint64_t f = freqs[s], c = cums[s];
        if (is_regular(f, c)) {
            // ceil(2^63 / f) = floor((2^64 - 1) / f) / 2 + 1 for every f >= 1.
            t.mult[s] = (magic[f] >> 1) + 1;
            t.threshold[s] = f << kOutputShift;
            t.spread[s] = kProbScale - f;
            t.cum[s] = c;
        } else {
            t.mult[s] = 0;
            t.threshold[s] = 0;
            t.spread[s] = kIrregular;
            t.cum[s] = 0;
        }
    }
}

namespace {

// The scalar fast step, for states below 2^40. Renormalisation gives out at
// most two bytes (x >> 16 < 2^24 <= f << 27) and leaves x below f << 27; both
// are stored unconditionally and the write position advances by the number
// really due. Each byte is one compare that drives both a conditional move
// (the state shifted by 8) and the position (carry): the shifted state is
// compared with the same threshold, since x >= f << 35 exactly when
// (x >> 8) >= f << 27. Then q = floor(2x * mult / 2^64) with
// mult = ceil(2^63 / f) is exactly x / f, and the coded state
// (q << 12) + (x - q f) + c equals x + c + q (4096 - f).
inline __attribute__((always_inline)) uint64_t scalar_step(uint64_t x, const ScalarKernel::Table& t, unsigned s,
                                                           uint8_t*& out, uint64_t& irregular) {
    const uint16_t low = uint16_t(x);
    std::memcpy(out, &low, 2);
    const uint64_t threshold = t.threshold[s];
    for (int k = 0; k < 2; ++k) x = select_below<-1>(x, threshold, x, x >> 8, out);
    const uint64_t q = uint64_t((unsigned __int128)(x + x) * t.mult[s] >> 64);
    const uint64_t spread = t.spread[s];
    irregular |= spread;
    return x + t.cum[s] + q * spread;
}

template <int N>
void scalar_run(Lane<ScalarKernel::Table>* lanes, std::size_t m) {
    uint64_t x[N][4], irregular[N];
    uint8_t* out[N];
    const uint8_t* p[N];
    const ScalarKernel::Table* t[N];
    for (int j = 0; j < N; ++j) {
        for (int i = 0; i < 4; ++i) x[j][i] = lanes[j].x[i];
        irregular[j] = 0;
        out[j] = lanes[j].out;
        p[j] = lanes[j].data + lanes[j].k;
        t[j] = lanes[j].table;
    }
    for (std::size_t g = m / 4; g > 0; --g) {
        for (int j = 0; j < N; ++j) p[j] -= 4;
        for (int i = 3; i >= 0; --i)
            for (int j = 0; j < N; ++j) x[j][i] = scalar_step(x[j][i], *t[j], p[j][i], out[j], irregular[j]);
    }
    for (int j = 0; j < N; ++j) {
        for (int i = 0; i < 4; ++i) lanes[j].x[i] = x[j][i];
        lanes[j].out = out[j];
        lanes[j].k -= m;
        lanes[j].irregular |= (irregular[j] & kIrregular) != 0;
    }
}

}  // namespace

void ScalarKernel::run(Lane<Table>* lanes, int count, std::size_t m) {
    if (count == 2) return scalar_run<2>(lanes, m);
    scalar_run<1>(lanes, m);
}

// ---------------------------------------------------------------- workers

namespace {

constexpr uint64_t kRegionSlack = 1024;
constexpr std::size_t kFirstStretch = 16384;  // symbols a worker codes before it takes more lanes

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

// Codes one shard exactly, from the initial states, into [out, end).
std::size_t encode_exact(const uint8_t* data, std::size_t len, const EncoderTables& t, uint64_t (&st)[4],
                         uint8_t* out, const uint8_t* end) {
    uint8_t* const begin = out;
    for (std::size_t k = len; k-- > 0;) st[k & 3] = exact_step(st[k & 3], data[k], t, out, end);
    return std::size_t(out - begin);
}

// The inputs and results of one call, shared by its workers. Shards are
// claimed in increasing order; each shard's failure is collected under its
// own index, so the one reported is the first in shard order.
struct EncodeCall {
    EncodeCall(std::span<const uint8_t> data_, std::span<const uint32_t> offsets_, std::span<const uint32_t> lengths_,
               std::span<const uint64_t> cum_freqs_, std::span<const uint64_t> sym_freqs_, uint64_t initial_state_,
               EncodedShards& r_)
        : data(data_), offsets(offsets_), lengths(lengths_), cum_freqs(cum_freqs_), sym_freqs(sym_freqs_),
          initial_state(initial_state_), r(r_) {}

    std::span<const uint8_t> data;
    std::span<const uint32_t> offsets;
    std::span<const uint32_t> lengths;
    std::span<const uint64_t> cum_freqs;
    std::span<const uint64_t> sym_freqs;
    uint64_t initial_state;
    EncodedShards& r;
    FirstFailure failure;
    std::atomic<std::size_t> next{0};
};

// Codes shards claimed from the call with the kernel K, up to K::kLanes at a
// time. A shard's positions above the last multiple of four and its last
// group of four (every state's first step) run exactly, before the shard
// enters a lane; the rest runs in the kernel. A worker starts with one lane
// and takes more after a first stretch, once the other workers have had the
// time to take theirs: with no more shards than threads, every shard gets a
// thread of its own.
template <class K>
class Worker {
public:
    explicit Worker(EncodeCall& call) : c_(call) {}

    void run() {
        L lanes[K::kLanes];
        for (int j = 0; j < K::kLanes; ++j) lanes[j].table = &tables_[j];
        int count = 0;
        bool more = true;
        auto fill = [&](int lanes_wanted) {
            while (more && count < lanes_wanted) {
                if (claim(lanes[count])) ++count;
                else more = false;
            }
        };
        fill(1);
        while (count > 0) {
            std::size_t m = lanes[0].k;
            for (int j = 1; j < count; ++j) m = std::min(m, lanes[j].k);
            if (more && count < K::kLanes) m = std::min(m, kFirstStretch);
            K::run(lanes, count, m);
            for (int j = 0; j < count;) {
                if (lanes[j].k == 0) {
                    finish(lanes[j]);
                    std::swap(lanes[j], lanes[--count]);  // the table goes with its lane
                } else {
                    ++j;
                }
            }
            fill(K::kLanes);
        }
    }

private:
    using L = Lane<typename K::Table>;

    // Puts the next shard that still has a fast part into the lane; shards
    // without one are done on the way. False when no shard is left.
    bool claim(L& lane) {
        while (true) {
            const std::size_t i = c_.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= c_.lengths.size()) return false;
            bool fast = false;
            c_.failure.run(i, [&] { fast = start(i, lane); });
            if (fast) return true;
        }
    }

    bool start(std::size_t i, L& lane) {
        auto freqs = slice(c_.sym_freqs, i * kAlphabet, i * kAlphabet + kAlphabet);
        auto cums = slice(c_.cum_freqs, i * kCumLen, i * kCumLen + kCumLen);
        const uint64_t init = c_.initial_state;
        uint64_t st[4] = {init, init, init, init};
        std::size_t written = 0;
        const std::size_t len = c_.lengths[i];
        if (len != 0 && freqs[0] != kProbScale) {
            const std::size_t offset = at(c_.offsets, i);
            if (offset + len > c_.data.size()) panic_index(c_.data.size(), offset + len - 1);
            const uint8_t* data = c_.data.data() + offset;
            uint8_t* const begin = c_.r.bitstreams.data() + c_.r.bs_offsets[i];
            uint8_t* const end = begin + 2 * len + kRegionSlack;
            const EncoderTables t{freqs.data(), cums.data(), i};
            uint8_t* out = begin;
            bool irregular = false;
            std::size_t k = len;
            const std::size_t exact_until = len < 4 ? 0 : (len & ~std::size_t(3)) - 4;
            while (k > exact_until) {
                --k;
                st[k & 3] = exact_step(st[k & 3], data[k], t, out, end);
                irregular |= !is_regular(freqs[data[k]], cums[data[k]]);
            }
            if (std::size_t(end - out) < 2 * k + kSpareBytes) irregular = true;
            if (k > 0 && !irregular) {
                K::build(*lane.table, freqs.data(), cums.data());
                std::memcpy(lane.x, st, sizeof st);
                lane.out = out;
                lane.data = data;
                lane.k = k;
                lane.irregular = false;
                lane.shard = i;
                lane.len = len;
                lane.begin = begin;
                lane.end = end;
                return true;
            }
            if (irregular) {
                std::memset(begin, 0, std::size_t(end - begin));
                std::fill(st, st + 4, init);
                out = begin + encode_exact(data, len, t, st, begin, end);
            }
            written = std::size_t(out - begin);
        }
        store(i, st, written);
        return false;
    }

    // Completes the shard of a lane; one that met an irregular symbol is coded
    // again, exactly.
    void finish(L& lane) {
        c_.failure.run(lane.shard, [&] {
            std::size_t written;
            if (lane.irregular) {
                std::memset(lane.begin, 0, std::size_t(lane.end - lane.begin));
                const uint64_t init = c_.initial_state;
                std::fill(lane.x, lane.x + 4, init);
                const std::size_t i = lane.shard;
                const EncoderTables t{c_.sym_freqs.data() + i * kAlphabet, c_.cum_freqs.data() + i * kCumLen, i};
                written = encode_exact(lane.data, lane.len, t, lane.x, lane.begin, lane.end);
            } else {
                std::memset(lane.out, 0, std::min(kSpareBytes, std::size_t(lane.end - lane.out)));
                written = std::size_t(lane.out - lane.begin);
            }
            store(lane.shard, lane.x, written);
        });
    }

    void store(std::size_t i, const uint64_t (&st)[4], std::size_t written) {
        std::memcpy(&c_.r.final_states[4 * i], st, sizeof st);
        c_.r.bs_lengths[i] = uint32_t(written);
    }

    EncodeCall& c_;
    typename K::Table tables_[K::kLanes];
};

template <class K>
void encode_all(EncodeCall& call) {
    // One worker per pool thread: each claims shards until none is left, and
    // pieces that start after that find nothing to do.
    const std::size_t workers = std::min<std::size_t>(call.lengths.size(), 256);
    parallel_for(workers, [&](std::size_t) { Worker<K>(call).run(); });
}

}  // namespace

}  // namespace shard_encoding

EncodedShards rans_encode_shards_parallel(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                          std::span<const uint32_t> lengths, std::span<const uint64_t> cum_freqs,
                                          std::span<const uint64_t> sym_freqs, uint64_t initial_state,
                                          Buffer<uint8_t>* room) {
    using namespace shard_encoding;
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
    if (room && room->size() >= total) {
        r.bitstreams = std::move(*room);
    } else {
        r.bitstreams = room ? Buffer<uint8_t>::uninit(total) : Buffer<uint8_t>::zeroed(total);
        prefer_huge_pages(r.bitstreams.data(), total);
    }
    r.bs_lengths = Buffer<uint32_t>::uninit(n);

    EncodeCall call(data, offsets, lengths, cum_freqs, sym_freqs, initial_state, r);
    if (simd_level() == SimdLevel::avx2) encode_all<Avx2Kernel>(call);
    else encode_all<ScalarKernel>(call);
    call.failure.rethrow();
    return r;
}

}  // namespace kelm
