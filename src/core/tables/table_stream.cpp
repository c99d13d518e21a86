#include "core/tables/table_stream.hpp"

#include <algorithm>

#include "core/common/check.hpp"
#include "core/tables/freq_table.hpp"
#include "core/tables/shard_mode.hpp"

namespace kelm {

namespace {

constexpr uint8_t kTagDense = 0;
constexpr uint8_t kTagSparse = 1;

bool is_stored(uint8_t mode) { return mode <= 2; }

void put_u16(uint8_t*& p, uint64_t v) {
    *p++ = uint8_t(v);
    *p++ = uint8_t(v >> 8);
}

uint64_t get_u16(const uint8_t* p) { return uint64_t(p[0]) | uint64_t(p[1]) << 8; }

// A stored shard's row, its width (at most 256) and its number of nonzero
// entries below the width.
struct StoredRow {
    const uint64_t* row;
    std::size_t width;
    std::size_t present;
    bool sparse() const { return 3 * present + 2 < 2 * width; }
    std::size_t record_size() const { return sparse() ? 3 + 3 * present : 1 + 2 * width; }
};

StoredRow stored_row(std::span<const uint64_t> all, std::span<const uint16_t> widths, std::size_t i) {
    std::span<const uint64_t> row = slice_len(all, checked_mul(i, kAlphabet), kAlphabet);
    const std::size_t w = widths[i];
    if (w > kAlphabet) panic_index(kAlphabet, kAlphabet);
    std::size_t present = 0;
    for (std::size_t s = 0; s < w; ++s) present += row[s] != 0;
    return {row.data(), w, present};
}

}  // namespace

Buffer<uint8_t> compact_pdf_tables(std::span<const uint64_t> all_sym_freqs, std::span<const uint16_t> widths,
                                   std::span<const uint8_t> modes) {
    // First pass: validate and size; second pass: write.
    std::size_t total = 0;
    for (std::size_t i = 0; i < widths.size(); ++i) {
        if (!is_stored(at(modes, i))) continue;
        total += stored_row(all_sym_freqs, widths, i).record_size();
    }
    Buffer<uint8_t> out = Buffer<uint8_t>::uninit(total);
    uint8_t* p = out.data();
    for (std::size_t i = 0; i < widths.size(); ++i) {
        if (!is_stored(modes[i])) continue;
        const StoredRow r = stored_row(all_sym_freqs, widths, i);
        if (r.sparse()) {
            *p++ = kTagSparse;
            put_u16(p, r.present);
            for (std::size_t s = 0; s < r.width; ++s)
                if (r.row[s] != 0) *p++ = uint8_t(s);
            for (std::size_t s = 0; s < r.width; ++s)
                if (r.row[s] != 0) put_u16(p, r.row[s]);
        } else {
            *p++ = kTagDense;
            for (std::size_t s = 0; s < r.width; ++s) put_u16(p, r.row[s]);
        }
    }
    return out;
}

Buffer<uint64_t> expand_pdf_tables(std::span<const uint8_t> compacted, std::span<const uint16_t> widths,
                                   std::span<const uint8_t> modes, std::span<const uint64_t> templates,
                                   std::size_t n_templates) {
    const std::size_t n = widths.size();
    Buffer<uint64_t> out = Buffer<uint64_t>::zeroed(checked_mul(n, kAlphabet));
    const uint8_t* bytes = compacted.data();
    const std::size_t len = compacted.size();
    std::size_t p = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t m = at(modes, i);
        const std::size_t w = widths[i];
        uint64_t* row = out.data() + i * kAlphabet;
        if (m >= kModeTemplate) {
            const std::size_t t = m - kModeTemplate;
            if (t < n_templates) {
                std::span<const uint64_t> src = slice_len(templates, t * kAlphabet, kAlphabet);
                std::copy(src.begin(), src.end(), row);
            } else {
                single_symbol_table(row);
            }
            continue;
        }
        if (!is_stored(m) || p >= len) {
            single_symbol_table(row);
            continue;
        }
        const std::size_t left = len - p;
        if (bytes[p] == kTagSparse) {
            if (left < 3) {
                single_symbol_table(row);
                p += 1;
                continue;
            }
            const std::size_t k = get_u16(bytes + p + 1);
            if (3 + 3 * k > left) {
                single_symbol_table(row);
                p += 3;
                continue;
            }
            const uint8_t* syms = bytes + p + 3;
            const uint8_t* freqs = syms + k;
            for (std::size_t j = 0; j < k; ++j) row[syms[j]] = get_u16(freqs + 2 * j);
            p += 3 + 3 * k;
        } else if (bytes[p] == kTagDense) {
            // Widths above 256 are never written; a dense record cannot be
            // read for them without leaving the shard's row.
            if (w > kAlphabet) panic_index(kAlphabet, kAlphabet);
            if (1 + 2 * w > left) {
                single_symbol_table(row);
                p += 1;
                continue;
            }
            const uint8_t* freqs = bytes + p + 1;
            for (std::size_t s = 0; s < w; ++s) row[s] = get_u16(freqs + 2 * s);
            p += 1 + 2 * w;
        } else {
            single_symbol_table(row);
            p += 1;
        }
    }
    return out;
}

}  // namespace kelm
