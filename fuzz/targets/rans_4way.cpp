// kelm_rans's rans_decode_4way_core: one stream (the first shard record of
// the payload) decoded with the first table, into an output of the shard's
// count that may share memory with the bytes or with one of the tables (the
// step-by-step path).
#include <cstring>
#include <vector>

#include "../common.hpp"
#include "core/rans/shard_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const uint8_t overlap = r.u8();          // 0: none, 1 bytes, 2 cums, 3 syms, 4 lookup
    const uint16_t shift = r.u16();          // where the output starts in the shared block
    fuzz::ShardInput in = fuzz::read_shard_input(r);
    fuzz::Reader body(in.payload.data(), in.payload.size());
    uint64_t st[4];
    for (uint64_t& s : st) s = body.u64();
    const uint32_t len = body.u32();
    std::vector<uint8_t> bytes = fuzz::own(body.bytes(len));
    const std::size_t n = in.counts[0];
    std::vector<uint64_t> cums = fuzz::own<uint64_t>(std::span(in.cums).first(std::min<std::size_t>(in.cums.size(), kelm::kCumLen)));
    std::vector<uint64_t> syms = fuzz::own<uint64_t>(std::span(in.syms).first(std::min<std::size_t>(in.syms.size(), kelm::kAlphabet)));
    std::vector<uint8_t> lookup = fuzz::own<uint8_t>(std::span(in.lookups).first(std::min<std::size_t>(in.lookups.size(), kelm::kProbScale)));

    std::vector<uint8_t> separate(n);
    std::span<uint8_t> out = separate;
    // A block holding the shared input followed by room for the output.
    std::vector<uint8_t> block;
    auto share = [&](void* p, std::size_t bytes_len) {
        block.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + bytes_len);
        const std::size_t start = bytes_len ? shift % (bytes_len + 1) : 0;
        block.resize(std::max(block.size(), start + n));
        return std::span<uint8_t>(block.data() + start, n);
    };
    fuzz::guarded([&] {
        switch (overlap % 5) {
            case 1: out = share(bytes.data(), bytes.size());
                kelm::rans_decode_4way(st, std::span(block).first(bytes.size()), cums, syms, lookup, out);
                break;
            case 2: out = share(cums.data(), cums.size() * 8);
                kelm::rans_decode_4way(st, bytes, {reinterpret_cast<const uint64_t*>(block.data()), cums.size()}, syms, lookup, out);
                break;
            case 3: out = share(syms.data(), syms.size() * 8);
                kelm::rans_decode_4way(st, bytes, cums, {reinterpret_cast<const uint64_t*>(block.data()), syms.size()}, lookup, out);
                break;
            case 4: out = share(lookup.data(), lookup.size());
                kelm::rans_decode_4way(st, bytes, cums, syms, std::span(block).first(lookup.size()), out);
                break;
            default: kelm::rans_decode_4way(st, bytes, cums, syms, lookup, out);
        }
    });
    return 0;
}
