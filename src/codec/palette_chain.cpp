// greedy_chain: the palette orders' chains through all entries, each step
// adding the best scored unused entry at an end of the chain (a loop in
// Python took about 5 ms for 256 colours, longer than coding a small image).
#include <cstdint>
#include <deque>
#include <vector>

#include "core/common/buffer.hpp"
#include "kernels.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// The best unused entry of a score row: the largest score (the smallest with
// least), the first of equals.
std::size_t best_of(const uint64_t* row, const std::vector<bool>& used, bool least) {
    std::size_t best = SIZE_MAX;
    for (std::size_t j = 0; j < used.size(); ++j) {
        if (used[j]) continue;
        if (best == SIZE_MAX || (least ? row[j] < row[best] : row[j] > row[best])) best = j;
    }
    return best;
}

std::deque<std::size_t> chain(const uint64_t* scores, std::size_t k, std::size_t start, bool grow_both, bool least) {
    std::vector<bool> used(k, false);
    std::deque<std::size_t> out{start};
    used[start] = true;
    for (std::size_t step = 1; step < k; ++step) {
        const uint64_t* tail_row = scores + out.back() * k;
        const std::size_t tail = best_of(tail_row, used, least);
        if (grow_both) {
            const uint64_t* front_row = scores + out.front() * k;
            const std::size_t front = best_of(front_row, used, least);
            if (least ? front_row[front] < tail_row[tail] : front_row[front] > tail_row[tail]) {
                out.push_front(front);
                used[front] = true;
                continue;
            }
        }
        out.push_back(tail);
        used[tail] = true;
    }
    return out;
}

// greedy_chain(scores, start, grow_both, least)
//   scores: uint64 (k, k); start < k
// -> uint64 (k,): entry order, from one end of the chain to the other. Each
//    step adds the unused entry that scores highest (least: lowest) against
//    the chain's last entry, or with grow_both against its first, placed
//    before it, when that one scores strictly better.
PyObject* greedy_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_greedy_chain, args, nargs, kwnames);
    const Array scores_a = bind.array(DType::u64, 2);
    const uint64_t start = bind.u64();
    const bool grow_both = bind.flag();
    const bool least = bind.flag();
    if (!bind) return nullptr;
    const std::size_t k = scores_a.shape()[0];
    if (scores_a.shape()[1] != k || start >= k) {
        PyErr_SetString(PyExc_ValueError, "scores must be square and start one of its rows");
        return nullptr;
    }
    Taker take;
    const auto scores = take.flat<uint64_t>(scores_a);
    if (!take) return nullptr;
    Buffer<uint64_t> order = Buffer<uint64_t>::uninit(k);
    const auto work = [&] {
        std::size_t i = 0;
        for (std::size_t e : chain(scores.data(), k, start, grow_both, least)) order[i++] = e;
    };
    if (!run_released(work)) return nullptr;
    return to_numpy(std::move(order), {k});
}

}  // namespace

const py::Function fn_greedy_chain{"greedy_chain", {"scores", "start", "grow_both", "least"}, greedy_chain};

}  // namespace kelm::codec
