// The model-file loaders on damaged and hostile files. An input is either the
// whole file, or a record body that the harness wraps into a gzip member
// (optionally followed by garbage or a second member, or cut short), so that
// mutations reach the record decoder and not only the checksum.
//
// Each file must load exactly when an independent reading of it (zlib for the
// first gzip member, the decoder below for the record) accepts it, and then
// give the decoded fields. A model that loads is used as a caller would use
// it: predict and recommend, and when its counts are small the computations.
#pragma once

#include <unistd.h>
#include <zlib.h>

#include <array>
#include <map>
#include <optional>
#include <string>

#include "core/file_model.hpp"
#include "fuzz/native/exercise.hpp"

namespace fuzz {

// ---- an independent reading of the file ---------------------------------------------------

// The body of the first gzip member, or nothing when that member is damaged.
inline std::optional<std::string> first_member(std::span<const std::uint8_t> file) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) std::abort();
    std::string body;
    std::array<unsigned char, 1 << 14> out;
    zs.next_in = const_cast<Bytef*>(file.data());
    zs.avail_in = static_cast<uInt>(file.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = out.data();
        zs.avail_out = out.size();
        rc = inflate(&zs, Z_NO_FLUSH);
        body.append(reinterpret_cast<const char*>(out.data()), out.size() - zs.avail_out);
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;  // input ended inside the member
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return body;
}

// Strict UTF-8: shortest form only, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

struct Truncated {};

class Decoder {
public:
    explicit Decoder(const std::string& body) : body_(body) {}

    const char* take(std::size_t n) {
        if (n > body_.size() - pos_) throw Truncated{};
        const char* p = body_.data() + pos_;
        pos_ += n;
        return p;
    }
    template <class T>
    T value() {
        T v;
        std::memcpy(&v, take(sizeof v),
                    sizeof v);  // the files are little-endian, as is this machine
        return v;
    }
    std::uint64_t u64() { return value<std::uint64_t>(); }
    template <class T>
    std::vector<T> vec() {
        const std::uint64_t n = u64();
        if (n > (body_.size() - pos_) / sizeof(T)) throw Truncated{};
        std::vector<T> out(static_cast<std::size_t>(n));
        if (n != 0) std::memcpy(out.data(), take(out.size() * sizeof(T)), out.size() * sizeof(T));
        return out;
    }
    CsrMatrix csr() {
        CsrMatrix m;
        m.indices = vec<std::int32_t>();
        m.indptr = vec<std::uint64_t>();
        m.data = vec<float>();
        return m;
    }

private:
    const std::string& body_;
    std::size_t pos_ = 0;
};

using Lists = std::map<std::int32_t, std::vector<std::int32_t>>;

// Repeated keys: the last entry in the file wins.
inline Lists expected_consumed(Decoder& d) {
    Lists out;
    for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
        const auto id = d.value<std::int32_t>();
        out[id] = d.vec<std::int32_t>();
    }
    return out;
}

template <class A, class B>
bool same_bits(const A& a, const B& b) {
    static_assert(sizeof(A) == sizeof(B));
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Element by element, bit for bit (NaN equals itself); the two may differ in allocator.
template <class A, class B>
bool same_vector(const A& a, const B& b) {
    static_assert(sizeof(*a.data()) == sizeof(*b.data()));
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(*a.data())) == 0);
}

inline bool same_matrix(const CsrMatrix& a, const CsrMatrix& b) {
    return same_vector(a.indices, b.indices) && same_vector(a.indptr, b.indptr) &&
           same_vector(a.data, b.data);
}

inline void check_consumed(const quibrel::ConsumedMap& got, const Lists& want) {
    FUZZ_CHECK(got.size() == want.size());
    for (const auto& [id, items] : want) {
        const auto* found = got.find(id);
        FUZZ_CHECK(found != nullptr && same_vector(*found, items));
    }
}

