#include "List.h"

void ListInit(List* list) {
    list->first = nullptr;
    list->last = nullptr;
    list->count = 0;
}

int ListCount(const List* list) {
    return list ? list->count : 0;
}

Node* ListFirst(const List* list) {
    return list ? list->first : nullptr;
}

Node* ListLast(const List* list) {
    return list ? list->last : nullptr;
}

Node* ListNext(const Node* node) {
    return node->next;
}

Node* ListPrev(const Node* node) {
    return node->prev;
}

void ListAdd(List* list, Node* node) {
    if (list->first != nullptr) {
        list->last->next = node;
        node->prev = list->last;
    } else {
        list->first = node;
        node->prev = nullptr;
    }
    list->count++;
    list->last = node;
    node->next = nullptr;
}

void ListInsert(List* list, Node* place, Node* node) {
    if (place == list->first) {
        list->first = node;
        node->prev = nullptr;
    } else {
        node->prev = place->prev;
        place->prev->next = node;
    }
    list->count++;
    node->next = place;
    place->prev = node;
}

void ListDelete(List* list, Node* node) {
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        list->last = node->prev;
    }
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        list->first = node->next;
    }
    list->count--;
}

Node* ListDelHead(List* list) {
    Node* head = list->first;
    if (head != nullptr) {
        ListDelete(list, head);
    }
    return head;
}

int ListFind(const List* list, const Node* node) {
    int position = 1;
    for (const Node* n = list->first; n != nullptr; n = n->next, ++position) {
        if (n == node) {
            return position;
        }
    }
    return -1;
}

Node* ListNth(const List* list, int n) {
    if (n < 1 || n > list->count) {
        return nullptr;
    }
    Node* node = list->first;
    while (--n > 0) {
        node = node->next;
    }
    return node;
}

void ListConcat(List* dst, List* src) {
    while (Node* node = ListDelHead(src)) {
        ListAdd(dst, node);
    }
}
