#include "lib/hash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct keyword {
    char name[16];
};

int match_keyword(const void* key, const void* entry)
{
    return strcmp(static_cast<const char*>(key), static_cast<const keyword*>(entry)->name);
}

TEST(hash_string, known_keywords_fall_in_their_buckets)
{
    const struct {
        const char* key;
        unsigned bucket;
    } cases[] = {
        {"", 0},           {"agent", 197},       {"debug", 141}, {"mail", 227},
        {"ENABLED", 128},  {"DISABLED", 39},     {"registry", 192},
        {"table_index", 89}, {"ITEM", 141},      {"SCALAR", 228}, {"TABLE", 123},
        {"abc", 165},      {"\xE9", 58},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hash_string(c.key, KEYWORD_BUCKETS), c.bucket) << '"' << c.key << '"';
}

TEST(hash_string, fold_keeps_hash_within_28_bits)
{
    // With a bucket count above every hash the result is the raw hash; the
    // folding of the top nibble keeps it below 2^28 for any key.
    const char* keys[] = {"\xE9", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzz",
                          "table_index", "\x80" "a\x90" "b"};
    for (const char* key : keys)
        EXPECT_LT(hash_string(key, 0xFFFFFFFFu), 1u << 28) << key;
}

TEST(hash_table, colliding_keys_are_each_found_by_their_own_key)
{
    queue table[KEYWORD_BUCKETS];
    ht_clear(table, KEYWORD_BUCKETS);
    keyword debug{"debug"}, item{"ITEM"};
    EXPECT_EQ(ht_insert(table, &debug, debug.name, match_keyword, KEYWORD_BUCKETS), &debug);
    EXPECT_EQ(ht_insert(table, &item, item.name, match_keyword, KEYWORD_BUCKETS), &item);
    // Both in bucket 141, in insertion order.
    ASSERT_NE(table[141], nullptr);
    EXPECT_EQ(table[141]->data, &debug);
    EXPECT_EQ(table[141]->next->data, &item);
    EXPECT_EQ(ht_lookup(table, "debug", match_keyword, KEYWORD_BUCKETS), &debug);
    EXPECT_EQ(ht_lookup(table, "ITEM", match_keyword, KEYWORD_BUCKETS), &item);
    EXPECT_EQ(ht_lookup(table, "item", match_keyword, KEYWORD_BUCKETS), nullptr);
    ht_destroy(table, nullptr, KEYWORD_BUCKETS);
}

TEST(hash_table, duplicate_insert_fails_and_keeps_first)
{
    queue table[KEYWORD_BUCKETS];
    ht_clear(table, KEYWORD_BUCKETS);
    keyword first{"mail"}, second{"mail"};
    EXPECT_EQ(ht_insert(table, &first, "mail", match_keyword, KEYWORD_BUCKETS), &first);
    EXPECT_EQ(ht_insert(table, &second, "mail", match_keyword, KEYWORD_BUCKETS), nullptr);
    EXPECT_EQ(ht_lookup(table, "mail", match_keyword, KEYWORD_BUCKETS), &first);
    EXPECT_EQ(table[227]->next, table[227]);
    ht_destroy(table, nullptr, KEYWORD_BUCKETS);
}

int compared;
int counting_match(const void* key, const void* entry)
{
    ++compared;
    return match_keyword(key, entry);
}

TEST(hash_table, lookup_in_empty_bucket_does_not_compare)
{
    queue table[KEYWORD_BUCKETS];
    ht_clear(table, KEYWORD_BUCKETS);
    compared = 0;
    EXPECT_EQ(ht_lookup(table, "agent", counting_match, KEYWORD_BUCKETS), nullptr);
    EXPECT_EQ(compared, 0);
}

int released;
void count_and_free(void* entry)
{
    ++released;
    free(entry);
}

TEST(hash_table, destroy_releases_every_entry_and_empties_table)
{
    const char* words[] = {"agent", "debug", "ITEM", "mail", "registry", "TABLE", "SCALAR"};
    queue table[KEYWORD_BUCKETS];
    ht_clear(table, KEYWORD_BUCKETS);
    for (const char* word : words) {
        auto* entry = static_cast<keyword*>(malloc(sizeof(keyword)));
        ASSERT_NE(entry, nullptr);
        snprintf(entry->name, sizeof entry->name, "%s", word);
        ASSERT_EQ(ht_insert(table, entry, entry->name, match_keyword, KEYWORD_BUCKETS), entry);
    }
    released = 0;
    ht_destroy(table, count_and_free, KEYWORD_BUCKETS);
    EXPECT_EQ(released, 7);
    for (const char* word : words)
        EXPECT_EQ(ht_lookup(table, word, match_keyword, KEYWORD_BUCKETS), nullptr);
    for (queue bucket : table)
        EXPECT_EQ(bucket, nullptr);
}

}  // namespace
