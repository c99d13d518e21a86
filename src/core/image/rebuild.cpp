#include "core/image/rebuild.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "core/common/cpu_features.hpp"
#include "core/common/table_memo.hpp"

namespace kelm {

namespace {

// ---------------------------------------------------------------- folded tables

constexpr std::size_t kSide = kGradientSide;  // 511 differences, -255 .. 255
constexpr std::size_t kStride = 512;          // row stride of the folded gradient table
constexpr uint8_t kMaxFoldedClass = 127;      // class << 9 must fit 16 bits

// (p - ul) mod 256 per (u - ul, l - ul), from predict_lane on neighbours
// lifted by 600 so that the gradient l + u - ul is never negative: the
// predictor is otherwise unchanged by adding the same value to l, u and ul.
const uint8_t* prediction_offsets() {
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(kSide * kStride, 0);
        constexpr int16_t lift = 600;
        for (int du = -255; du <= 255; ++du)
            for (int dl = -255; dl <= 255; ++dl)
                t[std::size_t(du + 255) * kStride + std::size_t(dl + 255)] =
                    uint8_t(predict_lane(int16_t(dl + lift), int16_t(du + lift), lift) - lift);
        return t;
    }();
    return table.data();
}

// ---------------------------------------------------------------- fast kernel

constexpr std::size_t kChunk = 256;  // pixels per prepared piece of a row

// What one plane's step needs at pixel i of a chunk, prepared from the row
// above, and the plane's shard cursors while a row runs.
struct LaneFrame {
    uint32_t base[kChunk];      // gradient-table index of the entry for l = 0
    uint8_t up[kChunk + 1];     // up[i] is the up-left neighbour of pixel i, up[i + 1] its up neighbour
    uint8_t threshold[kChunk];  // l + u - ul < 0 exactly when l < threshold
    uint8_t out[kChunk];        // the rebuilt pixels
    const uint8_t* cursor[256]; // next residual of each shard
    uint8_t next[256];          // reading ahead: what each shard's next residual adds to the prediction
    const uint8_t* limit[256];  // where each shard's residuals (or its piece) end
    PieceSource* pieces;        // where the next piece comes from, if they come in pieces
    const uint8_t* tail_end;    // the limit of cursors moved into the plane's tail copy; null in pieces
};

// Prepares n pixels of a lane from the row above (up), from pixel x0 on.
using Prepare = void (*)(LaneFrame& s, const uint8_t* up, std::size_t x0, std::size_t n);

// K bands' lanes (gr, rd, bd of band b at 3 b .. 3 b + 2) at fixed offsets
// from one base, so that a step addresses them without registers of its own.
template <std::size_t K>
struct Frame {
    Prepare prepare;  // for the CPU's build target
    LaneFrame lane[3 * K];
    uint8_t guide[K][kChunk];  // the band's gr pixels at its rd and bd pixels
};

// A band between rows: its job and its shard cursors; per plane not in
// pieces, a copy of its last w residuals (all, when fewer) ending at
// tail[k] + w and followed by w + 1 zeros, so that a row can read up to w + 1
// residuals past any limit there (w, and one read ahead).
struct BandState {
    const BandJob* job = nullptr;
    const uint8_t* cursor[3][256] = {};
    const uint8_t* limit[3][256] = {};
    std::vector<uint8_t> tail[3];
};

[[noreturn, gnu::cold, gnu::noinline]] void past_end() { throw Panic{}; }

// A shard's residuals are used up: its next piece, if they come in pieces.
[[gnu::cold, gnu::noinline]] const uint8_t* next_piece(LaneFrame& s, std::size_t shard) {
    if (!s.pieces) past_end();
    return s.pieces->next(shard, s.limit[shard]);
}

[[gnu::always_inline]] inline void prepare_body(LaneFrame& s, const uint8_t* up, std::size_t x0, std::size_t n) {
    s.up[0] = x0 ? up[x0 - 1] : 0;
    std::memcpy(s.up + 1, up + x0, n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t u = s.up[i + 1], ul = s.up[i];
        s.base[i] = ((u - ul + 255) << 9) + 255 - ul;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t u = s.up[i + 1], ul = s.up[i];
        s.threshold[i] = uint8_t(std::max(u, ul) - u);  // ul - u when positive, else 0
    }
}

// A chunk's lane prepared from the row above (up), the same on every build target.
void prepare_plain(LaneFrame& s, const uint8_t* up, std::size_t x0, std::size_t n) { prepare_body(s, up, x0, n); }
[[gnu::target("avx2")]] void prepare_avx2(LaneFrame& s, const uint8_t* up, std::size_t x0, std::size_t n) {
    prepare_body(s, up, x0, n);
}

// What residual z adds to a prediction: z itself when the residuals hold
// differences, else its unfolded value.
template <bool Diff>
[[gnu::always_inline]] inline uint8_t residual_add(uint8_t z, const uint8_t* unfolded) {
    return Diff ? z : unfolded[z];
}

// Rebuilds pixel i of a chunk from its left neighbour l. For rd and bd
// (Guided) the intensity bucket of the gr pixel guide[i] picks the shard,
// for gr the bucket of the prediction; with InEntry the gradient entry holds
// the shard. With Ahead (rows without checks only), the shard's residual was
// read when its previous one was used: the pixel then waits for one load, not
// for its cursor and then the residual, at the cost of a store and a load.
// A band rebuilt alone, three chains, gains from the shorter chain; bands in
// lockstep, six chains, are bound by their loads and stores and lose.
template <bool Guided, bool Diff, bool Checked, bool InEntry, bool Ahead>
[[gnu::always_inline]] inline uint8_t fast_step(uint8_t l, LaneFrame& s, const uint8_t* guide, std::size_t i,
                                                const uint16_t* gradient) {
    const uint8_t* const shards = reinterpret_cast<const uint8_t*>(gradient) + FoldedTables::kShardOffset;
    const uint8_t* const unfolded = reinterpret_cast<const uint8_t*>(gradient) + FoldedTables::kUnfoldOffset;
    const std::size_t e = gradient[s.base[i] + l];
    std::size_t j = e + s.up[i];  // class << 9 plus p or p + 256
    if (l < s.threshold[i]) [[unlikely]] {
        const uint8_t u = s.up[i + 1];
        j = (e & ~std::size_t(511)) + (l > u ? l : u);
    }
    const std::size_t shard = InEntry ? e >> 9 : shards[Guided ? (e & ~std::size_t(511)) + guide[i] : j];
    const uint8_t* c = s.cursor[shard];
    if constexpr (Checked) {
        if (c >= s.limit[shard]) [[unlikely]]
            c = next_piece(s, shard);
    }
    s.cursor[shard] = c + 1;
    uint8_t add;
    if constexpr (Ahead && !Checked) {
        add = s.next[shard];
        s.next[shard] = residual_add<Diff>(c[1], unfolded);
    } else {
        add = residual_add<Diff>(*c, unfolded);
    }
    const uint8_t value = uint8_t(j + add);
    s.out[i] = value;
    return value;
}

// True when no step of a row of w pixels on the lanes in use can read past
// what is readable: every cursor has more than w residuals left before its
// limit (reading ahead, a step reads the residual after the one it uses), or
// points into its plane's tail copy. A cursor with fewer left moves into the
// tail copy here, where it reads the same residuals. Lanes in pieces look at
// their limits at every step.
template <std::size_t K>
bool room_for_row(Frame<K>& f, uint8_t* const* out, std::size_t w, std::size_t n_cursors) {
    for (std::size_t k = 0; k < 3 * K; ++k) {
        if (!out[k]) continue;
        LaneFrame& s = f.lane[k];
        const uint8_t* const tail = s.tail_end;
        if (!tail) return false;
        for (std::size_t c = 0; c < n_cursors; ++c) {
            const std::size_t left = std::size_t(s.limit[c] - s.cursor[c]);
            if (left <= w && s.limit[c] != tail) {
                s.cursor[c] = tail - left;
                s.limit[c] = tail;
            }
        }
    }
    return true;
}

// After a row without checks: fails as the checks would have, when a cursor
// passed its limit.
template <std::size_t K>
void check_limits(const Frame<K>& f, uint8_t* const* out, std::size_t n_cursors) {
    bool past = false;
    for (std::size_t k = 0; k < 3 * K; ++k) {
        if (!out[k]) continue;
        const LaneFrame& s = f.lane[k];
        for (std::size_t c = 0; c < n_cursors; ++c) past |= s.cursor[c] > s.limit[c];
    }
    if (past) past_end();
}

// One stage of K bands: gr row yg (when G) and rd, bd row yc (when RB) of
// each. The 3 K dependency chains are independent, so they overlap.
template <std::size_t K, bool G, bool RB, bool Diff, bool InEntry>
[[gnu::noinline]] void fast_row(Frame<K>& f, BandState* const* bands, std::size_t yg, std::size_t yc, std::size_t w,
                                std::size_t n_cursors, const FoldedTables& t, const uint8_t* zero) {
    uint8_t* out[3 * K] = {};
    const uint8_t* up[3 * K] = {};
    const uint8_t* guide[K] = {};
    for (std::size_t b = 0; b < K; ++b) {
        for (std::size_t k = 0; k < 3; ++k) {
            if (k == 0 ? !G : !RB) continue;
            const std::size_t y = k ? yc : yg;
            out[3 * b + k] = bands[b]->job->row(k, y, w);
            up[3 * b + k] = y ? bands[b]->job->row(k, y - 1, w) : zero;
            std::memcpy(f.lane[3 * b + k].cursor, bands[b]->cursor[k], n_cursors * sizeof(const uint8_t*));
            std::memcpy(f.lane[3 * b + k].limit, bands[b]->limit[k], n_cursors * sizeof(const uint8_t*));
            f.lane[3 * b + k].pieces = bands[b]->job->pieces[k];
            f.lane[3 * b + k].tail_end = bands[b]->job->pieces[k] ? nullptr : bands[b]->tail[k].data() + w;
        }
        guide[b] = bands[b]->job->row(0, yc, w);
    }
    const uint16_t* const gradient = t.gradient();
    uint8_t l[3 * K] = {};
    // A cursor moves at most w places in a row, so a row with room for that
    // needs no look at the limits at each step, only one after the row.
    const bool checked = !room_for_row(f, out, w, n_cursors);
    constexpr bool ahead = K == 1;
    if (ahead && !checked) {
        const uint8_t* const unfolded = t.bytes() + FoldedTables::kUnfoldOffset;
        for (std::size_t k = 0; k < 3 * K; ++k) {
            if (!out[k]) continue;
            LaneFrame& s = f.lane[k];
            for (std::size_t c = 0; c < n_cursors; ++c) s.next[c] = residual_add<Diff>(*s.cursor[c], unfolded);
        }
    }
    for (std::size_t x0 = 0; x0 < w; x0 += kChunk) {
        const std::size_t n = std::min(kChunk, w - x0);
        for (std::size_t b = 0; b < K; ++b) {
            if constexpr (G) f.prepare(f.lane[3 * b], up[3 * b], x0, n);
            if constexpr (RB) {
                f.prepare(f.lane[3 * b + 1], up[3 * b + 1], x0, n);
                f.prepare(f.lane[3 * b + 2], up[3 * b + 2], x0, n);
                std::memcpy(f.guide[b], guide[b] + x0, n);
            }
        }
        const auto steps = [&]<bool Checked>() {
            uint8_t v[3 * K];  // the left neighbours, in registers
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 3 * K; ++k) v[k] = l[k];
            for (std::size_t i = 0; i < n; ++i) {
#pragma GCC unroll 8
                for (std::size_t b = 0; b < K; ++b) {
                    if constexpr (G)
                        v[3 * b] = fast_step<false, Diff, Checked, InEntry, ahead>(v[3 * b], f.lane[3 * b], nullptr, i,
                                                                            gradient);
                    if constexpr (RB) {
                        v[3 * b + 1] = fast_step<true, Diff, Checked, InEntry, ahead>(v[3 * b + 1], f.lane[3 * b + 1],
                                                                               f.guide[b], i, gradient);
                        v[3 * b + 2] = fast_step<true, Diff, Checked, InEntry, ahead>(v[3 * b + 2], f.lane[3 * b + 2],
                                                                               f.guide[b], i, gradient);
                    }
                }
            }
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 3 * K; ++k) l[k] = v[k];
        };
        if (checked)
            steps.template operator()<true>();
        else
            steps.template operator()<false>();
        for (std::size_t k = 0; k < 3 * K; ++k)
            if (out[k]) std::memcpy(out[k] + x0, f.lane[k].out, n);
    }
    if (!checked) check_limits(f, out, n_cursors);
    for (std::size_t b = 0; b < K; ++b)
        for (std::size_t k = 0; k < 3; ++k)
            if (out[3 * b + k]) {
                std::memcpy(bands[b]->cursor[k], f.lane[3 * b + k].cursor, n_cursors * sizeof(const uint8_t*));
                std::memcpy(bands[b]->limit[k], f.lane[3 * b + k].limit, n_cursors * sizeof(const uint8_t*));
            }
}

