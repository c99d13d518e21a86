#include "core/image/reconstruct_bands.hpp"

#include <string>
#include <vector>

#include "core/common/failure.hpp"
#include "core/common/huge_pages.hpp"
#include "core/image/image_size.hpp"
#include "core/image/rebuild.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

std::size_t check_band_inputs(std::span<const uint64_t> heights, std::size_t w, std::span<const uint8_t> residuals,
                              std::span<const uint32_t> offsets, std::size_t n_shards) {
    // Every size is checked before any work. A band's pixel count must fit
    // the 32-bit shard offsets, as in reconstruct_shards_rgb.
    constexpr std::size_t kLimit = std::size_t(1) << 32;
    std::size_t rows = 0;
    for (std::size_t b = 0; b < heights.size(); ++b) {
        const std::size_t h = heights[b];
        if (h != 0 && w != 0 && (h >= kLimit || w >= kLimit || h * w >= kLimit))
            reject("band " + std::to_string(b) + " of " + std::to_string(h) + " x " + std::to_string(w) +
                   " pixels is too large: a band's pixel count must be below 2^32");
        if (__builtin_add_overflow(rows, h, &rows)) reject("the band heights add up to more than 2^64 rows");
    }
    std::size_t total = 0;
    if (__builtin_mul_overflow(rows, w, &total) || total > SIZE_MAX / 3)
        reject("image of " + std::to_string(rows) + " x " + std::to_string(w) + " pixels is too large");
    if (residuals.size() != 3 * total)
        reject("residuals hold " + std::to_string(residuals.size()) + " bytes but " + std::to_string(heights.size()) +
               " bands of " + std::to_string(rows) + " rows in all and width " + std::to_string(w) + " need " +
               std::to_string(3 * total));
    if (n_shards != 0 && heights.size() > SIZE_MAX / 3 / n_shards) reject("too many bands and shards");
    if (offsets.size() != 3 * heights.size() * n_shards)
        reject("offsets hold " + std::to_string(offsets.size()) + " entries but " + std::to_string(heights.size()) +
               " bands of 3 planes with " + std::to_string(n_shards) + " shards need " +
               std::to_string(3 * heights.size() * n_shards));

    return total;
}

BandPlanes reconstruct_bands_rgb(std::span<const uint64_t> heights, std::size_t w,
                                 std::span<const uint8_t> residuals, std::span<const uint32_t> offsets,
                                 std::size_t n_shards, const ContextTables& tables) {
    const std::size_t total = check_band_inputs(heights, w, residuals, offsets, n_shards);

    BandPlanes out;
    out.gr = Buffer<uint8_t>::uninit(total);
    out.rd = Buffer<uint8_t>::uninit(total);
    out.bd = Buffer<uint8_t>::uninit(total);
    for (Buffer<uint8_t>* plane : {&out.gr, &out.rd, &out.bd}) prefer_huge_pages(plane->data(), total);
    if (total == 0) return out;

    std::vector<BandJob> jobs(heights.size());
    std::size_t row = 0, at = 0;
    for (std::size_t b = 0; b < jobs.size(); ++b) {
        BandJob& job = jobs[b];
        job.h = heights[b];
        const std::size_t px = job.h * w;
        uint8_t* const planes[3] = {out.gr.data(), out.rd.data(), out.bd.data()};
        for (std::size_t k = 0; k < 3; ++k) {
            job.planes[k] = planes[k] + row * w;
            job.res[k] = residuals.subspan(at, px);
            job.off[k] = offsets.subspan((3 * b + k) * n_shards, n_shards);
            at += px;
        }
        row += job.h;
    }

    const std::shared_ptr<const FoldedTables> folded = fold_tables(tables);
    const std::size_t groups = (jobs.size() + kLockstepBands - 1) / kLockstepBands;
    auto group = [&](std::size_t g) {
        const std::size_t first = g * kLockstepBands;
        const std::size_t n = std::min(kLockstepBands, jobs.size() - first);
        rebuild_bands(std::span<const BandJob>(jobs).subspan(first, n), w, tables, *folded);
    };
    if (groups == 1) {
        group(0);
    } else {
        // Groups hold consecutive bands, so the first failing group holds the first failing band.
        FirstFailure first;
        parallel_for(groups, [&](std::size_t g) { first.run(g, [&] { group(g); }); });
        first.rethrow();
    }
    return out;
}

}  // namespace kelm
