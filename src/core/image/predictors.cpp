#include "core/image/predictors.hpp"

#include <string>
#include <type_traits>
#include <vector>

#include "core/common/failure.hpp"
#include "core/image/image_size.hpp"
#include "core/image/rebuild.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

namespace {

// Calls f with the predictor as a compile-time constant.
template <class F>
void with_predictor(uint8_t p, F&& f) {
    switch (p) {
        case kMedianStyle: return f(std::integral_constant<int, kMedianStyle>{});
        case kAverage: return f(std::integral_constant<int, kAverage>{});
        case kGradient: return f(std::integral_constant<int, kGradient>{});
        case kBlend: return f(std::integral_constant<int, kBlend>{});
        case kUpRight: return f(std::integral_constant<int, kUpRight>{});
        default: reject("predictor " + std::to_string(p) + " is not below " + std::to_string(kPredictors));
    }
}


// One plane of h x w: residuals and classes in raster order. guide: the gr
// plane for rd and bd (its value picks the bucket), null for gr (the
// prediction does).
template <int P>
void predict_plane(const uint8_t* plane, const uint8_t* guide, std::size_t h, std::size_t w, const ContextTables& t,
                   std::size_t n, uint8_t* res, uint8_t* cls) {
    const std::vector<uint8_t> zero(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        const uint8_t* row = plane + y * w;
        const uint8_t* up = y ? row - w : zero.data();
        uint8_t l = 0, ul = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t u = up[x], ur = up[x + 1 < w ? x + 1 : x];
            const uint8_t p = predict_with<P>(l, u, ul, ur);
            const std::size_t g = gradient_index(l, u, ul);
            const uint8_t s = guide ? class_from_bucket<true>(t, g, intensity_bucket<true>(t, guide[y * w + x]))
                                    : classify_gradient<true>(t, g, p);
            if (s >= n) panic_index(n, s);
            res[y * w + x] = fold_residual(row[x], p);
            cls[y * w + x] = s;
            l = row[x];
            ul = u;
        }
    }
}

inline uint8_t predict_any(uint8_t p, int16_t l, int16_t u, int16_t ul, int16_t ur) {
    switch (p) {
        case kMedianStyle: return predict_with<kMedianStyle>(l, u, ul, ur);
        case kAverage: return predict_with<kAverage>(l, u, ul, ur);
        case kGradient: return predict_with<kGradient>(l, u, ul, ur);
        case kBlend: return predict_with<kBlend>(l, u, ul, ur);
        default: return predict_with<kUpRight>(l, u, ul, ur);
    }
}

// One plane's cursors and neighbours while a band is rebuilt.
struct PlaneLane {
    uint8_t* plane;
    const uint8_t* res;
    std::size_t len;
    uint32_t* cursor;
    uint8_t predictor, l, ul;
};

// Pixel x of row y of one plane; bucket: the gr value's bucket for rd and bd,
// none (the prediction's) for gr.
// The pixel from the next residual of its shard; the lane moves one pixel on.
[[gnu::always_inline]] inline uint8_t next_pixel(PlaneLane& s, uint8_t shard, uint8_t p, uint8_t u) {
    const uint32_t c = s.cursor[shard]++;
    if (c >= s.len) [[unlikely]]
        panic_index(s.len, c);
    const uint8_t v = unfold_residual(s.res[c], p);
    s.l = v;
    s.ul = u;
    return v;
}

template <bool Checked, bool Guided>
[[gnu::always_inline]] inline uint8_t rebuild_pixel(PlaneLane& s, const uint8_t* up, std::size_t x, std::size_t w,
                                                    std::size_t n, const ContextTables& t, uint8_t bucket) {
    const uint8_t u = up[x], ur = up[x + 1 < w ? x + 1 : x];
    const uint8_t p = predict_any(s.predictor, s.l, u, s.ul, ur);
    const std::size_t g = gradient_index(s.l, u, s.ul);
    const uint8_t shard = Guided ? class_from_bucket<Checked>(t, g, bucket) : classify_gradient<Checked>(t, g, p);
    if (shard >= n) [[unlikely]]
        panic_index(n, shard);
    return next_pixel(s, shard, p, u);
}

