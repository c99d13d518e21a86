// The process-wide worker pool. Workers sleep on a condition variable until a
// job is queued, then claim pieces of it through an atomic piece counter. The
// submitting thread sleeps until the last worker inside the job leaves.
#include "core/pool/pool.hpp"

#include "core/common/check.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace kelm {
namespace {

// ---------------------------------------------------------------- sizing

// A decimal unsigned count: optional '+', then at least one digit, nothing else.
std::optional<std::size_t> parse_count(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, std::size_t(c - '0'), &value))
            return std::nullopt;
    }
    return value;
}

std::optional<std::size_t> env_count(const char* name) {
    const char* text = name ? std::getenv(name) : nullptr;
    if (text == nullptr) return std::nullopt;
    return parse_count(text);
}

// The whitespace-separated words of a small file; none if it is unreadable.
std::vector<std::string> read_words(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool has_item(std::string_view list, std::string_view item) {
    while (true) {
        std::size_t comma = list.find(',');
        if (list.substr(0, comma) == item) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

// quota / period, at least 1; none unless both are positive counts (so "max"
// and "-1", the files' spellings of "no quota", give none).
std::optional<std::size_t> quota_limit(const std::string& quota, const std::string& period) {
    auto q = parse_count(quota), p = parse_count(period);
    if (!q || !p || *q == 0 || *p == 0) return std::nullopt;
    return std::max<std::size_t>(1, *q / *p);
}

// cgroup v2: "cpu.max" holds "QUOTA PERIOD" or "max PERIOD".
std::optional<std::size_t> cpu_max_limit(const std::string& dir) {
    auto words = read_words(dir + "/cpu.max");
    if (words.size() < 2) return std::nullopt;
    return quota_limit(words[0], words[1]);
}

// cgroup v1: "cpu.cfs_quota_us" (-1: none) and "cpu.cfs_period_us".
std::optional<std::size_t> cfs_limit(const std::string& dir) {
    auto quota = read_words(dir + "/cpu.cfs_quota_us");
    auto period = read_words(dir + "/cpu.cfs_period_us");
    if (quota.empty() || period.empty()) return std::nullopt;
    return quota_limit(quota[0], period[0]);
}

void lower_to(std::optional<std::size_t>& limit, std::optional<std::size_t> other) {
    if (other && (!limit || *other < *limit)) limit = other;
}

// Walks from /sys/fs/cgroup/<path> up to the hierarchy root.
std::optional<std::size_t> cgroup_v2_limit(std::string path) {
    std::optional<std::size_t> limit;
    while (!path.empty() && path.back() == '/') path.pop_back();
    while (true) {
        lower_to(limit, cpu_max_limit("/sys/fs/cgroup" + path));
        if (path.empty()) return limit;
        std::size_t slash = path.rfind('/');
        path.erase(slash == std::string::npos ? 0 : slash);
    }
}

// Directory of `group` in the mounted cpu controller hierarchy, if mounted.
std::optional<std::string> cpu_controller_dir(const std::string& group) {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string s; fields >> s;) f.push_back(s);
        auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || f.end() - dash < 4 || dash[1] != "cgroup" || !has_item(dash[3], "cpu"))
            continue;
        const std::string& root = f[3];
        if (root == "/") return f[4] + group;
        if (group.compare(0, root.size(), root) == 0 &&
            (group.size() == root.size() || group[root.size()] == '/'))
            return f[4] + group.substr(root.size());
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_v1_limit(const std::string& group) {
    if (auto dir = cpu_controller_dir(group)) return cfs_limit(*dir);
    for (const char* base : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"})
        if (auto limit = cfs_limit(base + group)) return limit;
    return std::nullopt;
}

// The smallest CPU quota of this process's control groups (v2 and v1).
std::optional<std::size_t> cgroup_cpu_limit() {
    std::ifstream in("/proc/self/cgroup");
    std::optional<std::size_t> limit;
    for (std::string line; std::getline(in, line);) {
        std::size_t first = line.find(':');
        std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        std::string_view id(line.data(), first);
        std::string_view controllers(line.data() + first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (id == "0" && controllers.empty())
            lower_to(limit, cgroup_v2_limit(path));
        else if (has_item(controllers, "cpu"))
            lower_to(limit, cgroup_v1_limit(path));
    }
    return limit;
}

// CPUs in the affinity set; the set grows until the kernel's mask fits.
std::size_t affinity_cpu_count() {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        int rc = sched_getaffinity(0, size, set);
        int err = errno;
        int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return static_cast<std::size_t>(count);
        if (err != EINVAL) break;
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
}

// Affinity CPUs lowered to the cgroup quota; 1 when nothing is known.
std::size_t available_parallelism() {
    std::size_t cpus = affinity_cpu_count();
    if (cpus == 0) return 1;
    if (auto limit = cgroup_cpu_limit()) cpus = std::min(cpus, *limit);
    return cpus;
}

// ---------------------------------------------------------------- pool

thread_local bool t_is_worker = false;
thread_local std::size_t t_inline_steps = 0;  // InlineSteps alive on this thread

// One parallel step. Lives on the submitter's stack; fields other than
// `next_piece` are guarded by the pool mutex once queued. RangeBody is only
// ever copied from const: its converting constructor would otherwise wrap the
// source object instead of copying it.
struct Job {
    Job(const RangeBody& b, std::size_t items, std::size_t g)
        : body(b), n(items), grain(g), pieces(items / g + (items % g != 0)) {}

    RangeBody body;
    std::size_t n, grain, pieces;
    std::atomic<std::size_t> next_piece{0};
    std::size_t active = 0;  // workers currently inside
    bool queued = true;
    bool done = false;
    std::exception_ptr error;
    std::condition_variable finished;
    Job* link = nullptr;
};

class Pool {
public:
    // Starts n workers and waits until each is ready. When one cannot start,
    // those that did are stopped and joined before the error is rethrown.
    void start(std::size_t n) {
        std::vector<std::thread> threads;
        try {
            for (std::size_t i = 0; i < n; ++i) threads.emplace_back(&Pool::worker_loop, this);
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                stopping_ = true;
            }
            work_ready_.notify_all();
            for (std::thread& t : threads) t.join();
            throw;
        }
        for (std::thread& t : threads) t.detach();
        std::unique_lock lock(mutex_);
        started_.wait(lock, [&] { return ready_ == n; });
        workers_ = n;
    }

    // Queues the job and sleeps until every claimed piece has finished.
    void run(Job& job) {
        std::unique_lock lock(mutex_);
        (tail_ ? tail_->link : head_) = &job;
        tail_ = &job;
        wake_workers(job.pieces);
        job.finished.wait(lock, [&] { return job.done; });
    }

private:
    void wake_workers(std::size_t pieces) {
        if (pieces >= workers_) return work_ready_.notify_all();
        for (std::size_t i = 0; i < pieces; ++i) work_ready_.notify_one();
    }

    void worker_loop() {
        t_is_worker = true;
        std::unique_lock lock(mutex_);
        ++ready_;
        started_.notify_all();
        while (true) {
            work_ready_.wait(lock, [&] { return head_ != nullptr || stopping_; });
            if (stopping_) return;
            Job& job = *head_;
            ++job.active;
            lock.unlock();
            work_on(job);
            lock.lock();
            leave(job);
        }
    }

    // Claims and runs pieces until none are left.
    void work_on(Job& job) {
        while (true) {
            std::size_t piece = job.next_piece.fetch_add(1, std::memory_order_relaxed);
            if (piece >= job.pieces) return;
            std::size_t b = piece * job.grain;
            std::size_t e = job.n - b > job.grain ? b + job.grain : job.n;
            try {
                job.body(b, e);
            } catch (...) {
                record_error(job, std::current_exception());
            }
        }
    }

    // Keeps the first error and makes the unclaimed pieces unreachable.
    void record_error(Job& job, std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        if (!job.error) job.error = std::move(error);
        job.next_piece.store(job.pieces, std::memory_order_relaxed);
    }

    // Called with the lock held by a worker that found the job exhausted. Jobs
    // are only joined at the head of the queue, so a queued job is the head.
    void leave(Job& job) {
        --job.active;
        if (job.queued) {
            head_ = job.link;
            if (head_ == nullptr) tail_ = nullptr;
            job.queued = false;
        }
        if (job.active == 0) {
            job.done = true;
            job.finished.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable started_;
    Job* head_ = nullptr;
    Job* tail_ = nullptr;
    std::size_t ready_ = 0;
    std::size_t workers_ = 0;
    bool stopping_ = false;  // set when the pool could not start all its workers
};

// ---------------------------------------------------------------- global state

enum class PoolState { none, ready, failed };

// Guarded by g_guard; g_pool is also read without it once set.
std::mutex g_guard;
PoolState g_state = PoolState::none;
std::string g_failure;
std::atomic<Pool*> g_pool{nullptr};
bool g_fork_handler_registered = false;
SizeVariables g_size_variables;

// The child of a fork has none of the workers: abandon the old pool (its
// mutexes may stay locked forever) and start over. Only this thread exists.
void reset_after_fork() {
    new (&g_guard) std::mutex;
    new (&g_failure) std::string;
    g_state = PoolState::none;
    g_pool.store(nullptr, std::memory_order_relaxed);
}

std::string describe(const std::system_error& e) {
    return e.code().message() + " (os error " + std::to_string(e.code().value()) + ")";
}

// Called with g_guard held and no pool yet. A started pool is never freed:
// detached workers keep using it for the life of the process.
void create_pool_locked(std::size_t n_threads) {
    try {
        if (!g_fork_handler_registered) {
            pthread_atfork(nullptr, nullptr, &reset_after_fork);
            g_fork_handler_registered = true;
        }
        auto pool = std::make_unique<Pool>();
        pool->start(n_threads == 0 ? default_thread_count() : n_threads);
        g_pool.store(pool.release(), std::memory_order_release);
        g_state = PoolState::ready;
        return;
    } catch (const std::system_error& e) {
        g_failure = describe(e);
    } catch (const std::exception& e) {
        g_failure = e.what();
    } catch (...) {
        g_failure = "unknown error";
    }
    g_state = PoolState::failed;
}

Pool& obtain_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(g_guard);
    if (g_state == PoolState::none) create_pool_locked(0);
    if (g_state == PoolState::failed)
        throw Panic{"The global thread pool has not been initialized.: " + g_failure};
    return *g_pool.load(std::memory_order_relaxed);
}

// A step started on a worker runs on that worker, which avoids waiting for
// workers that may all be busy waiting themselves.
void run_inline(std::size_t n, std::size_t grain, const RangeBody& body) {
    for (std::size_t b = 0; b < n;) {
        std::size_t e = n - b > grain ? b + grain : n;
        body(b, e);
        b = e;
    }
}

}  // namespace

void pool_set_size_variables(SizeVariables names) {
    std::lock_guard lock(g_guard);
    g_size_variables = names;
}

std::size_t default_thread_count() {
    const SizeVariables names = g_size_variables;
    auto requested = env_count(names.threads);
    if (requested && *requested > 0) return *requested;
    if (!requested) {
        auto cpus = env_count(names.cpus);
        if (cpus && *cpus > 0) return *cpus;
    }
    return available_parallelism();
}

void pool_init(std::size_t n_threads) {
    try {
        std::lock_guard lock(g_guard);
        if (g_state == PoolState::none) create_pool_locked(n_threads);
    } catch (...) {
        // Locking failed: nothing sensible to report, parallel steps will retry.
    }
}

void parallel_for_ranges(std::size_t n, std::size_t grain, RangeBody body) {
    grain = std::max<std::size_t>(grain, 1);
    if (t_is_worker || t_inline_steps) return run_inline(n, grain, body);
    Pool& pool = obtain_pool();
    if (n == 0) return;
    Job job(body, n, grain);
    pool.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

InlineSteps::InlineSteps() { ++t_inline_steps; }
InlineSteps::~InlineSteps() { --t_inline_steps; }

}  // namespace kelm
