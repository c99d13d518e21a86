#include "core/image/decode_bands.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "core/common/buffer.hpp"
#include "core/common/cpu_features.hpp"
#include "core/image/image_size.hpp"
#include "core/image/rebuild.hpp"
#include "core/image/restore.hpp"
#include "core/pool/pool.hpp"
#include "core/rans/shard_decoder.hpp"
#include "core/rans/shard_exact.hpp"

namespace kelm {

namespace {

// Where a band's finished rows go.
struct RowTarget {
    const BandJob* job;
    uint8_t* out;  // the band's first output row
    std::size_t w, K;
    const uint8_t* no_alpha;  // zeros, the alpha of K = 4 rows until the alpha plane is decoded
    bool vector;              // rows restored with the vector kernel

    static void put(void* ctx, std::size_t y) {
        const RowTarget& t = *static_cast<const RowTarget*>(ctx);
        restore_row_gsub(t.out + y * t.w * t.K, t.job->row(0, y, t.w), t.job->row(1, y, t.w), t.job->row(2, y, t.w),
                         t.no_alpha, t.w, t.K, t.vector);
    }
};

// The alpha plane's simple predictor undone into the fourth byte of every
// pixel (as reconstruct_2d_channels); residual() gives them in raster order.
template <class Residuals>
void rebuild_alpha(uint8_t* out, std::size_t h, std::size_t w, Residuals&& residual) {
    for (std::size_t y = 0; y < h; ++y) {
        uint8_t* const row = out + y * w * 4 + 3;
        const uint8_t* const up = y ? row - w * 4 : nullptr;
        uint8_t l = 0, ul = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t u = up ? up[4 * x] : 0;
            l = unfold_residual(residual(), predict_pixel(l, u, ul));
            row[4 * x] = l;
            ul = u;
        }
    }
}

// How many residuals of a shard one piece holds (a multiple of 4).
constexpr std::size_t kPiece = 256;

// A plane's shards decoded a piece at a time as the rebuild asks for them.
class PlanePieces final : public PieceSource {
public:
    PlanePieces(std::vector<StreamPieces>&& shards, std::span<const uint32_t> counts)
        : shards_(std::move(shards)),
          left_(counts.begin(), counts.end()),
          buffer_(Buffer<uint8_t>::uninit(kPiece * counts.size())) {}

    const uint8_t* next(std::size_t shard, const uint8_t*& end) override {
        if (shard >= left_.size() || left_[shard] == 0) throw Panic{};
        const std::size_t n = std::min<std::size_t>(kPiece, left_[shard]);
        uint8_t* const piece = buffer_.data() + shard * kPiece;
        shards_[shard].next(piece, n);
        unfold_in_place({piece, n});
        left_[shard] -= uint32_t(n);
        end = piece + n;
        return piece;
    }
    // Every symbol decoded (the rebuild took as many as the shards hold), then
    // the checks made after an exact decoding.
    void check_ended(uint64_t initial_state) const {
        for (uint32_t n : left_)
            if (n) reject("a shard holds residuals that no pixel takes");
        check_pieces_ended(shards_, initial_state);
    }

private:
    std::vector<StreamPieces> shards_;
    std::vector<uint32_t> left_;
    Buffer<uint8_t> buffer_;
};

// The alpha plane's residuals in raster order, a piece at a time.
class AlphaPieces {
public:
    AlphaPieces(std::span<const uint8_t> payload, std::size_t count, const ShardCoding& t)
        : shard_(std::move(shard_pieces_exact(payload, 1, t.cum, t.sym, t.lookups)[0])),
          left_(count),
          buffer_(Buffer<uint8_t>::uninit(std::min(count, kAlphaPiece))) {}

    uint8_t operator()() {
        if (at_ == size_) {
            size_ = std::min(left_, kAlphaPiece);
            shard_.next(buffer_.data(), size_);
            left_ -= size_;
            at_ = 0;
        }
        return buffer_[at_++];
    }
    void check_ended(uint64_t initial_state) const { check_pieces_ended({&shard_, 1}, initial_state); }

private:
    static constexpr std::size_t kAlphaPiece = std::size_t(1) << 16;
    StreamPieces shard_;
    std::size_t left_, at_ = 0, size_ = 0;
    Buffer<uint8_t> buffer_;
};

struct Decoded {
    Buffer<uint8_t> residuals;
    std::vector<uint32_t> offsets;  // (3, n): where each shard starts in its plane
    Buffer<uint8_t> planes;         // two rows of each plane, or whole planes for the checked kernel
    std::vector<PlanePieces> pieces;  // per plane, when the band decodes in pieces
};

}  // namespace

