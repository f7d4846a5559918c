// Raw deflate for the chunks of a model file and raw inflate for its pieces.
// ISA-L does both where the build has it (QUIBREL_HAVE_ISAL), zlib otherwise:
// either writes level 1 and reads any valid deflate data, so files pass freely
// between the two builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quibrel {

// CRC-32 as gzip's trailer keeps it.
std::uint32_t body_crc32(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept;

// Deflates chunks one at a time, each from a fresh state, so that the bytes of
// a chunk depend on nothing but its content.
class ChunkDeflater {
public:
    ChunkDeflater();
    ChunkDeflater(const ChunkDeflater&) = delete;
    ChunkDeflater& operator=(const ChunkDeflater&) = delete;
    ~ChunkDeflater();

    // Room needed for a chunk of n bytes in the worst case (stored blocks),
    // with margin for block headers and the flush marker.
    static constexpr std::size_t bound(std::size_t n) { return n + n / 16 + 4096; }

    // Deflates [in, in + n) into out, which holds bound(n) bytes: ending with
    // the final block when `last`, else with a full flush (a byte-aligned empty
    // stored block, after which nothing refers back). Returns the bytes written.
    std::size_t deflate(const unsigned char* in, std::size_t n, bool last, unsigned char* out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Inflates raw deflate data handed over in stretches.
class RawInflater {
public:
    enum class Status {
        Going,     // needs more input or more room
        Boundary,  // took all its input and stands between blocks with no bit held
        End,       // the final block is done
        Corrupt,   // invalid data, or a reference to before what it has seen
        NoMemory,
    };
    struct Step {
        std::size_t consumed = 0;  // at End: only the bytes up to the end of the deflate data
        std::size_t produced = 0;
        Status status = Status::Going;
    };

    RawInflater();
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;
    ~RawInflater();

    // Starts a new stream whose data may refer back into `history`. Throws
    // std::bad_alloc when the history cannot be kept.
    void reset(const unsigned char* history = nullptr, std::size_t len = 0);
    // in_len and out_len stay below 4 GiB.
    Step inflate(const unsigned char* in, std::size_t in_len, unsigned char* out,
                 std::size_t out_len) noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quibrel
