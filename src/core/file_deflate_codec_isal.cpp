// The chunk codec with ISA-L: several times faster than zlib in both directions.
#if QUIBREL_HAVE_ISAL

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include "core/errors.hpp"
#include "core/file_deflate_codec.hpp"

namespace quibrel {

std::uint32_t body_crc32(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
    return static_cast<std::uint32_t>(crc32_gzip_refl(crc, p, n));
}

struct ChunkDeflater::State {
    isal_zstream stream{};
    std::unique_ptr<unsigned char[]> level_buf =
        std::make_unique_for_overwrite<unsigned char[]>(ISAL_DEF_LVL1_DEFAULT);
};

ChunkDeflater::ChunkDeflater() : state_(std::make_unique<State>()) {
    isal_zstream& zs = state_->stream;
    isal_deflate_init(&zs);
    zs.level = 1;
    zs.level_buf = state_->level_buf.get();
    zs.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    zs.gzip_flag = IGZIP_DEFLATE;
}

ChunkDeflater::~ChunkDeflater() = default;

std::size_t ChunkDeflater::deflate(const unsigned char* in, std::size_t n, bool last,
                                   unsigned char* out) {
    isal_zstream& zs = state_->stream;
    isal_deflate_reset(&zs);
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<std::uint32_t>(n);
    zs.end_of_stream = last ? 1 : 0;
    zs.flush = last ? NO_FLUSH : FULL_FLUSH;
    zs.next_out = out;
    zs.avail_out = static_cast<std::uint32_t>(bound(n));
    const isal_zstate_state done = last ? ZSTATE_END : ZSTATE_NEW_HDR;
    while (zs.avail_in != 0 || zs.internal_state.state != done) {
        const std::uint32_t in_before = zs.avail_in;
        const std::uint32_t out_before = zs.avail_out;
        if (isal_deflate(&zs) != COMP_OK) throw Panic("deflate stream error");
        if (zs.avail_in == in_before && zs.avail_out == out_before)
            throw Panic("deflate made no progress");
    }
    return bound(n) - zs.avail_out;
}

struct RawInflater::State {
    inflate_state st;
};

RawInflater::RawInflater() : state_(std::make_unique<State>()) { isal_inflate_init(&state_->st); }

RawInflater::~RawInflater() = default;

void RawInflater::reset(const unsigned char* history, std::size_t len) {
    isal_inflate_init(&state_->st);
    if (len != 0)
        isal_inflate_set_dict(&state_->st, const_cast<unsigned char*>(history),
                              static_cast<std::uint32_t>(len));
}

RawInflater::Step RawInflater::inflate(const unsigned char* in, std::size_t in_len,
                                       unsigned char* out, std::size_t out_len) noexcept {
    inflate_state& st = state_->st;
    st.next_in = const_cast<unsigned char*>(in);
    st.avail_in = static_cast<std::uint32_t>(in_len);
    st.next_out = out;
    st.avail_out = static_cast<std::uint32_t>(out_len);
    const int rc = isal_inflate(&st);
    Step step{in_len - st.avail_in, out_len - st.avail_out, Status::Going};
    if (rc < 0) {
        step.status = Status::Corrupt;
    } else if (st.block_state == ISAL_BLOCK_FINISH) {
        // Whole bytes still in the bit buffer belong to what follows the data.
        step.consumed -= static_cast<std::size_t>(st.read_in_length) / 8;
        step.status = Status::End;
    } else if (st.avail_in == 0 && st.block_state == ISAL_BLOCK_NEW_HDR && st.read_in_length == 0) {
        step.status = Status::Boundary;
    }
    return step;
}

}  // namespace quibrel

#endif
