#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "core/tree.h"

namespace {

struct Entry {
    CoreTreeNode node;
    uint64_t key;
};

CoreTree *make_tree(CoreCompareFn compare)
{
    CoreTreeConfig config{};
    config.compare = compare;
    return core_tree_create(&config);
}

// Returns the black height of the subtree, or -1 after reporting a broken
// rule: a red node with a red child, unequal black heights, a wrong parent
// link or keys out of order.
int check_subtree(const CoreTree *tree, const CoreTreeNode *node, const CoreTreeNode *parent)
{
    if (node == tree->sentinel) return 1;
    EXPECT_EQ(node->parent, parent);
    const bool red = node->colour & CORE_TREE_RED;
    for (const CoreTreeNode *child : {node->left, node->right}) {
        if (child == tree->sentinel) continue;
        EXPECT_FALSE(red && (child->colour & CORE_TREE_RED)) << "red node with a red child";
    }
    EXPECT_TRUE(node->left == tree->sentinel || tree->config.compare(node->left->key, node->key) < 0);
    EXPECT_TRUE(node->right == tree->sentinel || tree->config.compare(node->right->key, node->key) > 0);
    int left = check_subtree(tree, node->left, node);
    int right = check_subtree(tree, node->right, node);
    if (left < 0 || right < 0 || left != right) {
        ADD_FAILURE() << "black heights differ";
        return -1;
    }
    return left + (red ? 0 : 1);
}

void check_red_black(const CoreTree *tree)
{
    EXPECT_FALSE(tree->sentinel->colour & CORE_TREE_RED);
    EXPECT_FALSE(tree->root->colour & CORE_TREE_RED);
    check_subtree(tree, tree->root, tree->sentinel);
}

TEST(CoreTree, AgreesWithStdSetOverRandomInsertsAndErases)
{
    constexpr int kOps = 100000;
    constexpr uint64_t kKeySpace = 5000;
    CoreTree *tree = make_tree(core_compare_u64_value);
    ASSERT_NE(tree, nullptr);
    std::vector<Entry> entries(kKeySpace);
    for (uint64_t k = 0; k < kKeySpace; ++k) {
        entries[k].key = k;
        entries[k].node.key = reinterpret_cast<const void *>(k);
        entries[k].node.value = &entries[k];
    }
    std::set<uint64_t> model;
    std::mt19937_64 rng(42);
    for (int op = 0; op < kOps; ++op) {
        uint64_t k = rng() % kKeySpace;
        Entry &e = entries[k];
        if (rng() % 2) {
            bool inserted = model.insert(k).second;
            EXPECT_EQ(core_tree_insert(tree, &e.node), inserted ? &e.node : nullptr) << "key " << k;
        } else {
            bool erased = model.erase(k) == 1;
            EXPECT_EQ(core_tree_erase(tree, &e.node), erased ? &e.node : nullptr) << "key " << k;
        }
        ASSERT_EQ(tree->count, model.size());
        if (op % 5000 == 0) check_red_black(tree);
    }
    check_red_black(tree);

    std::vector<uint64_t> walked;
    for (CoreTreeNode *n = core_tree_first(tree); n != nullptr; n = core_tree_next(tree, n))
        walked.push_back(static_cast<Entry *>(n->value)->key);
    EXPECT_EQ(walked, std::vector<uint64_t>(model.begin(), model.end()));
    if (!model.empty()) {
        EXPECT_EQ(static_cast<Entry *>(tree->leftmost->value)->key, *model.begin());
        EXPECT_EQ(static_cast<Entry *>(tree->rightmost->value)->key, *model.rbegin());
    }
    for (uint64_t probe = 0; probe < kKeySpace; probe += 97) {
        auto lower = model.lower_bound(probe);
        auto upper = model.upper_bound(probe);
        CoreTreeNode *lb = core_tree_lower_bound(tree, reinterpret_cast<const void *>(probe));
        CoreTreeNode *ub = core_tree_upper_bound(tree, reinterpret_cast<const void *>(probe));
        EXPECT_EQ(lb ? static_cast<Entry *>(lb->value)->key : UINT64_MAX, lower == model.end() ? UINT64_MAX : *lower);
        EXPECT_EQ(ub ? static_cast<Entry *>(ub->value)->key : UINT64_MAX, upper == model.end() ? UINT64_MAX : *upper);
        EXPECT_EQ(core_tree_find(tree, reinterpret_cast<const void *>(probe)) != nullptr, model.count(probe) == 1);
    }

    core_tree_destroy(&tree);
    EXPECT_EQ(tree, nullptr);
    for (const Entry &e : entries) EXPECT_EQ(e.node.parent, nullptr) << "destroy leaves nodes unlinked";
}

TEST(CoreTree, RefusedInsertAndEraseChangeNothing)
{
    CoreTree *tree = make_tree(core_compare_u64_value);
    ASSERT_NE(tree, nullptr);
    Entry a{}, twin{}, stranger{};
    a.node.key = twin.node.key = reinterpret_cast<const void *>(7);
    stranger.node.key = reinterpret_cast<const void *>(8);
    ASSERT_EQ(core_tree_insert(tree, &a.node), &a.node);

    EXPECT_EQ(core_tree_insert(tree, &twin.node), nullptr) << "equal key";
    EXPECT_EQ(core_tree_erase(tree, &stranger.node), nullptr) << "key not in the tree";
    EXPECT_EQ(core_tree_erase(tree, &twin.node), nullptr) << "equal key, other node: the linked one stays";
    EXPECT_EQ(tree->count, 1u);
    EXPECT_EQ(core_tree_find(tree, reinterpret_cast<const void *>(7)), &a.node);

    EXPECT_EQ(core_tree_erase(tree, &a.node), &a.node);
    EXPECT_EQ(tree->count, 0u);
    EXPECT_EQ(tree->root, tree->sentinel);
    EXPECT_EQ(tree->leftmost, tree->sentinel);
    EXPECT_EQ(core_tree_first(tree), nullptr);
    core_tree_destroy(&tree);

    CoreTreeConfig no_compare{};
    EXPECT_EQ(core_tree_create(&no_compare), nullptr);
    EXPECT_EQ(core_tree_create(nullptr), nullptr);
}

TEST(CoreTree, ComparatorsOrderTheirKeys)
{
    // core_compare_u64 orders the bytes in memory, not the numbers: on this
    // little-endian host 1 sorts after 256.
    uint8_t one[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    uint8_t two_fifty_six[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_GT(core_compare_u64(one, two_fifty_six), 0);
    EXPECT_EQ(core_compare_u64(one, one), 0);

    EXPECT_LT(core_compare_u64_value(reinterpret_cast<const void *>(1), reinterpret_cast<const void *>(256)), 0);
    EXPECT_GT(core_compare_u64_value(reinterpret_cast<const void *>(UINTPTR_MAX), reinterpret_cast<const void *>(0)), 0);

    uint8_t a[32] = {}, b[32] = {};
    b[31] = 1;
    EXPECT_LT(core_tree_compare_key32(a, b), 0);
    a[0] = 0x80;
    EXPECT_GT(core_tree_compare_key32(a, b), 0) << "bytes compare unsigned";
}

}  // namespace
