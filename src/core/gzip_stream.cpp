#include "core/gzip_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include "core/errors.hpp"

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

// ---- writing ----

namespace {

// ID1 ID2 CM FLG MTIME(4) XFL(fastest) OS(unknown)
constexpr unsigned char kHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 0xFF};

// Room for one chunk's deflate output in the worst case (stored blocks), with
// margin for block headers and the flush marker.
constexpr std::size_t deflate_bound(std::size_t n) { return n + n / 16 + 4096; }

}  // namespace

struct GzipWriter::Deflater {
    isal_zstream stream{};
    std::unique_ptr<unsigned char[]> level_buf =
        std::make_unique_for_overwrite<unsigned char[]>(ISAL_DEF_LVL1_DEFAULT);
    std::unique_ptr<unsigned char[]> out =
        std::make_unique_for_overwrite<unsigned char[]>(deflate_bound(kChunkSize));

    Deflater() {
        isal_deflate_init(&stream);
        stream.level = 1;
        stream.level_buf = level_buf.get();
        stream.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
        stream.gzip_flag = IGZIP_DEFLATE;
    }
};

GzipWriter::GzipWriter(FileHandle& file) : file_(file), ring_(kWriteChunks, kChunkSize) {
    fill_ = ring_.take_free();
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
}

GzipWriter::~GzipWriter() {
    ring_.close();
    helper_.join();
}

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

void GzipWriter::hand_over(bool last) {
    if (!started_) {
        started_ = true;
        deflater_ = std::make_unique<Deflater>();
        file_.write_all(kHeader, sizeof kHeader);
        inline_ = !helper_.start([this] { run_helper(); });
    }
    fill_->last = last;
    if (inline_) {
        compress_chunk(*fill_);
        fill_->size = 0;
        return;
    }
    ring_.put_ready(fill_);
    fill_ = last ? nullptr : ring_.take_free();
    // The helper's error is read only once it has stopped.
    if (fill_ == nullptr) {
        helper_.join();
        if (helper_error_) std::rethrow_exception(helper_error_);
        return;
    }
    fill_->size = 0;
}

void GzipWriter::run_helper() {
    for (;;) {
        BodyChunk* chunk = ring_.take_ready();
        if (chunk == nullptr) return;
        try {
            compress_chunk(*chunk);
        } catch (...) {
            // Seen by the calling thread once the ring is closed under it.
            helper_error_ = std::current_exception();
            ring_.close();
            return;
        }
        const bool last = chunk->last;
        ring_.put_free(chunk);
        if (last) return;
    }
}

void GzipWriter::compress_chunk(BodyChunk& chunk) {
    isal_zstream& zs = deflater_->stream;
    crc_ = static_cast<std::uint32_t>(crc32_gzip_refl(crc_, chunk.data.get(), chunk.size));
    size_ += static_cast<std::uint32_t>(chunk.size);  // the trailer keeps the length modulo 2^32
    zs.next_in = chunk.data.get();
    zs.avail_in = static_cast<std::uint32_t>(chunk.size);
    zs.end_of_stream = chunk.last ? 1 : 0;
    zs.flush = chunk.last ? NO_FLUSH : FULL_FLUSH;
    const isal_zstate_state done = chunk.last ? ZSTATE_END : ZSTATE_NEW_HDR;
    do {
        const std::uint32_t in_before = zs.avail_in;
        zs.next_out = deflater_->out.get();
        zs.avail_out = static_cast<std::uint32_t>(deflate_bound(kChunkSize));
        if (isal_deflate(&zs) != COMP_OK) throw Panic("deflate stream error");
        const std::size_t produced = deflate_bound(kChunkSize) - zs.avail_out;
        if (produced == 0 && zs.avail_in == in_before) throw Panic("deflate made no progress");
        file_.write_all(deflater_->out.get(), produced);
    } while (zs.avail_in != 0 || zs.internal_state.state != done);
    if (chunk.last) {
        unsigned char trailer[8];
        put_le32(trailer, crc_);
        put_le32(trailer + 4, size_);
        file_.write_all(trailer, sizeof trailer);
    }
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
    file_.write_all(out.get(), len + 8);
}

// ---- reading ----

struct GzipReader::Inflater {
    inflate_state state{};

    Inflater() {
        isal_inflate_init(&state);
        // The checksum and length after the deflate data are checked too.
        state.crc_flag = ISAL_GZIP_NO_HDR_VER;
    }
};

