// Circular doubly linked list with a head node. An empty list is a head whose
// next and prev point to the head itself. Entries embed a dl_list node; the
// helpers below find the entry from its node with offsetof.
#pragma once

#include <cstddef>

struct dl_list {
    struct dl_list *next;
    struct dl_list *prev;
};

#define DL_LIST_HEAD_INIT(l)                                                                       \
    {                                                                                              \
        &(l), &(l)                                                                                 \
    }

static inline void dl_list_init(struct dl_list *list)
{
    list->next = list;
    list->prev = list;
}

// Inserts item right after list (at the front when list is the head).
static inline void dl_list_add(struct dl_list *list, struct dl_list *item)
{
    item->next = list->next;
    item->prev = list;
    list->next->prev = item;
    list->next = item;
}

// Inserts item right before list (at the back when list is the head).
static inline void dl_list_add_tail(struct dl_list *list, struct dl_list *item)
{
    dl_list_add(list->prev, item);
}

// Unlinks item and leaves it pointing nowhere, so a second delete is caught.
static inline void dl_list_del(struct dl_list *item)
{
    item->next->prev = item->prev;
    item->prev->next = item->next;
    item->next = nullptr;
    item->prev = nullptr;
}

static inline int dl_list_empty(const struct dl_list *list)
{
    return list->next == list;
}

static inline unsigned int dl_list_len(const struct dl_list *list)
{
    unsigned int count = 0;
    for (const struct dl_list *item = list->next; item != list; item = item->next)
        count++;
    return count;
}

#ifndef offsetof
#define offsetof(type, member) ((long)&((type *)0)->member)
#endif

#define dl_list_entry(item, type, member) ((type *)((char *)(item)-offsetof(type, member)))

#define dl_list_first(list, type, member)                                                          \
    (dl_list_empty((list)) ? nullptr : dl_list_entry((list)->next, type, member))

#define dl_list_last(list, type, member)                                                           \
    (dl_list_empty((list)) ? nullptr : dl_list_entry((list)->prev, type, member))

#define dl_list_for_each(item, list, type, member)                                                 \
    for (item = dl_list_entry((list)->next, type, member); &item->member != (list);                \
         item = dl_list_entry(item->member.next, type, member))

// Safe against removal of the current item.
#define dl_list_for_each_safe(item, n, list, type, member)                                         \
    for (item = dl_list_entry((list)->next, type, member),                                         \
        n = dl_list_entry(item->member.next, type, member);                                        \
         &item->member != (list); item = n, n = dl_list_entry(n->member.next, type, member))

#define dl_list_for_each_reverse(item, list, type, member)                                         \
    for (item = dl_list_entry((list)->prev, type, member); &item->member != (list);                \
         item = dl_list_entry(item->member.prev, type, member))
