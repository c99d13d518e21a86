#include "core/tables/shard_mode.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/common/check.hpp"
#include "core/tables/freq_table.hpp"

namespace kelm {

namespace {

constexpr double kMissingSymbolBits = 24.0;

// 12 - log2 f for f = 0..4096 (entry 0 unused): the code lengths of every
// normalised table, computed once with the same log2 as any other frequency.
const double* small_code_lengths() {
    static const auto table = [] {
        std::vector<double> t(kProbScale + 1, kMissingSymbolBits);
        for (uint64_t f = 1; f <= kProbScale; ++f) t[f] = 12.0 - std::log2(double(f));
        return t;
    }();
    return table.data();
}

double code_length(uint64_t f) {
    if (f == 0) return kMissingSymbolBits;
    if (f <= kProbScale) return small_code_lengths()[f];
    return 12.0 - std::log2(double(f));
}

}  // namespace

double bit_cost(const uint64_t* counts, const uint64_t* freqs) {
    double cost = 0.0;
    for (std::size_t s = 0; s < kAlphabet; ++s)
        if (counts[s] > 0) cost += code_length(freqs[s]) * double(counts[s]);
    return cost;
}

TemplateSet::TemplateSet(std::span<const uint64_t> values, std::size_t n_rows, bool precompute)
    : values_(values), rows_(std::min(n_rows, kMaxTemplateRows)) {
    complete_ = std::min(rows_, values.size() / kAlphabet);
    if (precompute) lengths_.resize(complete_ * kAlphabet);
    for (std::size_t i = 0; i < lengths_.size(); ++i) lengths_[i] = code_length(values[i]);
}

void TemplateSet::require_complete() const {
    if (complete_ < rows_) panic_range_end((complete_ + 1) * kAlphabet, values_.size());
}

uint8_t decide_shard_mode(const uint64_t* counts, uint64_t width, const TemplateSet* templates,
                          double header_penalty_bits, bool disable_templates, uint64_t* table) {
    bool only_zero = true;
    for (std::size_t s = 1; s < kAlphabet; ++s) only_zero &= counts[s] == 0;
    if (only_zero) {
        single_symbol_table(table);
        return kModeSingle;
    }
    normalize_counts(counts, width, table);
    if (disable_templates || templates == nullptr || templates->rows() == 0) return kModeOwn;
    templates->require_complete();

    // Present symbols in order; each row's cost is summed over them in
    // symbol order. Four rows at a time give independent add chains.
    uint16_t sym[kAlphabet];
    double cnt[kAlphabet];
    std::size_t present = 0;
    for (std::size_t s = 0; s < kAlphabet; ++s) {
        if (counts[s] > 0) {
            sym[present] = uint16_t(s);
            cnt[present] = double(counts[s]);
            ++present;
        }
    }
    const std::size_t T = templates->rows();
    double best_cost = DBL_MAX;
    std::size_t best = 0;
    auto consider = [&](std::size_t t, double cost) {
        if (cost < best_cost) {
            best_cost = cost;
            best = t;
        }
    };
    std::size_t t = 0;
    if (templates->lengths(0) != nullptr) {
        for (; t + 4 <= T; t += 4) {
            const double *l0 = templates->lengths(t), *l1 = templates->lengths(t + 1),
                         *l2 = templates->lengths(t + 2), *l3 = templates->lengths(t + 3);
            double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0;
            for (std::size_t k = 0; k < present; ++k) {
                const std::size_t s = sym[k];
                c0 += l0[s] * cnt[k];
                c1 += l1[s] * cnt[k];
                c2 += l2[s] * cnt[k];
                c3 += l3[s] * cnt[k];
            }
            consider(t, c0);
            consider(t + 1, c1);
            consider(t + 2, c2);
            consider(t + 3, c3);
        }
        for (; t < T; ++t) {
            const double* l = templates->lengths(t);
            double c = 0.0;
            for (std::size_t k = 0; k < present; ++k) c += l[sym[k]] * cnt[k];
            consider(t, c);
        }
    } else {
        for (; t < T; ++t) {
            const uint64_t* row = templates->row(t);
            double c = 0.0;
            for (std::size_t k = 0; k < present; ++k) c += code_length(row[sym[k]]) * cnt[k];
            consider(t, c);
        }
    }

    const double own_cost = bit_cost(counts, table);
    if (header_penalty_bits + own_cost > best_cost) {
        const uint64_t* row = templates->row(best);
        for (std::size_t k = 0; k < present; ++k)
            if (row[sym[k]] == 0) return kModeOwn;  // the best template cannot code this shard
        std::copy(row, row + kAlphabet, table);
        return uint8_t(kModeTemplate + best);
    }
    return kModeOwn;
}

}  // namespace kelm
