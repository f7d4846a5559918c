#include "core/file_gzip_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <zlib.h>

#include "core/errors.hpp"
#include "core/file_deflate_codec.hpp"

namespace quibrel {

namespace {

void check_no_nul(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw_os_error(EINVAL);
}

void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

std::string os_error_message(int code) {
    return std::system_category().message(code) + " (os error " + std::to_string(code) + ")";
}

void throw_os_error(int code) { throw OsFailure(code, os_error_message(code)); }

FileHandle FileHandle::create_for_write(const std::string& path) {
    check_no_nul(path);
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno);
    return FileHandle(fd);
}

FileHandle FileHandle::create_new(const std::string& path, int& error) {
    check_no_nul(path);
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    error = fd < 0 ? errno : 0;
    return FileHandle(fd);
}

FileHandle FileHandle::open_for_read(const std::string& path) {
    check_no_nul(path);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno);
    return FileHandle(fd);
}

FileHandle FileHandle::duplicate(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) throw_os_error(errno);
    return FileHandle(copy);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileHandle::read_some(void* dst, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, dst, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw_os_error(errno);
    }
}

std::size_t FileHandle::read_some_at(void* dst, std::size_t n, std::uint64_t offset) {
    // pread takes a signed offset.
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        throw_os_error(EINVAL);
    for (;;) {
        const ssize_t got = ::pread(fd_, dst, n, static_cast<off_t>(offset));
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw_os_error(errno);
    }
}

void FileHandle::write_all(const void* src, std::size_t n) {
    auto p = static_cast<const unsigned char*>(src);
    while (n > 0) {
        const ssize_t put = ::write(fd_, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw_os_error(errno);
        }
        if (put == 0) throw_os_error(EIO);
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

void FileHandle::sync() {
    while (::fsync(fd_) != 0) {
        if (errno != EINTR) throw_os_error(errno);
    }
}

void FileHandle::close() {
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is released even when close reports an error, so it is
    // never retried.
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw_os_error(errno);
}

std::string canonical_path(const std::string& path) {
    check_no_nul(path);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) throw_os_error(errno);
    return std::string(resolved.get());
}

void ByteTally::add(const unsigned char* p, std::size_t n) noexcept {
    crc = body_crc32(crc, p, n);
    bytes += n;
}

// ---- writing ----

namespace {

// ID1 ID2 CM FLG MTIME(4) XFL(fastest) OS(unknown)
constexpr unsigned char kHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 0xFF};

}  // namespace

struct GzipWriter::Deflater {
    ChunkDeflater codec;
    std::unique_ptr<unsigned char[]> out =
        std::make_unique_for_overwrite<unsigned char[]>(ChunkDeflater::bound(kChunkSize));
};

GzipWriter::GzipWriter(FileHandle& file, ByteTally* output)
    : file_(file), output_(output), ring_(kWriteChunks, kChunkSize) {
    fill_ = ring_.take_free();
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
}

GzipWriter::~GzipWriter() { stop_helpers(); }

void GzipWriter::write_large(const unsigned char* data, std::size_t n) {
    while (n > 0) {
        if (fill_->size == kChunkSize) hand_over(false);
        const std::size_t take = std::min(n, kChunkSize - fill_->size);
        std::memcpy(fill_->data.get() + fill_->size, data, take);
        fill_->size += take;
        data += take;
        n -= take;
    }
}

void GzipWriter::start_helpers() {
    started_ = true;
    for (auto& d : deflaters_) d = std::make_unique<Deflater>();
    emit(kHeader, sizeof kHeader);
    std::size_t running = 0;
    for (std::size_t i = 0; i < kHelpers; ++i) {
        Deflater* d = deflaters_[i].get();
        if (helpers_[i].start([this, d] { run_helper(*d); })) ++running;
    }
    inline_ = running == 0;
}

void GzipWriter::stop_helpers() noexcept {
    ring_.close();
    {
        std::lock_guard<std::mutex> lock(turn_mutex_);
        failed_ = true;  // releases a helper waiting for a turn that will not come
    }
    turn_changed_.notify_all();
    for (auto& h : helpers_) h.join();
}

