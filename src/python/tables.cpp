// Frequency tables, shard modes and the compacted table stream: the
// Python-facing functions.
#include <optional>

#include "core/tables/freq_table.hpp"
#include "core/tables/shard_mode.hpp"
#include "core/tables/table_stream.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

PyObject* build_pdf_tables_from_shards(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_build_pdf_tables_from_shards, args, nargs, kwnames);
    Array data_a = bind.array(DType::u8, 1);
    Array offsets_a = bind.array(DType::u32, 1);
    Array lengths_a = bind.array(DType::u32, 1);
    Array widths_a = bind.array(DType::u16, 1);
    Array templates_a = bind.array(DType::u64, 2);
    bool disable_templates = bind.flag();
    if (!bind) return nullptr;

    Taker take;
    auto data = take.flat<uint8_t>(data_a);
    auto offsets = take.flat<uint32_t>(offsets_a);
    auto lengths = take.flat<uint32_t>(lengths_a);
    auto widths = take.flat<uint16_t>(widths_a);
    Buffer<uint64_t> templates = take.copy<uint64_t>(templates_a);
    if (!take) return nullptr;
    const std::size_t n_templates = templates_a.shape()[0];

    ShardTables result;
    if (!run_released([&] {
            result = kelm::build_pdf_tables_from_shards(data, offsets, lengths, widths, templates.cspan(),
                                                        n_templates, disable_templates);
        }))
        return nullptr;
    const std::size_t n = lengths.size();
    PyObject* cum = to_numpy(std::move(result.cum_freqs), {n, kCumLen});
    PyObject* sym = cum ? to_numpy(std::move(result.sym_freqs), {n, kAlphabet}) : nullptr;
    PyObject* modes = sym ? to_numpy(std::move(result.modes), {n}) : nullptr;
    if (!modes) {
        Py_XDECREF(cum);
        Py_XDECREF(sym);
        return nullptr;
    }
    return tuple_of({cum, sym, modes});
}

PyObject* decide_shard_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_decide_shard_mode, args, nargs, kwnames);
    Array counts_a = bind.array(DType::u64, 1);
    uint64_t width = bind.u64();
    double header_penalty_bits = bind.f64();
    Array templates_a = bind.array(DType::u64, 2);
    bool disable_templates = bind.flag();
    if (!bind) return nullptr;

    Taker take;
    auto counts = take.flat<uint64_t>(counts_a);
    if (!take) return nullptr;
    if (counts.size() != kAlphabet) {
        PyErr_SetString(PyExc_ValueError, "counts must have exactly 256 elements");
        return nullptr;
    }
    Buffer<uint64_t> templates = take.copy<uint64_t>(templates_a);
    if (!take) return nullptr;
    const std::size_t n_templates = templates_a.shape()[0];

    Buffer<uint64_t> table = Buffer<uint64_t>::uninit(kAlphabet);
    uint8_t mode = 0;
    if (!run_released([&] {
            std::optional<TemplateSet> set;
            if (!disable_templates && n_templates > 0) set.emplace(templates.cspan(), n_templates, false);
            mode = kelm::decide_shard_mode(counts.data(), width, set ? &*set : nullptr, header_penalty_bits,
                                           disable_templates, table.data());
        }))
        return nullptr;
    PyObject* array = to_numpy(std::move(table), {kAlphabet});
    if (!array) return nullptr;
    return tuple_of({PyLong_FromLong(mode), array});
}

PyObject* compact_pdf_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_compact_pdf_tables, args, nargs, kwnames);
    Array freqs_a = bind.array(DType::u64, 2);
    Array widths_a = bind.array(DType::u16, 1);
    Array modes_a = bind.array(DType::u8, 1);
    if (!bind) return nullptr;

    Taker take;
    Buffer<uint64_t> freqs = take.copy<uint64_t>(freqs_a);
    auto widths = take.flat<uint16_t>(widths_a);
    auto modes = take.flat<uint8_t>(modes_a);
    if (!take) return nullptr;

    Buffer<uint8_t> stream;
    if (!run_released([&] { stream = kelm::compact_pdf_tables(freqs.cspan(), widths, modes); })) return nullptr;
    const std::size_t size = stream.size();
    return to_numpy(std::move(stream), {size});
}

PyObject* expand_pdf_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_expand_pdf_tables, args, nargs, kwnames);
    Array compacted_a = bind.array(DType::u8, 1);
    Array widths_a = bind.array(DType::u16, 1);
    Array modes_a = bind.array(DType::u8, 1);
    Array templates_a = bind.array(DType::u64, 2);
    if (!bind) return nullptr;

    Taker take;
    auto compacted = take.flat<uint8_t>(compacted_a);
    auto widths = take.flat<uint16_t>(widths_a);
    auto modes = take.flat<uint8_t>(modes_a);
    Buffer<uint64_t> templates = take.copy<uint64_t>(templates_a);
    if (!take) return nullptr;
    const std::size_t n_templates = templates_a.shape()[0];

    Buffer<uint64_t> tables;
    if (!run_released([&] {
            tables = kelm::expand_pdf_tables(compacted, widths, modes, templates.cspan(), n_templates);
        }))
        return nullptr;
    return to_numpy(std::move(tables), {widths.size(), kAlphabet});
}

}  // namespace

const Function fn_build_pdf_tables_from_shards{
    "build_pdf_tables_from_shards",
    {"data_flat", "shard_offsets", "shard_lengths", "shard_widths", "templates", "disable_templates"},
    build_pdf_tables_from_shards};
const Function fn_decide_shard_mode{
    "decide_shard_mode", {"counts", "width", "header_penalty_bits", "templates", "disable_templates"},
    decide_shard_mode};
const Function fn_compact_pdf_tables{
    "compact_pdf_tables", {"all_sym_freqs", "shard_widths", "shard_modes"}, compact_pdf_tables};
const Function fn_expand_pdf_tables{
    "expand_pdf_tables", {"compacted", "shard_widths", "shard_modes", "templates"}, expand_pdf_tables};

}  // namespace kelm::py
