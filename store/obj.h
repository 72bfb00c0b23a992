// Object records and object files: the reader of the objects that agents
// publish in the data registry, the lookup of the object behind a pairs-table
// entry, the choice of a table row for exact, next and first access, and the
// object dump.
//
// Every read loads into one shared buffer owned by this module. An object
// returned by obj_read or obj_lookup, and every item and value pointer into
// it, stays valid only until the next read: callers finish with one object
// before reading another.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "store/obj_format.h"
#include "store/reg_entry.h"
#include "store/row_name.h"

// Attempts obj_read makes before it gives up on a file that keeps coming up
// short or inconsistent (an agent may be rewriting it in place).
inline constexpr int OBJ_READ_ATTEMPTS = 21;
// Largest object the reader accepts. The header's `length` comes from the
// file; without a ceiling one bad header would grow the shared buffer, which
// never shrinks, to gigabytes.
inline constexpr std::uint32_t OBJ_LENGTH_MAX = 16u << 20;
// Values in the index buffer of obj_select_index, and the most index values
// obj_lookup puts into a file name.
inline constexpr int OBJ_SELECT_MAX = 10;

// Modes of obj_select_index.
inline constexpr int IDX_EXACT = 0;  // the index named in the request
inline constexpr int IDX_NEXT = 1;   // the first row after the request's index
inline constexpr int IDX_FIRST = 2;  // the first row of the table

// True when `name` may name an object: a relative name inside the data
// registry (not empty, no leading '/', no ".." component). Names from mails
// and from the registry map are outside input and must not lead out of it.
bool obj_name_valid(const char* name);

// Reads the object file `name`, relative to the data registry directory
// (the working directory while none is set), into the shared buffer.
// Returns null at once when the name is refused by obj_name_valid, when the
// file cannot be opened (a symbolic link as the file itself is not
// followed) or is not a regular file; returns null after OBJ_READ_ATTEMPTS
// attempts when the header or body keeps coming up short or the object
// does not hold together (see obj_valid). Writes nothing to the log.
reg_object* obj_read(const char* name);

// obj_read for a file an operator names on a command line: any path,
// relative to the working directory, symbolic links followed.
reg_object* obj_read_file(const char* path);

// Number of attempts the most recent obj_read made (1 for a clean read or a
// file that could not be opened). A diagnostic for tests and benchmarks.
int obj_read_attempts();

// Checks an object image of `size` bytes: the header's length fits `size`
// and holds the header and the item array, the header's texts and item
// names are terminated within their fields, index_count is 0..15, and every
// item of a known type has its value inside the object (a STRING or OID
// with its terminator within both its size and the object, a RAW value of
// `length` bytes). Unknown type, state and access codes are accepted; the
// value offset of an unknown type must still point into the object.
// Returns true when the image may be used.
bool obj_valid(const void* image, std::size_t size);

// The item array and the data area of a loaded (or built) object image. The
// header's 4-byte `items` and `data` fields never hold addresses.
reg_item* obj_items(reg_object* obj);
const reg_item* obj_items(const reg_object* obj);
unsigned char* obj_data(reg_object* obj);
// The item at `position`, or null when the position is not below item_count.
reg_item* obj_item(reg_object* obj, int position);
// The first byte of an item's value: value_offset counts from the item
// record itself.
unsigned char* obj_value(reg_item* item);
const unsigned char* obj_value(const reg_item* item);
// 32-bit values, read without assuming alignment of the value.
std::uint32_t obj_value_unsigned(const reg_item* item);
std::int32_t obj_value_signed(const reg_item* item);

// Position (from 0) of the first item whose name equals `mib_name`, or -1.
int obj_item_index(const char* mib_name, const reg_object* obj);

// The data registry directory: object names are relative to it. It is
// opened here once (and again when set anew, or at a read after it could
// not be); reads open their files relative to that descriptor and never
// change the working directory. Null or empty: names are relative to the
// working directory. The text is copied (at most PATH_MAX - 1 characters);
// a relative one is taken from the working directory of the moment.
void obj_set_registry_dir(const char* dir);

// The data registry directory as last set ("" while none is): the one copy
// in the process. The registry map reader sets it from `registry.mib`, the
// start-up makes it absolute before moving into it, and everyone else asks
// here.
const char* obj_registry_dir();

// The object of `entry` for the instance `index` (its first `count`
// values; count <= 0: the scalar file named by the sub-path). Keeps the
// position of the entry's item in entry->item_pos, and searches the item by
// name again whenever the item at that position does not carry the
// entry's name (an object published anew with another layout, a row laid
// out differently); resets it to -1 when the file is missing. Returns null when the file cannot be read,
// does not hold the entry's item, or the name cannot be formed (more than
// OBJ_SELECT_MAX values, a suffix over OBJ_SUFFIX_MAX characters, an
// unterminated sub-path).
reg_object* obj_lookup(reg_entry* entry, const std::int32_t* index, int count);

// The instance index to pass to obj_lookup for a request whose OID ends in
// `subids` (of `length` sub-identifiers). *count is set to the number of
// index values returned; in IDX_NEXT mode it is given as the number of
// sub-identifiers at the end of the request that belong to the index.
// Returns static storage valid until the next call, or null: no such row,
// an unknown mode, or counts that do not fit (an entry's index count below 0
// or above OBJ_SELECT_MAX, or above SEARCH_INDEX_MAX for a search; an IDX_NEXT
// count below 0, above OBJ_SELECT_MAX or above `length`).
const std::int32_t* obj_select_index(reg_entry* entry, const std::uint32_t* subids, int length, int* count,
                                     int mode);

// Writes the object's title and every item, each fragment its own record of
// the diagnostic log, to `stream`.
void obj_dump(FILE* stream, const reg_object* obj);
// Writes one item line and its value. The item must come from an object that
// passed obj_valid.
void obj_dump_item(FILE* stream, const reg_item* item);
