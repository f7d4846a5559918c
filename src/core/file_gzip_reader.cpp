// Reading model files: gzip header, raw inflate (in parallel pieces where the
// stream allows it), CRC-32/size trailer.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "core/errors.hpp"
#include "core/file_deflate_codec.hpp"
#include "core/file_gzip_stream.hpp"

namespace quibrel {

namespace {

constexpr const char* kUnexpectedEof = "unexpected end of file";
constexpr const char* kInvalidHeader = "invalid gzip header";
constexpr const char* kFieldTooLong = "gzip header field too long";
constexpr const char* kCorruptDeflate = "corrupt deflate stream";
constexpr const char* kBadChecksum = "corrupt gzip stream does not have a matching checksum";

// Longest name or comment accepted in a gzip header (excluding its terminator).
// Writers put a file name there; anything longer than this is not a name.
constexpr std::size_t kMaxHeaderText = 65535;

constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr unsigned char kFlagReserved = 0xE0;

// Compressed bytes held at once: room for three pieces of a writer's chunk.
constexpr std::size_t kWindow = std::size_t{4} << 20;
// Deflate looks back at most this far.
constexpr std::size_t kHistory = std::size_t{32} << 10;
// Pieces that fail to stand alone before the rest of the stream is inflated in
// order only: a stream whose sync points keep their history wastes no more.
constexpr int kMaxPieceFailures = 4;
// The last four bytes of an empty stored block (00 00 FF FF), which a sync or
// full flush puts on a byte boundary.
constexpr std::size_t kSyncMarker = 4;

std::uint32_t load_le32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return v;
}

// The compressed file from offset base() on, read on demand. Offsets count
// from the start of the stream: the file's position, or the range's start.
class InputWindow {
public:
    InputWindow(FileHandle& file, const FileRange* range)
        : file_(file), buf_(std::make_unique_for_overwrite<unsigned char[]>(kWindow)) {
        if (range != nullptr) range_ = *range;
        ranged_ = range != nullptr;
    }

    std::uint64_t base() const noexcept { return base_; }
    std::uint64_t end() const noexcept { return base_ + len_; }
    bool eof() const noexcept { return eof_; }
    unsigned char* at(std::uint64_t offset) const noexcept { return buf_.get() + (offset - base_); }

    // Drops the bytes before `keep` and reads until the window is full or the
    // file ends. False when nothing was added.
    bool refill(std::uint64_t keep) {
        if (eof_) return false;
        keep = std::clamp(keep, base_, end());
        const std::size_t drop = static_cast<std::size_t>(keep - base_);
        if (drop != 0) {
            std::memmove(buf_.get(), buf_.get() + drop, len_ - drop);
            base_ += drop;
            len_ -= drop;
        }
        const std::size_t before = len_;
        while (len_ < kWindow) {
            const std::size_t got = read_more(buf_.get() + len_, kWindow - len_);
            if (got == 0) {
                eof_ = true;
                break;
            }
            len_ += got;
        }
        return len_ > before;
    }

    // Every byte of the range read so far, once the range or the file has ended.
    const ByteTally& tally() const noexcept { return tally_; }

    // The offset just past the first sync marker that starts at or after
    // `from`, or 0.
    std::uint64_t find_sync(std::uint64_t from) const noexcept {
        if (from + kSyncMarker > end()) return 0;
        const unsigned char* first = at(from);
        const unsigned char* const last = at(end());
        // Each 0xFF found (memchr is fast) is tried as the marker's last byte.
        const unsigned char* p = first + 3;
        while (p < last) {
            p = static_cast<const unsigned char*>(std::memchr(p, 0xFF, last - p));
            if (p == nullptr) return 0;
            if (p[-1] == 0xFF && p[-2] == 0 && p[-3] == 0)
                return base_ + static_cast<std::uint64_t>(p + 1 - buf_.get());
            ++p;
        }
        return 0;
    }

private:
    std::size_t read_more(unsigned char* dst, std::size_t n) {
        if (!ranged_) return file_.read_some(dst, n);
        const std::uint64_t left = range_.length - tally_.bytes;
        if (left == 0) return 0;
        const std::size_t got = file_.read_some_at(
            dst, static_cast<std::size_t>(std::min<std::uint64_t>(n, left)),
            range_.offset + tally_.bytes);
        // A range's bytes are checked as a whole by whoever named the range.
        tally_.add(dst, got);
        return got;
    }

