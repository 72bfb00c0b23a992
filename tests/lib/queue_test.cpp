#include "lib/queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

int match_text(const void* key, const void* element)
{
    return strcmp(static_cast<const char*>(key), static_cast<const char*>(element));
}

// Checks the ring invariants from the head in both directions and returns
// the elements in forward order.
std::vector<const char*> ring(queue q)
{
    std::vector<const char*> forward;
    if (q == nullptr)
        return forward;
    qnode* node = q;
    do {
        EXPECT_EQ(node->next->prev, node);
        EXPECT_EQ(node->prev->next, node);
        forward.push_back(static_cast<const char*>(node->data));
        node = node->next;
    } while (node != q && forward.size() < 100);
    return forward;
}

char a[] = "a", b[] = "b", c[] = "c";

TEST(queue, add_then_take_is_first_in_first_out)
{
    queue q = nullptr;
    EXPECT_EQ(q_add(&q, a), a);
    EXPECT_EQ(q_add(&q, b), b);
    EXPECT_EQ(q_add(&q, c), c);
    EXPECT_EQ(ring(q), (std::vector<const char*>{a, b, c}));
    EXPECT_EQ(q_take(&q), a);
    EXPECT_EQ(q_take(&q), b);
    EXPECT_EQ(q_take(&q), c);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(q_take(&q), nullptr);
}

TEST(queue, one_node_links_to_itself)
{
    queue q = nullptr;
    q_add(&q, a);
    EXPECT_EQ(q->next, q);
    EXPECT_EQ(q->prev, q);
    q_take(&q);
}

TEST(queue, take_match_on_head_of_two_leaves_one)
{
    queue q = nullptr;
    q_add(&q, a);
    q_add(&q, b);
    EXPECT_EQ(q_take_match(&q, "a", match_text), a);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->data, b);
    EXPECT_EQ(q->next, q);
    EXPECT_EQ(q->prev, q);
    EXPECT_EQ(q_take_match(&q, "b", match_text), b);
    EXPECT_EQ(q, nullptr);
}

TEST(queue, take_match_on_tail_of_three_keeps_head)
{
    queue q = nullptr;
    q_add(&q, a);
    q_add(&q, b);
    q_add(&q, c);
    qnode* head = q;
    EXPECT_EQ(q_take_match(&q, "c", match_text), c);
    EXPECT_EQ(q, head);
    EXPECT_EQ(ring(q), (std::vector<const char*>{a, b}));
    EXPECT_EQ(q_take_match(&q, "a", match_text), a);
    EXPECT_EQ(q_take_match(&q, "zz", match_text), nullptr);
    EXPECT_EQ(ring(q), (std::vector<const char*>{b}));
    q_take(&q);
}

TEST(queue, take_match_in_middle_relinks_neighbours)
{
    queue q = nullptr;
    q_add(&q, a);
    q_add(&q, b);
    q_add(&q, c);
    EXPECT_EQ(q_take_match(&q, "b", match_text), b);
    EXPECT_EQ(ring(q), (std::vector<const char*>{a, c}));
    while (q_take(&q) != nullptr) {
    }
}

TEST(queue, walk_returns_each_element_once_then_null)
{
    queue q = nullptr;
    qnode* cursor = q;
    EXPECT_EQ(q_walk(&q, &cursor), nullptr);

    q_add(&q, a);
    cursor = q;
    EXPECT_EQ(q_walk(&q, &cursor), a);
    EXPECT_EQ(q_walk(&q, &cursor), nullptr);

    q_add(&q, b);
    q_add(&q, c);
    cursor = q;
    std::vector<void*> seen;
    while (void* element = q_walk(&q, &cursor))
        seen.push_back(element);
    EXPECT_EQ(seen, (std::vector<void*>{a, b, c}));
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(q_walk(&q, &cursor), nullptr);
    while (q_take(&q) != nullptr) {
    }
}

int calls;
int never_matches(const void*, const void*)
{
    ++calls;
    return 1;
}

TEST(queue, find_visits_each_node_at_most_once)
{
    queue q = nullptr;
    calls = 0;
    EXPECT_EQ(q_find(&q, "a", never_matches), nullptr);
    EXPECT_EQ(calls, 0);
    q_add(&q, a);
    q_add(&q, b);
    q_add(&q, c);
    EXPECT_EQ(q_find(&q, "a", never_matches), nullptr);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(q_find_node(&q, "a", never_matches), nullptr);
    EXPECT_EQ(calls, 6);
    while (q_take(&q) != nullptr) {
    }
}

TEST(queue, find_with_equal_keys_returns_the_one_nearer_the_head)
{
    char first[] = "x", second[] = "x";
    queue q = nullptr;
    q_add(&q, a);
    q_add(&q, first);
    q_add(&q, second);
    EXPECT_EQ(q_find(&q, "x", match_text), first);
    qnode* node = q_find_node(&q, "x", match_text);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->data, first);
    EXPECT_EQ(q_take_match(&q, "x", match_text), first);
    EXPECT_EQ(q_find(&q, "x", match_text), second);
    EXPECT_EQ(ring(q), (std::vector<const char*>{a, second}));
    while (q_take(&q) != nullptr) {
    }
}

}  // namespace
