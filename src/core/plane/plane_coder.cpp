#include "core/plane/plane_coder.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/rans/coder.hpp"
#include "core/plane/plane_tables.hpp"

namespace kelm::plane {

namespace {

// ---------------------------------------------------------------- encoder

// The growing byte stream; room for four encode steps is made before each pixel.
class ByteSink {
public:
    explicit ByteSink(std::size_t capacity) : buf_(Buffer<uint8_t>::uninit(capacity)) {}

    uint8_t* room(std::size_t n) {
        if (buf_.size() - len_ < n) [[unlikely]]
            grow(n);
        return buf_.data() + len_;
    }
    void commit(const uint8_t* end) { len_ = std::size_t(end - buf_.data()); }
    Buffer<uint8_t> take() const { return Buffer<uint8_t>::copy_of({buf_.data(), len_}); }

private:
    void grow(std::size_t n) {
        Buffer<uint8_t> bigger = Buffer<uint8_t>::uninit(std::max(checked_mul(buf_.size(), 2), checked_add(len_, n)));
        if (len_) std::memcpy(bigger.data(), buf_.data(), len_);
        buf_ = std::move(bigger);
    }
    Buffer<uint8_t> buf_;
    std::size_t len_ = 0;
};

constexpr std::size_t kMaxBytesPerPixel = 4 * 8;  // four steps, each at most a whole state

struct EncodeInput {
    std::span<const uint8_t> resid, guide;
    std::span<const uint16_t> cf, sf;
    const ContextTables* tables;
    PlaneShape shape;
    std::size_t n_ctx;
};

[[noreturn]] void panic_zero_frequency(unsigned j, std::size_t x, std::size_t y, std::size_t row, unsigned s) {
    panic("plane coder: frequency 0 for symbol " + std::to_string(s) + " of pair plane " + std::to_string(j) +
          " in table row " + std::to_string(row) + " at pixel (x=" + std::to_string(x) + ", y=" +
          std::to_string(y) + "); the tables cannot code it");
}

// Table access of an encode step. The unchecked reader uses records packed per
// (row, symbol), reciprocal included (every reachable row was validated); the
// checked one reads the caller's arrays, each access checked.
struct alignas(16) PackedSymbol {
    uint64_t magic;
    uint32_t freq, cum;
};

template <bool Checked>
struct SymbolReader;

template <>
struct SymbolReader<false> {
    const PackedSymbol* symbols;
    EncSymbol get(std::size_t r, unsigned s, unsigned, std::size_t, std::size_t) const {
        const PackedSymbol& e = symbols[r * 4 + s];
        return {e.magic, e.cum, e.freq};
    }
};

template <>
struct SymbolReader<true> {
    std::span<const uint16_t> cf, sf;
    EncSymbol get(std::size_t r, unsigned s, unsigned j, std::size_t x, std::size_t y) const {
        const uint64_t f = at(sf, r * 4 + s);
        const uint64_t cum = at(cf, r * 5 + s);
        if (f == 0) panic_zero_frequency(j, x, y, r, s);
        return make_enc_symbol(f, cum);
    }
};

template <bool Checked, bool Chroma>
void encode_pixels(const EncodeInput& in, const SymbolReader<Checked> table, uint64_t (&states)[4], ByteSink& sink) {
    // Local copies: the byte stores of the stream cannot alias them.
    uint64_t st[4] = {states[0], states[1], states[2], states[3]};
    const ContextTables t = *in.tables;
    const std::span<const uint8_t> resid = in.resid, guide = in.guide;
    const std::size_t W = in.shape.stride, n = in.n_ctx;
    for (std::size_t y = in.shape.h; y-- > 0;) {
        for (std::size_t x = in.shape.w; x-- > 0;) {
            const std::size_t i = (y + 1) * W + x + 1;
            const uint8_t gl = read<Checked>(guide, i - 1);
            const uint8_t gu = read<Checked>(guide, i - W);
            const uint8_t gul = read<Checked>(guide, i - W - 1);
            const uint8_t v = Chroma ? read<Checked>(guide, i) : predict_pixel(gl, gu, gul);
            const std::size_t cls = classify_pixel<Checked>(gl, gu, gul, v, t);
            const uint8_t rl = read<Checked>(resid, i - 1);
            const uint8_t ru = read<Checked>(resid, i - W);
            const uint8_t rul = read<Checked>(resid, i - W - 1);
            const uint8_t rx = read<Checked>(resid, i);
            const uint32_t pats = pattern_lanes(rl, ru, rul);
            const uint32_t syms = kPairLanes[rx];
            uint8_t* out = sink.room(kMaxBytesPerPixel);
#pragma GCC unroll 4
            for (unsigned step = 0; step < 4; ++step) {
                const unsigned j = 3 - step;  // pair plane 3 first, plane 0 last
                const std::size_t r = j * n + cls * kPatterns + lane(pats, j);
                st[j] = encode_step(st[j], table.get(r, lane(syms, j), j, x, y), out);
            }
            sink.commit(out);
        }
    }
    std::copy(st, st + 4, states);
}

bool frequencies_codable(std::span<const uint16_t> sf) {
    return std::all_of(sf.begin(), sf.end(), [](uint16_t f) { return f != 0 && f < kMagicLen; });
}

// ---------------------------------------------------------------- decoders

// Where a bounded decode stopped: the states and the read position after its
// last pixel, and the pixels it decoded (all, or up to the end of the row in
// which a state needed a byte after the stream had run out).
struct PlaneEnd {
    std::array<uint64_t, 4> states;
    int64_t position;  // -1 when every byte was read
    uint64_t pixels;
    bool ran_out;
};

// Where the class of a pixel comes from: the plane rebuilt while decoding
// (luma mode) or the caller's guide plane (chroma mode).
enum class Guide { rebuild, reference };

struct DecodeInput {
    std::span<const uint8_t> bitstream;
    std::array<uint64_t, 4> states;
    PlaneShape shape;
    std::span<const uint16_t> cf, sf;
    std::size_t n;
    const ContextTables* tables;
    std::span<const uint8_t> ref;   // Guide::reference
    std::span<const uint8_t> orig;  // Debug
    PlaneEnd* end = nullptr;        // bounded decoding
};

// One table row packed for the decoder: the cumulative entries 0..3 and the
// four frequencies in 16 bytes, so a decode step touches one cache line.
struct alignas(16) PackedRow {
    uint16_t cum[4];
    uint16_t freq[4];
};

// Table access of a decode step. The unchecked reader uses the packed rows
// (every reachable row was validated); the checked one reads the caller's
// arrays in the order of the step, each access checked.
template <bool Checked>
struct RowReader;

template <>
struct RowReader<false> {
    const PackedRow* rows;
    unsigned symbol(std::size_t r, uint64_t slot) const {
        const PackedRow& e = rows[r];
        return unsigned(slot >= e.cum[1]) + unsigned(slot >= e.cum[2]) + unsigned(slot >= e.cum[3]);
    }
    uint64_t freq(std::size_t r, unsigned s) const { return rows[r].freq[s]; }
    uint64_t cum(std::size_t r, unsigned s) const { return rows[r].cum[s]; }
};

template <>
struct RowReader<true> {
    std::span<const uint16_t> cf, sf;
    unsigned symbol(std::size_t r, uint64_t slot) const {
        unsigned s = slot >= at(cf, r * 5 + 1);
        s += slot >= at(cf, r * 5 + 2);
        s += slot >= at(cf, r * 5 + 3);
        return s;
    }
    uint64_t freq(std::size_t r, unsigned s) const { return at(sf, r * 4 + s); }
    uint64_t cum(std::size_t r, unsigned s) const { return at(cf, r * 5 + s); }
};

// Raster-order decoding. Only two rows of the residual plane (and of the
// rebuilt guide plane) are kept, each with its zero left border; the left
// neighbours travel in registers.
template <bool Checked, Guide G, bool Debug>
void decode_pixels(const DecodeInput& in, const RowReader<Checked> rows, uint8_t* __restrict work,
                   uint8_t* __restrict out, std::optional<Mismatch>* mismatch) {
    // Local copies: the byte stores of the working rows cannot alias them.
    const ContextTables t = *in.tables;
    const std::span<const uint8_t> ref = in.ref, orig = in.orig;
    const std::size_t W = in.shape.stride, n = in.n, w = in.shape.w;
    const uint8_t* const bytes = in.bitstream.data();
    std::ptrdiff_t pos = std::ptrdiff_t(in.bitstream.size()) - 1;
    uint64_t st[4] = {in.states[0], in.states[1], in.states[2], in.states[3]};
    bool compared = true;  // compare until the first mismatch
    uint8_t* r_up = work;
    uint8_t* r_cur = work + W;
    uint8_t* g_up = work + 2 * W;
    uint8_t* g_cur = work + 3 * W;
    for (std::size_t y = 0; y < in.shape.h; ++y) {
        uint8_t rl = 0, gl = 0;  // left border
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t i = (y + 1) * W + x + 1;
            uint8_t l, u, ul, v, prediction = 0;
            if constexpr (G == Guide::rebuild) {
                l = gl;
                u = g_up[x + 1];
                ul = g_up[x];
                v = prediction = predict_pixel(l, u, ul);
            } else {
                l = read<Checked>(ref, i - 1);
                u = read<Checked>(ref, i - W);
                ul = read<Checked>(ref, i - W - 1);
                v = read<Checked>(ref, i);
            }
            const std::size_t base = std::size_t(classify_pixel<Checked>(l, u, ul, v, t)) * kPatterns;
            const uint32_t pats = pattern_lanes(rl, r_up[x + 1], r_up[x]);
            [[maybe_unused]] const std::ptrdiff_t pos_before = pos;
            [[maybe_unused]] const std::array<uint64_t, 4> st_before{st[0], st[1], st[2], st[3]};
            unsigned value = 0;
#pragma GCC unroll 4
            for (unsigned j = 0; j < 4; ++j) {
                const std::size_t r = j * n + base + lane(pats, j);
                const uint64_t slot = st[j] & kSlotMask;
                const unsigned s = rows.symbol(r, slot);
                const uint64_t f = rows.freq(r, s);
                st[j] = decode_renorm(f * (st[j] >> kProbBits) + slot - rows.cum(r, s), bytes, pos);
                value |= s << (2 * j);
            }
            rl = uint8_t(value);
            r_cur[x + 1] = rl;
            out[y * w + x] = rl;
            if constexpr (G == Guide::rebuild) {
                gl = unfold_residual(rl, prediction);
                g_cur[x + 1] = gl;
            }
            if constexpr (Debug) {
                const uint8_t expected = read<Checked>(orig, i);
                if (compared && expected != rl) {
                    *mismatch = Mismatch{y + 1, x + 1, int64_t(pos_before), st_before, expected, rl};
                    compared = false;
                }
            }
        }
        // A state below 2^31 wanted a byte the stream no longer had; without
        // bytes it stays below, so looking once a row finds the row it ran out in.
        if (pos < 0 && in.end && std::min({st[0], st[1], st[2], st[3]}) < kLowerBound) [[unlikely]] {
            *in.end = {{st[0], st[1], st[2], st[3]}, int64_t(pos), (y + 1) * w, true};
            return;
        }
        std::swap(r_up, r_cur);
        std::swap(g_up, g_cur);
    }
    if (in.end) *in.end = {{st[0], st[1], st[2], st[3]}, int64_t(pos), in.shape.h * w, false};
}

template <Guide G, bool Debug>
Buffer<uint8_t> decode_plane(const DecodeInput& base, std::optional<Mismatch>* mismatch) {
    DecodeInput in = base;
    if (in.end) *in.end = {in.states, int64_t(in.bitstream.size()) - 1, 0, false};
    if (in.shape.empty()) return Buffer<uint8_t>::uninit(0);
    in.n = in.cf.size() / 20;
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(checked_mul(in.shape.h, in.shape.w));
    Buffer<uint8_t> work = Buffer<uint8_t>::zeroed(checked_mul(in.shape.stride, 4));

    const std::optional<uint8_t> max_class = in.tables->max_reachable_class();
    const std::optional<std::size_t> row = last_row(in.n, max_class);
    const bool fast = rows_fit(in.n, max_class, in.sf.size(), in.cf.size()) &&
                      (G != Guide::reference || in.ref.size() >= in.shape.needed) &&
                      (!Debug || in.orig.size() >= in.shape.needed);
    if (fast) {
        Buffer<PackedRow> packed = Buffer<PackedRow>::uninit(*row + 1);
        for (std::size_t r = 0; r <= *row; ++r) {
            for (unsigned s = 0; s < 4; ++s) {
                packed[r].cum[s] = in.cf[r * 5 + s];
                packed[r].freq[s] = in.sf[r * 4 + s];
            }
        }
        decode_pixels<false, G, Debug>(in, RowReader<false>{packed.data()}, work.data(), out.data(), mismatch);
    } else {
        decode_pixels<true, G, Debug>(in, RowReader<true>{in.cf, in.sf}, work.data(), out.data(), mismatch);
    }
    return out;
}

DecodeInput decode_input(const DecodeStart& start, std::span<const uint16_t> cf, std::span<const uint16_t> sf,
                         const ContextTables& tables) {
    return DecodeInput{start.bitstream, start.states, plane_shape(start.h, start.w), cf, sf, 0, &tables, {}, {}};
}

}  // namespace

