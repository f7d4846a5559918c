// The consumed map: filled the way the dict conversion fills it (one
// insert_or_assign per key, in dict order, where keys of different objects may
// convert to the same id) and by build_consumed_unique, each checked against a
// plain ordered map built from the same input.
#include <map>
#include <set>

#include "core/consumed.hpp"
#include "fuzz/native/harness.hpp"

using namespace fuzz;
using Oracle = std::map<std::int32_t, std::vector<std::int32_t>>;

namespace {

// Ids spread over the dense part, the point where the map switches to its
// sparse part, negative ids and the edges.
std::int32_t map_id(Input& in) {
    const std::uint8_t b = in.byte();
    if (b < 128) return b % 64;
    if (b < 160) return static_cast<std::int32_t>(4000 + in.raw<std::uint16_t>() % 8000);
    if (b < 192) return static_cast<std::int32_t>(in.raw<std::uint16_t>()) * (b & 1 ? 1 : 37);
    return any_id(in, 64);
}

void check_equal(const quibrel::ConsumedMap& map, const Oracle& oracle, Input& in) {
    FUZZ_CHECK(map.size() == oracle.size());
    FUZZ_CHECK(map.empty() == oracle.empty());
    std::size_t visited = 0;
    std::set<std::int32_t> seen;
    map.for_each([&](std::int32_t id, const std::vector<std::int32_t>& list) {
        ++visited;
        FUZZ_CHECK(seen.insert(id).second);
        const auto it = oracle.find(id);
        FUZZ_CHECK(it != oracle.end());
        FUZZ_CHECK(it->second == list);
    });
    FUZZ_CHECK(visited == oracle.size());
    for (const auto& [id, list] : oracle) {
        const auto* found = map.find(id);
        FUZZ_CHECK(found != nullptr && *found == list);
    }
    for (std::size_t k = 0; k < 4; ++k) {
        const std::int32_t probe = map_id(in);
        FUZZ_CHECK((map.find(probe) != nullptr) == (oracle.count(probe) != 0));
    }
}

void fill(Input& in, quibrel::ConsumedMap& map, Oracle& oracle) {
    for (std::size_t k = 0, n = in.upto(40); k < n; ++k) {
        const std::int32_t id = map_id(in);
        std::vector<std::int32_t> items;
        for (std::size_t j = 0, len = in.upto(4); j < len; ++j) items.push_back(any_id(in, 16));
        map.insert_or_assign(id, items);
        oracle[id] = std::move(items);
    }
}

// Appends position by position up to the shorter list, then removes
// consecutive repeats from every list.
void expected_unique(const std::vector<std::int32_t>& users, const std::vector<std::int32_t>& items,
                     Oracle& by_user, Oracle& by_item) {
    for (std::size_t p = 0; p < std::min(users.size(), items.size()); ++p) {
        by_user[users[p]].push_back(items[p]);
        by_item[items[p]].push_back(users[p]);
    }
    for (Oracle* o : {&by_user, &by_item})
        for (auto& [id, list] : *o) list.erase(std::unique(list.begin(), list.end()), list.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    if (in.flag()) {
        quibrel::ConsumedMap map;
        Oracle oracle;
        if (in.flag()) map.reserve_dense(in.raw<std::uint16_t>() % 5000);
        fill(in, map, oracle);
        check_equal(map, oracle, in);
        if (in.flag()) {  // the setter replaces the map; a cleared one is refilled
            map.clear();
            oracle.clear();
            check_equal(map, oracle, in);
            fill(in, map, oracle);
            check_equal(map, oracle, in);
        }
        quibrel::ConsumedMap moved = std::move(map);
        check_equal(moved, oracle, in);
    } else {
        std::vector<std::int32_t> users, items;
        const std::size_t n = in.upto(64);
        const std::size_t m = in.byte() < 224 ? n : in.upto(64);
        for (std::size_t k = 0; k < n; ++k) users.push_back(map_id(in));
        for (std::size_t k = 0; k < m; ++k) items.push_back(map_id(in));
        quibrel::ConsumedMap by_user, by_item;
        attempt("build_consumed_unique", 0,
                [&] { quibrel::build_consumed_unique(users, items, by_user, by_item); });
        Oracle want_user, want_item;
        expected_unique(users, items, want_user, want_item);
        check_equal(by_user, want_user, in);
        check_equal(by_item, want_item, in);
    }
    return 0;
}
