// The row search over the data registry (see row_search.h).
#include "store/row_search.h"

#include <climits>
#include <cstring>

#include "lib/dirsearch.h"
#include "store/row_name.h"

char* strip_index(const char* name, char* out, std::size_t out_size)
{
    if (out_size == 0)
        return out;
    const char* suffix = row_name_suffix(name);
    std::size_t length = suffix != nullptr ? static_cast<std::size_t>(suffix - name) : strlen(name);
    if (length > out_size - 1)
        length = out_size - 1;
    memcpy(out, name, length);
    out[length] = '\0';
    return out;
}

int parse_index(const char* name, std::int32_t* values, int capacity, int* count)
{
    return row_name_parse(name, values, capacity, count);
}

int index_cmp(const std::int32_t* a, const std::int32_t* b, int n)
{
    for (int i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

const std::int32_t* obj_next_instance(const char* subpath, const std::int32_t* start, int count)
{
    static std::int32_t best[SEARCH_INDEX_MAX];
    std::int32_t from[SEARCH_INDEX_MAX];
    for (int i = 0; i < SEARCH_INDEX_MAX; ++i) {
        best[i] = INDEX_UNSET;
        from[i] = i < count ? start[i] : -1;
    }

    // Only a whole subpath: a cut one would name another table.
    char dir[SEARCH_PATH_SIZE];
    std::size_t length = strnlen(subpath, sizeof dir);
    if (length == sizeof dir)
        return nullptr;
    memcpy(dir, subpath, length + 1);
    const char* base = subpath + (path_part(dir, PATH_LAST) - dir);
    path_part(dir, PATH_DIR);

    // Big enough for any name a directory can hold, so no entry is skipped
    // for its length.
    char name[NAME_MAX + 1];
    char stripped[NAME_MAX + 1];
    DIR* handle = nullptr;
    while (dir_next_entry(dir, name, sizeof name, &handle) == 0) {
        if (strcmp(strip_index(name, stripped, sizeof stripped), base) != 0)
            continue;
        std::int32_t candidate[SEARCH_INDEX_MAX];
        int n = 0;
        if (parse_index(name, candidate, SEARCH_INDEX_MAX, &n) != 0)
            continue;
        // A row with more values than the search holds cannot be named back
        // from a five-value index, so it is not offered as a next row.
        if (n > SEARCH_INDEX_MAX)
            continue;
        if (index_cmp(best, candidate, n) > 0 && index_cmp(from, candidate, n) < 0)
            memcpy(best, candidate, sizeof candidate[0] * static_cast<std::size_t>(n));
    }
    return best[0] == INDEX_UNSET ? nullptr : best;
}
