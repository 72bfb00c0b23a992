// Row file names: a table row's object file is named by the table's
// registry sub-path followed by one ".<signed decimal>" group per index
// value, for example "disks/diskTable.1.-2". The index suffix starts at the
// first dot that is immediately followed by a digit or a minus sign.
//
// The daemon builds these names to look a row up and parses them to find
// the next row; agents build them to publish rows. Header-only, so that the
// agent library uses it without linking lib/.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Longest index suffix (".1.3" ...) and whole object file name, in
// characters, that the daemon forms or keeps.
inline constexpr std::size_t OBJ_SUFFIX_MAX = 31;
inline constexpr std::size_t OBJ_FILE_NAME_MAX = 99;

// Writes the ".<value>" groups of the first `count` values of `index` into
// `out` of `size` bytes, terminated. Returns the suffix's length (0 for no
// values), or -1 when it does not fit; `out` then holds the empty text
// (when `size` > 0).
inline int row_suffix_build(char* out, std::size_t size, const std::int32_t* index, int count)
{
    if (size == 0 || count < 0 || (count > 0 && index == nullptr))
        return -1;
    std::size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count; ++i) {
        int n = std::snprintf(out + used, size - used, ".%d", static_cast<int>(index[i]));
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            out[0] = '\0';
            return -1;
        }
        used += static_cast<std::size_t>(n);
    }
    return static_cast<int>(used);
}

// Writes `table` followed by the index suffix of `count` values into `out`
// of `size` bytes. Returns the name's length, or -1 when it does not fit
// (`out` then holds the empty text when `size` > 0).
inline int row_name_build(char* out, std::size_t size, const char* table, const std::int32_t* index, int count)
{
    if (table == nullptr || size == 0)
        return -1;
    std::size_t table_length = strnlen(table, size);
    if (table_length >= size) {
        out[0] = '\0';
        return -1;
    }
    std::memcpy(out, table, table_length);
    int suffix = row_suffix_build(out + table_length, size - table_length, index, count);
    if (suffix < 0) {
        out[0] = '\0';
        return -1;
    }
    return static_cast<int>(table_length) + suffix;
}

// The dot that starts the index suffix of `name`, or null when it has none.
inline const char* row_name_suffix(const char* name)
{
    for (const char* dot = std::strchr(name, '.'); dot != nullptr; dot = std::strchr(dot + 1, '.')) {
        char next = dot[1];
        if ((next >= '0' && next <= '9') || next == '-')
            return dot;
    }
    return nullptr;
}

// One index field between `field` and `end`: an optional sign, then digits
// up to the first non-digit (none: 0). The value is held at the ends of the
// 32-bit range rather than wrapped, so that a huge number can never pose as
// a small row index.
inline std::int32_t row_name_field(const char* field, const char* end)
{
    const char* p = field;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    std::int64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1)
            value = static_cast<std::int64_t>(INT32_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<std::int32_t>(value);
}

// Reads the index suffix of `name`: the text after its suffix dot is split
// at dots (empty fields skipped) and each field read by row_name_field.
// Stores at most `capacity` values in `values` and sets `*count` to the
// number of fields, which may exceed `capacity`. Returns 0, or -1 when the
// name has no index suffix.
inline int row_name_parse(const char* name, std::int32_t* values, int capacity, int* count)
{
    const char* suffix = row_name_suffix(name);
    if (suffix == nullptr)
        return -1;
    int fields = 0;
    const char* p = suffix + 1;
    while (*p != '\0') {
        const char* end = std::strchr(p, '.');
        if (end == nullptr)
            end = p + std::strlen(p);
        if (end > p) {
            if (fields < capacity)
                values[fields] = row_name_field(p, end);
            ++fields;
        }
        p = *end == '.' ? end + 1 : end;
    }
    *count = fields;
    return 0;
}
