// A group's shard tables in one call each way: choose_shard_tables picks the
// stored form of every shard's table (one decide_shard_mode call a shard from
// Python cost more than the decisions on small images); stored_shard_tables
// reads a stored group back with the reader's checks.
#include <algorithm>
#include <cstring>
#include <optional>

#include "core/common/alphabet.hpp"
#include "core/common/buffer.hpp"
#include "core/rans/shard_decoder.hpp"
#include "core/tables/freq_table.hpp"
#include "core/tables/shard_mode.hpp"
#include "core/tables/table_stream.hpp"
#include "kernels.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

constexpr std::size_t kSharedChoiceBytes = kInlineBytes / 64;

// One shard: an empty shard, or one of symbol 0 alone, takes the single-symbol
// table; any other its own table of width (largest symbol + 1) or a template,
// the stored table weighed at 8 bits a byte of its smaller compact form.
uint8_t choose_one(const uint64_t* counts, const TemplateSet* templates, uint64_t* table, uint16_t& width) {
    std::size_t used = 0, top = 0;
    for (std::size_t s = 0; s < kAlphabet; ++s)
        if (counts[s]) {
            ++used;
            top = s;
        }
    width = 0;
    if (used == 0 || top == 0) {
        table[0] = kProbScale;
        return kModeSingle;
    }
    const uint64_t own_width = top + 1;
    const uint64_t stored = std::min<uint64_t>(1 + 2 * own_width, 3 + 3 * used);
    const uint8_t mode = decide_shard_mode(counts, own_width, templates, double(8 * stored), false, table);
    if (mode == kModeOwn) width = uint16_t(own_width);
    return mode;
}

// choose_shard_tables(counts, templates)
//   counts: uint64 (n, 256), each shard's symbol counts
//   templates: uint64 (T, 256), the table set's template rows
// -> (modes uint8 (n,), widths uint16 (n,): a stored table's width, else 0,
//     tables uint64 (n, 256), each adding up to 4096)
PyObject* choose_shard_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_choose_shard_tables, args, nargs, kwnames);
    const Array counts_a = bind.array(DType::u64, 2);
    const Array templates_a = bind.array(DType::u64, 2);
    if (!bind) return nullptr;
    if (counts_a.shape()[1] != kAlphabet || templates_a.shape()[1] != kAlphabet) {
        PyErr_SetString(PyExc_ValueError, "counts and templates must have 256 columns");
        return nullptr;
    }
    Taker take;
    const auto counts = take.flat<uint64_t>(counts_a);
    Buffer<uint64_t> templates = take.copy<uint64_t>(templates_a);
    if (!take) return nullptr;
    const std::size_t n = counts_a.shape()[0], n_templates = templates_a.shape()[0];
    Buffer<uint8_t> modes = Buffer<uint8_t>::zeroed(n);
    Buffer<uint16_t> widths = Buffer<uint16_t>::zeroed(n);
    Buffer<uint64_t> tables = Buffer<uint64_t>::zeroed(n * kAlphabet);
    const auto choose = [&] {
        std::optional<TemplateSet> set;
        if (n_templates > 0) set.emplace(templates.cspan(), n_templates, false);
        parallel_for(
            n,
            [&](std::size_t i) {
                modes[i] = choose_one(counts.data() + i * kAlphabet, set ? &*set : nullptr,
                                      tables.data() + i * kAlphabet, widths[i]);
            },
            4);
    };
    // A shard's choice weighs every template: from 64 shards on, the pool's
    // workers share them.
    if (!run_released_sized(n * kSharedChoiceBytes, choose)) return nullptr;
    return tuple_of({to_numpy(std::move(modes), {n}), to_numpy(std::move(widths), {n}),
                     to_numpy(std::move(tables), {n, kAlphabet})});
}

