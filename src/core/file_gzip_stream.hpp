// Files and single-member gzip streams for model files. Both directions work in
// bounded chunks so neither a save nor a load needs the whole body in memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "core/file_chunk_relay.hpp"

namespace quibrel {

// The operating system's text for `code` followed by " (os error <code>)".
std::string os_error_message(int code);
[[noreturn]] void throw_os_error(int code);

// Owns one file descriptor; closing is explicit where its errors matter.
class FileHandle {
public:
    // Creates or truncates (mode 0666 before the umask).
    static FileHandle create_for_write(const std::string& path);
    // Creates a file that must not exist yet (mode 0666 before the umask);
    // the error, EEXIST included, is returned as an errno instead of thrown.
    static FileHandle create_new(const std::string& path, int& error);
    static FileHandle open_for_read(const std::string& path);
    // A descriptor of its own for a file the caller has open: it shares the
    // caller's file position, and closing it leaves the caller's open.
    static FileHandle duplicate(int fd);

    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Up to n bytes; 0 only at end of file.
    std::size_t read_some(void* dst, std::size_t n);
    // Up to n bytes from `offset`, the file position left alone; 0 only at
    // end of file.
    std::size_t read_some_at(void* dst, std::size_t n, std::uint64_t offset);
    void write_all(const void* src, std::size_t n);
    // Flushes the file's data to the device.
    void sync();
    int descriptor() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    // Closes and reports a failing close (a deferred write error surfaces here).
    void close();

private:
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

// The canonical absolute form of an existing path.
std::string canonical_path(const std::string& path);

// `length` bytes of a file from `offset`: a model file kept inside another
// file (a member of an archive).
struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Bytes as they went to or came from a file, counted and checksummed: what a
// container that keeps a model file as one of its members records of it.
struct ByteTally {
    std::uint64_t bytes = 0;
    std::uint32_t crc = 0;

    void add(const unsigned char* p, std::size_t n) noexcept;
};

// Compresses into `file`: fixed header, raw deflate, CRC-32/size trailer.
//
// A body that fits in one chunk is deflated by zlib at level 1 on the calling
// thread, so small files keep the bytes they always had. A longer body is cut
// into chunks that two helper threads deflate at level 1 (with ISA-L where the
// build has it: several times faster than zlib, for files of the same size)
// while the calling thread encodes the next chunk. Each chunk is deflated on its own, all but
// the last ending with a full flush, so the chunks join into one deflate
// stream in which none refers to another; a helper writes its chunk when the
// chunks before it are written. At most kWriteChunks chunks are in memory.
class GzipWriter {
public:
    // With `output`, every byte written to the file is also counted there.
    explicit GzipWriter(FileHandle& file, ByteTally* output = nullptr);
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;
    ~GzipWriter();

    void write(const void* data, std::size_t n) {
        if (n <= kChunkSize - fill_->size) [[likely]] {
            // An empty vector passes a null pointer, which memcpy must not see.
            if (n != 0) std::memcpy(fill_->data.get() + fill_->size, data, n);
            fill_->size += n;
            return;
        }
        write_large(static_cast<const unsigned char*>(data), n);
    }
    // Ends the deflate data and writes the trailer; the file stays open.
    void finish();

    static constexpr std::size_t kChunkSize = std::size_t{1} << 20;

private:
    static constexpr std::size_t kWriteChunks = 4;
    static constexpr std::size_t kHelpers = 2;
    struct Deflater;

    void write_large(const unsigned char* data, std::size_t n);
    void hand_over(bool last);
    void start_helpers();
    void stop_helpers() noexcept;
    void run_helper(Deflater& deflater);
    void compress_chunk(Deflater& deflater, BodyChunk& chunk);
    void fail(std::exception_ptr error) noexcept;
    void finish_small();
    void emit(const unsigned char* p, std::size_t n);

    FileHandle& file_;
    ByteTally* output_;
    ChunkRing ring_;
    BodyChunk* fill_;
    std::uint64_t next_index_ = 0;
    std::unique_ptr<Deflater> deflaters_[kHelpers];
    bool started_ = false;
    bool inline_ = false;
    // Whose turn it is to write, and the first failure of a helper.
    std::mutex turn_mutex_;
    std::condition_variable turn_changed_;
    std::uint64_t written_ = 0;
    bool failed_ = false;
    std::exception_ptr error_;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;
    HelperThread helpers_[kHelpers];  // last: joined before the members they use go
};

// Pulls the decompressed body of the first gzip member of `file`, chunk by
// chunk. Bytes after that member are never used.
//
// A helper thread inflates (ISA-L where the build has it, else zlib) a few
// chunks ahead of the caller. Where the stream has byte-aligned sync points whose data refers to
// nothing before them, as the writer's chunks do, a second helper inflates
// every other piece in parallel; a piece that turns out not to stand alone is
// inflated again in order, so any valid stream decodes the same.
class GzipReader {
public:
    // With a range, only the bytes in it are read (by position: the file's
    // own position stays where it was); without, the file from its position on.
    explicit GzipReader(FileHandle& file, const FileRange* range = nullptr);
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;
    ~GzipReader();

    // Copies up to n body bytes into dst. Fewer than n only at the end of the
    // body, and by then the trailer has been checked, so a short read always
    // means an intact stream that is simply shorter.
    std::size_t read(void* dst, std::size_t n) {
        if (n <= available_) [[likely]] {
            if (n != 0) std::memcpy(dst, current_->data.get() + pos_, n);  // dst may be null
            pos_ += n;
            available_ -= n;
            return n;
        }
        return read_slow(static_cast<unsigned char*>(dst), n);
    }
    // Inflates and verifies the rest of the member, discarding it.
    void drain();
    // Once the member is drained: reads what the range holds after it and
    // returns the tally of the whole range. FormatFailure when the file ends
    // before the range does.
    ByteTally finish_range();

    // A writer's chunk, with room to spare so that a piece of exactly that
    // size is seen to end where it should.
    static constexpr std::size_t kChunkCapacity = GzipWriter::kChunkSize + (std::size_t{64} << 10);

private:
    static constexpr std::size_t kReadChunks = 5;
    struct Producer;

    std::size_t read_slow(unsigned char* dst, std::size_t n);
    // The next chunk from the producer; the current one is given back.
    void advance();
    void run_helper();

    ChunkRing ring_;
    std::unique_ptr<Producer> producer_;
    BodyChunk* current_ = nullptr;
    std::size_t pos_ = 0;
    std::size_t available_ = 0;
    bool started_ = false;
    bool inline_ = false;
    std::uint64_t range_length_;
    HelperThread helper_;  // last: joined before the members it uses go
};

}  // namespace quibrel
