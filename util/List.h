#pragma once

// Intrusive doubly linked list. A listed record begins with a Node, so a record pointer is a
// node pointer; the List header lives in the first record of a result. The operations only
// link and unlink nodes: they never allocate or free.

struct Node {
    Node* next;
    Node* prev;
};

struct List {
    Node* first;
    Node* last;
    int count;
};

// Makes the list empty.
void ListInit(List* list);
// Number of nodes; 0 for no list.
int ListCount(const List* list);
// First node, or none for an empty or missing list.
Node* ListFirst(const List* list);
// Last node, or none for an empty or missing list.
Node* ListLast(const List* list);
// The node after `node`.
Node* ListNext(const Node* node);
// The node before `node`.
Node* ListPrev(const Node* node);
// Appends `node` at the end.
void ListAdd(List* list, Node* node);
// Inserts `node` immediately before `place`, which is in the list.
void ListInsert(List* list, Node* place, Node* node);
// Unlinks `node`; the node keeps its old links and is not freed.
void ListDelete(List* list, Node* node);
// Unlinks and returns the first node; none, and nothing changed, when the list is empty.
Node* ListDelHead(List* list);
// 1-based position of `node`, or -1 when it is not in the list.
int ListFind(const List* list, const Node* node);
// The n-th node counting from 1, or none when n is out of range.
Node* ListNth(const List* list, int n);
// Moves every node of `src`, in order, to the end of `dst`; `src` ends empty.
void ListConcat(List* dst, List* src);
