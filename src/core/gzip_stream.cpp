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

// zlib counts in 32-bit units; larger requests are served in pieces.
constexpr std::size_t kMaxZChunk = std::size_t{1} << 30;
// Data is checksummed and (de)compressed in slices of this size, small enough
// to stay in cache between the two passes.
constexpr std::size_t kSlice = std::size_t{1} << 18;

void check_no_nul(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw_os_error(EINVAL);
}

void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t update_crc(std::uint32_t crc, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const std::size_t piece = std::min(n, kMaxZChunk);
        crc = static_cast<std::uint32_t>(crc32(crc, p, static_cast<uInt>(piece)));
        p += piece;
        n -= piece;
    }
    return crc;
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

GzipWriter::GzipWriter(FileHandle& file) : file_(file), stage_(kStageSize), out_(kOutSize) {
    // Raw deflate at the fastest level; the header and trailer are ours.
    const int rc = deflateInit2(&zs_, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("deflate initialisation failed");
    initialised_ = true;
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    // ID1 ID2 CM FLG MTIME(4) XFL(fastest) OS(unknown)
    const unsigned char header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 0xFF};
    std::memcpy(out_.data(), header, sizeof header);
    out_len_ = sizeof header;
}

GzipWriter::~GzipWriter() {
    if (initialised_) deflateEnd(&zs_);
}

void GzipWriter::write_large(const void* data, std::size_t n) {
    auto p = static_cast<const unsigned char*>(data);
    if (staged_ > 0) {
        compress(stage_.data(), staged_, Z_NO_FLUSH);
        staged_ = 0;
    }
    if (n >= kStageSize) {
        // Big blocks go to the compressor straight from the caller's memory.
        compress(p, n, Z_NO_FLUSH);
    } else {
        std::memcpy(stage_.data(), p, n);
        staged_ = n;
    }
}

void GzipWriter::compress(const unsigned char* data, std::size_t n, int flush) {
    size_ += static_cast<std::uint32_t>(n);  // the trailer keeps the length modulo 2^32
    do {
        // Checksum each slice just before deflating it: one trip to memory
        // serves both passes.
        const std::size_t piece = std::min(n, kSlice);
        crc_ = update_crc(crc_, data, piece);
        zs_.next_in = const_cast<unsigned char*>(data);
        zs_.avail_in = static_cast<uInt>(piece);
        data += piece;
        n -= piece;
        const int piece_flush = n == 0 ? flush : Z_NO_FLUSH;
        for (;;) {
            zs_.next_out = out_.data() + out_len_;
            zs_.avail_out = static_cast<uInt>(kOutSize - out_len_);
            const int rc = deflate(&zs_, piece_flush);
            if (rc == Z_STREAM_ERROR) throw Panic("deflate stream error");
            out_len_ = kOutSize - zs_.avail_out;
            if (out_len_ == kOutSize) flush_output();
            if (piece_flush == Z_FINISH) {
                if (rc == Z_STREAM_END) break;
            } else if (zs_.avail_in == 0 && zs_.avail_out != 0) {
                break;
            }
        }
    } while (n > 0);
}

void GzipWriter::flush_output() {
    file_.write_all(out_.data(), out_len_);
    out_len_ = 0;
}

void GzipWriter::finish() {
    compress(stage_.data(), staged_, Z_FINISH);
    staged_ = 0;
    if (kOutSize - out_len_ < 8) flush_output();
    put_le32(out_.data() + out_len_, crc_);
    put_le32(out_.data() + out_len_ + 4, size_);
    out_len_ += 8;
    flush_output();
}

// ---- reading ----

GzipReader::GzipReader(FileHandle& file) : file_(file), in_(kInSize), out_(kOutSize) {
    const int rc = inflateInit2(&zs_, -MAX_WBITS);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("inflate initialisation failed");
    initialised_ = true;
    zs_.next_in = in_.data();
    zs_.avail_in = 0;
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
}

GzipReader::~GzipReader() {
    if (initialised_) inflateEnd(&zs_);
}

bool GzipReader::fill_input() {
    if (in_eof_) return false;
    const std::size_t got = file_.read_some(in_.data(), kInSize);
    if (got == 0) {
        in_eof_ = true;
        return false;
    }
    zs_.next_in = in_.data();
    zs_.avail_in = static_cast<uInt>(got);
    return true;
}

unsigned char GzipReader::next_byte() {
    if (zs_.avail_in == 0 && !fill_input()) throw FormatFailure(kUnexpectedEof);
    --zs_.avail_in;
    return *zs_.next_in++;
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
    state_ = State::Body;
}

void GzipReader::read_trailer() {
    std::uint32_t stored_crc = 0;
    std::uint32_t stored_size = 0;
    for (int i = 0; i < 4; ++i) stored_crc |= static_cast<std::uint32_t>(next_byte()) << (8 * i);
    for (int i = 0; i < 4; ++i) stored_size |= static_cast<std::uint32_t>(next_byte()) << (8 * i);
    if (stored_crc != crc_ || stored_size != size_) throw FormatFailure(kBadChecksum);
    state_ = State::Done;
}

std::size_t GzipReader::inflate_into(unsigned char* dst, std::size_t n) {
    n = std::min(n, kMaxZChunk);
    zs_.next_out = dst;
    zs_.avail_out = static_cast<uInt>(n);
    while (zs_.avail_out > 0) {
        if (zs_.avail_in == 0) fill_input();
        const int rc = inflate(&zs_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            const std::size_t produced = n - zs_.avail_out;
            crc_ = update_crc(crc_, dst, produced);
            size_ += static_cast<std::uint32_t>(produced);
            read_trailer();
            return produced;
        }
        if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) throw FormatFailure(kCorruptDeflate);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        // No progress possible: only more input could help, and there is none.
        if (rc == Z_BUF_ERROR && zs_.avail_in == 0 && in_eof_) throw FormatFailure(kUnexpectedEof);
        if (rc != Z_OK && rc != Z_BUF_ERROR) throw Panic("inflate stream error");
    }
    crc_ = update_crc(crc_, dst, n);
    size_ += static_cast<std::uint32_t>(n);
    return n;
}

std::size_t GzipReader::read_slow(unsigned char* dst, std::size_t n) {
    std::size_t got = out_len_ - out_pos_;
    std::memcpy(dst, out_.data() + out_pos_, got);
    out_pos_ = out_len_ = 0;
    if (state_ == State::Header) read_header();
    while (got < n && state_ == State::Body) {
        const std::size_t want = n - got;
        if (want >= kOutSize) {
            // Large requests inflate straight into the caller's memory, a
            // cache-sized slice at a time so the checksum reads warm bytes.
            got += inflate_into(dst + got, std::min(want, kSlice));
        } else {
            out_len_ = inflate_into(out_.data(), kOutSize);
            const std::size_t take = std::min(want, out_len_);
            std::memcpy(dst + got, out_.data(), take);
            out_pos_ = take;
            got += take;
        }
    }
    return got;
}

void GzipReader::drain() {
    out_pos_ = out_len_ = 0;
    if (state_ == State::Header) read_header();
    while (state_ == State::Body) inflate_into(out_.data(), kOutSize);
}

}  // namespace quibrel
