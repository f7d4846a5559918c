#include "core/file_record_codec.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include <sys/mman.h>

#include "core/errors.hpp"
#include "core/models.hpp"

namespace quibrel {

namespace codec_detail {

template <>
struct RawElement<SwingPair> {
    using Field = std::uint32_t;
};
static_assert(sizeof(SwingPair) == 8 && offsetof(SwingPair, score) == 4,
              "a Swing pair is written as its memory image");

}  // namespace codec_detail

namespace {

// Counts read from a file only ever reserve this much up front.
constexpr std::size_t kMaxUpfrontBytes = std::size_t{1} << 20;
// Long vectors are collected in blocks of this size before the vector is
// allocated once; see RecordReader::raw_vector.
constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
// Texts are read in pieces of this size, so a corrupt length costs no more
// memory than the bytes actually present.
constexpr std::size_t kTextPiece = std::size_t{1} << 16;

// Anonymous pages returned to the system as soon as the block is dropped, so
// that staging memory never lingers in the allocator's free lists.
class PageBlock {
public:
    explicit PageBlock(std::size_t bytes) : bytes_(bytes) {
        void* p =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<unsigned char*>(p);
    }
    PageBlock(PageBlock&& other) noexcept : data_(other.data_), bytes_(other.bytes_) {
        other.data_ = nullptr;
    }
    PageBlock& operator=(PageBlock&&) = delete;
    PageBlock(const PageBlock&) = delete;
    ~PageBlock() {
        if (data_) ::munmap(data_, bytes_);
    }
    unsigned char* data() const noexcept { return data_; }

private:
    unsigned char* data_ = nullptr;
    std::size_t bytes_ = 0;
};

template <class T>
void from_file_order(T* p, std::size_t n) {
    if constexpr (std::endian::native != std::endian::little) {
        using Field = typename codec_detail::RawElement<T>::Field;
        auto fields = reinterpret_cast<unsigned char*>(p);
        for (std::size_t i = 0; i < n * sizeof(T) / sizeof(Field); ++i) {
            Field f;
            std::memcpy(&f, fields + i * sizeof(Field), sizeof(Field));
            f = codec_detail::byte_swapped(f);
            std::memcpy(fields + i * sizeof(Field), &f, sizeof(Field));
        }
    } else {
        (void)p;
        (void)n;
    }
}

// Decoding a UTF-8 sequence that starts with `lead`: the accepted range of the
// second byte, and the sequence length (0 for a byte that cannot lead).
struct LeadInfo {
    unsigned char low;
    unsigned char high;
    std::size_t length;
};

LeadInfo lead_info(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {0x80, 0xBF, 2};
    if (lead == 0xE0) return {0xA0, 0xBF, 3};
    if (lead == 0xED) return {0x80, 0x9F, 3};  // no surrogates
    if (lead >= 0xE1 && lead <= 0xEF) return {0x80, 0xBF, 3};
    if (lead == 0xF0) return {0x90, 0xBF, 4};
    if (lead >= 0xF1 && lead <= 0xF3) return {0x80, 0xBF, 4};
    if (lead == 0xF4) return {0x80, 0x8F, 4};  // nothing above U+10FFFF
    return {0, 0, 0};
}

}  // namespace

template <class T>
void RecordWriter::raw_elements(const T* p, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        out_.write(p, n * sizeof(T));
    } else {
        using Field = typename codec_detail::RawElement<T>::Field;
        auto fields = reinterpret_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n * sizeof(T) / sizeof(Field); ++i) {
            Field f;
            std::memcpy(&f, fields + i * sizeof(Field), sizeof(Field));
            value(f);
        }
    }
}

template <class T, class A>
void RecordReader::raw_vector(std::vector<T, A>& out) {
    const std::uint64_t count = u64();
    out.clear();
    if (count <= kMaxUpfrontBytes / sizeof(T)) {
        out.resize(static_cast<std::size_t>(count));
        exact(out.data(), out.size() * sizeof(T));
        from_file_order(out.data(), out.size());
        return;
    }
    // The count is not trusted: read into page blocks as data arrives, then
    // allocate the vector once and move the blocks in, releasing each as it
    // is copied. Peak memory stays at the vector plus one block, with no
    // reallocation copies.
    constexpr std::size_t block_elements = kBlockBytes / sizeof(T);
    std::vector<PageBlock> blocks;
    std::uint64_t remaining = count;
    std::size_t last_block_elements = 0;
    while (remaining > 0) {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, block_elements));
        blocks.emplace_back(take * sizeof(T));
        exact(blocks.back().data(), take * sizeof(T));
        remaining -= take;
        last_block_elements = take;
    }
    out.reserve(static_cast<std::size_t>(count));
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::size_t n = b + 1 == blocks.size() ? last_block_elements : block_elements;
        auto first = reinterpret_cast<const T*>(blocks[b].data());
        out.insert(out.end(), first, first + n);
        PageBlock released = std::move(blocks[b]);
    }
    from_file_order(out.data(), out.size());
}

std::string RecordReader::text() {
    const std::uint64_t count = u64();
    std::string s;
    std::uint64_t remaining = count;
    while (remaining > 0) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kTextPiece));
        const std::size_t old = s.size();
        s.resize(old + piece);
        if (in_.read(s.data() + old, piece) != piece) fail("io error: ");
        remaining -= piece;
    }
    const std::string bad = utf8_error(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    if (!bad.empty()) fail("string is not valid utf8: " + bad);
    return s;
}

void RecordReader::fail(const std::string& message) {
    in_.drain();
    throw FormatFailure(message);
}

void RecordReader::fail_end_of_data() { fail("io error: unexpected end of file"); }

std::string utf8_error(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const LeadInfo info = lead_info(p[i]);
        // The error covers the longest prefix that could still have become a
        // valid sequence; running out of bytes inside it is "incomplete".
        if (info.length == 0)
            return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
        for (std::size_t k = 1; k < info.length; ++k) {
            if (i + k >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            const unsigned char b = p[i + k];
            const bool ok = k == 1 ? (b >= info.low && b <= info.high) : (b & 0xC0) == 0x80;
            if (!ok)
                return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " +
                       std::to_string(i);
        }
        i += info.length;
    }
    return {};
}

template void RecordWriter::raw_elements(const std::int32_t*, std::size_t);
template void RecordWriter::raw_elements(const std::uint64_t*, std::size_t);
template void RecordWriter::raw_elements(const float*, std::size_t);
template void RecordWriter::raw_elements(const SwingPair*, std::size_t);
template void RecordReader::raw_vector(std::vector<std::int32_t>&);
template void RecordReader::raw_vector(std::vector<std::uint64_t>&);
template void RecordReader::raw_vector(std::vector<float>&);
template void RecordReader::raw_vector(ListVector<std::int32_t>&);
template void RecordReader::raw_vector(ListVector<float>&);
template void RecordReader::raw_vector(SwingList&);
template void RecordReader::raw_vector(std::vector<SwingPair>&);

}  // namespace quibrel
