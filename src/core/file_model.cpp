#include "core/file_model.hpp"

#include "core/file_gzip_stream.hpp"
#include "core/file_record_codec.hpp"
#include "core/file_replace.hpp"

namespace quibrel {

namespace {

void write_csr(RecordWriter& w, const CsrMatrix& m) {
    w.raw_vector(m.indices);
    w.raw_vector(m.indptr);
    w.raw_vector(m.data);
}

CsrMatrix read_csr(RecordReader& r) {
    CsrMatrix m;
    r.raw_vector(m.indices);
    r.raw_vector(m.indptr);
    r.raw_vector(m.data);
    return m;
}

void write_consumed(RecordWriter& w, const ConsumedMap& consumed) {
    w.u64(consumed.size());
    consumed.for_each([&](std::int32_t user, const std::vector<std::int32_t>& items) {
        w.i32(user);
        w.raw_vector(items);
    });
}

// Map entries are inserted in file order, so a repeated key keeps its last value.
ConsumedMap read_consumed(RecordReader& r) {
    ConsumedMap consumed;
    const std::uint64_t count = r.u64();
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::int32_t user = r.i32();
        std::vector<std::int32_t> items;
        r.raw_vector(items);
        consumed.insert_or_assign(user, std::move(items));
    }
    return consumed;
}

constexpr std::size_t kPairEntryBytes = 24;

void write_pair_stats(RecordWriter& w, const PairStats& stats, std::uint64_t n) {
    w.u64(stats.size());
    stats.for_each([&](const PairRecord& rec) {
        unsigned char entry[kPairEntryBytes];
        codec_detail::store(entry, pair_file_key(rec.x, rec.y, n));
        codec_detail::store(entry + 4, rec.x);
        codec_detail::store(entry + 8, rec.y);
        codec_detail::store(entry + 12, rec.dot);
        codec_detail::store(entry + 16, rec.count);
        w.bytes(entry, sizeof entry);
    });
}

// A record is identified by its own pair; the stored key is derived data and
// is not trusted.
void read_pair_stats(RecordReader& r, PairStats& stats) {
    const std::uint64_t count = r.u64();
    for (std::uint64_t k = 0; k < count; ++k) {
        unsigned char entry[kPairEntryBytes];
        r.exact(entry, sizeof entry);
        PairRecord rec;
        rec.x = codec_detail::load<std::int32_t>(entry + 4);
        rec.y = codec_detail::load<std::int32_t>(entry + 8);
        rec.dot = codec_detail::load<float>(entry + 12);
        rec.count = codec_detail::load<std::uint64_t>(entry + 16);
        stats.insert_or_assign(rec);
    }
}

void write_cf(RecordWriter& w, const CfModel& m, Orientation o) {
    w.text(m.task);
    w.u64(m.k_sim);
    w.u64(m.n_users);
    w.u64(m.n_items);
    w.u64(m.min_common);
    w.raw_vector(m.sum_squares);
    write_pair_stats(w, m.pair_stats, cosine_roles(m, o).n);
    w.u64(m.sim_mapping.size());
    m.sim_mapping.for_each([&](std::int32_t id, const NeighbourList& list) {
        w.i32(id);
        w.raw_vector(list.ids);
        w.raw_vector(list.sims);
    });
    write_csr(w, m.user_interactions);
    write_csr(w, m.item_interactions);
    write_consumed(w, m.user_consumed);
    w.f32(m.default_pred);
}

CfModel read_cf(RecordReader& r) {
    CfModel m;
    m.task = r.text();
    m.k_sim = r.u64();
    m.n_users = r.u64();
    m.n_items = r.u64();
    m.min_common = r.u64();
    r.raw_vector(m.sum_squares);
    read_pair_stats(r, m.pair_stats);
    const std::uint64_t lists = r.u64();
    ListArena arena;
    const ListArenaScope in_arena(arena);
    for (std::uint64_t k = 0; k < lists; ++k) {
        const std::int32_t id = r.i32();
        NeighbourList list;
        r.raw_vector(list.ids);
        r.raw_vector(list.sims);
        m.sim_mapping.insert_or_assign(id, std::move(list));
    }
    m.user_interactions = read_csr(r);
    m.item_interactions = read_csr(r);
    m.user_consumed = read_consumed(r);
    m.default_pred = r.f32();
    return m;
}

void write_swing(RecordWriter& w, const SwingModel& m) {
    w.u64(m.top_k);
    w.f32(m.alpha);
    w.u64(m.max_cache_num);
    w.u64(m.n_users);
    w.u64(m.n_items);
    w.u64(m.swing_scores.size());
    m.swing_scores.for_each([&](std::int32_t id, const SwingList& list) {
        w.i32(id);
        w.raw_vector(list);
    });
    write_csr(w, m.user_interactions);
    write_csr(w, m.item_interactions);
    write_consumed(w, m.user_consumed);
    w.f32(m.default_pred);
}

SwingModel read_swing(RecordReader& r) {
    SwingModel m;
    m.top_k = r.u64();
    m.alpha = r.f32();
    m.max_cache_num = r.u64();
    m.n_users = r.u64();
    m.n_items = r.u64();
    const std::uint64_t lists = r.u64();
    ListArena arena;
    const ListArenaScope in_arena(arena);
    for (std::uint64_t k = 0; k < lists; ++k) {
        const std::int32_t id = r.i32();
        SwingList list;
        r.raw_vector(list);
        m.swing_scores.insert_or_assign(id, std::move(list));
    }
    m.user_interactions = read_csr(r);
    m.item_interactions = read_csr(r);
    m.user_consumed = read_consumed(r);
    m.default_pred = r.f32();
    return m;
}

template <class Encode>
void write_record(FileHandle& file, ByteTally* output, Encode&& encode) {
    GzipWriter gz(file, output);
    RecordWriter w(gz);
    encode(w);
    gz.finish();
}

template <class Decode>
auto read_record(FileHandle& file, const FileRange* range, ByteTally* input, Decode&& decode) {
    GzipReader gz(file, range);
    RecordReader r(gz);
    auto record = decode(r);
    r.finish();
    if (range != nullptr) *input = gz.finish_range();
    return record;
}

template <class Encode>
std::string save_file(const std::string& file_path, Encode&& encode) {
    write_file_replacing(file_path, [&](FileHandle& file) { write_record(file, nullptr, encode); });
    return canonical_path(file_path);
}

template <class Decode>
auto load_file(const std::string& file_path, std::string& canonical, Decode&& decode) {
    FileHandle file = FileHandle::open_for_read(file_path);
    auto record = read_record(file, nullptr, nullptr, decode);
    canonical = canonical_path(file_path);
    return record;
}

}  // namespace