// Frames for every lockstep width up to kLockstepBands, made on first use.
template <std::size_t... N>
struct FrameSet {
    std::tuple<std::unique_ptr<Frame<N + 1>>...> frames;
    Prepare prepare = simd_level() == SimdLevel::avx2 ? prepare_avx2 : prepare_plain;
    template <std::size_t K>
    Frame<K>& get() {
        auto& p = std::get<K - 1>(frames);
        if (!p) {
            p = std::make_unique<Frame<K>>();
            p->prepare = prepare;
        }
        return *p;
    }
};
template <std::size_t... N>
FrameSet<N...> frame_set_for(std::index_sequence<N...>);
using Frames = decltype(frame_set_for(std::make_index_sequence<kLockstepBands>()));

// Runs one stage on the n bands of a set, as many side by side as there are.
template <bool G, bool RB, bool Diff, bool InEntry, std::size_t K = kLockstepBands>
void run_stage(Frames& frames, BandState* const* set, std::size_t n, std::size_t yg, std::size_t yc, std::size_t w,
               std::size_t n_cursors, const FoldedTables& t, const uint8_t* zero) {
    if constexpr (K > 0) {
        if (n == K)
            fast_row<K, G, RB, Diff, InEntry>(frames.get<K>(), set, yg, yc, w, n_cursors, t, zero);
        else
            run_stage<G, RB, Diff, InEntry, K - 1>(frames, set, n, yg, yc, w, n_cursors, t, zero);
    }
}

