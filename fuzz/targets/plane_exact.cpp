// The codec's decode_plane (bp_decode_exact): the plane decoder held to what
// the encoder writes, in luma mode (flag bit 0 clear: no reference plane) or
// chroma mode. Whatever it accepts, kelm_rans's decoder of the same mode must
// decode to the same residuals.
#include "../common.hpp"
#include "core/plane/plane_coder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const fuzz::PlaneInput in = fuzz::read_plane_input(r);
    const kelm::ContextTables t = in.tables.view();
    const kelm::plane::DecodeStart start{in.bitstream, in.states, in.h, in.w};
    const bool chroma = (in.flags & 1) && !in.ref.empty();
    const std::span<const uint8_t> ref = chroma ? std::span<const uint8_t>(in.ref) : std::span<const uint8_t>();
    kelm::Buffer<uint8_t> exact;
    bool accepted = false;
    fuzz::guarded([&] {
        exact = kelm::plane::bp_decode_exact(start, in.cf, in.sf, ref, t);
        accepted = true;
    });
    if (!accepted) return 0;
    if (exact.size() != in.h * in.w) __builtin_trap();
    kelm::Buffer<uint8_t> plain = chroma ? kelm::plane::bp_decode_sharded_with_ref(start, in.cf, in.sf, ref, t)
                                         : kelm::plane::bp_decode_sharded(start, in.cf, in.sf, t);
    if (plain.size() != exact.size() || (exact.size() && std::memcmp(plain.data(), exact.data(), exact.size())))
        __builtin_trap();
    return 0;
}