    FileHandle& file_;
    std::unique_ptr<unsigned char[]> buf_;
    std::uint64_t base_ = 0;
    std::size_t len_ = 0;
    bool eof_ = false;
    bool ranged_ = false;
    FileRange range_;
    ByteTally tally_;
};

// A stretch of compressed data inflated on its own, with no history.
struct Piece {
    unsigned char* in = nullptr;
    std::size_t in_len = 0;
    BodyChunk* out = nullptr;
    // Results.
    bool ok = false;       // ended exactly at a block boundary with nothing pending, or ...
    bool last = false;     // ... held the final block;
    std::size_t used = 0;  // then: the compressed bytes up to the end of the deflate data
};

void inflate_piece(RawInflater& inflater, Piece& piece) noexcept {
    using Status = RawInflater::Status;
    piece.last = false;
    piece.ok = false;
    piece.out->size = 0;
    if (piece.in_len == 0) return;
    inflater.reset();  // no history: cannot throw
    const RawInflater::Step step =
        inflater.inflate(piece.in, piece.in_len, piece.out->data.get(), GzipReader::kChunkCapacity);
    piece.out->size = step.produced;
    // Anything else (corrupt, or it needs history from before its start, or
    // memory ran out) is left to the in-order inflater.
    if (step.status == Status::End) {
        piece.ok = piece.last = true;
        piece.used = step.consumed;
        return;
    }
    piece.ok = step.status == Status::Boundary && step.produced != GzipReader::kChunkCapacity;
}

// The second inflater: takes one piece at a time from the producer.
class PieceWorker {
public:
    PieceWorker() = default;
    PieceWorker(const PieceWorker&) = delete;
    PieceWorker& operator=(const PieceWorker&) = delete;
    ~PieceWorker() { stop(); }

    bool start() {
        return thread_.start([this] { run(); });
    }
    void submit(Piece* piece) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = piece;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return job_ == nullptr; });
    }
    void stop() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return quit_ || job_ != nullptr; });
            if (job_ != nullptr) {
                Piece* piece = job_;
                lock.unlock();
                inflate_piece(inflater_, *piece);
                lock.lock();
                job_ = nullptr;
                changed_.notify_all();
            } else {
                return;  // quit, with no piece outstanding
            }
        }
    }

    RawInflater inflater_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Piece* job_ = nullptr;
    bool quit_ = false;
    HelperThread thread_;
};

}  // namespace

// Everything that reads the file and inflates: on the calling thread for the
// first chunk (and throughout when no helper thread could be started), then
// on the helper.
struct GzipReader::Producer {
    enum class Stop { Full, End, Boundary };

    Producer(FileHandle& file, const FileRange* range)
        : window(file, range), history(std::make_unique_for_overwrite<unsigned char[]>(kHistory)) {}

    // Fills `chunk` in order on the calling thread; errors end up in the chunk.
    void fill(BodyChunk& chunk) noexcept {
        chunk.size = 0;
        chunk.last = false;
        chunk.error = nullptr;
        try {
            if (!header_done) read_header();
            if (sequential(chunk, false) == Stop::End)
                finish(chunk);
            else
                account(chunk);
        } catch (...) {
            chunk.error = std::current_exception();
        }
    }