// Rebuilds the bands stage by stage: stage 0 is gr row 0, stage s of a band
// of h rows is gr row s (while s < h) with rd and bd row s - 1, so gr runs
// one row ahead of the planes it guides. Bands of unequal heights share the
// stages they have.
template <bool Diff, bool InEntry>
void rebuild_stages(std::span<BandState> states, std::size_t w, const FoldedTables& t) {
    const std::vector<uint8_t> zero(w, 0);
    Frames frames;
    const std::size_t n_cursors = std::size_t(t.max_shard) + 1;
    std::size_t max_h = 0;
    for (const BandState& s : states) max_h = std::max(max_h, s.job->h);
    BandState* first[kLockstepBands];
    BandState* full[kLockstepBands];
    BandState* last[kLockstepBands];
    for (std::size_t stage = 0; stage <= max_h; ++stage) {
        std::size_t n_first = 0, n_full = 0, n_last = 0;
        for (BandState& s : states) {
            const std::size_t h = s.job->h;
            if (h == 0) continue;
            if (stage == 0)
                first[n_first++] = &s;
            else if (stage < h)
                full[n_full++] = &s;
            else if (stage == h)
                last[n_last++] = &s;
        }
        const std::size_t yc = stage ? stage - 1 : 0;
        run_stage<true, false, Diff, InEntry>(frames, first, n_first, 0, 0, w, n_cursors, t, zero.data());
        run_stage<true, true, Diff, InEntry>(frames, full, n_full, stage, yc, w, n_cursors, t, zero.data());
        run_stage<false, true, Diff, InEntry>(frames, last, n_last, 0, yc, w, n_cursors, t, zero.data());
        for (std::size_t i = 0; i < n_full; ++i) full[i]->job->sink(yc);
        for (std::size_t i = 0; i < n_last; ++i) last[i]->job->sink(yc);
    }
}