// Decodes a cosine record and compares it with the loaded one.
inline void check_cf(const std::string& body, const CfModel& m) {
    Decoder d(body);
    const std::uint64_t task_len = d.u64();
    const std::string task(d.take(task_len), task_len);
    FUZZ_CHECK(m.task == task);
    FUZZ_CHECK(m.k_sim == d.u64());
    FUZZ_CHECK(m.n_users == d.u64());
    FUZZ_CHECK(m.n_items == d.u64());
    FUZZ_CHECK(m.min_common == d.u64());
    FUZZ_CHECK(same_vector(m.sum_squares, d.vec<float>()));
    std::map<std::pair<std::int32_t, std::int32_t>, std::pair<float, std::uint64_t>> pairs;
    for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
        d.value<std::int32_t>();  // the stored key is derived data
        const auto x = d.value<std::int32_t>();
        const auto y = d.value<std::int32_t>();
        const auto dot = d.value<float>();
        pairs[{x, y}] = {dot, d.u64()};
    }
    FUZZ_CHECK(m.pair_stats.size() == pairs.size());
    for (const auto& [xy, stats] : pairs) {
        const auto found = m.pair_stats.find(xy.first, xy.second);
        FUZZ_CHECK(found && same_bits(found->dot, stats.first) && found->count == stats.second);
    }
    std::map<std::int32_t, std::pair<std::vector<std::int32_t>, std::vector<float>>> lists;
    for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
        const auto id = d.value<std::int32_t>();
        auto ids = d.vec<std::int32_t>();
        lists[id] = {std::move(ids), d.vec<float>()};
    }
    FUZZ_CHECK(m.sim_mapping.size() == lists.size());
    for (const auto& [id, list] : lists) {
        const auto* found = m.sim_mapping.find(id);
        FUZZ_CHECK(found && same_vector(found->ids, list.first) &&
                   same_vector(found->sims, list.second));
    }
    FUZZ_CHECK(same_matrix(m.user_interactions, d.csr()));
    FUZZ_CHECK(same_matrix(m.item_interactions, d.csr()));
    check_consumed(m.user_consumed, expected_consumed(d));
    FUZZ_CHECK(same_bits(m.default_pred, d.value<float>()));
}

inline void check_swing(const std::string& body, const SwingModel& m) {
    Decoder d(body);
    FUZZ_CHECK(m.top_k == d.u64());
    FUZZ_CHECK(same_bits(m.alpha, d.value<float>()));
    FUZZ_CHECK(m.max_cache_num == d.u64());
    FUZZ_CHECK(m.n_users == d.u64());
    FUZZ_CHECK(m.n_items == d.u64());
    std::map<std::int32_t, std::vector<quibrel::SwingPair>> lists;
    for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
        const auto id = d.value<std::int32_t>();
        std::vector<quibrel::SwingPair> pairs;
        for (std::uint64_t j = 0, len = d.u64(); j < len; ++j) {
            const auto item = d.value<std::int32_t>();
            pairs.push_back({item, d.value<float>()});
        }
        lists[id] = std::move(pairs);
    }
    FUZZ_CHECK(m.swing_scores.size() == lists.size());
    for (const auto& [id, list] : lists) {
        const auto* found = m.swing_scores.find(id);
        FUZZ_CHECK(found && same_vector(*found, list));
    }
    FUZZ_CHECK(same_matrix(m.user_interactions, d.csr()));
    FUZZ_CHECK(same_matrix(m.item_interactions, d.csr()));
    check_consumed(m.user_consumed, expected_consumed(d));
    FUZZ_CHECK(same_bits(m.default_pred, d.value<float>()));
}

// Whether the record decodes, read by the independent decoder.
inline bool record_decodes(const std::string& body, bool cf) {
    try {
        Decoder d(body);
        if (cf) {
            const std::uint64_t task_len = d.u64();
            if (!valid_utf8(std::string(d.take(task_len), task_len))) return false;
            for (int k = 0; k < 4; ++k) d.u64();
            d.vec<float>();
            for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) d.take(24);
            for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
                d.value<std::int32_t>();
                d.vec<std::int32_t>();
                d.vec<float>();
            }
        } else {
            d.u64();
            d.value<float>();
            for (int k = 0; k < 3; ++k) d.u64();
            for (std::uint64_t k = 0, n = d.u64(); k < n; ++k) {
                d.value<std::int32_t>();
                d.vec<quibrel::SwingPair>();
            }
        }
        d.csr();
        d.csr();
        expected_consumed(d);
        d.value<float>();
        return true;
    } catch (const Truncated&) {
        return false;
    }
}

// ---- building the file --------------------------------------------------------------------

inline std::string gzip_member(std::span<const std::uint8_t> body, int level, bool name_field) {
    // The writer's fixed header; with FNAME set, a file name follows it.
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10);
    if (name_field) {
        out[3] = 0x08;
        out.append("model", 6);  // with its terminating zero
    }
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::vector<unsigned char> buffer(deflateBound(&zs, body.size()) + 16);
    zs.next_in = const_cast<Bytef*>(body.data());
    zs.avail_in = static_cast<uInt>(body.size());
    zs.next_out = buffer.data();
    zs.avail_out = static_cast<uInt>(buffer.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    out.append(reinterpret_cast<const char*>(buffer.data()), zs.total_out);
    deflateEnd(&zs);
    const auto crc =
        static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size())));
    const auto isize = static_cast<std::uint32_t>(body.size());
    out.append(reinterpret_cast<const char*>(&crc), 4);
    out.append(reinterpret_cast<const char*>(&isize), 4);
    return out;
}

