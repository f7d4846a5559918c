#include "core/file_chunk_relay.hpp"

#include <csignal>

#include <pthread.h>

namespace quibrel {

ChunkRing::ChunkRing(std::size_t count, std::size_t capacity)
    : capacity_(capacity), chunks_(count) {
    free_.slots.resize(count);
    ready_.slots.resize(count);
    for (auto& c : chunks_) {
        c.data = std::make_unique_for_overwrite<unsigned char[]>(capacity);
        free_.slots[free_.count++] = &c;
    }
}

BodyChunk* ChunkRing::take(Fifo& from) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || from.count != 0; });
    if (closed_) return nullptr;
    BodyChunk* c = from.slots[from.head];
    from.head = (from.head + 1) % from.slots.size();
    --from.count;
    return c;
}

void ChunkRing::put(Fifo& to, BodyChunk* c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        to.slots[(to.head + to.count) % to.slots.size()] = c;
        ++to.count;
    }
    changed_.notify_all();
}

void ChunkRing::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool HelperThread::start(std::function<void()> body) noexcept {
    sigset_t blocked;
    sigset_t old;
    sigfillset(&blocked);
    // Signals raised by the thread's own actions must still reach it.
    for (const int s :
         {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGXFSZ, SIGPIPE})
        sigdelset(&blocked, s);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    bool started = true;
    try {
        thread_ = std::thread(std::move(body));
    } catch (...) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

void HelperThread::join() noexcept {
    if (thread_.joinable()) thread_.join();
}

}  // namespace quibrel
