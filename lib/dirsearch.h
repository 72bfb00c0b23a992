// Two searches of the file system: the next row of a MIB table among the
// object files of the data registry (get-next and first-row access), and an
// agent's executable along the absolute directories of PATH.
//
// Row file names are laid out in lib/row_name.h.
#pragma once
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Index values that the instance search handles for one row.
inline constexpr int SEARCH_INDEX_MAX = 5;
// Marks the best index as not yet found; rows whose first value is this or
// more are never returned.
inline constexpr std::int32_t INDEX_UNSET = 0x0FFFFFFF;
// Size of the executable search's result, with its terminator; PATH is read
// up to one less than this.
inline constexpr std::size_t SEARCH_PATH_SIZE = 1024;

// Modes of path_part.
inline constexpr int PATH_DIR = 0;   // the directory part, cut in place
inline constexpr int PATH_LAST = 1;  // the last component

// The smallest row index (in index_cmp order) of the table `subpath` that
// sorts strictly after `start` (its first `count` values; the rest count as
// -1, and values beyond the fifth are not used). The directory part of
// `subpath` is read relative to the working directory. Returns a static
// array of SEARCH_INDEX_MAX values, valid until the next call (only the
// first as many values as the row's name carries are meaningful), or null
// when there is no such row or the directory cannot be read. Row files
// with more than SEARCH_INDEX_MAX index values are passed over.
const std::int32_t* obj_next_instance(const char* subpath, const std::int32_t* start, int count);

// A resumable walk of the directory `dir`, skipping "." and "..". `*handle`
// starts null and belongs to the caller. Copies the next entry's name into
// `name` (of `name_size` bytes) and returns 0; an entry whose name does not
// fit is passed over. At the end of the directory, or when it cannot be
// opened, closes it, sets `*handle` to null and returns -1.
int dir_next_entry(const char* dir, char* name, std::size_t name_size, DIR** handle);

// The fragment files of the directory `dir`: the regular files (symbolic
// links followed) whose names end in `suffix` after at least one character
// and do not begin with a dot (an editor's or installer's temporary file),
// as paths "dir/name", in byte order of their names, so that a package
// chooses its place by its file name ("10-disk.conf"). A missing or
// unreadable directory has none.
std::vector<std::string> fragment_files(const char* dir, const char* suffix);

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

// PATH_DIR: cuts `path` in place at its last slash and returns it; with no
// slash, or only a leading one, returns an empty text. PATH_LAST: the text
// after the last slash, or the whole text when it has none.
char* path_part(char* path, int mode);

// The path of an existing file for the program `name`: an absolute name is
// taken as it is; any other name is tried in each absolute directory of
// PATH in order. Empty and relative PATH entries are skipped: they name the
// working directory, which after start-up is the data registry that every
// agent may write into. Returns static storage valid until the next call,
// or null. Only existence is tested, not type or permissions.
const char* find_in_path(const char* name);

// The absolute directories of the search path `path`, in order, joined by
// colons: the PATH under which started programs look for theirs. Empty and
// relative entries are dropped for the reason given at find_in_path.
std::string search_path_dirs(const char* path);

// The search path `path` with `dir` in front, unless `dir` is one of its
// entries already (then `path` as it is): the daemon finds the programs it
// installs (its agents, getone) whichever PATH it was started with.
std::string search_path_with(const char* path, const char* dir);
