// The row search: the next row of a MIB table among the object files of
// the data registry (get-next and first-row access), read from the table's
// directory as it is now. The row index (row_index.h) answers the same
// question from what it keeps; this is the scan it must agree with.
//
// Row file names are laid out in store/row_name.h.
#pragma once
#include <cstddef>
#include <cstdint>

// Index values that the instance search handles for one row.
inline constexpr int SEARCH_INDEX_MAX = 5;
// Marks the best index as not yet found; rows whose first value is this or
// more are never returned.
inline constexpr std::int32_t INDEX_UNSET = 0x0FFFFFFF;

// The smallest row index (in index_cmp order) of the table `subpath` that
// sorts strictly after `start` (its first `count` values; the rest count as
// -1, and values beyond the fifth are not used). The directory part of
// `subpath` is read relative to the working directory. Returns a static
// array of SEARCH_INDEX_MAX values, valid until the next call (only the
// first as many values as the row's name carries are meaningful), or null
// when there is no such row or the directory cannot be read. Row files
// with more than SEARCH_INDEX_MAX index values are passed over.
const std::int32_t* obj_next_instance(const char* subpath, const std::int32_t* start, int count);

// Copies `name` without its index suffix (the whole name when it has none)
// into `out` of `out_size` bytes, cut to fit and always terminated, and
// returns `out`.
char* strip_index(const char* name, char* out, std::size_t out_size);

// Reads the index suffix of `name`: the text after its first dot is split at
// dots (empty fields skipped) and each field read as a decimal integer with
// an optional sign, up to its first non-digit (no digits: 0; values beyond
// the 32-bit range are held at its nearest end). Stores at most `capacity`
// values in `values` and sets `*count` to the number of fields, which may
// exceed `capacity`. Returns 0, or -1 when the name has no index suffix.
int parse_index(const char* name, std::int32_t* values, int capacity, int* count);

// Negative, zero or positive as index a sorts before, equal to or after
// index b over their first n positions, compared as signed values.
int index_cmp(const std::int32_t* a, const std::int32_t* b, int n);
