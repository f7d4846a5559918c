// The process-wide worker pool and the thread-count setting.
//
// The pool is created by the first parallel loop of the process, sized from
// RAYON_NUM_THREADS (then RAYON_RS_NUM_CPUS, then the processor count) at that
// moment, and never resized. The calling thread does not work: it waits, and
// while it waits it polls the installed interrupt check so that a pending
// signal stops the loop early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quibrel {

// Writes the decimal text of n to RAYON_NUM_THREADS.
void set_thread_count(std::uint64_t n);

// Thread count the pool would be (or was) created with; creates the pool.
std::size_t worker_count();

// Installed once by the binding: returns true when the calling thread should
// stop what it is doing (a signal handler has raised an exception).
void set_interrupt_check(bool (*check)());

// Throws Interrupted if the installed check says so. Calling thread only.
void check_interrupt();

// Body of a parallel loop: processes indices [begin, end) on worker `worker`
// (0 <= worker < worker_count()), so it can use per-worker scratch.
using RangeBody = std::function<void(std::size_t begin, std::size_t end, std::size_t worker)>;

// Runs body over [0, n) in chunks of at most `grain` indices, handed out
// dynamically so idle workers take more. Returns after every chunk has
// finished. The first exception thrown by any chunk stops the hand-out of
// further chunks and is rethrown here once all workers are idle; an interrupt
// seen while waiting does the same with Interrupted.
void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body);

// A loop that always runs to its end: no interrupt check and no progress
// hook, for a body that cannot fail (a commit that must not stop half way).
// It fails only when the pool cannot be created; create it first (worker_count)
// to rule that out.
void parallel_for_to_end(std::size_t n, std::size_t grain, const RangeBody& body);

// Called on the waiting thread about ten times a second with the indices
// handed out so far and the loop's size, and once more at the end; returning
// false stops the loop as an interrupt would.
using ProgressHook = std::function<bool(std::size_t done, std::size_t total)>;

// Settings for the parallel loops the calling thread starts while this scope
// lives: at most `max_workers` workers take part (0: all of them), and
// `progress` (when not null) hears how far each loop has got. The pool keeps
// its size; the other workers sit the loops out.
class LoopSettingsScope {
public:
    LoopSettingsScope(std::size_t max_workers, const ProgressHook* progress) noexcept;
    ~LoopSettingsScope();
    LoopSettingsScope(const LoopSettingsScope&) = delete;
    LoopSettingsScope& operator=(const LoopSettingsScope&) = delete;

private:
    std::size_t previous_workers_;
    const ProgressHook* previous_progress_;
};

// True once a loop in progress has been asked to stop (failure elsewhere or
// interrupt); long chunks may poll it to finish early.
bool loop_stopping() noexcept;

}  // namespace quibrel