// rebuild_pixel through the folded tables, with the plane's predictor fixed
// at compile time: one load gives the gradient class and the median-style
// prediction, one more the shard. Every lookup is in range (fold_tables only
// folds such tables, covers() checked the shards).
template <bool Guided, int P>
[[gnu::always_inline]] inline uint8_t folded_pixel(PlaneLane& s, const uint8_t* up, std::size_t x, std::size_t w,
                                                   const uint16_t* gradient, const uint8_t* shards, uint8_t guide) {
    const uint8_t u = up[x], l = s.l, ul = s.ul;
    const std::size_t e = gradient[((std::size_t(u) - ul + 255) << 9) + 255 - ul + l];
    const std::size_t cls = e & ~std::size_t(511);
    uint8_t p;
    if constexpr (P == kAverage || P == kGradient) {
        p = predict_with<P>(l, u, ul, 0);
    } else {
        // The median-style prediction from the table: (p - ul) mod 256, but
        // max(l, u) where l + u - ul < 0.
        uint8_t m = uint8_t(e + ul);
        if (int(l) + int(u) < int(ul)) [[unlikely]]
            m = l > u ? l : u;
        if constexpr (P == kMedianStyle) {
            p = m;
        } else if constexpr (P == kBlend) {
            p = uint8_t((2 * m + l + u) >> 2);
        } else {
            const uint8_t ur = up[x + 1 < w ? x + 1 : x];
            p = uint8_t((m + ((l + ur + 1) >> 1) + 1) >> 1);
        }
    }
    return next_pixel(s, shards[cls + (Guided ? guide : p)], p, u);
}

// A band between rows: its planes and its lanes' cursors.
struct BandLanes {
    std::size_t h = 0;
    uint8_t* planes[3] = {};
    PlaneLane lane[3] = {};
    std::vector<uint32_t> cursors;

    BandLanes(std::size_t rows, uint8_t* const p[3], const std::span<const uint8_t> res[3],
              const std::span<const uint32_t> off[3], PlanePredictors predictors)
        : h(rows), cursors(3 * off[0].size()) {
        const std::size_t n = off[0].size();
        for (std::size_t k = 0; k < 3; ++k) {
            planes[k] = p[k];
            std::copy(off[k].begin(), off[k].end(), cursors.begin() + k * n);
            lane[k] = PlaneLane{p[k], res[k].data(), res[k].size(), cursors.data() + k * n, predictors[k], 0, 0};
        }
    }
};

// Rebuilds a band through the folded tables, its three planes row by row and
// the three pixels of a column together. (Two bands side by side ran slower:
// their twelve lanes do not fit the registers.)
template <int P0, int P1, int P2>
void rebuild_folded(BandLanes& band, std::size_t w, const FoldedTables& t) {
    const std::vector<uint8_t> zero(w, 0);
    const uint16_t* const gradient = t.gradient();
    const uint8_t* const shards = t.bytes() + FoldedTables::kShardOffset;
    PlaneLane lane[3] = {band.lane[0], band.lane[1], band.lane[2]};
    for (std::size_t y = 0; y < band.h; ++y) {
        const uint8_t* up[3];
        uint8_t* row[3];
        for (std::size_t k = 0; k < 3; ++k) {
            row[k] = band.planes[k] + y * w;
            up[k] = y ? row[k] - w : zero.data();
            lane[k].l = lane[k].ul = 0;
        }
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t g = folded_pixel<false, P0>(lane[0], up[0], x, w, gradient, shards, 0);
            row[0][x] = g;
            row[1][x] = folded_pixel<true, P1>(lane[1], up[1], x, w, gradient, shards, g);
            row[2][x] = folded_pixel<true, P2>(lane[2], up[2], x, w, gradient, shards, g);
        }
    }
}

// Calls f with rebuild_folded for the three predictors.
template <class F>
void with_folded(PlanePredictors predictors, F&& f) {
    with_predictor(predictors[0], [&](auto P0) {
        with_predictor(predictors[1], [&](auto P1) {
            with_predictor(predictors[2], [&](auto P2) {
                f(rebuild_folded<decltype(P0)::value, decltype(P1)::value, decltype(P2)::value>);
            });
        });
    });
}

// Rebuilds a band's three planes row by row, the three pixels of a column
// together: the rd and bd chains overlap the gr chain they are guided by.
template <bool Checked>
void rebuild_band(BandLanes& band, std::size_t w, const ContextTables& t) {
    uint8_t* const* planes = band.planes;
    PlaneLane* lane = band.lane;
    const std::size_t h = band.h, n = band.cursors.size() / 3;
    const std::vector<uint8_t> zero(w, 0);
    for (std::size_t y = 0; y < h; ++y) {
        const uint8_t* up[3];
        uint8_t* row[3];
        for (std::size_t k = 0; k < 3; ++k) {
            row[k] = planes[k] + y * w;
            up[k] = y ? row[k] - w : zero.data();
            lane[k].l = lane[k].ul = 0;
        }
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t g = rebuild_pixel<Checked, false>(lane[0], up[0], x, w, n, t, 0);
            row[0][x] = g;
            const uint8_t bucket = intensity_bucket<Checked>(t, g);
            row[1][x] = rebuild_pixel<Checked, true>(lane[1], up[1], x, w, n, t, bucket);
            row[2][x] = rebuild_pixel<Checked, true>(lane[2], up[2], x, w, n, t, bucket);
        }
    }
}

}  // namespace