std::string model_file_path(const std::string& dir, const std::string& model_name) {
    std::string file_name = model_name + ".gz";
    if (!file_name.empty() && file_name.front() == '/') return file_name;
    if (dir.empty() || dir.back() == '/') return dir + file_name;
    return dir + '/' + file_name;
}

std::string save_cf_model(const CfModel& m, Orientation o, const std::string& file_path) {
    return save_file(file_path, [&](RecordWriter& w) { write_cf(w, m, o); });
}

std::string save_swing_model(const SwingModel& m, const std::string& file_path) {
    return save_file(file_path, [&](RecordWriter& w) { write_swing(w, m); });
}

CfModel load_cf_model(const std::string& file_path, std::string& canonical_path_out) {
    return load_file(file_path, canonical_path_out, [](RecordReader& r) { return read_cf(r); });
}

SwingModel load_swing_model(const std::string& file_path, std::string& canonical_path_out) {
    return load_file(file_path, canonical_path_out, [](RecordReader& r) { return read_swing(r); });
}

ByteTally write_cf_model(const CfModel& m, Orientation o, FileHandle& file) {
    ByteTally output;
    write_record(file, &output, [&](RecordWriter& w) { write_cf(w, m, o); });
    return output;
}

ByteTally write_swing_model(const SwingModel& m, FileHandle& file) {
    ByteTally output;
    write_record(file, &output, [&](RecordWriter& w) { write_swing(w, m); });
    return output;
}

CfModel read_cf_model(FileHandle& file, const FileRange& range, ByteTally& read) {
    return read_record(file, &range, &read, [](RecordReader& r) { return read_cf(r); });
}

SwingModel read_swing_model(FileHandle& file, const FileRange& range, ByteTally& read) {
    return read_record(file, &range, &read, [](RecordReader& r) { return read_swing(r); });
}

}  // namespace quibrel