void decode_colour_bands(std::span<const BandInput> bands, std::size_t w, std::size_t K, std::span<uint8_t> out,
                         const ShardCoding& colour, const ShardCoding& alpha, const ContextTables& tables,
                         uint64_t initial_state, std::size_t piece_pixels, PlanePredictors predictors) {
    // The caller runs one group of bands per core: steps stay on this thread.
    const InlineSteps inline_steps;
    if (K != 3 && K != 4) reject("a colour image has 3 or 4 channels, not " + std::to_string(K));
    std::size_t rows = 0;
    for (std::size_t b = 0; b < bands.size(); ++b) {
        const BandInput& band = bands[b];
        if (band.h != 0 && w != 0) require_32bit_pixel_count(band.h, w);
        if (band.counts.size() % 3 != 0 || band.counts.size() != bands[0].counts.size())
            reject("band " + std::to_string(b) + ": " + std::to_string(band.counts.size()) +
                   " shard counts are not the same 3 n as every band's");
        rows = checked_add(rows, band.h);
    }
    if (out.size() != checked_mul(checked_mul(rows, w), K))
        reject("the output holds " + std::to_string(out.size()) + " bytes, not " + std::to_string(rows) + " rows of " +
               std::to_string(w) + " x " + std::to_string(K));
    if (bands.empty() || rows == 0 || w == 0) return;

    const std::size_t n = bands[0].counts.size() / 3;
    check_predictors(predictors);
    const bool predicted = predictors != PlanePredictors{0, 0, 0};
    const std::shared_ptr<const FoldedTables> folded = fold_tables(tables);
    const bool fast = folded->ready() && std::size_t(folded->max_shard) < n && !predicted;
    const std::vector<uint8_t> no_alpha(K == 4 ? w : 0, 0);
    const bool vector = simd_level() == SimdLevel::avx2;  // AVX2 implies the SSSE3 the row kernel needs

    uint8_t* band_out = out.data();
    for (std::size_t first = 0; first < bands.size(); first += kLockstepBands) {
        const std::size_t m = std::min(kLockstepBands, bands.size() - first);
        Decoded dec[kLockstepBands];
        BandJob jobs[kLockstepBands];
        RowTarget targets[kLockstepBands];
        for (std::size_t i = 0; i < m; ++i) {  // every band's residuals first, in band order
            const BandInput& band = bands[first + i];
            const std::size_t px = band.h * w;
            Decoded& d = dec[i];
            d.offsets.resize(3 * n);
            for (std::size_t k = 0; k < 3; ++k) {
                uint64_t at = 0;
                for (std::size_t s = 0; s < n; ++s) {
                    d.offsets[k * n + s] = uint32_t(at);
                    at += band.counts[k * n + s];
                }
                if (at != px)
                    reject("band " + std::to_string(first + i) + ": the shards of plane " + std::to_string(k) +
                           " hold " + std::to_string(at) + " residuals, not " + std::to_string(px));
            }
            BandJob& job = jobs[i];
            if (fast && px > piece_pixels) {
                std::vector<StreamPieces> all =
                    shard_pieces_exact(band.payload, 3 * n, colour.cum, colour.sym, colour.lookups);
                d.pieces.reserve(3);
                for (std::size_t k = 0; k < 3; ++k)
                    d.pieces.emplace_back(std::vector<StreamPieces>(all.begin() + k * n, all.begin() + (k + 1) * n),
                                          band.counts.subspan(k * n, n));
                for (std::size_t k = 0; k < 3; ++k) job.pieces[k] = &d.pieces[k];
            } else {
                d.residuals = rans_decode_shards_exact(band.payload, band.counts, colour.cum, colour.sym,
                                                       colour.lookups, initial_state);
                if (fast) unfold_in_place(d.residuals.span(), vector);
            }
            job.h = band.h;
            job.ring = fast;
            const std::size_t plane = fast ? 2 * w : px;
            d.planes = Buffer<uint8_t>::uninit(3 * plane);
            for (std::size_t k = 0; k < 3; ++k) {
                job.planes[k] = d.planes.data() + k * plane;
                job.res[k] = d.residuals.span().subspan(k * px, px);
                job.off[k] = std::span<const uint32_t>(d.offsets).subspan(k * n, n);
            }
            targets[i] = RowTarget{&job, band_out, w, K, no_alpha.data(), vector};
            job.sink = RowSink{&RowTarget::put, &targets[i]};
            band_out += px * K;
        }
        // Bands without rows take no part; the rest run in lockstep.
        BandJob live[kLockstepBands];
        std::size_t n_live = 0;
        for (std::size_t i = 0; i < m; ++i)
            if (jobs[i].h) live[n_live++] = jobs[i];
        if (predicted) {
            for (std::size_t i = 0; i < n_live; ++i) {
                const BandJob& job = live[i];
                rebuild_predicted_band(job.h, w, job.planes, job.res, job.off, tables, *folded, predictors);
                for (std::size_t y = 0; y < job.h; ++y) job.sink(y);
            }
        } else if (fast) {
            if (n_live && !rebuild_bands_fast({live, n_live}, w, *folded, true))
                reject("bands " + std::to_string(first) + " to " + std::to_string(first + m - 1) +
                       ": a shard runs past its residuals");
        } else {
            for (std::size_t i = 0; i < n_live; ++i) rebuild_band_checked(live[i], w, tables);
        }
        for (std::size_t i = 0; i < m; ++i) {
            for (const PlanePieces& p : dec[i].pieces) p.check_ended(initial_state);
            dec[i] = Decoded{};
        }
        if (K == 4) {
            for (std::size_t i = 0; i < m; ++i) {
                const BandInput& band = bands[first + i];
                const std::size_t px = band.h * w;
                if (px > piece_pixels) {
                    AlphaPieces res(band.alpha_payload, px, alpha);
                    rebuild_alpha(targets[i].out, band.h, w, res);
                    res.check_ended(initial_state);
                } else {
                    const uint32_t count = uint32_t(px);
                    const Buffer<uint8_t> res = rans_decode_shards_exact(
                        band.alpha_payload, {&count, 1}, alpha.cum, alpha.sym, alpha.lookups, initial_state);
                    const uint8_t* r = res.data();
                    rebuild_alpha(targets[i].out, band.h, w, [&r] { return *r++; });
                }
            }
        }
    }
}

}  // namespace kelm