template <bool Diff>
void rebuild_fast(std::span<BandState> states, std::size_t w, const FoldedTables& t) {
    if (t.shard_in_entry)
        rebuild_stages<Diff, true>(states, w, t);
    else
        rebuild_stages<Diff, false>(states, w, t);
}

// ---------------------------------------------------------------- checked kernel

// One plane's pass state: the plane, its residuals and cursors, and the left
// and up-left neighbours of the next pixel.
struct Lane {
    uint8_t* plane;
    const uint8_t* res;
    std::size_t res_len, n_off;
    uint32_t* cursor;
    uint8_t l, ul;
};

// Rebuilds pixel x of a row (up: the row above) with every access checked,
// in the order the lookups happen; v is the intensity input when it comes
// from the gr plane (Guided), else the prediction is.
template <bool Guided>
inline void step(Lane& s, uint8_t* row, const uint8_t* up, std::size_t x, uint8_t v, const ContextTables& t) {
    const uint8_t u = up[x];
    const uint8_t p = predict_pixel(s.l, u, s.ul);
    const uint8_t shard = classify_pixel<true>(s.l, u, s.ul, Guided ? v : p, t);
    if (shard >= s.n_off) panic_index(s.n_off, shard);
    const uint32_t c = s.cursor[shard];
    if (c >= s.res_len) [[unlikely]]
        panic_index(s.res_len, c);
    s.cursor[shard] = c + 1;
    const uint8_t value = unfold_residual(s.res[c], p);
    row[x] = value;
    s.l = value;
    s.ul = u;
}