    // The rest of the body, on the helper thread.
    void run(ChunkRing& ring) {
        bool parallel = worker.start();
        int failures = 0;
        bool at_boundary = false;
        for (;;) {
            if (parallel && at_boundary) {
                Round r = Round::Done;
                try {
                    r = round(ring);
                } catch (...) {  // reading the file failed
                    post_error(ring, std::current_exception());
                }
                if (r == Round::Done) break;
                if (r == Round::Failed && ++failures >= kMaxPieceFailures) parallel = false;
                at_boundary = r == Round::Ok;
                if (!at_boundary) restart_sequential();
                continue;
            }
            BodyChunk* chunk = ring.take_free();
            if (chunk == nullptr) break;
            chunk->size = 0;
            chunk->last = false;
            chunk->error = nullptr;
            Stop stop = Stop::End;
            try {
                stop = sequential(*chunk, parallel);
                if (stop == Stop::End) finish(*chunk);
            } catch (...) {
                chunk->error = std::current_exception();
            }
            if (stop == Stop::Boundary) {
                at_boundary = true;
                pos = fed;
                if (chunk->size == 0) {
                    ring.put_free(chunk);
                    continue;
                }
            }
            if (stop != Stop::End && !chunk->error) account(*chunk);
            ring.put_ready(chunk);
            if (stop == Stop::End || chunk->error) break;
        }
        worker.stop();
    }

    // Once the body has ended: the rest of a range, read for its tally only.
    const ByteTally& read_to_range_end() {
        while (window.refill(window.end())) {
        }
        return window.tally();
    }

    // A failure outside any chunk, handed on after the chunks before it.
    static void post_error(ChunkRing& ring, std::exception_ptr error) noexcept {
        BodyChunk* chunk = ring.take_free();
        if (chunk == nullptr) return;
        chunk->size = 0;
        chunk->last = false;
        chunk->error = std::move(error);
        ring.put_ready(chunk);
    }

private:
    enum class Round { Ok, Failed, Sequential, Done };

    // Two pieces at once: [pos, c1) here and [c1, c2) on the worker, where c1
    // and c2 are the next sync points. Ok: both stood alone (pos moves past
    // them); Failed: one did not, and the stream goes on in order from the
    // start of that piece (pos); Sequential: no sync point in reach. Throws
    // only before it has taken a chunk (reading the file).
    Round round(ChunkRing& ring) {
        std::uint64_t c1 = window.find_sync(pos);
        std::uint64_t c2 = c1 ? window.find_sync(c1) : 0;
        if (c2 == 0 && !window.eof()) {
            window.refill(pos);
            c1 = window.find_sync(pos);
            c2 = c1 ? window.find_sync(c1) : 0;
        }
        // No sync point in reach, or nothing left (the in-order inflater then
        // reports the end of file).
        if (c1 == 0 && (!window.eof() || pos == window.end())) return Round::Sequential;
        const bool second = c1 != 0 && (c2 != 0 || window.eof());
        const std::uint64_t end1 = c1 ? c1 : window.end();
        const std::uint64_t end2 = c2 ? c2 : window.end();

        BodyChunk* x = ring.take_free();
        BodyChunk* y = x != nullptr && second ? ring.take_free() : nullptr;
        if (x == nullptr || (second && y == nullptr)) return Round::Done;  // closed
        Piece a{window.at(pos), static_cast<std::size_t>(end1 - pos), x};
        Piece b{window.at(end1), static_cast<std::size_t>(end2 - end1), y};
        if (second) worker.submit(&b);
        inflate_piece(mine, a);
        if (second) worker.wait();

        if (!a.ok) {
            ring.put_free(x);
            if (y) ring.put_free(y);
            return Round::Failed;
        }
        if (a.last || !second) return post_piece(ring, x, a, y, end1);
        post_piece(ring, x, a, nullptr, end1);
        if (!b.ok) {
            ring.put_free(y);
            return Round::Failed;
        }
        return post_piece(ring, y, b, nullptr, end2);
    }

    Round post_piece(ChunkRing& ring, BodyChunk* chunk, const Piece& p, BodyChunk* spare,
                     std::uint64_t end) {
        if (spare) ring.put_free(spare);
        chunk->last = false;
        chunk->error = nullptr;
        account(*chunk);
        if (p.last) {
            check_trailer(*chunk, end - p.in_len + p.used);
            ring.put_ready(chunk);
            return Round::Done;
        }
        ring.put_ready(chunk);
        pos = end;
        return Round::Ok;
    }

