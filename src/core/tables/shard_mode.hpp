// Shard mode decision: own table (mode 0, stored), single-symbol table
// (mode 3) or template row t (mode 4 + t), chosen by a bit-cost model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/alphabet.hpp"

namespace kelm {

constexpr uint8_t kModeOwn = 0;
constexpr uint8_t kModeSingle = 3;
constexpr uint8_t kModeTemplate = 4;
// The mode byte names rows 0..251; later rows are never chosen.
constexpr std::size_t kMaxTemplateRows = 252;
constexpr double kHeaderPenaltyBits = 120.0;

// Cost in bits of coding counts with table freqs: counts and frequencies as
// doubles, terms (12 - log2 f) * count (24 * count where f = 0) added in
// symbol order from 0.0.
double bit_cost(const uint64_t* counts, const uint64_t* freqs);

// A template set, optionally prepared for many decisions: per row and symbol
// the code length of one occurrence (12 - log2 f, or 24 where f = 0).
class TemplateSet {
public:
    // values: the flat rows; n_rows: the caller's row count T.
    TemplateSet(std::span<const uint64_t> values, std::size_t n_rows, bool precompute);

    std::size_t rows() const { return rows_; }
    const uint64_t* row(std::size_t t) const { return values_.data() + t * kAlphabet; }
    // Null unless precomputed.
    const double* lengths(std::size_t t) const { return lengths_.empty() ? nullptr : lengths_.data() + t * kAlphabet; }
    // Stops with the range-end message unless every consulted row is complete.
    void require_complete() const;

private:
    std::span<const uint64_t> values_;
    std::size_t rows_;      // rows consulted: min(T, 252)
    std::size_t complete_;  // rows fully inside values_
    std::vector<double> lengths_;
};

// Decides the mode of one shard from its 256 counts; writes its table to
// table[0..255] and returns the mode. templates may be null when disabled.
uint8_t decide_shard_mode(const uint64_t* counts, uint64_t width, const TemplateSet* templates,
                          double header_penalty_bits, bool disable_templates, uint64_t* table);

}  // namespace kelm
