#include "single_list.h"

void SingleList::Append(SingleListNode* node)
{
    node->next = nullptr;
    if (tail != nullptr) {
        tail->next = node;
    } else {
        head = node;
    }
    tail = node;
}

void SingleList::PushFront(SingleListNode* node)
{
    node->next = head;
    head = node;
    if (tail == nullptr) {
        tail = node;
    }
}

bool SingleList::Contains(const SingleListNode* node) const
{
    for (const SingleListNode* walk = head; walk != nullptr; walk = walk->next) {
        if (walk == node) {
            return true;
        }
    }
    return false;
}

SingleListNode* SingleList::Remove(SingleListNode* node)
{
    if (node == nullptr) {
        return nullptr;
    }
    SingleListNode* predecessor = nullptr;
    if (head != node) {
        predecessor = head;
        while (predecessor != nullptr && predecessor->next != node) {
            predecessor = predecessor->next;
        }
        if (predecessor == nullptr) {
            return node;    // not in this list: nothing changes
        }
        predecessor->next = node->next;
    }
    if (tail == node) {
        tail = predecessor;
    }
    if (head == node) {
        head = node->next;
    }
    return node;
}

SingleListNode* SingleList::RemoveHead()
{
    if (head == nullptr) {
        return nullptr;
    }
    return Remove(head);
}
