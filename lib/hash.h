// The keyword hash table: an array of queue handles, one queue per bucket.
// The table stores the caller's entry pointers and never owns them, except
// that ht_destroy hands each one to the caller's release function.
#pragma once
#include <cstddef>

#include "lib/queue.h"

// Buckets of the configuration parser's keyword table.
inline constexpr unsigned KEYWORD_BUCKETS = 231;

// Releases one entry when a table is destroyed (the parser passes free).
using ht_release = void (*)(void* entry);

// Bucket index of `key` in 0 .. buckets - 1: the ELF hash, except that bytes
// 0x80..0xFF count as negative (signed char) values. `buckets` must be > 0.
unsigned hash_string(const char* key, unsigned buckets);

// Sets every handle to null; releases nothing.
void ht_clear(queue* table, unsigned buckets);

// The first entry (in insertion order) of the key's bucket that `compare`
// matches, or null.
void* ht_lookup(queue* table, const char* key, q_compare compare, unsigned buckets);

// Appends `entry` under `key` and returns it; null when an equal key is
// already present (the table is unchanged) or no node could be allocated.
void* ht_insert(queue* table, void* entry, const char* key, q_compare compare, unsigned buckets);

// Empties every bucket, passing each entry to `release` (when not null), and
// leaves every handle null.
void ht_destroy(queue* table, ht_release release, unsigned buckets);
