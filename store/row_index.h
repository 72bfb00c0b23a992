// The row index: per table, the rows of its directory in the order the
// instance search answers them, so that a get-next finds the next row by a
// binary search instead of a scan of the whole directory. It answers
// exactly as obj_next_instance does on the directory as it is now: the index
// is rebuilt from a fresh scan whenever the change watch (reg_watch.h) saw a
// name appear, go or move in the table's directory.
#pragma once
#include <cstdint>

// Answers obj_next_instance(subpath, start, count) from the index. Returns
// true with *found set (null: no such row) when it could; false when the
// table's directory cannot be watched, and the caller must scan it itself.
bool row_index_next(const char* subpath, const std::int32_t* start, int count, const std::int32_t** found);

// Directory scans made to build indexes, for tests and benchmarks.
std::uint64_t row_index_rebuilds();
