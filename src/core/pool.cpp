#include "core/pool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>

#include "core/errors.hpp"

namespace quibrel {
namespace {

constexpr std::size_t kMaxThreads = 65535;

// Parses an unsigned decimal: optional '+', digits only, no overflow.
std::optional<std::uint64_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t processor_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

std::size_t configured_threads() {
    std::size_t count = 0;
    if (auto v = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        count = static_cast<std::size_t>(std::min<std::uint64_t>(*v, kMaxThreads));
    } else if (auto w = parse_count(std::getenv("RAYON_RS_NUM_CPUS"))) {
        count = static_cast<std::size_t>(std::min<std::uint64_t>(*w, kMaxThreads));
    }
    if (count == 0) count = processor_count();
    return std::min(count, kMaxThreads);
}

struct Job {
    const RangeBody* body = nullptr;
    std::size_t active_workers = 0;
    std::size_t n = 0;
    std::size_t grain = 1;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr error;
};

class Pool {
public:
    explicit Pool(std::size_t threads) {
        workers_.reserve(threads);
        try {
            for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this, i] { run(i); });
        } catch (...) {
            shut_down();
            throw;
        }
    }
    ~Pool() { shut_down(); }

    std::size_t size() const noexcept { return workers_.size(); }

    void run_loop(std::size_t n, std::size_t grain, const RangeBody& body, bool (*check)(),
                  std::size_t max_workers, const ProgressHook* progress) {
        // One loop at a time: the pool is shared by every Python thread.
        std::lock_guard<std::mutex> one_loop(loop_mutex_);
        Job job;
        job.body = &body;
        job.active_workers = max_workers == 0 ? workers_.size() : max_workers;
        job.n = n;
        job.grain = std::max<std::size_t>(grain, 1);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            busy_ = workers_.size();
            ++generation_;
        }
        work_ready_.notify_all();

        bool interrupted = false;
        unsigned waits = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (busy_ != 0) {
                work_done_.wait_for(lock, std::chrono::milliseconds(10));
                if (busy_ == 0 || interrupted) continue;
                lock.unlock();
                if (check != nullptr && check()) interrupted = true;
                // Progress every tenth wait: often enough for a bar, rarely
                // enough to cost nothing.
                if (!interrupted && progress != nullptr && ++waits % 10 == 0 &&
                    !(*progress)(std::min(job.next.load(std::memory_order_relaxed), n), n))
                    interrupted = true;
                if (interrupted) job.stop.store(true, std::memory_order_relaxed);
                lock.lock();
            }
            job_ = nullptr;
        }
        if (job.error) std::rethrow_exception(job.error);
        if (interrupted) throw Interrupted();
        if (progress != nullptr && !(*progress)(n, n)) throw Interrupted();
    }

    Job* current() const noexcept { return current_job_; }

private:
    void run(std::size_t index) {
        std::uint64_t seen = 0;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_ready_.wait(lock, [&] { return quit_ || generation_ != seen; });
                if (quit_) return;
                seen = generation_;
                job = job_;
            }
            current_job_ = job;
            work(*job, index);
            current_job_ = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (--busy_ == 0) work_done_.notify_all();
            }
        }
    }

    static void work(Job& job, std::size_t index) {
        if (index >= job.active_workers) return;
        while (!job.stop.load(std::memory_order_relaxed)) {
            const std::size_t begin = job.next.fetch_add(job.grain, std::memory_order_relaxed);
            if (begin >= job.n) break;
            const std::size_t end = std::min(job.n, begin + job.grain);
            try {
                (*job.body)(begin, end, index);
            } catch (...) {
                std::lock_guard<std::mutex> lock(job.error_mutex);
                if (!job.error) job.error = std::current_exception();
                job.stop.store(true, std::memory_order_relaxed);
            }
        }
    }

    void shut_down() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        work_ready_.notify_all();
        for (auto& t : workers_)
            if (t.joinable()) t.join();
    }

    std::vector<std::thread> workers_;
    std::mutex loop_mutex_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
    bool quit_ = false;
    static thread_local Job* current_job_;
};

thread_local Job* Pool::current_job_ = nullptr;

std::once_flag pool_once;
Pool* pool_instance = nullptr;  // lives until the process ends
std::string pool_failure;
std::atomic<bool (*)()> interrupt_check{nullptr};

// The calling thread's loop settings (LoopSettingsScope).
thread_local std::size_t loop_max_workers = 0;
thread_local const ProgressHook* loop_progress = nullptr;

Pool& pool() {
    std::call_once(pool_once, [] {
        try {
            // Never destroyed: workers must outlive every static destructor.
            pool_instance = std::make_unique<Pool>(configured_threads()).release();
        } catch (const std::exception& e) {
            pool_failure = e.what();
        }
    });
    if (pool_instance == nullptr)
        throw Panic("The global thread pool has not been initialized.: " + pool_failure);
    return *pool_instance;
}

}  // namespace

void set_thread_count(std::uint64_t n) {
    const std::string value = std::to_string(n);
    if (::setenv("RAYON_NUM_THREADS", value.c_str(), 1) != 0) {
        const int code = errno;
        throw Panic("failed to set environment variable `\"RAYON_NUM_THREADS\"` to `\"" + value +
                    "\"`: " + std::strerror(code) + " (os error " + std::to_string(code) + ")");
    }
}

std::size_t worker_count() { return pool().size(); }

void set_interrupt_check(bool (*check)()) { interrupt_check.store(check); }

void check_interrupt() {
    auto check = interrupt_check.load();
    if (check != nullptr && check()) throw Interrupted();
}

void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
    Pool& p = pool();
    if (n == 0) return;
    p.run_loop(n, grain, body, interrupt_check.load(), loop_max_workers, loop_progress);
}

void parallel_for_to_end(std::size_t n, std::size_t grain, const RangeBody& body) {
    Pool& p = pool();
    if (n == 0) return;
    p.run_loop(n, grain, body, nullptr, loop_max_workers, nullptr);
}

LoopSettingsScope::LoopSettingsScope(std::size_t max_workers,
                                     const ProgressHook* progress) noexcept
    : previous_workers_(loop_max_workers), previous_progress_(loop_progress) {
    loop_max_workers = max_workers;
    loop_progress = progress;
}

LoopSettingsScope::~LoopSettingsScope() {
    loop_max_workers = previous_workers_;
    loop_progress = previous_progress_;
}

bool loop_stopping() noexcept {
    const Job* job = pool_instance ? pool_instance->current() : nullptr;
    return job != nullptr && job->stop.load(std::memory_order_relaxed);
}

}  // namespace quibrel
