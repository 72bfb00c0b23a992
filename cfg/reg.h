// The registry map: `registry.mib` names the data registry directory and
// binds each MIB object to its object file.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/queue.h"
#include "store/reg_entry.h"

inline constexpr std::size_t REGISTRY_DIR_MAX = 60;  // field, with the NUL

// The `registry` statement's directory (at most REGISTRY_DIR_MAX - 1
// characters) goes to obj_set_registry_dir: the object reader keeps the one
// copy, and obj_registry_dir() answers. A read starts without one.
extern std::int8_t table_index_count;  // `table_index`: index count for TABLE entries
extern queue registry_Q;               // reg_entry records (malloc'd), in file order
extern int registry_count;             // entries appended to registry_Q

// Reads one registry map file; 0 on success, -1 otherwise. The read
// starts without a registry directory; table_index keeps its value.
int read_registry_file(const char* path);

// Reads a fragment of the map (a file of registry.mib.d), in the same
// language, after the main file: its entries join registry_Q under the
// directory the main file named. A `registry` statement may only repeat
// that directory; another one is an error. table_index starts at 0.
int read_registry_fragment(const char* path);
