// The process-wide worker pool: fixed worker threads created once, never
// resized. A parallel step hands one job (a range of items) to the pool and
// sleeps until every item has run; the first exception thrown by an item is
// carried back and rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace kelm {

// Creates the pool with n threads (0: the default size) unless one exists or
// creation was attempted before; waits until every new worker is ready.
// Never throws; a failed creation is remembered and reported by parallel steps.
void pool_init(std::size_t n_threads);

// The environment variables that set the default size (the binding names
// them); either may be null.
struct SizeVariables {
    const char* threads = nullptr;  // the pool size; 0 or unset: look further
    const char* cpus = nullptr;     // read only when `threads` is unset
};
void pool_set_size_variables(SizeVariables names);

// The default size: the two variables, then the available parallelism (CPU
// affinity lowered to the control group's CPU quota).
std::size_t default_thread_count();

// Type-erased reference to a callable taking a half-open item range.
class RangeBody {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, RangeBody>)
    RangeBody(F&& f)  // NOLINT: implicit by design; refers to f for the duration of the call
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, std::size_t b, std::size_t e) { (*static_cast<std::remove_reference_t<F>*>(o))(b, e); }) {}
    void operator()(std::size_t b, std::size_t e) const { call_(object_, b, e); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// Runs body(begin, end) over disjoint pieces covering [0, n), each piece at
// most `grain` items, on the pool (created with the default size if needed).
// The caller does no loop work itself. Rethrows the first exception of any
// piece after all claimed pieces have finished; unclaimed pieces are skipped.
void parallel_for_ranges(std::size_t n, std::size_t grain, RangeBody body);

// While one lives, parallel steps started on its thread run there, piece by
// piece in order (as they do on a worker): for callers that already run one
// task per core and would only make the pool's threads wait on each other.
class InlineSteps {
public:
    InlineSteps();
    ~InlineSteps();
    InlineSteps(const InlineSteps&) = delete;
    InlineSteps& operator=(const InlineSteps&) = delete;
};

// One call of body(i) per item i in [0, n).
template <class F>
void parallel_for(std::size_t n, F&& body, std::size_t grain = 1) {
    auto per_range = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(i);
    };
    parallel_for_ranges(n, grain, RangeBody(per_range));
}

}  // namespace kelm
