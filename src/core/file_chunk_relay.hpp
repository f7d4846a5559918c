// Body chunks passed between the calling thread and one helper thread, so that
// compressing or inflating a model file overlaps with encoding or decoding its
// record. The helper is a thread of its own, not the worker pool: a save or a
// load must not create (and so size) the pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quibrel {

struct BodyChunk {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
    // Position in the body, counted in chunks.
    std::uint64_t index = 0;
    // The end of the body: nothing follows this chunk.
    bool last = false;
    // A failure that comes after this chunk's bytes.
    std::exception_ptr error;
};

// A fixed set of chunks going round: the producer takes free ones and hands
// them on filled; the consumer takes filled ones and gives them back. Closing
// wakes both sides, and every later take returns null.
class ChunkRing {
public:
    ChunkRing(std::size_t count, std::size_t capacity);

    BodyChunk* take_free() { return take(free_); }
    BodyChunk* take_ready() { return take(ready_); }
    void put_free(BodyChunk* c) { put(free_, c); }
    void put_ready(BodyChunk* c) { put(ready_, c); }
    void close();

    std::size_t capacity() const noexcept { return capacity_; }

private:
    // First-in first-out list of at most chunks_.size() entries; never allocates
    // after construction.
    struct Fifo {
        std::vector<BodyChunk*> slots;
        std::size_t head = 0;
        std::size_t count = 0;
    };

    BodyChunk* take(Fifo& from);
    void put(Fifo& to, BodyChunk* c);

    std::size_t capacity_;
    std::vector<BodyChunk> chunks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Fifo free_;
    Fifo ready_;
    bool closed_ = false;
};

// One thread running `body`, joined on destruction. Asynchronous signals are
// blocked in it, so they keep going to the thread that waits for Python.
class HelperThread {
public:
    HelperThread() = default;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() { join(); }

    // False when no thread could be started; the caller then does the work itself.
    bool start(std::function<void()> body) noexcept;
    void join() noexcept;
    bool running() const noexcept { return thread_.joinable(); }

private:
    std::thread thread_;
};

}  // namespace quibrel
