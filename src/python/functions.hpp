// The Python-facing functions, each defined in the file of its family.
#pragma once

#include "args.hpp"

namespace kelm::py {

// backend.cpp
extern const Function fn_get_backend_info;
extern const Function fn_set_rayon_threads;
// rans.cpp
extern const Function fn_get_magic_lut;
extern const Function fn_rans_encode_shards_parallel;
extern const Function fn_rans_decode_shards_parallel;
extern const Function fn_rans_decode_4way_core;
extern const Function fn_pack_shard_payloads;
extern const Function fn_build_all_lookups;
// tables.cpp
extern const Function fn_build_pdf_tables_from_shards;
extern const Function fn_compact_pdf_tables;
extern const Function fn_expand_pdf_tables;
extern const Function fn_decide_shard_mode;
// plane.cpp
extern const Function fn_bp_decode_sharded_debug;
extern const Function fn_bp_build_pdf_sharded;
extern const Function fn_bp_build_pdf_sharded_rgb;
extern const Function fn_bp_encode_sharded;
extern const Function fn_bp_decode_sharded;
extern const Function fn_bp_decode_sharded_with_ref;
// image.cpp
extern const Function fn_p1_gray;
extern const Function fn_p1_rgb;
extern const Function fn_p2_rgb;
extern const Function fn_p2_gray;
extern const Function fn_reconstruct_shards_rgb;
extern const Function fn_restore_channels;
extern const Function fn_reconstruct_2d_channels;

}  // namespace kelm::py
