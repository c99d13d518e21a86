// The functions of kelm_codec._kernels, each defined in the file of its family.
#pragma once

#include "python/args.hpp"

namespace kelm::codec {

// decode.cpp
extern const py::Function fn_decode_shards;
extern const py::Function fn_decode_bands_rgb;
extern const py::Function fn_decode_plane;
// image.cpp
extern const py::Function fn_reconstruct_bands_rgb;
// predicted.cpp
extern const py::Function fn_shard_streams_predicted;
extern const py::Function fn_reconstruct_predicted;
// shard_streams.cpp
extern const py::Function fn_shard_streams_rgb;
extern const py::Function fn_alpha_residuals;

}  // namespace kelm::codec
