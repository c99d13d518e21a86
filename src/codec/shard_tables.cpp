// choose_shard_tables: the stored form of a group's shard tables, chosen for
// every shard in one call (one decide_shard_mode call a shard from Python
// cost more than the decisions on small images).
#include <algorithm>
#include <optional>

#include "core/common/alphabet.hpp"
#include "core/common/buffer.hpp"
#include "core/tables/shard_mode.hpp"
#include "kernels.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

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
        for (std::size_t i = 0; i < n; ++i)
            modes[i] = choose_one(counts.data() + i * kAlphabet, set ? &*set : nullptr,
                                  tables.data() + i * kAlphabet, widths[i]);
    };
    if (!run_released(choose)) return nullptr;
    PyObject* m = to_numpy(std::move(modes), {n});
    PyObject* w = m ? to_numpy(std::move(widths), {n}) : nullptr;
    PyObject* t = w ? to_numpy(std::move(tables), {n, kAlphabet}) : nullptr;
    if (!t) {
        Py_XDECREF(m);
        Py_XDECREF(w);
        return nullptr;
    }
    return tuple_of({m, w, t});
}

}  // namespace

const py::Function fn_choose_shard_tables{"choose_shard_tables", {"counts", "templates"}, choose_shard_tables};

}  // namespace kelm::codec
