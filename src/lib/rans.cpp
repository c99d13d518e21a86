// The sharded rANS codec's Python-facing functions.
#include <cstring>

#include "../rans_core/coder.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

PyObject* get_magic_lut(PyObject*, PyObject*) {
    Buffer<uint64_t> copy = Buffer<uint64_t>::copy_of({magic_lut(), kMagicLen});
    return to_numpy(std::move(copy), {kMagicLen});
}

}  // namespace

const Function fn_get_magic_lut{"get_magic_lut", {}, nullptr, get_magic_lut};

}  // namespace kelm::py