// One raster row y of a plane; the planes are unbordered: the left
// neighbours start at 0 and the first row reads the zero row as its upper
// neighbours.
template <bool Guided>
void checked_row(std::size_t w, Lane s, const uint8_t* guide_plane, const uint8_t* zero, std::size_t y,
                 const ContextTables& t) {
    s.l = s.ul = 0;
    uint8_t* const row = s.plane + y * w;
    const uint8_t* const up = y ? row - w : zero;
    const uint8_t* const guide = guide_plane + y * w;
    for (std::size_t x = 0; x < w; ++x) step<Guided>(s, row, up, x, Guided ? guide[x] : 0, t);
}

// Rebuilds gr, then rd, then bd, so the first failure is the first in plane
// and raster order.
void rebuild_checked(const BandJob& band, std::size_t w, const ContextTables& tables) {
    if (band.h == 0 || w == 0) return;
    const std::vector<uint8_t> zero(w, 0);
    for (std::size_t k = 0; k < 3; ++k) {
        std::vector<uint32_t> cursor(band.off[k].begin(), band.off[k].end());
        Lane lane{band.planes[k], band.res[k].data(), band.res[k].size(), band.off[k].size(), cursor.data(), 0, 0};
        for (std::size_t y = 0; y < band.h; ++y) {
            if (k == 0)
                checked_row<false>(w, lane, band.planes[0], zero.data(), y, tables);
            else
                checked_row<true>(w, lane, band.planes[0], zero.data(), y, tables);
        }
    }
}

// ---------------------------------------------------------------- folding

FoldedTables fold(const ContextTables& tables) {
    FoldedTables f;
    const auto max_shard = tables.max_reachable_class();
    if (!max_shard) return f;
    const uint8_t* const s_lut = tables.s_lut.data();
    uint8_t max_class = 0;
    for (std::size_t i = 0; i < kSLutLen; ++i) max_class = std::max(max_class, s_lut[i]);
    if (max_class > kMaxFoldedClass) return f;

    // Every shard lookup below is in range: max_reachable_class visited the same ones.
    const auto shard_of = [&](std::size_t s, std::size_t j) { return tables.d_lut[4 * s + tables.i_lut[j & 255]]; };
    f.shard_in_entry = *max_shard <= kMaxFoldedClass;
    for (std::size_t s = 0; s <= max_class; ++s)
        for (std::size_t j = 1; j < 256; ++j) f.shard_in_entry &= shard_of(s, j) == shard_of(s, 0);
    uint8_t entry_of[256];  // per class, what its gradient entries hold above the prediction
    for (std::size_t s = 0; s <= max_class; ++s) entry_of[s] = f.shard_in_entry ? shard_of(s, 0) : uint8_t(s);

    // Transposed in tiles so that both tables are read and written in lines.
    f.block = Buffer<uint16_t>::zeroed(FoldedTables::kBytes / 2);
    uint16_t* const g = f.block.data();
    const uint8_t* const pred = prediction_offsets();
    constexpr std::size_t kTile = 32;
    for (std::size_t du0 = 0; du0 < kSide; du0 += kTile)
        for (std::size_t dl0 = 0; dl0 < kSide; dl0 += kTile)
            for (std::size_t du = du0; du < std::min(du0 + kTile, kSide); ++du)
                for (std::size_t dl = dl0; dl < std::min(dl0 + kTile, kSide); ++dl)
                    g[du * kStride + dl] = uint16_t(entry_of[s_lut[dl * kSide + du]] << 9 | pred[du * kStride + dl]);

    uint8_t* const shard = reinterpret_cast<uint8_t*>(g) + FoldedTables::kShardOffset;
    if (f.shard_in_entry) {
        for (std::size_t s = 0; s <= *max_shard; ++s) std::memset(shard + s * 512, int(s), 512);
    } else {
        for (std::size_t s = 0; s <= max_class; ++s)
            for (std::size_t j = 0; j < 512; ++j) shard[s * 512 + j] = shard_of(s, j);
    }
    uint8_t* const unfolded = reinterpret_cast<uint8_t*>(g) + FoldedTables::kUnfoldOffset;
    for (int z = 0; z < 256; ++z) unfolded[z] = unfold_residual(uint8_t(z), 0);
    f.max_shard = *max_shard;
    return f;
}

}  // namespace

