// The chunk codec with zlib, for builds without ISA-L: the same chunks and
// pieces, at zlib's speed.
#if !QUIBREL_HAVE_ISAL

#include <memory>
#include <new>
#include <utility>

#include <zlib.h>

#include "core/errors.hpp"
#include "core/file_deflate_codec.hpp"

namespace quibrel {

std::uint32_t body_crc32(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
    return static_cast<std::uint32_t>(crc32_z(crc, p, n));
}

namespace {

// zlib reports the inflater's position in data_type: 128 when it waits for the
// next block's header, plus the bits it holds (and 64 in the final block, 256
// in a stored block's header). Exactly 128: between blocks, byte-aligned.
constexpr int kBetweenBlocks = 128;

}  // namespace

struct ChunkDeflater::State {
    z_stream zs{};
    ~State() { deflateEnd(&zs); }
};

ChunkDeflater::ChunkDeflater() {
    auto state = std::make_unique<State>();
    // The parameters small files have always been written with.
    const int rc = deflateInit2(&state->zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("deflate initialisation failed");
    state_ = std::move(state);
}

ChunkDeflater::~ChunkDeflater() = default;

std::size_t ChunkDeflater::deflate(const unsigned char* in, std::size_t n, bool last,
                                   unsigned char* out) {
    z_stream& zs = state_->zs;
    if (deflateReset(&zs) != Z_OK) throw Panic("deflate stream error");
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(bound(n));
    // bound() exceeds zlib's own worst case with a flush, so one call does it all.
    const int rc = ::deflate(&zs, last ? Z_FINISH : Z_FULL_FLUSH);
    if (last ? rc != Z_STREAM_END : rc != Z_OK || zs.avail_in != 0 || zs.avail_out == 0)
        throw Panic("deflate stream error");
    return bound(n) - zs.avail_out;
}

struct RawInflater::State {
    z_stream zs{};
    ~State() { inflateEnd(&zs); }
};

RawInflater::RawInflater() {
    auto state = std::make_unique<State>();
    const int rc = inflateInit2(&state->zs, -MAX_WBITS);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("inflate initialisation failed");
    state_ = std::move(state);
}

RawInflater::~RawInflater() = default;

void RawInflater::reset(const unsigned char* history, std::size_t len) {
    z_stream& zs = state_->zs;
    if (inflateReset(&zs) != Z_OK) throw Panic("inflate stream error");
    if (len == 0) return;
    const int rc = inflateSetDictionary(&zs, history, static_cast<uInt>(len));
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) throw Panic("inflate stream error");
}

RawInflater::Step RawInflater::inflate(const unsigned char* in, std::size_t in_len,
                                       unsigned char* out, std::size_t out_len) noexcept {
    z_stream& zs = state_->zs;
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<uInt>(in_len);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(out_len);
    const int rc = ::inflate(&zs, Z_NO_FLUSH);
    // At the end zlib leaves the bytes after the deflate data unread.
    Step step{in_len - zs.avail_in, out_len - zs.avail_out, Status::Going};
    if (rc == Z_STREAM_END) {
        step.status = Status::End;
    } else if (rc == Z_OK || rc == Z_BUF_ERROR) {  // Z_BUF_ERROR: it needs input or room
        if (zs.avail_in == 0 && zs.data_type == kBetweenBlocks) step.status = Status::Boundary;
    } else {
        step.status = rc == Z_MEM_ERROR ? Status::NoMemory : Status::Corrupt;
    }
    return step;
}

}  // namespace quibrel

#endif