GzipReader::GzipReader(FileHandle& file)
    : file_(file), ring_(kReadChunks, kChunkSize), inflater_(std::make_unique<Inflater>()),
      in_(std::make_unique_for_overwrite<unsigned char[]>(kInSize)) {}

GzipReader::~GzipReader() {
    ring_.close();
    helper_.join();
}

bool GzipReader::fill_input() {
    if (in_eof_) return false;
    const std::size_t got = file_.read_some(in_.get(), kInSize);
    if (got == 0) {
        in_eof_ = true;
        return false;
    }
    in_pos_ = 0;
    in_len_ = got;
    return true;
}

unsigned char GzipReader::next_byte() {
    if (in_pos_ == in_len_ && !fill_input()) throw FormatFailure(kUnexpectedEof);
    return in_[in_pos_++];
}

void GzipReader::read_header() {
    std::uint32_t header_crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    auto take = [&] {
        const unsigned char b = next_byte();
        header_crc = static_cast<std::uint32_t>(crc32(header_crc, &b, 1));
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
    header_done_ = true;
}

void GzipReader::inflate_into(BodyChunk& chunk) {
    inflate_state& st = inflater_->state;
    if (!header_done_) read_header();
    while (chunk.size < kChunkSize) {
        if (in_pos_ == in_len_) fill_input();
        st.next_in = in_.get() + in_pos_;
        st.avail_in = static_cast<std::uint32_t>(in_len_ - in_pos_);
        st.next_out = chunk.data.get() + chunk.size;
        st.avail_out = static_cast<std::uint32_t>(kChunkSize - chunk.size);
        const std::size_t in_before = in_pos_;
        const std::size_t out_before = chunk.size;
        const int rc = isal_inflate(&st);
        in_pos_ = in_len_ - st.avail_in;
        chunk.size = kChunkSize - st.avail_out;
        if (rc == ISAL_INCORRECT_CHECKSUM) throw FormatFailure(kBadChecksum);
        if (rc < 0) throw FormatFailure(kCorruptDeflate);
        if (st.block_state == ISAL_BLOCK_FINISH) {
            chunk.last = true;
            return;
        }
        if (st.avail_out != 0 && in_pos_ == in_len_) {
            // Waiting for input that will never come.
            if (in_eof_) throw FormatFailure(kUnexpectedEof);
        } else if (in_pos_ == in_before && chunk.size == out_before) {
            throw Panic("inflate made no progress");
        }
    }
}

void GzipReader::fill(BodyChunk& chunk) noexcept {
    chunk.size = 0;
    chunk.last = false;
    chunk.error = nullptr;
    try {
        inflate_into(chunk);
    } catch (...) {
        chunk.error = std::current_exception();
    }
}

void GzipReader::run_helper() {
    for (;;) {
        BodyChunk* chunk = ring_.take_free();
        if (chunk == nullptr) return;
        fill(*chunk);
        const bool end = chunk->last || chunk->error;
        ring_.put_ready(chunk);
        if (end) return;
    }
}

void GzipReader::advance() {
    if (!started_) {
        // The first chunk is inflated here: a file that ends within it needs no
        // helper thread.
        started_ = true;
        current_ = ring_.take_free();  // all chunks are free: does not wait
        fill(*current_);
        if (!current_->last && !current_->error) inline_ = !helper_.start([this] { run_helper(); });
    } else if (inline_) {
        fill(*current_);
    } else {
        if (current_ != nullptr) ring_.put_free(current_);
        current_ = ring_.take_ready();
        if (current_ == nullptr) throw Panic("model file reader stopped");
    }
    pos_ = 0;
}

std::size_t GzipReader::read_slow(unsigned char* dst, std::size_t n) {
    std::size_t got = 0;
    for (;;) {
        if (current_ != nullptr) {
            const std::size_t take = std::min(n - got, current_->size - pos_);
            if (take != 0) std::memcpy(dst + got, current_->data.get() + pos_, take);
            pos_ += take;
            got += take;
            if (got == n) return n;
            if (current_->error) std::rethrow_exception(current_->error);
            if (current_->last) return got;
        }
        advance();
    }
}

void GzipReader::drain() {
    for (;;) {
        if (current_ != nullptr) {
            pos_ = current_->size;
            if (current_->error) std::rethrow_exception(current_->error);
            if (current_->last) return;
        }
        advance();
    }
}

}  // namespace quibrel
