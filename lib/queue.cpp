// The one list container of the daemon: a circular, doubly linked ring of
// element pointers. Only nodes are allocated and freed here; the elements
// always remain the caller's.
#include "lib/queue.h"

#include <new>

namespace {

// Unlinks `node` from the ring held by *q and frees it. When it was the head,
// the following node becomes the head (or the queue becomes empty).
void* q_unlink(queue* q, qnode* node)
{
    void* element = node->data;
    if (node->next == node) {
        *q = nullptr;
    } else {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        if (*q == node)
            *q = node->next;
    }
    delete node;
    return element;
}

}  // namespace

void* q_add(queue* q, void* element)
{
    qnode* node = new (std::nothrow) qnode;
    if (node == nullptr)
        return nullptr;
    node->data = element;
    qnode* head = *q;
    if (head == nullptr) {
        node->next = node;
        node->prev = node;
        *q = node;
    } else {
        qnode* tail = head->prev;
        node->next = head;
        node->prev = tail;
        tail->next = node;
        head->prev = node;
    }
    return element;
}

void* q_take(queue* q)
{
    if (*q == nullptr)
        return nullptr;
    return q_unlink(q, *q);
}

qnode* q_find_node(queue* q, const void* key, q_compare compare)
{
    qnode* head = *q;
    if (head == nullptr)
        return nullptr;
    // One lap of the ring: every node is compared at most once.
    qnode* node = head;
    do {
        if (compare(key, node->data) == 0)
            return node;
        node = node->next;
    } while (node != head);
    return nullptr;
}

void* q_find(queue* q, const void* key, q_compare compare)
{
    qnode* node = q_find_node(q, key, compare);
    return node == nullptr ? nullptr : node->data;
}

void* q_take_match(queue* q, const void* key, q_compare compare)
{
    qnode* node = q_find_node(q, key, compare);
    return node == nullptr ? nullptr : q_unlink(q, node);
}

void* q_walk(queue* q, qnode** cursor)
{
    qnode* node = *cursor;
    if (node == nullptr)
        return nullptr;
    *cursor = node->next;
    // Back at the start of the ring: the walk is over after this element.
    if (*cursor == node || *cursor == *q)
        *cursor = nullptr;
    return node->data;
}

std::vector<void*> q_elements(queue* q)
{
    std::vector<void*> found;
    qnode* cursor = *q;  // a walk starts at the head
    while (void* element = q_walk(q, &cursor))
        found.push_back(element);
    return found;
}

std::size_t q_drop_after(queue* q, std::size_t kept, void (*release)(void*))
{
    std::vector<void*> all = q_elements(q);
    std::size_t dropped = 0;
    auto same = [](const void* key, const void* element) { return key == element ? 0 : 1; };
    for (std::size_t i = kept; i < all.size(); ++i) {
        if (q_take_match(q, all[i], same) != nullptr) {
            release(all[i]);
            ++dropped;
        }
    }
    return dropped;
}
