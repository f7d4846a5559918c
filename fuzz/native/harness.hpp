// Shared pieces of the native fuzz targets: a reader that turns fuzz bytes
// into values, builders for hostile matrices and model records, and the rule
// that a call ends in a result or in one of the failures the core may raise
// for it. Anything else (another exception type, a sanitizer report, a crash)
// aborts, so that the fuzzing engine records the input.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/models.hpp"
#include "core/pool.hpp"

namespace fuzz {

using quibrel::CsrMatrix;

// ---- reading the input --------------------------------------------------------------------

// Reads values from the front of the input; past its end every read gives zero,
// so every input decodes to something.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}

    bool empty() const noexcept { return left_ == 0; }
    std::size_t left() const noexcept { return left_; }

    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    template <class T>
    T raw() {
        unsigned char bytes[sizeof(T)] = {};
        const std::size_t n = left_ < sizeof(T) ? left_ : sizeof(T);
        std::memcpy(bytes, p_, n);
        p_ += n;
        left_ -= n;
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    bool flag() { return (byte() & 1) != 0; }
    // Uniform enough in [0, n) for n <= 256.
    std::size_t below(std::size_t n) { return n == 0 ? 0 : byte() % n; }
    std::size_t upto(std::size_t max) { return below(max + 1); }

    template <class T, std::size_t N>
    T pick(const T (&table)[N]) {
        return table[below(N)];
    }

    std::span<const std::uint8_t> rest() {
        std::span<const std::uint8_t> out(p_, left_);
        p_ += left_;
        left_ = 0;
        return out;
    }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

// Ids as a careless caller or a damaged file gives them: mostly small, some at
// the edges of the 32-bit range.
inline std::int32_t any_id(Input& in, std::size_t small_range) {
    static const std::int32_t edges[] = {-1,
                                         -2,
                                         std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max(),
                                         1 << 30,
                                         65536,
                                         1 << 24};
    const std::uint8_t b = in.byte();
    if (b < 224) return static_cast<std::int32_t>(b % (small_range == 0 ? 1 : small_range));
    if (b < 240) return edges[b % std::size(edges)];
    return in.raw<std::int32_t>();
}

inline float any_value(Input& in) {
    static const float ordinary[] = {1.0f, 2.0f, 0.5f, 4.0f, 3.0f, 5.0f};
    static const float edges[] = {std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  0.0f,
                                  -0.0f,
                                  3.4e38f,
                                  1e-45f,
                                  -1.0f};
    const std::uint8_t b = in.byte();
    if (b < 200) return ordinary[b % std::size(ordinary)];
    if (b < 248) return edges[b % std::size(edges)];
    return in.raw<float>();
}

inline std::uint64_t any_count(Input& in) {
    static const std::uint64_t edges[] = {0,
                                          1,
                                          2,
                                          3,
                                          5,
                                          10,
                                          std::uint64_t{1} << 31,
                                          std::uint64_t{1} << 32,
                                          std::uint64_t{1} << 63,
                                          std::numeric_limits<std::uint64_t>::max()};
    const std::uint8_t b = in.byte();
    if (b < 200) return b % 12;
    return edges[b % std::size(edges)];
}

// ---- the failure rule ---------------------------------------------------------------------

// Failure kinds a call may end in.
enum Allow : unsigned {
    kPanic = 1u << 0,    // internal failure (PanicException)
    kValue = 1u << 1,    // ValueError
    kRuntime = 1u << 2,  // RuntimeError
    kOs = 1u << 3,       // OSError and its subclasses
    kFormat = 1u << 4,   // OSError for an undecodable model file
};

[[noreturn]] inline void reject(const char* call, const char* kind, const char* what) {
    std::fprintf(stderr, "\n%s ended in %s, which it may not: %s\n", call, kind, what);
    std::fflush(stderr);
    std::abort();
}

// Runs f; returns true when it completed, false when it raised an allowed
// failure. Any other outcome aborts the process.
template <class F>
bool attempt(const char* call, unsigned allowed, F&& f) {
    try {
        f();
        return true;
    } catch (const quibrel::Panic& e) {
        if (!(allowed & kPanic)) reject(call, "Panic", e.what());
    } catch (const quibrel::ValueFailure& e) {
        if (!(allowed & kValue)) reject(call, "ValueFailure", e.what());
    } catch (const quibrel::RuntimeFailure& e) {
        if (!(allowed & kRuntime)) reject(call, "RuntimeFailure", e.what());
    } catch (const quibrel::OsFailure& e) {
        if (!(allowed & kOs)) reject(call, "OsFailure", e.what());
    } catch (const quibrel::FormatFailure& e) {
        if (!(allowed & kFormat)) reject(call, "FormatFailure", e.what());
    } catch (const quibrel::Interrupted&) {
        reject(call, "Interrupted", "no interrupt check is installed");
    } catch (const std::bad_alloc&) {
        // Sizes are capped so that no input needs more than a few megabytes.
        reject(call, "std::bad_alloc", "inputs are capped below any real limit");
    } catch (const std::exception& e) {
        reject(call, "a std::exception the core does not raise on purpose", e.what());
    } catch (...) {
        reject(call, "an unknown exception", "");
    }
    return false;
}

[[noreturn]] inline void oracle_failure(const char* what) {
    std::fprintf(stderr, "\nwrong result: %s\n", what);
    std::fflush(stderr);
    std::abort();
}
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) ::fuzz::oracle_failure(#cond " (" __FILE__ ")");                              \
    } while (0)

// The pool is created once, with two workers, so that per-worker scratch and
// the hand-out of chunks run as they do on a real machine.
inline void init_pool() {
    static const bool done = [] {
        quibrel::set_thread_count(2);
        return quibrel::worker_count() > 0;
    }();
    (void)done;
}

// Thread counts a caller may pass; the pool exists already, so they only
// change the variable the binding writes.
inline std::uint64_t any_thread_count(Input& in) {
    static const std::uint64_t counts[] = {0, 1, 2, 3, std::numeric_limits<std::uint64_t>::max()};
    return in.pick(counts);
}

// ---- matrices -----------------------------------------------------------------------------

// Rows and entries are capped so that one execution stays cheap; the damage
// kinds below are what a careless caller can pass through the conversions.
constexpr std::size_t kMaxRows = 24;
constexpr std::size_t kMaxRowLength = 8;

struct Shape {
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// A well-formed matrix (strictly ascending columns below cols) with ordinary values.
inline CsrMatrix regular_matrix(Input& in, Shape shape) {
    CsrMatrix m;
    m.indptr.push_back(0);
    for (std::size_t r = 0; r < shape.rows; ++r) {
        std::uint32_t mask = in.raw<std::uint16_t>();
        std::size_t taken = 0;
        for (std::size_t c = 0; c < shape.cols && c < 16 && taken < kMaxRowLength; ++c)
            if (mask & (1u << c)) {
                m.indices.push_back(static_cast<std::int32_t>(c));
                m.data.push_back(static_cast<float>(1 + in.below(5)) * 0.5f);
                ++taken;
            }
        m.indptr.push_back(m.indices.size());
    }
    return m;
}

// The same entries with rows and columns swapped.
inline CsrMatrix transpose(const CsrMatrix& m, std::size_t cols) {
    CsrMatrix t;
    t.indptr.assign(cols + 1, 0);
    for (std::int32_t c : m.indices)
        if (c >= 0 && static_cast<std::size_t>(c) < cols)
            ++t.indptr[static_cast<std::size_t>(c) + 1];
    for (std::size_t c = 0; c < cols; ++c) t.indptr[c + 1] += t.indptr[c];
    t.indices.resize(t.indptr[cols]);
    t.data.resize(t.indptr[cols]);
    std::vector<std::uint64_t> next(t.indptr.begin(), t.indptr.end() - 1);
    for (std::size_t r = 0; r + 1 < m.indptr.size(); ++r)
        for (std::uint64_t p = m.indptr[r]; p < m.indptr[r + 1]; ++p) {
            const std::int32_t c = m.indices[p];
            if (c < 0 || static_cast<std::size_t>(c) >= cols) continue;
            const std::uint64_t at = next[static_cast<std::size_t>(c)]++;
            t.indices[at] = static_cast<std::int32_t>(r);
            t.data[at] = m.data[p];
        }
    return t;
}

// One kind of damage applied to a matrix, chosen and parametrised by the input.
inline void damage(Input& in, CsrMatrix& m, std::size_t cols) {
    static const std::uint64_t huge_offsets[] = {
        std::uint64_t{1} << 31, (std::uint64_t{1} << 32) + 1, std::uint64_t{1} << 62,
        std::uint64_t{1} << 63, std::numeric_limits<std::uint64_t>::max()};
    auto& ip = m.indptr;
    auto& ix = m.indices;
    auto& dv = m.data;
    switch (in.below(16)) {
    case 0:  // an offset below its predecessor
        if (ip.size() > 2) {
            const std::size_t p = 1 + in.below(ip.size() - 1);
            ip[p] = ip[p - 1] == 0 ? 0 : in.upto(255) % ip[p - 1];
            if (p > 1) ip[p - 1] += 1 + in.below(5);
        }
        break;
    case 1:  // the last offset past the entries
        if (!ip.empty()) ip.back() += 1 + in.raw<std::uint16_t>() % 1000;
        break;
    case 2:  // an offset no vector can reach
        if (!ip.empty()) ip[in.below(ip.size())] = in.pick(huge_offsets);
        break;
    case 3:  // too few offsets for the rows
        if (!ip.empty()) ip.resize(in.below(ip.size()));
        break;
    case 4:  // no leading zero
        if (!ip.empty()) ip[0] = 1 + in.below(10);
        break;
    case 5: ip.clear(); break;
    case 6:  // a negative column
        if (!ix.empty())
            ix[in.below(ix.size())] =
                -1 - static_cast<std::int32_t>(in.raw<std::uint32_t>() & 0x7fffffff);
        break;
    case 7:  // a column at the edge of the id range
        if (!ix.empty()) ix[in.below(ix.size())] = any_id(in, cols + 4);
        break;
    case 8:  // a column at or just past the end
        if (!ix.empty()) ix[in.below(ix.size())] = static_cast<std::int32_t>(cols + in.below(4));
        break;
    case 9:  // rows no longer sorted
        std::reverse(ix.begin(), ix.end());
        break;
    case 10:  // a repeated column
        if (!ix.empty()) {
            const std::size_t p = in.below(ix.size());
            ix[p] = p > 0 ? ix[p - 1] : ix.back();
        }
        break;
    case 11:  // NaN, infinities, zeros, extremes
        for (std::size_t k = 0, n = 1 + in.below(3); k < n && !dv.empty(); ++k)
            dv[in.below(dv.size())] = any_value(in);
        break;
    case 12:  // indices shorter than the offsets say
        if (!ix.empty()) ix.resize(in.below(ix.size()));
        break;
    case 13:  // data shorter than the offsets say
        if (!dv.empty()) dv.resize(in.below(dv.size()));
        break;
    case 14: {  // empty rows past the end
        const std::uint64_t last = ip.empty() ? 0 : ip.back();
        ip.insert(ip.end(), 1 + in.below(4), last);
        break;
    }
    case 15:  // extra entries that no row covers
        for (std::size_t k = 0, n = 1 + in.below(4); k < n; ++k) {
            ix.push_back(any_id(in, cols + 1));
            dv.push_back(any_value(in));
        }
        break;
    }
}

inline void damage_some(Input& in, CsrMatrix& m, std::size_t cols) {
    // Most matrices stay intact, so the computations get past their checks.
    const std::uint8_t b = in.byte();
    const std::size_t n = b < 128 ? 0 : b < 192 ? 1 : b < 240 ? 2 : 3;
    for (std::size_t k = 0; k < n; ++k) damage(in, m, cols);
}

// Three vectors straight from the input, no structure at all.
inline CsrMatrix raw_matrix(Input& in, std::size_t cols) {
    CsrMatrix m;
    for (std::size_t k = 0, n = in.upto(kMaxRows * 2); k < n; ++k)
        m.indices.push_back(any_id(in, cols + 2));
    for (std::size_t k = 0, n = in.upto(kMaxRows + 2); k < n; ++k) {
        const std::uint8_t b = in.byte();
        m.indptr.push_back(b < 240 ? b % 40 : any_count(in));
    }
    for (std::size_t k = 0, n = in.upto(kMaxRows * 2); k < n; ++k) m.data.push_back(any_value(in));
    return m;
}

// A pair of matrices for one batch of interactions: the user-by-item matrix
// and its transpose, each possibly damaged on its own, or two unrelated ones.
struct Interactions {
    CsrMatrix users;
    CsrMatrix items;
};

inline Interactions interactions(Input& in, std::size_t n_users, std::size_t n_items) {
    Interactions out;
    const std::uint8_t mode = in.byte();
    if (mode < 16) {
        out.users = raw_matrix(in, n_items);
        out.items = raw_matrix(in, n_users);
        return out;
    }
    // Rows past the counts and counts past the rows both happen.
    Shape shape{std::min(n_users + in.below(3), kMaxRows),
                std::min(n_items + in.below(3), std::size_t{16})};
    if (mode < 32) shape = {in.upto(kMaxRows), in.upto(16)};
    out.users = regular_matrix(in, shape);
    out.items = transpose(out.users, shape.cols);
    damage_some(in, out.users, n_items);
    damage_some(in, out.items, n_users);
    return out;
}

// Small entity counts, sometimes zero or just past what the matrices hold.
inline std::uint64_t small_count(Input& in) { return in.upto(20); }

// ---- consumed maps and stored lists ---------------------------------------------------------

inline quibrel::ConsumedMap consumed_from(const CsrMatrix& users) {
    quibrel::ConsumedMap map;
    for (std::size_t r = 0; r + 1 < users.indptr.size(); ++r) {
        std::vector<std::int32_t> items;
        for (std::uint64_t p = users.indptr[r]; p < users.indptr[r + 1] && p < users.indices.size();
             ++p)
            items.push_back(users.indices[p]);
        if (!items.empty()) map.insert_or_assign(static_cast<std::int32_t>(r), std::move(items));
    }
    return map;
}

inline quibrel::ConsumedMap any_consumed(Input& in, const CsrMatrix& users, std::size_t n_items) {
    if (in.flag()) return consumed_from(users);
    quibrel::ConsumedMap map;
    for (std::size_t k = 0, n = in.upto(6); k < n; ++k) {
        std::vector<std::int32_t> items;
        for (std::size_t j = 0, len = in.upto(5); j < len; ++j)
            items.push_back(any_id(in, n_items + 1));
        map.insert_or_assign(any_id(in, 24), std::move(items));
    }
    return map;
}

// Neighbour lists as a model file can carry them: ids and similarities of
// different lengths, unsorted, NaN, ids outside every range.
inline void any_sim_mapping(Input& in, quibrel::SimMapping& map, std::size_t n) {
    for (std::size_t k = 0, lists = in.upto(8); k < lists; ++k) {
        quibrel::NeighbourList list;
        const std::size_t len = in.upto(6);
        for (std::size_t j = 0; j < len; ++j) list.ids.push_back(any_id(in, n + 1));
        const std::uint8_t shape = in.byte();
        const std::size_t sims = shape < 200 ? len : in.upto(7);
        for (std::size_t j = 0; j < sims; ++j)
            list.sims.push_back(shape < 100 ? 1.0f / static_cast<float>(j + 1) : any_value(in));
        map.insert_or_assign(any_id(in, n + 1), std::move(list));
    }
}

inline void any_swing_scores(Input& in, quibrel::SwingScores& map, std::size_t n) {
    for (std::size_t k = 0, lists = in.upto(8); k < lists; ++k) {
        quibrel::SwingList list;
        const bool ordinary = in.byte() < 128;
        for (std::size_t j = 0, len = in.upto(6); j < len; ++j)
            list.push_back(
                {any_id(in, n + 1), ordinary ? 1.0f / static_cast<float>(j + 1) : any_value(in)});
        map.insert_or_assign(any_id(in, n + 1), std::move(list));
    }
}

inline std::string any_task(Input& in) {
    static const char* const words[] = {"rating", "ranking", "rating", "ranking", "", "Rating"};
    return words[in.below(std::size(words))];
}

// Users and items for predict and recommend, after their conversions: lists of
// u64 or i32 values, mostly in range.
inline std::vector<std::int32_t> i32_ids(Input& in, std::size_t n) {
    std::vector<std::int32_t> out;
    for (std::size_t k = 0, len = in.upto(6); k < len; ++k) out.push_back(any_id(in, n + 3));
    return out;
}

inline std::vector<std::uint64_t> u64_ids(Input& in, std::size_t n) {
    std::vector<std::uint64_t> out;
    for (std::size_t k = 0, len = in.upto(6); k < len; ++k) {
        const std::uint8_t b = in.byte();
        out.push_back(b < 224 ? b % (n + 3) : any_count(in));
    }
    return out;
}

inline std::uint64_t any_n_rec(Input& in) {
    static const std::uint64_t edges[] = {
        0, 1, 3, 10, std::uint64_t{1} << 32, std::numeric_limits<std::uint64_t>::max()};
    return in.pick(edges);
}

}  // namespace fuzz
