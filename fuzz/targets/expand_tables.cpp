// kelm_rans's expand_pdf_tables: compacted table records (dense or sparse)
// read against the shards' widths and modes and the template rows, as the
// codec reads them from a file.
//   u8 n: n % 65 shards; n x u16 widths; n x u8 modes
//   u8 t: t % 41 template rows; u16 c: c % 300 values per row; t rows
//   (read_freq_row, as given, cut or padded to c values)
//   the rest: the compacted records
#include <vector>

#include "../common.hpp"
#include "core/tables/table_stream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::setup_pool();
    fuzz::Reader r(data, size);
    const std::size_t n = r.u8() % 65;
    std::vector<uint16_t> widths(n);
    for (auto& w : widths) w = r.u16();
    std::vector<uint8_t> modes(n);
    for (auto& m : modes) m = r.u8();
    const std::size_t t = r.u8() % 41, cols = r.u16() % 300;
    std::vector<uint64_t> templates(t * cols);
    for (std::size_t row = 0; row < t; ++row) {
        uint64_t freqs[kelm::kAlphabet];
        fuzz::read_freq_row(r, false, freqs);
        for (std::size_t c = 0; c < cols; ++c) templates[row * cols + c] = c < kelm::kAlphabet ? freqs[c] : 0;
    }
    const std::vector<uint8_t> compacted = fuzz::own(r.rest());
    fuzz::guarded([&] {
        auto tables = kelm::expand_pdf_tables(compacted, widths, modes, templates, t);
        if (tables.size() != n * kelm::kAlphabet) __builtin_trap();
    });
    return 0;
}
