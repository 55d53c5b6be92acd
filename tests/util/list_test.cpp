#include "List.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct Item {
    Node node;
    int id;
};

// Checks the list's invariants and that it holds exactly `expected`, in order.
void expectList(const List& list, const std::vector<Node*>& expected) {
    ASSERT_EQ(ListCount(&list), static_cast<int>(expected.size()));
    if (expected.empty()) {
        EXPECT_EQ(list.first, nullptr);
        EXPECT_EQ(list.last, nullptr);
        return;
    }
    EXPECT_EQ(ListFirst(&list), expected.front());
    EXPECT_EQ(ListLast(&list), expected.back());
    EXPECT_EQ(list.first->prev, nullptr);
    EXPECT_EQ(list.last->next, nullptr);
    Node* n = ListFirst(&list);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(n, expected[i]) << "forward position " << i;
        n = ListNext(n);
    }
    EXPECT_EQ(n, nullptr);
    n = ListLast(&list);
    for (std::size_t i = expected.size(); i > 0; --i) {
        ASSERT_EQ(n, expected[i - 1]) << "backward position " << i - 1;
        n = ListPrev(n);
    }
    EXPECT_EQ(n, nullptr);
}

TEST(List, EmptyAndMissingLists) {
    List list;
    ListInit(&list);
    expectList(list, {});
    EXPECT_EQ(ListCount(nullptr), 0);
    EXPECT_EQ(ListFirst(nullptr), nullptr);
    EXPECT_EQ(ListLast(nullptr), nullptr);
    EXPECT_EQ(ListDelHead(&list), nullptr);
    expectList(list, {});
    EXPECT_EQ(ListNth(&list, 1), nullptr);
    Item a{};
    EXPECT_EQ(ListFind(&list, &a.node), -1);
}

TEST(List, SingleNodeAddAndDelete) {
    List list;
    ListInit(&list);
    Item a{{reinterpret_cast<Node*>(0x1), reinterpret_cast<Node*>(0x2)}, 1};  // stale links
    ListAdd(&list, &a.node);
    expectList(list, {&a.node});
    EXPECT_EQ(a.node.next, nullptr);
    EXPECT_EQ(a.node.prev, nullptr);
    ListDelete(&list, &a.node);
    expectList(list, {});
}

TEST(List, PositionsInsertAndConcat) {
    Item items[5] = {};
    List list;
    ListInit(&list);
    for (int i = 1; i < 4; ++i) ListAdd(&list, &items[i].node);
    ListInsert(&list, &items[1].node, &items[0].node);  // before the first
    expectList(list, {&items[0].node, &items[1].node, &items[2].node, &items[3].node});
    EXPECT_EQ(ListFind(&list, &items[0].node), 1);
    EXPECT_EQ(ListFind(&list, &items[3].node), 4);
    EXPECT_EQ(ListFind(&list, &items[4].node), -1);
    EXPECT_EQ(ListNth(&list, 0), nullptr);
    EXPECT_EQ(ListNth(&list, 4), ListLast(&list));
    EXPECT_EQ(ListNth(&list, 5), nullptr);

    List empty;
    ListInit(&empty);
    ListConcat(&list, &empty);
    expectList(list, {&items[0].node, &items[1].node, &items[2].node, &items[3].node});
    ListConcat(&empty, &list);
    expectList(empty, {&items[0].node, &items[1].node, &items[2].node, &items[3].node});
    expectList(list, {});
}

TEST(List, RandomOperationSequencesKeepInvariants) {
    std::mt19937 rng(20050331);
    constexpr int kPool = 40;
    std::vector<Item> pool(kPool);
    for (int round = 0; round < 50; ++round) {
        List a;
        List b;
        ListInit(&a);
        ListInit(&b);
        std::vector<Node*> modelA;
        std::vector<Node*> modelB;
        std::vector<Node*> freeNodes;
        for (auto& it : pool) freeNodes.push_back(&it.node);
        for (int step = 0; step < 200; ++step) {
            const bool useA = rng() % 2 == 0;
            List& list = useA ? a : b;
            std::vector<Node*>& model = useA ? modelA : modelB;
            switch (rng() % 7) {
                case 0:
                case 1:
                    if (!freeNodes.empty()) {
                        Node* n = freeNodes.back();
                        freeNodes.pop_back();
                        ListAdd(&list, n);
                        model.push_back(n);
                    }
                    break;
                case 2:
                    if (!freeNodes.empty() && !model.empty()) {
                        const std::size_t at = rng() % model.size();
                        Node* n = freeNodes.back();
                        freeNodes.pop_back();
                        ListInsert(&list, model[at], n);
                        model.insert(model.begin() + static_cast<long>(at), n);
                    }
                    break;
                case 3:
                    if (!model.empty()) {
                        const std::size_t at = rng() % model.size();
                        ListDelete(&list, model[at]);
                        freeNodes.push_back(model[at]);
                        model.erase(model.begin() + static_cast<long>(at));
                    }
                    break;
                case 4: {
                    Node* head = ListDelHead(&list);
                    if (model.empty()) {
                        EXPECT_EQ(head, nullptr);
                    } else {
                        EXPECT_EQ(head, model.front());
                        freeNodes.push_back(model.front());
                        model.erase(model.begin());
                    }
                    break;
                }
                case 5: {
                    List& other = useA ? b : a;
                    std::vector<Node*>& otherModel = useA ? modelB : modelA;
                    ListConcat(&list, &other);
                    model.insert(model.end(), otherModel.begin(), otherModel.end());
                    otherModel.clear();
                    break;
                }
                default:
                    for (std::size_t i = 0; i < model.size(); ++i) {
                        EXPECT_EQ(ListFind(&list, model[i]), static_cast<int>(i) + 1);
                        EXPECT_EQ(ListNth(&list, static_cast<int>(i) + 1), model[i]);
                    }
                    if (!freeNodes.empty()) {
                        EXPECT_EQ(ListFind(&list, freeNodes.front()), -1);
                    }
                    break;
            }
            expectList(a, modelA);
            expectList(b, modelB);
            if (HasFatalFailure())
                return;
        }
    }
}

}  // namespace
