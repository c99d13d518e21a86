// Frequency tables over the byte alphabet: normalisation of symbol counts to
// 12-bit tables (total 4096), cumulative tables, and the per-shard table
// builder that counts every shard of a stream and picks its mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/alphabet.hpp"
#include "core/common/buffer.hpp"

namespace kelm {

// freqs[0..255] = counts[0..255] normalised to 4096 over symbols below
// min(width, 256); width 0 gives 4096 at symbol 0. Callers pass counts with
// some symbol other than 0 present.
void normalize_counts(const uint64_t* counts, uint64_t width, uint64_t* freqs);

// 4096 at symbol 0, 0 elsewhere: the table of shards holding only symbol 0.
void single_symbol_table(uint64_t* freqs);

// cum[0] = 0, cum[k + 1] = cum[k] + freqs[k] (257 entries).
void cumulative_table(const uint64_t* freqs, uint64_t* cum);

// Adds the byte counts of data to counts[0..255].
void add_histogram(std::span<const uint8_t> data, uint64_t* counts);

struct ShardTables {
    Buffer<uint64_t> cum_freqs;  // n x 257
    Buffer<uint64_t> sym_freqs;  // n x 256
    Buffer<uint8_t> modes;       // n
};

// Counts every shard's slice of data and decides its mode and table with the
// fixed header penalty. n = lengths.size(); shards without an offset are empty.
ShardTables build_pdf_tables_from_shards(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                                         std::span<const uint32_t> lengths, std::span<const uint16_t> widths,
                                         std::span<const uint64_t> templates, std::size_t n_templates,
                                         bool disable_templates);

}  // namespace kelm