    // In order from pos, with the history so far.
    void restart_sequential() {
        seq.reset(history.get(), history_len);
        fed = pos;
        cached_sync = 0;
        scanned = 0;
    }

    // The next sync point after `fed`, or 0.
    std::uint64_t next_sync() {
        if (cached_sync > fed) return cached_sync;
        std::uint64_t from =
            std::max({window.base(), fed >= 3 ? fed - 3 : 0, scanned >= 3 ? scanned - 3 : 0});
        cached_sync = window.find_sync(from);
        if (cached_sync == 0) scanned = window.end();
        return cached_sync;
    }

    // Inflates in order into `chunk` until it is full, the deflate data ends,
    // or (with `boundaries`) the inflater stands at a block boundary at a sync
    // point, where pieces can start.
    Stop sequential(BodyChunk& chunk, bool boundaries) {
        using Status = RawInflater::Status;
        for (;;) {
            if (fed == window.end()) window.refill(fed >= 8 ? fed - 8 : 0);
            std::uint64_t limit = window.end();
            const std::uint64_t sync = boundaries ? next_sync() : 0;
            if (sync != 0 && sync < limit) limit = sync;
            const std::uint64_t fed_before = fed;
            const std::size_t out_before = chunk.size;
            const RawInflater::Step step =
                seq.inflate(window.at(fed), static_cast<std::size_t>(limit - fed),
                            chunk.data.get() + chunk.size, kChunkCapacity - chunk.size);
            fed += step.consumed;
            chunk.size += step.produced;
            if (step.status == Status::Corrupt) throw FormatFailure(kCorruptDeflate);
            if (step.status == Status::NoMemory) throw std::bad_alloc();
            if (step.status == Status::End) {
                deflate_end = fed;
                return Stop::End;
            }
            if (chunk.size == kChunkCapacity) return Stop::Full;
            if (fed == limit) {
                if (limit == sync && step.status == Status::Boundary) return Stop::Boundary;
                if (limit == window.end() && window.eof()) throw FormatFailure(kUnexpectedEof);
            } else if (fed == fed_before && chunk.size == out_before) {
                throw Panic("inflate made no progress");
            }
        }
    }

    // The chunk holds the end of the body: checksum and length against the trailer.
    void finish(BodyChunk& chunk) {
        account(chunk);
        check_trailer(chunk, deflate_end);
    }

    void check_trailer(BodyChunk& chunk, std::uint64_t end) {
        try {
            while (end + 8 > window.end() && window.refill(end)) {
            }
            if (end + 8 > window.end()) throw FormatFailure(kUnexpectedEof);
            const unsigned char* t = window.at(end);
            if (load_le32(t) != crc || load_le32(t + 4) != size) throw FormatFailure(kBadChecksum);
            chunk.last = true;
        } catch (...) {
            chunk.error = std::current_exception();
        }
    }

    // Checksum, length and history of body bytes about to be handed on.
    void account(const BodyChunk& chunk) {
        const unsigned char* p = chunk.data.get();
        const std::size_t n = chunk.size;
        crc = body_crc32(crc, p, n);
        size += static_cast<std::uint32_t>(n);  // the trailer keeps the length modulo 2^32
        if (n >= kHistory) {
            std::memcpy(history.get(), p + n - kHistory, kHistory);
            history_len = kHistory;
            return;
        }
        const std::size_t keep = std::min(history_len, kHistory - n);
        std::memmove(history.get(), history.get() + history_len - keep, keep);
        std::memcpy(history.get() + keep, p, n);
        history_len = keep + n;
    }

    unsigned char next_byte() {
        if (fed == window.end() && !window.refill(fed)) throw FormatFailure(kUnexpectedEof);
        return *window.at(fed++);
    }

