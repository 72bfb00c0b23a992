// The keyword hash table used by the configuration scanner.
#include "lib/hash.h"

#include <cstdint>

unsigned hash_string(const char* key, unsigned buckets)
{
    std::uint32_t h = 0;
    for (const char* p = key; *p != '\0'; ++p) {
        // Bytes are taken as signed 8-bit values, as a plain char is on the
        // hosts this daemon was first built for; fixing it here keeps the
        // bucket numbers the same on hosts whose char is unsigned.
        std::int32_t c = static_cast<signed char>(*p);
        h = (h << 4) + static_cast<std::uint32_t>(c);
        std::uint32_t g = h & 0xF0000000u;
        if (g != 0) {
            h ^= g >> 24;
            h ^= g;
        }
    }
    return h % buckets;
}

void ht_clear(queue* table, unsigned buckets)
{
    for (unsigned i = 0; i < buckets; ++i)
        table[i] = nullptr;
}

void* ht_lookup(queue* table, const char* key, q_compare compare, unsigned buckets)
{
    queue* bucket = &table[hash_string(key, buckets)];
    if (*bucket == nullptr)
        return nullptr;
    return q_find(bucket, key, compare);
}

void* ht_insert(queue* table, void* entry, const char* key, q_compare compare, unsigned buckets)
{
    if (ht_lookup(table, key, compare, buckets) != nullptr)
        return nullptr;
    return q_add(&table[hash_string(key, buckets)], entry);
}

void ht_destroy(queue* table, ht_release release, unsigned buckets)
{
    for (unsigned i = 0; i < buckets; ++i) {
        while (table[i] != nullptr) {
            void* entry = q_take(&table[i]);
            if (release != nullptr)
                release(entry);
        }
        table[i] = nullptr;
    }
}
