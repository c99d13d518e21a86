// The internal-error exception and the guard that runs an algorithm (with the
// interpreter lock released or kept) and turns its failures into Python errors.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "core/common/check.hpp"
#include "python.hpp"

namespace kelm::py {

// pyo3_runtime.PanicException, created on first use and kept.
PyObject* panic_exception_type();
void raise_panic(const std::string& message);

// What went wrong inside an algorithm, raised once the lock is held again.
struct Failure {
    enum class Kind { none, panic, memory, value } kind = Kind::none;
    std::string message;
    bool raise() const;  // sets the Python error; returns false when there was one
};

template <class F>
Failure capture(F&& work) {
    try {
        work();
    } catch (const Panic& p) {
        return {Failure::Kind::panic, p.message};
    } catch (const InvalidInput& e) {
        return {Failure::Kind::value, e.message};
    } catch (const std::bad_alloc&) {
        return {Failure::Kind::memory, {}};
    } catch (const std::length_error&) {
        return {Failure::Kind::panic, "capacity overflow"};
    } catch (const std::exception& e) {
        return {Failure::Kind::panic, e.what()};
    } catch (...) {
        return {Failure::Kind::panic, "explicit panic"};
    }
    return {};
}

// Runs work with the interpreter lock released. Returns false with the Python
// error set when the work failed.
template <class F>
bool run_released(F&& work) {
    PyThreadState* state = PyEval_SaveThread();
    Failure failure = capture(work);
    PyEval_RestoreThread(state);
    return failure.raise();
}

// Runs work on the calling thread with the interpreter lock held.
template <class F>
bool run_kept(F&& work) {
    return capture(work).raise();
}

}  // namespace kelm::py
