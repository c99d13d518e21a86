// The names and behaviours that existing callers of kelm_rans rely on, kept
// together so that none of them changes by accident. Together with the exact
// message texts (args.cpp, arrays.cpp and the checks of the algorithms) they
// are the module's fixed interface.
#pragma once

#include <cstdint>

#ifndef KELM_VERSION
#error "KELM_VERSION is set by the build from pyproject.toml"
#endif

namespace kelm::py::compat {

// get_backend_info(): the backend's identification string and its version.
constexpr const char* kBackendId = "v1.0.0-rans-rust";
constexpr const char* kBackendVersion = KELM_VERSION;

// The internal-error exception: a BaseException subclass under this name.
constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "The exception raised when a check inside the native code fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it "
    "will typically propagate all the way through the stack and cause the "
    "Python interpreter to exit.";

// Environment variables that size the worker pool, in the order they are read.
constexpr const char* kThreadsVariable = "RAYON_NUM_THREADS";
constexpr const char* kCpusVariable = "RAYON_RS_NUM_CPUS";

// Arrays read as flat buffers may be C- or Fortran-contiguous; either way
// their elements are used in memory order, without a copy.
constexpr int kFlatContiguity = 0x0001 | 0x0002;  // NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS

}  // namespace kelm::py::compat
