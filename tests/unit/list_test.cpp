// Circular doubly linked list: insertion at either end, deletion, walking.
#include "utils/list.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

struct item {
    struct dl_list list;
    int value;
};

std::vector<int> values(struct dl_list *head)
{
    std::vector<int> out;
    struct item *it;
    dl_list_for_each(it, head, struct item, list) out.push_back(it->value);
    std::vector<int> back;
    dl_list_for_each_reverse(it, head, struct item, list) back.insert(back.begin(), it->value);
    EXPECT_EQ(out, back) << "prev links disagree with next links";
    return out;
}

} // namespace

TEST(List, AddGoesAfterAndAddTailBefore)
{
    struct dl_list head;
    dl_list_init(&head);
    EXPECT_TRUE(dl_list_empty(&head));
    struct item a {
        {}, 1
    }, b{{}, 2}, c{{}, 3}, d{{}, 4}, e{{}, 5};
    dl_list_add_tail(&head, &a.list);   // 1
    dl_list_add_tail(&head, &b.list);   // 1 2
    dl_list_add(&head, &c.list);        // 3 1 2
    dl_list_add(&a.list, &d.list);      // 3 1 4 2
    dl_list_add_tail(&b.list, &e.list); // 3 1 4 5 2
    EXPECT_EQ((std::vector<int>{3, 1, 4, 5, 2}), values(&head));
    EXPECT_FALSE(dl_list_empty(&head));
    EXPECT_EQ(5u, dl_list_len(&head));
    EXPECT_EQ(&c, dl_list_first(&head, struct item, list));
    EXPECT_EQ(&b, dl_list_last(&head, struct item, list));
}

TEST(List, DeleteUnlinksFromAnyPosition)
{
    struct dl_list head;
    dl_list_init(&head);
    struct item items[5];
    for (int i = 0; i < 5; i++) {
        items[i].value = i;
        dl_list_add_tail(&head, &items[i].list);
    }
    dl_list_del(&items[0].list);
    dl_list_del(&items[4].list);
    dl_list_del(&items[2].list);
    EXPECT_EQ((std::vector<int>{1, 3}), values(&head));

    struct item *it, *next;
    dl_list_for_each_safe(it, next, &head, struct item, list) dl_list_del(&it->list);
    EXPECT_TRUE(dl_list_empty(&head));
    EXPECT_EQ(&head, head.prev);
    EXPECT_EQ(nullptr, dl_list_first(&head, struct item, list));
}
