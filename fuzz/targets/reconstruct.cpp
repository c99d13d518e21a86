// kelm_rans's reconstruction: reconstruct_shards_rgb (gr, rd and bd rebuilt
// from residual streams grouped by shard, with the encoder's predictor and
// classes) fed random residuals, shard offsets and context tables; with flag
// bit 1, reconstruct_2d_channels (the alpha plane) on the gr stream as well.
//   u8 flags: 1 offsets as given (else running sums of shard counts),
//     2 reconstruct_2d_channels too, 4 cut the streams (3 x u16 follow)
//   u8 h, u8 w: each at most 48; context tables (read_context_tables)
//   u8 s: 1 + s % 64 shards per plane; 3 x that many u16 offsets or counts
//   the rest: the residuals, three h * w streams (zero-padded)
#include <vector>

#include "../common.hpp"
#include "core/image/reconstruct.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const uint8_t flags = r.u8();
    const std::size_t h = r.u8() % 49, w = r.u8() % 49;
    const fuzz::OwnedTables tables = fuzz::read_context_tables(r);
    const std::size_t n_shards = 1 + r.u8() % 64;
    std::vector<uint32_t> off[3];
    for (auto& o : off) o = fuzz::read_offsets(r, n_shards, flags & 1);
    std::size_t cut[3] = {};
    if (flags & 4)
        for (auto& c : cut) c = r.u16();
    const auto body = r.rest();
    std::vector<uint8_t> res[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t px = h * w, at = std::min(body.size(), k * px);
        res[k].assign(body.begin() + at, body.begin() + std::min(body.size(), at + px));
        res[k].resize(px - std::min(cut[k], px), 0);
    }
    fuzz::guarded([&] {
        auto planes = kelm::reconstruct_shards_rgb(h, w, res[0], res[1], res[2], off[0], off[1], off[2], tables.view());
        if (planes.gr.size() != h * w || planes.rd.size() != h * w || planes.bd.size() != h * w) __builtin_trap();
    });
    if (flags & 2) {
        fuzz::guarded([&] {
            auto plane = kelm::reconstruct_2d_channels(h, w, res[0]);
            if (plane.size() != h * w) __builtin_trap();
        });
    }
    return 0;
}