    void read_header() {
        std::uint32_t header_crc = 0;
        auto take = [&] {
            const unsigned char b = next_byte();
            header_crc = body_crc32(header_crc, &b, 1);
            return b;
        };
        // Checked byte by byte so that a file that is not gzip at all says so.
        if (take() != 0x1F || take() != 0x8B || take() != 8) throw FormatFailure(kInvalidHeader);
        const unsigned char flags = take();
        if (flags & kFlagReserved) throw FormatFailure(kInvalidHeader);
        for (int i = 0; i < 6; ++i) take();  // MTIME, XFL, OS
        if (flags & kFlagExtra) {
            std::size_t extra_len = take();
            extra_len |= static_cast<std::size_t>(take()) << 8;
            for (std::size_t i = 0; i < extra_len; ++i) take();
        }
        for (const unsigned char flag : {kFlagName, kFlagComment}) {
            if (!(flags & flag)) continue;
            std::size_t len = 0;
            while (take() != 0)
                if (++len > kMaxHeaderText) throw FormatFailure(kFieldTooLong);
        }
        if (flags & kFlagHeaderCrc) {
            const std::uint32_t expected = header_crc & 0xFFFFu;
            std::uint32_t stored = next_byte();
            stored |= static_cast<std::uint32_t>(next_byte()) << 8;
            if (stored != expected) throw FormatFailure(kInvalidHeader);
        }
        header_done = true;
    }

    InputWindow window;
    bool header_done = false;
    // The in-order inflater and the offset of the next byte it has not seen.
    RawInflater seq;
    std::uint64_t fed = 0;
    std::uint64_t deflate_end = 0;
    std::uint64_t cached_sync = 0;
    std::uint64_t scanned = 0;
    // Where the next piece starts (a block boundary with nothing pending).
    std::uint64_t pos = 0;
    RawInflater mine;
    PieceWorker worker;
    std::uint32_t crc = 0;
    std::uint32_t size = 0;
    std::unique_ptr<unsigned char[]> history;
    std::size_t history_len = 0;
};

GzipReader::GzipReader(FileHandle& file, const FileRange* range)
    : ring_(kReadChunks, kChunkCapacity),
      producer_(std::make_unique<Producer>(file, range)),
      range_length_(range != nullptr ? range->length : 0) {}

GzipReader::~GzipReader() {
    ring_.close();
    helper_.join();
}

void GzipReader::run_helper() {
    try {
        producer_->run(ring_);
    } catch (...) {
        Producer::post_error(ring_, std::current_exception());
    }
}

void GzipReader::advance() {
    if (!started_) {
        // The first chunk is inflated here: a file that ends within it needs no
        // helper thread.
        started_ = true;
        current_ = ring_.take_free();  // all chunks are free: does not wait
        producer_->fill(*current_);
        if (!current_->last && !current_->error) inline_ = !helper_.start([this] { run_helper(); });
    } else if (inline_) {
        producer_->fill(*current_);
    } else {
        ring_.put_free(current_);
        current_ = ring_.take_ready();
        if (current_ == nullptr) throw Panic("model file reader stopped");
    }
    pos_ = 0;
    available_ = current_->size;
}

std::size_t GzipReader::read_slow(unsigned char* dst, std::size_t n) {
    std::size_t got = 0;
    for (;;) {
        const std::size_t take = std::min(n - got, available_);
        if (take != 0) std::memcpy(dst + got, current_->data.get() + pos_, take);
        pos_ += take;
        available_ -= take;
        got += take;
        if (got == n) return n;
        if (current_ != nullptr) {
            if (current_->error) std::rethrow_exception(current_->error);
            if (current_->last) return got;
        }
        advance();
    }
}

void GzipReader::drain() {
    for (;;) {
        pos_ += available_;
        available_ = 0;
        if (current_ != nullptr) {
            if (current_->error) std::rethrow_exception(current_->error);
            if (current_->last) return;
        }
        advance();
    }
}

ByteTally GzipReader::finish_range() {
    // The member has been drained: the helper has read all it will and can go.
    helper_.join();
    const ByteTally& tally = producer_->read_to_range_end();
    if (tally.bytes != range_length_) throw FormatFailure(kUnexpectedEof);
    return tally;
}

}  // namespace quibrel
