// Files and single-member gzip streams for model files. Both directions work in
// bounded chunks so neither a save nor a load needs the whole body in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

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

    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Up to n bytes; 0 only at end of file.
    std::size_t read_some(void* dst, std::size_t n);
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

// Compresses at level 1 into `file`: fixed header, raw deflate, CRC-32/size trailer.
class GzipWriter {
public:
    explicit GzipWriter(FileHandle& file);
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;
    ~GzipWriter();

    void write(const void* data, std::size_t n) {
        if (n <= kStageSize - staged_) [[likely]] {
            // An empty vector passes a null pointer, which memcpy must not see.
            if (n != 0) std::memcpy(stage_.data() + staged_, data, n);
            staged_ += n;
            return;
        }
        write_large(data, n);
    }
    // Ends the deflate data and writes the trailer; the file stays open.
    void finish();

private:
    static constexpr std::size_t kStageSize = std::size_t{1} << 18;
    static constexpr std::size_t kOutSize = std::size_t{1} << 20;

    void write_large(const void* data, std::size_t n);
    void compress(const unsigned char* data, std::size_t n, int flush);
    void flush_output();

    FileHandle& file_;
    z_stream zs_{};
    bool initialised_ = false;
    std::vector<unsigned char> stage_;
    std::size_t staged_ = 0;
    std::vector<unsigned char> out_;
    std::size_t out_len_ = 0;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;
};

// Pulls the decompressed body of the first gzip member of `file`, chunk by
// chunk. Bytes after that member are never read.
class GzipReader {
public:
    explicit GzipReader(FileHandle& file);
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;
    ~GzipReader();

    // Copies up to n body bytes into dst. Fewer than n only at the end of the
    // body, and by then the trailer has been checked, so a short read always
    // means an intact stream that is simply shorter.
    std::size_t read(void* dst, std::size_t n) {
        if (n <= out_len_ - out_pos_) [[likely]] {
            if (n != 0) std::memcpy(dst, out_.data() + out_pos_, n);  // dst may be null
            out_pos_ += n;
            return n;
        }
        return read_slow(static_cast<unsigned char*>(dst), n);
    }
    // Inflates and verifies the rest of the member, discarding it.
    void drain();

private:
    static constexpr std::size_t kInSize = std::size_t{1} << 17;
    static constexpr std::size_t kOutSize = std::size_t{1} << 17;

    enum class State { Header, Body, Done };

    std::size_t read_slow(unsigned char* dst, std::size_t n);
    std::size_t inflate_into(unsigned char* dst, std::size_t n);
    void read_header();
    void read_trailer();
    unsigned char next_byte();
    bool fill_input();

    FileHandle& file_;
    z_stream zs_{};
    bool initialised_ = false;
    State state_ = State::Header;
    std::vector<unsigned char> in_;
    bool in_eof_ = false;
    std::vector<unsigned char> out_;
    std::size_t out_pos_ = 0;
    std::size_t out_len_ = 0;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace quibrel
