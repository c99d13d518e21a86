// Failure collection for parallel steps: every item runs under run(), and the
// failure of the lowest item index is rethrown on the calling thread, so a
// step reports the same failure whatever the pool size and the order in which
// items ran. Items above a recorded failure are skipped (their work is lost
// anyway).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/common/check.hpp"

namespace kelm {

class FirstFailure {
public:
    template <class F>
    void run(std::size_t item, F&& work) {
        if (item > first_.load(std::memory_order_relaxed)) return;
        try {
            work();
        } catch (const Panic& p) {
            std::lock_guard lock(mutex_);
            if (item < first_.load(std::memory_order_relaxed)) {
                first_.store(item, std::memory_order_relaxed);
                panic_ = p;
            }
        }
    }
    void rethrow() const {
        if (first_.load(std::memory_order_relaxed) != SIZE_MAX) throw panic_;
    }

private:
    std::atomic<std::size_t> first_{SIZE_MAX};
    std::mutex mutex_;
    Panic panic_;
};

}  // namespace kelm