// The file the loaders read: one per process, on a memory file system when
// there is one, rewritten for every input.
inline const std::string& scratch_path() {
    static const std::string path = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/quibrel-fuzz-" + std::to_string(getpid()) + ".gz";
    }();
    static const bool cleanup = std::atexit([] { unlink(scratch_path().c_str()); }) == 0;
    (void)cleanup;
    return path;
}

inline void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// Whether computing on a loaded model stays cheap: its counts bound what the
// computations allocate and walk. Larger counts are left to predict and
// recommend, whose scratch is capped; the matrix targets cover the rest.
template <class Model>
bool small(const Model& m) {
    const auto entries = [](const CsrMatrix& x) { return x.indices.size() + x.indptr.size(); };
    return m.n_users <= 256 && m.n_items <= 256 &&
           entries(m.user_interactions) + entries(m.item_interactions) <= 4096;
}

enum class Kind { Item, User, Swing };

template <Kind kind>
int load_one(const std::uint8_t* data, std::size_t size) {
    init_pool();
    Input in(data, size);
    const std::uint8_t mode = in.byte();
    std::string file;
    bool first_intact = false;  // whether the first member is an intact wrap of the body
    bool cut = false;
    std::span<const std::uint8_t> body;
    if (mode < 64) {
        const auto raw = in.rest();
        file.assign(reinterpret_cast<const char*>(raw.data()), raw.size());
    } else {
        // Options first, so that the body is the input's tail.
        const std::uint8_t wrap = in.byte();
        const std::uint8_t extra = in.byte();
        body = in.rest();
        file = gzip_member(body, 1 + (mode & 7) % 9, (mode & 8) != 0);
        first_intact = true;
        switch (wrap % 8) {
        case 5:  // garbage after the member
            file.append(1 + extra % 16, static_cast<char>(extra));
            break;
        case 6:  // a second member, which is never read
            file += gzip_member(body.subspan(0, body.size() / 2), 1, false);
            break;
        case 7:  // the member cut short
            file.resize(file.size() - 1 - extra % std::min<std::size_t>(file.size(), 24));
            first_intact = false;
            cut = true;
            break;
        default: break;
        }
    }
    const auto file_bytes = std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
    const std::optional<std::string> member =
        first_intact ? std::string(body.begin(), body.end()) : first_member(file_bytes);
    const bool expect_model = member && record_decodes(*member, kind != Kind::Swing);

    write_file(scratch_path(), file);
    std::string canonical;
    Input use(data, size);  // ids for the calls on the loaded model come from the same bytes
    use.byte();
    if constexpr (kind == Kind::Swing) {
        SwingModel m;
        const bool loaded = attempt("load_swing", kOs | kFormat, [&] {
            m = quibrel::load_swing_model(scratch_path(), canonical);
        });
        FUZZ_CHECK(loaded == expect_model);
        if (cut) FUZZ_CHECK(!loaded);
        if (!loaded) return 0;
        check_swing(*member, m);
        count_swing_elements(m);
        predict_swing(use, m);
        recommend_swing(use, m);
        if (small(m)) {
            compute_swing(use, m);
            recommend_swing(use, m);
        }
    } else {
        constexpr Orientation o = kind == Kind::Item ? Orientation::Item : Orientation::User;
        CfModel m;
        const bool loaded =
            attempt(kind == Kind::Item ? "load_item_cf" : "load_user_cf", kOs | kFormat,
                    [&] { m = quibrel::load_cf_model(scratch_path(), canonical); });
        FUZZ_CHECK(loaded == expect_model);
        if (cut) FUZZ_CHECK(!loaded);
        if (!loaded) return 0;
        check_cf(*member, m);
        (void)quibrel::num_sim_elements(m);
        predict_cf(use, m, o);
        recommend_cf(use, m, o);
        if (small(m)) {
            const CsrMatrix empty{{}, {0}, {}};
            attempt("update_similarities", kPanic | kValue,
                    [&] { quibrel::update_similarities(m, o, empty, empty); });
            attempt("compute_similarities", kPanic | kValue,
                    [&] { quibrel::compute_similarities(m, o, true, 1); });
            recommend_cf(use, m, o);
        }
    }
    return 0;
}

}  // namespace fuzz
