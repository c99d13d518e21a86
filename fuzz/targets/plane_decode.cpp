// kelm_rans's plane decoders: bp_decode_sharded (luma, the guide rebuilt from
// the decoded residuals), bp_decode_sharded_with_ref (chroma, the caller's
// guide) and bp_decode_sharded_debug (luma, compared with a reference plane),
// chosen by the low two bits of the flags.
#include <optional>

#include "../common.hpp"
#include "core/plane/plane_coder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const fuzz::PlaneInput in = fuzz::read_plane_input(r);
    const kelm::ContextTables t = in.tables.view();
    const kelm::plane::DecodeStart start{in.bitstream, in.states, in.h, in.w};
    fuzz::guarded([&] {
        kelm::Buffer<uint8_t> out;
        switch (in.flags & 3) {
            case 1: out = kelm::plane::bp_decode_sharded_with_ref(start, in.cf, in.sf, in.ref, t); break;
            case 2: {
                std::optional<kelm::plane::Mismatch> mismatch;
                out = kelm::plane::bp_decode_sharded_debug(start, in.cf, in.sf, t, in.ref, mismatch);
                break;
            }
            default: out = kelm::plane::bp_decode_sharded(start, in.cf, in.sf, t);
        }
        if (out.size() != in.h * in.w) __builtin_trap();
    });
    return 0;
}
