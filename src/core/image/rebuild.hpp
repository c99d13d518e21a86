// The shard reconstruction behind reconstruct_shards_rgb (one band) and
// reconstruct_bands_rgb (many bands): a fast kernel that rebuilds a few bands
// in lockstep on one thread from folded copies of the tables, and a checked
// kernel that rebuilds plane by plane and reports the first failing access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"

namespace kelm {

// Called with each row y of a band once its gr, rd and bd rows are rebuilt.
struct RowSink {
    void (*fn)(void* ctx, std::size_t y) = nullptr;
    void* ctx = nullptr;
    void operator()(std::size_t y) const {
        if (fn) fn(ctx, y);
    }
};

// A plane's residuals handed out shard by shard, a piece at a time: next
// returns the start of the shard's next piece and sets end to its end; it
// throws Panic when the shard has nothing left.
struct PieceSource {
    virtual const uint8_t* next(std::size_t shard, const uint8_t*& end) = 0;

protected:
    ~PieceSource() = default;
};

// One band: its rows, its three result planes (gr, rd, bd; h * w each,
// written in full, or, with ring set, the last two rows only: row y at
// (y % 2) * w), and per plane the residuals grouped by shard and the first
// residual of each shard; or, for the fast kernel, a source of pieces per
// plane in place of res and off.
struct BandJob {
    std::size_t h = 0;
    uint8_t* planes[3] = {};
    std::span<const uint8_t> res[3];
    std::span<const uint32_t> off[3];
    PieceSource* pieces[3] = {};
    bool ring = false;
    RowSink sink;

    uint8_t* row(std::size_t k, std::size_t y, std::size_t w) const { return planes[k] + (ring ? (y & 1) : y) * w; }
};

// The caller's tables folded so that one load gives a pixel's gradient class
// and prediction, and one more its shard. Built once per call and shared by
// every band; empty when the fast kernel cannot run (some lookup may leave
// the tables, or a gradient class is 128 or more). The three tables share one
// block, so that a kernel reaches them from one base register.
struct FoldedTables {
    // uint16 per (u - ul, l - ul) in rows of 512, transposed so that the
    // entries of one pixel's 256 possible left neighbours are adjacent:
    // gradient class << 9 | (p - ul) mod 256, where p is the prediction unless
    // l + u - ul < 0 (then p = max(l, u)).
    static constexpr std::size_t kGradientEntries = 511 * 512;
    // Then per (gradient class, j < 512) the shard d_lut[4 * class + i_lut[j % 256]].
    static constexpr std::size_t kShardOffset = 2 * kGradientEntries;
    // Then the unfolded residuals: unfold_residual(z, p) == uint8_t(p + unfolded[z]).
    static constexpr std::size_t kUnfoldOffset = kShardOffset + 128 * 512;
    static constexpr std::size_t kBytes = kUnfoldOffset + 256;

    Buffer<uint16_t> block;
    uint8_t max_shard = 0;  // the largest shard any pixel can get
    // When no class's shard depends on the intensity bucket, the gradient
    // entries hold the shard in place of the class, and the shard table maps
    // every entry of a shard's row to that shard: a pixel's shard then comes
    // with its first load, and readers of the shard table get the same shard.
    bool shard_in_entry = false;

    bool ready() const { return !block.empty(); }
    const uint16_t* gradient() const { return block.data(); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(block.data()); }
    // True when the fast kernel may rebuild the band: every shard a pixel can
    // get has an offset in each plane (or the planes come in pieces).
    bool covers(const BandJob& band) const;
};

// The folded tables of `tables`. The last ones folded are kept and handed out
// again while the caller's tables hold the same bytes, so a run of calls with
// one table set folds it once.
std::shared_ptr<const FoldedTables> fold_tables(const ContextTables& tables);

// How many bands the fast kernel rebuilds side by side on one thread.
constexpr std::size_t kLockstepBands = 2;

// Rebuilds up to kLockstepBands bands of width w. A band fails as
// reconstruct_shards_rgb would fail on it alone; the first failing band of
// the span is the one reported.
void rebuild_bands(std::span<const BandJob> bands, std::size_t w, const ContextTables& tables,
                   const FoldedTables& folded);

// The fast kernel alone on up to kLockstepBands bands that folded covers (w
// and every height above 0), handing each finished row to its band's sink;
// ring planes are enough. False when a shard ran past its residuals (the rows
// already handed out are then meaningless). With differences, the residuals
// hold unfold_residual(z, 0) in place of each z (one table load less a pixel).
bool rebuild_bands_fast(std::span<const BandJob> bands, std::size_t w, const FoldedTables& folded,
                        bool differences = false);

// Turns folded residuals z into the differences unfold_residual(z, 0), in
// place; avx2: with the AVX2 build of the loop (the CPU must have it).
void unfold_in_place(std::span<uint8_t> residuals, bool avx2 = false);

// The checked kernel on one band with whole planes (no ring); a failure is
// reported as reconstruct_shards_rgb reports it. Rows go to the sink at the end.
void rebuild_band_checked(const BandJob& band, std::size_t w, const ContextTables& tables);

}  // namespace kelm
