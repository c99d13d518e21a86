// The functions of kelm_codec._kernels, each defined in the file of its family.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/pool/pool.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace kelm {
struct BandPlanes;
struct ShardStreams;
}  // namespace kelm

namespace kelm::codec {

// Calls on less data than this (bytes of image or residuals) run their
// parallel steps on the calling thread: waking the pool and sleeping until it
// is done costs more than such a step takes. Results are the same either way.
constexpr std::size_t kInlineBytes = std::size_t(1) << 17;

// py::run_released for a call on `bytes` bytes of data.
template <class F>
bool run_released_sized(std::size_t bytes, F&& work) {
    return py::run_released([&] {
        if (bytes >= kInlineBytes) return work();
        const InlineSteps inline_steps;
        work();
    });
}

// backend_calls.cpp: kelm_rans's functions that the codec calls, run small
// calls on the calling thread
std::vector<const py::Function*> backend_functions();
// byte_counts.cpp
extern const py::Function fn_byte_counts;
// checksum.cpp
extern const py::Function fn_crc32;
// decode.cpp
extern const py::Function fn_decode_shards;
extern const py::Function fn_decode_bands_rgb;
extern const py::Function fn_decode_plane;
// image.cpp
extern const py::Function fn_reconstruct_bands_rgb;
// The shape (bands, 3, n_shards) of a band rebuild's shard offsets; false with
// ValueError set when the array does not hold one (3, n) block per band.
bool band_offsets_shape(const py::Array& offsets, std::size_t bands, std::vector<std::size_t>& shape);
// A band rebuild's planes as the tuple (gr, rd, bd), each uint8 (sum(heights), w).
PyObject* band_planes_tuple(BandPlanes&& planes, const std::vector<uint64_t>& heights, std::size_t w);
// palette_chain.cpp
extern const py::Function fn_greedy_chain;
// predicted.cpp
extern const py::Function fn_shard_streams_predicted;
extern const py::Function fn_reconstruct_predicted;
// A 'predictors' argument (gr, rd, bd) as the kernels take it; false with
// ValueError set when it does not name three valid predictors.
bool plane_predictors(const std::vector<uint64_t>& seq, std::array<uint8_t, 3>& out);
// records.cpp
extern const py::Function fn_encode_shard_records;
// shard_tables.cpp
extern const py::Function fn_choose_shard_tables;
extern const py::Function fn_stored_shard_tables;
// shard_streams.cpp
extern const py::Function fn_shard_streams_rgb;
extern const py::Function fn_alpha_residuals;
extern const py::Function fn_shard_streams_rgba;
extern const py::Function fn_alpha_residuals_rgba;
extern const py::Function fn_shard_streams_gray;
// An encoding pass's (streams (3, h * w), counts (3, n), histograms (3, n, 256)).
PyObject* shard_streams_tuple(ShardStreams&& r, std::size_t h, std::size_t w, std::size_t n);

}  // namespace kelm::codec
