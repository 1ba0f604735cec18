#include <gtest/gtest.h>

#include <vector>

#include "single_list.h"

namespace {

struct Node {
    SingleListNode link;
    int id;
};

class SingleListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        list.Initialise();
        for (int i = 0; i < 4; ++i) {
            nodes[i].link.next = reinterpret_cast<SingleListNode*>(0x1);  // stale junk
            nodes[i].id = i;
        }
    }

    SingleListNode* N(int i) { return &nodes[i].link; }

    // Walks the list and checks that tail is the last node reached.
    std::vector<int> Ids()
    {
        std::vector<int> ids;
        SingleListNode* last = nullptr;
        for (SingleListNode* walk = list.head; walk != nullptr; walk = walk->next) {
            ids.push_back(reinterpret_cast<Node*>(walk)->id);
            last = walk;
        }
        EXPECT_EQ(list.tail, last);
        return ids;
    }

    SingleList list;
    Node nodes[4];
};

TEST_F(SingleListTest, AppendAndRemoveHeadAreFifo)
{
    for (int i = 0; i < 3; ++i) list.Append(N(i));
    EXPECT_EQ(Ids(), (std::vector<int>{0, 1, 2}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list.RemoveHead(), N(i));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.RemoveHead(), nullptr);
}

TEST_F(SingleListTest, PushFrontIsLifoAndSetsTailOnlyWhenEmpty)
{
    for (int i = 0; i < 3; ++i) list.PushFront(N(i));
    EXPECT_EQ(Ids(), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(list.tail, N(0));
}

TEST_F(SingleListTest, RemoveFixesNeighboursHeadAndTail)
{
    struct Case {
        int removed;
        std::vector<int> left;
    };
    const Case cases[] = {
        {0, {1, 2}},    // head
        {1, {0, 2}},    // middle
        {2, {0, 1}},    // tail: the middle node becomes the tail
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.removed);
        list.Initialise();
        for (int i = 0; i < 3; ++i) list.Append(N(i));
        EXPECT_EQ(list.Remove(N(c.removed)), N(c.removed));
        EXPECT_EQ(Ids(), c.left);
        // Appending after a removal must link from the right tail.
        list.Append(N(3));
        std::vector<int> expected = c.left;
        expected.push_back(3);
        EXPECT_EQ(Ids(), expected);
    }
}

TEST_F(SingleListTest, RemoveOfAStrangerChangesNothing)
{
    list.Append(N(0));
    list.Append(N(1));
    N(2)->next = N(0);
    EXPECT_EQ(list.Remove(N(2)), N(2));
    EXPECT_EQ(Ids(), (std::vector<int>{0, 1}));
    EXPECT_EQ(N(2)->next, N(0));    // the node's own link is not cleared

    SingleList empty;
    empty.Initialise();
    EXPECT_EQ(empty.Remove(N(3)), N(3));
    EXPECT_EQ(empty.head, nullptr);
    EXPECT_EQ(empty.Remove(nullptr), nullptr);
}

TEST_F(SingleListTest, ContainsFindsOnlyMembers)
{
    EXPECT_FALSE(list.Contains(N(0)));
    EXPECT_FALSE(list.Contains(nullptr));
    list.Append(N(0));
    list.Append(N(1));
    EXPECT_TRUE(list.Contains(N(0)));
    EXPECT_TRUE(list.Contains(N(1)));
    EXPECT_FALSE(list.Contains(N(2)));
    list.Remove(N(1));
    EXPECT_FALSE(list.Contains(N(1)));
}

TEST_F(SingleListTest, RemovedSoleNodeLeavesListEmpty)
{
    list.PushFront(N(0));
    list.Remove(N(0));
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.tail, nullptr);
}

}  // namespace