// A group's tables from the file: each shard's frequencies, their cumulative
// rows and slot lookups, when the stored form is what the encoder writes
// (every mode names its own table, the single-symbol one or a template; only
// a stored table has a width, of at most 256; the expansion succeeds, every
// row adds up to 4096, a stored table's last symbol is present and compacting
// the rows gives the stored bytes again).
struct StoredTables {
    Buffer<uint64_t> sym, cum;
    Buffer<uint8_t> lookups;
    bool ok = false;
};

StoredTables read_stored(std::span<const uint8_t> compacted, std::span<const uint16_t> widths,
                         std::span<const uint8_t> modes, std::span<const uint64_t> templates, std::size_t n_templates) {
    StoredTables t;
    const std::size_t n = widths.size();
    for (std::size_t i = 0; i < n; ++i) {
        const bool own = modes[i] == kModeOwn;
        if (!own && (modes[i] < kModeSingle || modes[i] >= kModeTemplate + n_templates)) return t;
        if (widths[i] > kAlphabet || own != (widths[i] != 0)) return t;
    }
    if (capture([&] { t.sym = expand_pdf_tables(compacted, widths, modes, templates, n_templates); }).kind !=
            Failure::Kind::none ||
        t.sym.size() != n * kAlphabet)
        return t;
    t.cum = Buffer<uint64_t>::uninit(n * kCumLen);
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t* row = t.sym.data() + i * kAlphabet;
        uint64_t* cum = t.cum.data() + i * kCumLen;
        cumulative_table(row, cum);
        if (cum[kAlphabet] != kProbScale) return t;
        if (modes[i] == kModeOwn && row[widths[i] - 1] == 0) return t;
    }
    Buffer<uint8_t> again;
    if (capture([&] { again = compact_pdf_tables(t.sym.cspan(), widths, modes); }).kind != Failure::Kind::none ||
        again.size() != compacted.size() || (n && std::memcmp(again.data(), compacted.data(), again.size()) != 0))
        return t;
    t.lookups = build_all_lookups(t.cum.cspan(), n);
    t.ok = true;
    return t;
}

// stored_shard_tables(compacted, widths, modes, templates)
// -> (cum uint64 (n, 257), sym uint64 (n, 256), lookups uint8 (n, 4096)), or
//    None when the stored tables are not what the encoder writes.
PyObject* stored_shard_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_stored_shard_tables, args, nargs, kwnames);
    const Array compacted_a = bind.array(DType::u8, 1);
    const Array widths_a = bind.array(DType::u16, 1);
    const Array modes_a = bind.array(DType::u8, 1);
    const Array templates_a = bind.array(DType::u64, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto compacted = take.flat<uint8_t>(compacted_a);
    const auto widths = take.flat<uint16_t>(widths_a);
    const auto modes = take.flat<uint8_t>(modes_a);
    const Buffer<uint64_t> templates = take.copy<uint64_t>(templates_a);
    if (!take) return nullptr;
    if (modes.size() != widths.size()) {
        PyErr_SetString(PyExc_ValueError, "modes and widths must have the same length");
        return nullptr;
    }
    StoredTables t;
    const std::size_t n_templates = templates_a.shape()[0];
    // On the calling thread: filling even a large group's slot lookups takes
    // less time than waking the pool.
    const auto read = [&] {
        const InlineSteps inline_steps;
        t = read_stored(compacted, widths, modes, templates.cspan(), n_templates);
    };
    if (!run_released(read)) return nullptr;
    if (!t.ok) Py_RETURN_NONE;
    const std::size_t n = widths.size();
    return tuple_of({to_numpy(std::move(t.cum), {n, kCumLen}), to_numpy(std::move(t.sym), {n, kAlphabet}),
                     to_numpy(std::move(t.lookups), {n, kProbScale})});
}

}  // namespace

const py::Function fn_stored_shard_tables{
    "stored_shard_tables", {"compacted", "widths", "modes", "templates"}, stored_shard_tables};
const py::Function fn_choose_shard_tables{"choose_shard_tables", {"counts", "templates"}, choose_shard_tables};

}  // namespace kelm::codec