ShardStreams shard_streams_predicted(std::size_t h, const BandSamples& band, std::size_t n,
                                     const ContextTables& tables, PlanePredictors predictors) {
    check_predictors(predictors);
    band.check(h);
    const std::size_t w = band.coded_width(), px = h * w;
    ShardStreams r;
    r.streams = Buffer<uint8_t>::uninit(3 * px);
    r.counts = Buffer<uint32_t>::zeroed(checked_mul(3, n));
    r.histograms = Buffer<uint32_t>::zeroed(checked_mul(3, checked_mul(n, 256)));
    if (px == 0) return r;
    std::vector<uint8_t> planes(3 * px), res(3 * px), cls(3 * px);
    const BandRows rows(band, false);
    for (std::size_t y = 0; y < h; ++y)
        rows(y, planes.data() + y * w, planes.data() + px + y * w, planes.data() + 2 * px + y * w);
    parallel_for(3, [&](std::size_t k) {
        with_predictor(predictors[k], [&](auto P) {
            predict_plane<decltype(P)::value>(planes.data() + k * px, k ? planes.data() : nullptr, h, w, tables, n,
                               res.data() + k * px, cls.data() + k * px);
        });
    });
    for (std::size_t k = 0; k < 3; ++k) {
        uint32_t* hist = r.histograms.data() + k * n * 256;
        for (std::size_t i = 0; i < px; ++i) ++hist[cls[k * px + i] * 256 + res[k * px + i]];
        std::vector<uint32_t> cursor(n);
        uint32_t next = 0;
        for (std::size_t s = 0; s < n; ++s) {
            for (std::size_t v = 0; v < 256; ++v) r.counts[k * n + s] += hist[s * 256 + v];
            cursor[s] = next;
            next += r.counts[k * n + s];
        }
        uint8_t* out = r.streams.data() + k * px;
        for (std::size_t i = 0; i < px; ++i) out[cursor[cls[k * px + i]]++] = res[k * px + i];
    }
    return r;
}

void check_predictors(PlanePredictors predictors) {
    for (uint8_t p : predictors) with_predictor(p, [](auto) {});
}

void rebuild_predicted_band(std::size_t h, std::size_t w, uint8_t* const planes[3],
                            const std::span<const uint8_t> res[3], const std::span<const uint32_t> off[3],
                            const ContextTables& tables, const FoldedTables& folded, PlanePredictors predictors) {
    if (h == 0 || w == 0) return;
    const std::size_t n = off[0].size();
    BandLanes s(h, planes, res, off, predictors);
    BandJob cover;  // what covers() looks at: the shard count of each plane
    for (std::size_t k = 0; k < 3; ++k) cover.off[k] = off[k];
    if (folded.covers(cover))
        with_folded(predictors, [&](auto f) { f(s, w, folded); });
    else if (!tables.classes_below(n))
        rebuild_band<true>(s, w, tables);
    else
        rebuild_band<false>(s, w, tables);
}

BandPlanes reconstruct_predicted(std::span<const uint64_t> heights, std::size_t w,
                                 std::span<const uint8_t> residuals, std::span<const uint32_t> offsets,
                                 std::size_t n_shards, const ContextTables& tables, PlanePredictors predictors) {
    check_predictors(predictors);
    const std::size_t total = check_band_inputs(heights, w, residuals, offsets, n_shards);

    BandPlanes out;
    out.gr = Buffer<uint8_t>::uninit(total);
    out.rd = Buffer<uint8_t>::uninit(total);
    out.bd = Buffer<uint8_t>::uninit(total);
    if (total == 0) return out;
    std::vector<std::size_t> first_row(heights.size() + 1, 0);
    for (std::size_t b = 0; b < heights.size(); ++b) first_row[b + 1] = first_row[b] + heights[b];
    const std::shared_ptr<const FoldedTables> folded = fold_tables(tables);
    auto band = [&](std::size_t b) {
        const std::size_t h = heights[b], px = h * w, at = 3 * first_row[b] * w;
        uint8_t* const planes[3] = {out.gr.data() + first_row[b] * w, out.rd.data() + first_row[b] * w,
                                    out.bd.data() + first_row[b] * w};
        std::span<const uint8_t> res[3];
        std::span<const uint32_t> off[3];
        for (std::size_t k = 0; k < 3; ++k) {
            res[k] = residuals.subspan(at + k * px, px);
            off[k] = offsets.subspan((3 * b + k) * n_shards, n_shards);
        }
        rebuild_predicted_band(h, w, planes, res, off, tables, *folded, predictors);
    };
    FirstFailure first;
    parallel_for(heights.size(), [&](std::size_t b) { first.run(b, [&] { band(b); }); });
    first.rethrow();
    return out;
}

}  // namespace kelm
