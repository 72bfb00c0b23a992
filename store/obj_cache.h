// The object cache: what the daemon has read of object files, kept between
// requests so that a get served from an unchanged file costs no system
// call. It is never stale: an object is kept only while the directories on
// its way and the file itself are watched (reg_watch.h), the watches are in
// place before the file is read, and every change event forgets the object
// it names before the next request is served.
//
// Contents are held against a byte budget: object images are stored as
// their difference from the first image kept for the same directory (rows of
// one table differ in a few bytes). When the budget is exceeded the newest
// entries are dropped first: a walk of a table larger than the budget then
// keeps hitting on the part that stays, where LRU would miss on every row.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "store/obj_format.h"

// Bytes of cached contents (names, encoded images and bookkeeping) kept at
// most.
inline constexpr std::size_t OBJ_CACHE_BUDGET = 3u << 20;

// The cached object `name` (relative to the registry directory), decoded
// into the cache's own buffer, valid until the next hit; null on a miss.
// A miss that may be filled arms obj_cache_put for the same name: the watch
// on the file's directory is then already in place.
reg_object* obj_cache_get(const char* name);

// Keeps `obj` (a whole, valid image just read by obj_read) for `name` when
// the preceding obj_cache_get armed it. Null objects are not kept.
void obj_cache_put(const char* name, const reg_object* obj);

struct obj_cache_stats {
    std::uint64_t hits;
    std::uint64_t misses;
    std::uint64_t entries;
    std::uint64_t bytes;
};
obj_cache_stats obj_cache_counters();

// Encoding of an object image as its difference from a reference image:
// repeated (zero run, literal length, literal bytes) with varint lengths.
// Exposed for tests.
void obj_delta_encode(const unsigned char* image, std::size_t length, const unsigned char* ref,
                      std::size_t ref_length, std::string& out);
bool obj_delta_decode(const std::string& code, const unsigned char* ref, std::size_t ref_length,
                      unsigned char* out, std::size_t length);
