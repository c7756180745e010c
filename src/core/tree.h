// Red-black tree over caller-owned nodes.
//
// The tree owns only its sentinel (the shared black leaf and root parent);
// every node belongs to the caller, usually embedded in the object it
// indexes, and is never freed here. A tree has no lock: its owner (a store,
// a pool, a task set) serialises every call. Lookups return the node or NULL;
// insert returns NULL for a key already present, erase for a node that is
// not in the tree. In-order steps follow ascending comparator order.
#pragma once

#include <cstdint>

#include "core/names.h"

struct CorePool;

// Receives the two nodes' key pointers; negative, zero or positive.
typedef int (*CoreCompareFn)(const void *a, const void *b);

// Two 32-byte keys bytewise (core_compare_key32 in tree form).
int core_tree_compare_key32(const void *a, const void *b);
// Two 8-byte values bytewise in memory order: on little-endian hosts this
// is not numeric order, which is fine for ids that only need equality and
// some stable order.
int core_compare_u64(const void *a, const void *b);
// The key pointers are the values themselves (block addresses).
int core_compare_u64_value(const void *a, const void *b);

#define CORE_TREE_RED 1u

struct CoreTreeConfig {
    CoreName pool;  // empty: the sentinel comes from the heap
    CoreCompareFn compare;
};

struct CoreTreeNode {
    const void *key;  // what the comparator receives
    void *value;      // the indexed object
    CoreTreeNode *parent;
    CoreTreeNode *left;
    CoreTreeNode *right;
    uint32_t colour;  // bit 0 set: red
};

struct CoreTree {
    uint32_t count;
    CoreTreeConfig config;
    CoreTreeNode *root;       // the sentinel when empty
    CoreTreeNode *sentinel;   // black; every leaf and the root's parent
    CoreTreeNode *leftmost;   // the sentinel when empty
    CoreTreeNode *rightmost;  // the sentinel when empty
    CorePool *pool;           // pool of the sentinel, NULL for the heap
};

// A new empty tree, or NULL (config or comparator NULL, no memory, or a
// named pool that cannot be had).
CoreTree *core_tree_create(const CoreTreeConfig *config);

// Unlinks every node (their links are cleared, the nodes stay the caller's),
// frees the sentinel and the tree, sets *tree to NULL.
void core_tree_destroy(CoreTree **tree);

// Links `node` (key set by the caller). Returns node, or NULL when a node
// with an equal key is present (nothing changed).
CoreTreeNode *core_tree_insert(CoreTree *tree, CoreTreeNode *node);

// Unlinks `node`. Returns node, or NULL when that node is not in the tree
// (also when another node with an equal key is: that one stays linked).
CoreTreeNode *core_tree_erase(CoreTree *tree, CoreTreeNode *node);

// The node with a key equal to `key`, or NULL.
CoreTreeNode *core_tree_find(const CoreTree *tree, const void *key);

// First node whose key is >= `key` (lower bound) or > `key` (upper bound),
// or NULL.
CoreTreeNode *core_tree_lower_bound(const CoreTree *tree, const void *key);
CoreTreeNode *core_tree_upper_bound(const CoreTree *tree, const void *key);

// In-order walk: first node, or the successor of `node`; NULL at the end.
CoreTreeNode *core_tree_first(const CoreTree *tree);
CoreTreeNode *core_tree_next(const CoreTree *tree, const CoreTreeNode *node);
