// The one list container: a circular, doubly linked ring of element pointers
// reached through a handle that points at its head node (null: empty).
// The queue owns its nodes only; elements belong to the caller.
#pragma once
#include <cstddef>
#include <vector>

struct qnode {
    qnode* next;
    qnode* prev;
    void* data;
};

using queue = qnode*;

// Returns 0 when the element matches the key.
using q_compare = int (*)(const void* key, const void* element);

void* q_add(queue* q, void* element);
void* q_take(queue* q);
void* q_find(queue* q, const void* key, q_compare compare);
qnode* q_find_node(queue* q, const void* key, q_compare compare);
void* q_take_match(queue* q, const void* key, q_compare compare);
void* q_walk(queue* q, qnode** cursor);

// The elements from head to tail.
std::vector<void*> q_elements(queue* q);

// Takes every element after the first `kept` off the queue and hands each to
// `release`; returns how many. Undoes what a reader appended after a mark.
std::size_t q_drop_after(queue* q, std::size_t kept, void (*release)(void*));
