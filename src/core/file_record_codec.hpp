// The model-file body encoding: little-endian fixed-width values, u64 counts
// in front of texts, vectors and maps, no padding anywhere.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/file_gzip_stream.hpp"

namespace quibrel {

namespace codec_detail {

template <class T>
T byte_swapped(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

// Fixed-width value <-> its little-endian bytes (a no-op on little-endian).
template <class T>
T le(T value) {
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1)
        return value;
    else
        return byte_swapped(value);
}

template <class T>
void store(unsigned char* p, T value) {
    value = le(value);
    std::memcpy(p, &value, sizeof(T));
}

template <class T>
T load(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return le(value);
}

// A vector element whose file form is its memory image on a little-endian
// machine; `Field` is the fixed-width type each of its 4-byte or 8-byte
// members has (all members of one element share a width).
template <class T>
struct RawElement;
template <>
struct RawElement<std::int32_t> {
    using Field = std::uint32_t;
};
template <>
struct RawElement<std::uint64_t> {
    using Field = std::uint64_t;
};
template <>
struct RawElement<float> {
    using Field = std::uint32_t;
};

}  // namespace codec_detail

class RecordWriter {
public:
    explicit RecordWriter(GzipWriter& out) : out_(out) {}

    template <class T>
    void value(T v) {
        unsigned char bytes[sizeof(T)];
        codec_detail::store(bytes, v);
        out_.write(bytes, sizeof(T));
    }
    void u64(std::uint64_t v) { value(v); }
    void i32(std::int32_t v) { value(v); }
    void f32(float v) { value(v); }
    void bytes(const void* p, std::size_t n) { out_.write(p, n); }

    void text(const std::string& s) {
        u64(s.size());
        out_.write(s.data(), s.size());
    }

    // A vector of fixed-width elements: count, then the elements.
    template <class T, class A>
    void raw_vector(const std::vector<T, A>& v) {
        u64(v.size());
        raw_elements(v.data(), v.size());
    }

    template <class T>
    void raw_elements(const T* p, std::size_t n);

private:
    GzipWriter& out_;
};

class RecordReader {
public:
    explicit RecordReader(GzipReader& in) : in_(in) {}

    template <class T>
    T value() {
        unsigned char bytes[sizeof(T)];
        exact(bytes, sizeof(T));
        return codec_detail::load<T>(bytes);
    }
    std::uint64_t u64() { return value<std::uint64_t>(); }
    std::int32_t i32() { return value<std::int32_t>(); }
    float f32() { return value<float>(); }

    // n bytes or the end-of-data failure.
    void exact(void* dst, std::size_t n) {
        if (in_.read(dst, n) != n) [[unlikely]]
            fail_end_of_data();
    }

    std::string text();

    template <class T, class A>
    void raw_vector(std::vector<T, A>& out);

    // The rest of the stream is read and verified; trailing body bytes are
    // ignored.
    void finish() { in_.drain(); }

    // Decode failures: the rest of the stream is verified first, so a damaged
    // stream is reported as such rather than as whatever the damage decoded to.
    [[noreturn]] void fail(const std::string& message);
    [[noreturn]] void fail_end_of_data();

private:
    GzipReader& in_;
};

// The error text for bytes that are not UTF-8, or empty when they are.
std::string utf8_error(const unsigned char* p, std::size_t n);

}  // namespace quibrel
