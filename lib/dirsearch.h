// Searches of the file system: a resumable walk of a directory, the
// fragment files of a configuration directory, and an agent's executable
// along the absolute directories of PATH.
#pragma once
#include <dirent.h>

#include <cstddef>
#include <string>
#include <vector>

// Size of the executable search's result, with its terminator; PATH is read
// up to one less than this.
inline constexpr std::size_t SEARCH_PATH_SIZE = 1024;

// Modes of path_part.
inline constexpr int PATH_DIR = 0;   // the directory part, cut in place
inline constexpr int PATH_LAST = 1;  // the last component

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
