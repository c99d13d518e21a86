// The codec's reconstruct_bands_rgb: several bands rebuilt in lockstep from
// folded tables (or through the checked kernel), fed random residuals, shard
// offsets and context tables. Each band must come out as kelm_rans's
// reconstruct_shards_rgb rebuilds it alone, and the call must fail exactly
// when some band fails there.
//   u8 flags: 1 offsets as given (else running sums of shard counts),
//     4 cut the residuals (u16 follows)
//   u8 b: 1 + b % 6 bands, b x u8 heights (each at most 16); u8 w (at most 48)
//   context tables (read_context_tables)
//   u8 s: 1 + s % 64 shards per plane; per band 3 x that many u16 offsets or counts
//   the rest: the residuals, 3 * rows * w (zero-padded)
#include <cstring>
#include <vector>

#include "../common.hpp"
#include "core/image/reconstruct.hpp"
#include "core/image/reconstruct_bands.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const uint8_t flags = r.u8();
    std::vector<uint64_t> heights(1 + r.u8() % 6);
    std::size_t rows = 0;
    for (auto& h : heights) rows += h = r.u8() % 17;
    const std::size_t w = r.u8() % 49;
    const fuzz::OwnedTables tables = fuzz::read_context_tables(r);
    const kelm::ContextTables t = tables.view();
    const std::size_t n_shards = 1 + r.u8() % 64;
    std::vector<uint32_t> offsets;
    for (std::size_t k = 0; k < 3 * heights.size(); ++k) {
        const auto o = fuzz::read_offsets(r, n_shards, flags & 1);
        offsets.insert(offsets.end(), o.begin(), o.end());
    }
    const std::size_t cut = flags & 4 ? r.u16() : 0;
    const auto body = r.rest();
    std::vector<uint8_t> residuals(body.begin(), body.begin() + std::min(body.size(), 3 * rows * w));
    residuals.resize(3 * rows * w - std::min(cut, 3 * rows * w), 0);

    kelm::BandPlanes bands;
    bool accepted = false;
    fuzz::guarded([&] {
        bands = kelm::reconstruct_bands_rgb(heights, w, residuals, offsets, n_shards, t);
        accepted = true;
    });
    if (cut) return 0;  // the per-band comparison needs whole streams
    bool some_band_fails = false;
    std::size_t y = 0, at = 0;
    for (std::size_t b = 0; b < heights.size(); ++b) {
        const std::size_t px = heights[b] * w;
        auto res = [&](std::size_t k) { return std::span<const uint8_t>(residuals).subspan(at + k * px, px); };
        auto off = [&](std::size_t k) { return std::span<const uint32_t>(offsets).subspan((3 * b + k) * n_shards, n_shards); };
        bool ok = false;
        fuzz::guarded([&] {
            auto one = kelm::reconstruct_shards_rgb(heights[b], w, res(0), res(1), res(2), off(0), off(1), off(2), t);
            ok = true;
            if (accepted && px &&
                (std::memcmp(one.gr.data(), bands.gr.data() + y * w, px) ||
                 std::memcmp(one.rd.data(), bands.rd.data() + y * w, px) ||
                 std::memcmp(one.bd.data(), bands.bd.data() + y * w, px)))
                __builtin_trap();
        });
        some_band_fails |= !ok;
        y += heights[b];
        at += 3 * px;
    }
    if (accepted == some_band_fails) __builtin_trap();
    return 0;
}
