// Singly linked list with head and tail, used for every collection of both
// drivers. A node is any record whose first field is the next link; the list
// never owns its nodes and has no lock of its own: callers serialize.
#pragma once

#include "deliverable_base.h"

struct SingleListNode {
    SingleListNode* next;   // null at the end of the list
};

struct SingleList {
    SingleListNode* head;   // first node, or null
    SingleListNode* tail;   // last node, or null

    void Initialise() { head = nullptr; tail = nullptr; }
    bool IsEmpty() const { return head == nullptr; }

    // Constant time thanks to the tail pointer.
    void Append(SingleListNode* node);
    void PushFront(SingleListNode* node);
    bool Contains(const SingleListNode* node) const;
    // Unlinks node if present (walking from the head) and returns it either
    // way; the node's own next link is left as it was.
    SingleListNode* Remove(SingleListNode* node);
    // The former head, or null when the list is empty.
    SingleListNode* RemoveHead();
};