PlaneStream bp_encode_sharded(std::span<const uint8_t> resid, std::span<const uint8_t> guide,
                              std::span<const uint16_t> cf, std::span<const uint16_t> sf,
                              const ContextTables& tables, uint64_t h, uint64_t w, uint64_t n_ctx, bool is_chroma) {
    const EncodeInput in{resid, guide, cf, sf, &tables, plane_shape(h, w), n_ctx};
    uint64_t st[4] = {kPlaneStartState, kPlaneStartState, kPlaneStartState, kPlaneStartState};
    if (in.shape.empty()) return {{st[0], st[1], st[2], st[3]}, Buffer<uint8_t>::uninit(0)};

    const std::optional<uint8_t> max_class = tables.max_reachable_class();
    const std::optional<std::size_t> row = last_row(n_ctx, max_class);
    const bool fast = resid.size() >= in.shape.needed && guide.size() >= in.shape.needed &&
                      rows_fit(n_ctx, max_class, sf.size(), cf.size()) &&
                      frequencies_codable(sf.first((*row + 1) * 4));
    // A plane too short fails at the first pixel coded (it reads the highest
    // indices), so the checked run starts with a small stream.
    ByteSink sink(fast ? checked_add(checked_mul(checked_mul(in.shape.h, in.shape.w), 4), 64) : 64);
    if (fast) {
        Buffer<PackedSymbol> packed = Buffer<PackedSymbol>::uninit((*row + 1) * 4);
        const uint64_t* const magic = magic_lut();
        for (std::size_t r = 0; r <= *row; ++r) {
            for (unsigned s = 0; s < 4; ++s) {
                const uint16_t f = sf[r * 4 + s];
                packed[r * 4 + s] = {magic[f], f, cf[r * 5 + s]};
            }
        }
        const SymbolReader<false> table{packed.data()};
        is_chroma ? encode_pixels<false, true>(in, table, st, sink) : encode_pixels<false, false>(in, table, st, sink);
    } else {
        const SymbolReader<true> table{cf, sf};
        is_chroma ? encode_pixels<true, true>(in, table, st, sink) : encode_pixels<true, false>(in, table, st, sink);
    }
    return {{st[0], st[1], st[2], st[3]}, sink.take()};
}