std::shared_ptr<const FoldedTables> fold_tables(const ContextTables& tables) {
    static TableMemo<std::shared_ptr<const FoldedTables>> memo(8);
    return memo.get(tables, [](const ContextTables& t) { return std::make_shared<const FoldedTables>(fold(t)); });
}

bool FoldedTables::covers(const BandJob& band) const {
    if (!ready()) return false;
    for (std::size_t k = 0; k < 3; ++k)
        if (!band.pieces[k] && std::size_t(max_shard) >= band.off[k].size()) return false;
    return true;
}

namespace {

void start_band(BandState& s, const BandJob& band, std::size_t w, const FoldedTables& folded) {
    s.job = &band;
    for (std::size_t k = 0; k < 3; ++k) {
        if (band.pieces[k]) continue;  // every shard asks for its first piece at its first use
        const uint8_t* res = band.res[k].data();
        const std::size_t len = band.res[k].size();
        const std::size_t m = std::min(len, w);
        s.tail[k].assign(2 * w + 1, 0);
        if (m) std::memcpy(s.tail[k].data() + w - m, res + len - m, m);
        // An offset past the residuals stops the run at its first use.
        for (std::size_t c = 0; c <= folded.max_shard; ++c) {
            s.cursor[k][c] = res + std::min<std::size_t>(band.off[k][c], len);
            s.limit[k][c] = res + len;
        }
    }
}

}  // namespace

void rebuild_bands(std::span<const BandJob> bands, std::size_t w, const ContextTables& tables,
                   const FoldedTables& folded) {
    if (bands.size() > kLockstepBands) panic("too many bands for one lockstep run");
    BandState states[kLockstepBands];
    std::size_t n_fast = 0;
    bool fast[kLockstepBands] = {};
    for (std::size_t b = 0; b < bands.size(); ++b) {
        const BandJob& band = bands[b];
        if (band.ring || band.pieces[0]) panic("ring planes and pieces need the fast kernel");
        if (w == 0 || band.h == 0 || !folded.covers(band)) continue;
        fast[b] = true;
        start_band(states[n_fast++], band, w, folded);
    }
    bool redo = false;
    if (n_fast > 0) {
        try {
            rebuild_fast<false>({states, n_fast}, w, folded);
        } catch (const Panic&) {
            // A shard ran past its residuals: rebuild checked, so the failure
            // reported is the first in band, plane and raster order.
            redo = true;
        }
    }
    for (std::size_t b = 0; b < bands.size(); ++b)
        if (!fast[b] || redo) rebuild_band_checked(bands[b], w, tables);
}

bool rebuild_bands_fast(std::span<const BandJob> bands, std::size_t w, const FoldedTables& folded, bool differences) {
    if (bands.size() > kLockstepBands) panic("too many bands for one lockstep run");
    BandState states[kLockstepBands];
    for (std::size_t b = 0; b < bands.size(); ++b) {
        if (w == 0 || bands[b].h == 0 || !folded.covers(bands[b])) panic("a band the fast kernel cannot rebuild");
        start_band(states[b], bands[b], w, folded);
    }
    try {
        if (differences)
            rebuild_fast<true>({states, bands.size()}, w, folded);
        else
            rebuild_fast<false>({states, bands.size()}, w, folded);
    } catch (const Panic&) {
        return false;
    }
    return true;
}

namespace {

[[gnu::always_inline]] inline void unfold_body(uint8_t* r, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) r[i] = uint8_t((r[i] >> 1) ^ (0u - (r[i] & 1u)));
}

[[gnu::target("avx2")]] void unfold_avx2(uint8_t* r, std::size_t n) { unfold_body(r, n); }

}  // namespace

void unfold_in_place(std::span<uint8_t> residuals, bool avx2) {
    if (avx2)
        unfold_avx2(residuals.data(), residuals.size());
    else
        unfold_body(residuals.data(), residuals.size());
}

void rebuild_band_checked(const BandJob& band, std::size_t w, const ContextTables& tables) {
    if (band.ring || band.pieces[0]) panic("the checked kernel needs whole planes and residuals");
    rebuild_checked(band, w, tables);
    for (std::size_t y = 0; y < band.h && w != 0; ++y) band.sink(y);
}

}  // namespace kelm
