// The worker pool under ThreadSanitizer: parallel steps submitted from several
// threads at once, steps started inside steps, failures carried back, and the
// pool created by a racing first use. Built with -DKELM_SANITIZE=thread; run
// directly (the interpreter cannot load the thread sanitizer's runtime).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/pool/pool.hpp"

namespace {

int g_failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "pool_stress: %s\n", what);
        ++g_failures;
    }
}

// Each item writes its own slot, and adds to a shared counter.
bool disjoint_writes(std::size_t n) {
    std::vector<std::size_t> out(n);
    std::atomic<std::size_t> sum{0};
    kelm::parallel_for(n, [&](std::size_t i) {
        out[i] = i * i;
        sum.fetch_add(i, std::memory_order_relaxed);
    }, 7);
    for (std::size_t i = 0; i < n; ++i)
        if (out[i] != i * i) return false;
    return sum.load() == n * (n - 1) / 2;
}

// A step inside a step runs on the worker that started it.
bool nested_steps() {
    std::vector<std::size_t> out(64 * 64);
    kelm::parallel_for(64, [&](std::size_t i) {
        kelm::parallel_for(64, [&](std::size_t j) { out[i * 64 + j] = i + j; });
    });
    for (std::size_t i = 0; i < 64; ++i)
        for (std::size_t j = 0; j < 64; ++j)
            if (out[i * 64 + j] != i + j) return false;
    return true;
}

// The first failure comes back to the caller; the pool stays usable.
bool failure_is_rethrown() {
    try {
        kelm::parallel_for(1000, [](std::size_t i) {
            if (i % 97 == 13) throw std::runtime_error("item failed");
        });
    } catch (const std::runtime_error&) {
        return disjoint_writes(100);
    }
    return false;
}

}  // namespace

int main() {
    // Threads race to create the pool: one by pool_init, the others by their first step.
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &bad] {
            if (t == 0) kelm::pool_init(3);
            for (int round = 0; round < 1000; ++round) {
                if (!disjoint_writes(1 + (round * 37 + t) % 500)) ++bad;
                if (round % 20 == 0 && !nested_steps()) ++bad;
                if (round % 50 == 0 && !failure_is_rethrown()) ++bad;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    expect(bad.load() == 0, "a parallel step gave a wrong result");
    if (g_failures == 0) std::puts("pool_stress: ok");
    return g_failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