void GzipWriter::hand_over(bool last) {
    if (!started_) start_helpers();
    fill_->last = last;
    fill_->index = next_index_++;
    if (inline_) {
        compress_chunk(*deflaters_[0], *fill_);
        fill_->size = 0;
        return;
    }
    ring_.put_ready(fill_);
    fill_ = nullptr;
    bool complete = false;
    if (last) {
        std::unique_lock<std::mutex> lock(turn_mutex_);
        turn_changed_.wait(lock, [&] { return failed_ || written_ == next_index_; });
        complete = written_ == next_index_;
    } else {
        fill_ = ring_.take_free();  // null once a helper has failed
    }
    if (fill_ == nullptr) {
        stop_helpers();
        if (complete) return;
        // The helpers' error is read only once they have stopped.
        if (error_) std::rethrow_exception(error_);
        throw Panic("model file writer stopped");
    }
    fill_->size = 0;
}

void GzipWriter::run_helper(Deflater& deflater) {
    for (;;) {
        BodyChunk* chunk = ring_.take_ready();
        if (chunk == nullptr) return;
        try {
            compress_chunk(deflater, *chunk);
        } catch (...) {
            fail(std::current_exception());
            return;
        }
        ring_.put_free(chunk);
    }
}

void GzipWriter::fail(std::exception_ptr error) noexcept {
    {
        std::lock_guard<std::mutex> lock(turn_mutex_);
        if (!failed_) error_ = std::move(error);
        failed_ = true;
    }
    turn_changed_.notify_all();
    ring_.close();  // wakes the calling thread if it waits for a chunk
}

void GzipWriter::compress_chunk(Deflater& deflater, BodyChunk& chunk) {
    // Every chunk from a fresh stream: the bytes do not depend on which
    // helper took it.
    const std::size_t produced =
        deflater.codec.deflate(chunk.data.get(), chunk.size, chunk.last, deflater.out.get());

    std::unique_lock<std::mutex> lock(turn_mutex_);
    turn_changed_.wait(lock, [&] { return failed_ || written_ == chunk.index; });
    if (failed_) return;
    lock.unlock();
    // The chunks before this one are written and no other helper writes now.
    crc_ = body_crc32(crc_, chunk.data.get(), chunk.size);
    size_ += static_cast<std::uint32_t>(chunk.size);  // the trailer keeps the length modulo 2^32
    emit(deflater.out.get(), produced);
    if (chunk.last) {
        unsigned char trailer[8];
        put_le32(trailer, crc_);
        put_le32(trailer + 4, size_);
        emit(trailer, sizeof trailer);
    }
    lock.lock();
    ++written_;
    lock.unlock();
    turn_changed_.notify_all();
}

void GzipWriter::finish() {
    if (started_) {
        hand_over(true);
        return;
    }
    finish_small();
}

// The whole body is in the one chunk: zlib, as files were always written.
void GzipWriter::finish_small() {
    z_stream zs{};
    const int rc = deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("deflate initialisation failed");
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, deflateEnd);
    const std::size_t bound = sizeof kHeader + deflateBound(&zs, kChunkSize) + 8;
    const auto out = std::make_unique_for_overwrite<unsigned char[]>(bound);
    std::memcpy(out.get(), kHeader, sizeof kHeader);
    crc_ =
        static_cast<std::uint32_t>(crc32(crc_, fill_->data.get(), static_cast<uInt>(fill_->size)));
    size_ = static_cast<std::uint32_t>(fill_->size);
    zs.next_in = fill_->data.get();
    zs.avail_in = static_cast<uInt>(fill_->size);
    zs.next_out = out.get() + sizeof kHeader;
    zs.avail_out = static_cast<uInt>(bound - sizeof kHeader - 8);
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw Panic("deflate stream error");
    const std::size_t len = bound - 8 - zs.avail_out;
    put_le32(out.get() + len, crc_);
    put_le32(out.get() + len + 4, size_);
    emit(out.get(), len + 8);
}

// Only the thread whose turn it is writes, so the tally sees the file's bytes in order.
void GzipWriter::emit(const unsigned char* p, std::size_t n) {
    file_.write_all(p, n);
    if (output_ != nullptr) output_->add(p, n);
}

}  // namespace quibrel