Buffer<uint8_t> bp_decode_sharded(const DecodeStart& start, std::span<const uint16_t> cf,
                                  std::span<const uint16_t> sf, const ContextTables& tables) {
    return decode_plane<Guide::rebuild, false>(decode_input(start, cf, sf, tables), nullptr);
}

Buffer<uint8_t> bp_decode_sharded_with_ref(const DecodeStart& start, std::span<const uint16_t> cf,
                                           std::span<const uint16_t> sf, std::span<const uint8_t> ref,
                                           const ContextTables& tables) {
    DecodeInput in = decode_input(start, cf, sf, tables);
    in.ref = ref;
    return decode_plane<Guide::reference, false>(in, nullptr);
}

Buffer<uint8_t> bp_decode_exact(const DecodeStart& start, std::span<const uint16_t> cf, std::span<const uint16_t> sf,
                                std::span<const uint8_t> ref, const ContextTables& tables) {
    for (unsigned j = 0; j < 4; ++j) {
        if (start.states[j] < kLowerBound || start.states[j] >= kStateEnd)
            reject("plane stream: state " + std::to_string(j) + " is " + std::to_string(start.states[j]) +
                   ", outside [2^31, 2^39)");
    }
    PlaneEnd end;
    DecodeInput in = decode_input(start, cf, sf, tables);
    in.ref = ref;
    in.end = &end;
    Buffer<uint8_t> out = ref.empty() ? decode_plane<Guide::rebuild, false>(in, nullptr)
                                      : decode_plane<Guide::reference, false>(in, nullptr);
    if (end.ran_out) reject("plane stream runs out in row " + std::to_string(end.pixels / start.w - 1));
    if (end.position != -1) reject("plane stream: " + std::to_string(end.position + 1) + " bytes left unread");
    for (uint64_t s : end.states) {
        if (s != kPlaneStartState) reject("plane stream does not end at the start state");
    }
    return out;
}

Buffer<uint8_t> bp_decode_sharded_debug(const DecodeStart& start, std::span<const uint16_t> cf,
                                        std::span<const uint16_t> sf, const ContextTables& tables,
                                        std::span<const uint8_t> orig_resid, std::optional<Mismatch>& mismatch) {
    DecodeInput in = decode_input(start, cf, sf, tables);
    in.orig = orig_resid;
    mismatch.reset();
    return decode_plane<Guide::rebuild, true>(in, &mismatch);
}

}  // namespace kelm::plane
