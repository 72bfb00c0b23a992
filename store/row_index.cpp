// The row index (see row_index.h).
#include "store/row_index.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/dirsearch.h"
#include "store/reg_watch.h"
#include "store/row_search.h"

namespace {

struct table_rows {
    int dir = -1;
    std::uint64_t generation = 0;  // of the directory's names when built
    std::string base;
    // Every row has `width` values (0: no rows): rows are kept sorted by
    // index_cmp. Rows of mixed widths make the search's answer depend on the
    // order the directory yields them, so then they are kept in that order
    // and searched the way the scan does.
    int width = 0;
    bool mixed = false;
    std::vector<std::int32_t> values;  // width values per row (sorted case)
    std::vector<std::int32_t> scan;    // count, then the values, per row (mixed case)
};

struct name_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::unordered_map<std::string, table_rows, name_hash, std::equal_to<>> tables;
std::uint64_t rebuilds = 0;
std::int32_t best[SEARCH_INDEX_MAX];

// Reads the table's directory the way obj_next_instance does.
void rebuild(table_rows& table, const std::string& dir_path)
{
    ++rebuilds;
    table.width = 0;
    table.mixed = false;
    table.values.clear();
    table.scan.clear();
    char name[NAME_MAX + 1];
    char stripped[NAME_MAX + 1];
    DIR* handle = nullptr;
    while (dir_next_entry(dir_path.c_str(), name, sizeof name, &handle) == 0) {
        if (std::strcmp(strip_index(name, stripped, sizeof stripped), table.base.c_str()) != 0)
            continue;
        std::int32_t candidate[SEARCH_INDEX_MAX];
        int n = 0;
        if (parse_index(name, candidate, SEARCH_INDEX_MAX, &n) != 0 || n > SEARCH_INDEX_MAX)
            continue;
        table.scan.push_back(n);
        table.scan.insert(table.scan.end(), candidate, candidate + n);
        if (table.width == 0)
            table.width = n;
        else if (table.width != n)
            table.mixed = true;
        table.values.insert(table.values.end(), candidate, candidate + n);
    }
    if (table.mixed) {
        std::vector<std::int32_t>().swap(table.values);
        return;
    }
    std::vector<std::int32_t>().swap(table.scan);
    // Sort rows of `width` values by index_cmp through a permutation.
    std::size_t width = static_cast<std::size_t>(table.width);
    std::size_t rows = width == 0 ? 0 : table.values.size() / width;
    std::vector<std::uint32_t> order(rows);
    for (std::size_t i = 0; i < rows; ++i)
        order[i] = static_cast<std::uint32_t>(i);
    const std::int32_t* v = table.values.data();
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return index_cmp(v + a * width, v + b * width, table.width) < 0;
    });
    std::vector<std::int32_t> sorted;
    sorted.reserve(table.values.size());
    for (std::uint32_t row : order)
        sorted.insert(sorted.end(), v + row * width, v + (row + 1) * width);
    table.values.swap(sorted);
    table.values.shrink_to_fit();
}

// The scan's own loop over rows kept in directory order.
const std::int32_t* search_scan(const table_rows& table, const std::int32_t* from)
{
    for (std::size_t at = 0; at < table.scan.size();) {
        int n = table.scan[at];
        const std::int32_t* candidate = &table.scan[at + 1];
        if (index_cmp(best, candidate, n) > 0 && index_cmp(from, candidate, n) < 0)
            std::memcpy(best, candidate, sizeof candidate[0] * static_cast<std::size_t>(n));
        at += 1 + static_cast<std::size_t>(n);
    }
    return best[0] == INDEX_UNSET ? nullptr : best;
}

// The first row after `from`: rows whose first value is INDEX_UNSET or more
// sort last and are never answered, as in the scan.
const std::int32_t* search_sorted(const table_rows& table, const std::int32_t* from)
{
    int width = table.width;
    if (width == 0)
        return nullptr;
    std::size_t w = static_cast<std::size_t>(width);
    std::size_t low = 0, high = table.values.size() / w;
    while (low < high) {
        std::size_t mid = low + (high - low) / 2;
        if (index_cmp(&table.values[mid * w], from, width) > 0)
            high = mid;
        else
            low = mid + 1;
    }
    if (low == table.values.size() / w)
        return nullptr;
    const std::int32_t* row = &table.values[low * w];
    if (row[0] >= INDEX_UNSET)
        return nullptr;
    std::memcpy(best, row, sizeof row[0] * w);
    return best;
}

// Drops every index: a new registry directory, or a change the watch may
// have missed.
void clear()
{
    tables.clear();
}

const reg_watch_listener listener{nullptr, nullptr, nullptr, clear};

// Hands the watch the index's listener, once, before anything is kept. A
// table is checked against its directory's names generation at every use,
// so the index needs to hear only when to keep nothing.
void listen()
{
    static const bool listening = (reg_watch_listen(&listener), true);
    (void)listening;
}

}  // namespace

bool row_index_next(const char* subpath, const std::int32_t* start, int count, const std::int32_t** found)
{
    listen();
    if (subpath == nullptr || reg_watch_root()[0] == '\0')
        return false;
    std::string_view path(subpath, strnlen(subpath, SEARCH_PATH_SIZE));
    std::size_t slash = path.rfind('/');
    // No directory part (or only a leading slash): the scan finds no rows,
    // and so does it here.
    if (slash == std::string_view::npos || slash == 0 || path[0] == '/')
        return false;
    reg_watch_sync_if_needed();
    std::string_view dir_part = path.substr(0, slash);
    int dir = reg_watch_dir(dir_part);
    if (dir < 0)
        return false;

    auto it = tables.find(path);
    if (it == tables.end()) {
        it = tables.emplace(std::string(path), table_rows{}).first;
        it->second.base.assign(path.substr(slash + 1));
    }
    table_rows& table = it->second;
    std::uint64_t generation = reg_watch_names_generation(dir);
    if (table.dir != dir || table.generation != generation) {
        // The watch is in place before the scan, so whatever changes after
        // the scan bumps the generation again.
        std::string full = std::string(reg_watch_root()) + "/" + std::string(dir_part);
        rebuild(table, full);
        table.dir = dir;
        table.generation = generation;
    }

    std::int32_t from[SEARCH_INDEX_MAX];
    for (int i = 0; i < SEARCH_INDEX_MAX; ++i) {
        best[i] = INDEX_UNSET;
        from[i] = i < count ? start[i] : -1;
    }
    *found = table.mixed ? search_scan(table, from) : search_sorted(table, from);
    return true;
}

std::uint64_t row_index_rebuilds()
{
    return rebuilds;
}
