#include "core/tree.h"

#include <cstdlib>
#include <cstring>

#include "core/pool.h"

int core_tree_compare_key32(const void *a, const void *b)
{
    return core_compare_key32(static_cast<const uint8_t *>(a), static_cast<const uint8_t *>(b));
}

int core_compare_u64(const void *a, const void *b) { return memcmp(a, b, sizeof(uint64_t)); }

int core_compare_u64_value(const void *a, const void *b)
{
    uintptr_t x = reinterpret_cast<uintptr_t>(a);
    uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

namespace {

bool is_red(const CoreTreeNode *node) { return (node->colour & CORE_TREE_RED) != 0; }
void set_red(CoreTreeNode *node) { node->colour |= CORE_TREE_RED; }
void set_black(CoreTreeNode *node) { node->colour &= ~CORE_TREE_RED; }

CoreTreeNode *subtree_min(const CoreTree *tree, CoreTreeNode *node)
{
    while (node->left != tree->sentinel) node = node->left;
    return node;
}

CoreTreeNode *subtree_max(const CoreTree *tree, CoreTreeNode *node)
{
    while (node->right != tree->sentinel) node = node->right;
    return node;
}

void update_ends(CoreTree *tree)
{
    if (tree->root == tree->sentinel) {
        tree->leftmost = tree->rightmost = tree->sentinel;
        return;
    }
    tree->leftmost = subtree_min(tree, tree->root);
    tree->rightmost = subtree_max(tree, tree->root);
}

void rotate_left(CoreTree *tree, CoreTreeNode *x)
{
    CoreTreeNode *y = x->right;
    x->right = y->left;
    if (y->left != tree->sentinel) y->left->parent = x;
    y->parent = x->parent;
    if (x->parent == tree->sentinel)
        tree->root = y;
    else if (x == x->parent->left)
        x->parent->left = y;
    else
        x->parent->right = y;
    y->left = x;
    x->parent = y;
}

void rotate_right(CoreTree *tree, CoreTreeNode *x)
{
    CoreTreeNode *y = x->left;
    x->left = y->right;
    if (y->right != tree->sentinel) y->right->parent = x;
    y->parent = x->parent;
    if (x->parent == tree->sentinel)
        tree->root = y;
    else if (x == x->parent->right)
        x->parent->right = y;
    else
        x->parent->left = y;
    y->right = x;
    x->parent = y;
}

void insert_fixup(CoreTree *tree, CoreTreeNode *z)
{
    while (is_red(z->parent)) {
        CoreTreeNode *grand = z->parent->parent;
        if (z->parent == grand->left) {
            CoreTreeNode *uncle = grand->right;
            if (is_red(uncle)) {
                set_black(z->parent);
                set_black(uncle);
                set_red(grand);
                z = grand;
                continue;
            }
            if (z == z->parent->right) {
                z = z->parent;
                rotate_left(tree, z);
            }
            set_black(z->parent);
            set_red(z->parent->parent);
            rotate_right(tree, z->parent->parent);
        } else {
            CoreTreeNode *uncle = grand->left;
            if (is_red(uncle)) {
                set_black(z->parent);
                set_black(uncle);
                set_red(grand);
                z = grand;
                continue;
            }
            if (z == z->parent->left) {
                z = z->parent;
                rotate_right(tree, z);
            }
            set_black(z->parent);
            set_red(z->parent->parent);
            rotate_left(tree, z->parent->parent);
        }
    }
    set_black(tree->root);
}

// Puts v where u was. v may be the sentinel: its parent is then set on
// purpose, because the erase fix-up starts from it.
void transplant(CoreTree *tree, CoreTreeNode *u, CoreTreeNode *v)
{
    if (u->parent == tree->sentinel)
        tree->root = v;
    else if (u == u->parent->left)
        u->parent->left = v;
    else
        u->parent->right = v;
    v->parent = u->parent;
}

void erase_fixup(CoreTree *tree, CoreTreeNode *x)
{
    while (x != tree->root && !is_red(x)) {
        if (x == x->parent->left) {
            CoreTreeNode *w = x->parent->right;
            if (is_red(w)) {
                set_black(w);
                set_red(x->parent);
                rotate_left(tree, x->parent);
                w = x->parent->right;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                set_red(w);
                x = x->parent;
                continue;
            }
            if (!is_red(w->right)) {
                set_black(w->left);
                set_red(w);
                rotate_right(tree, w);
                w = x->parent->right;
            }
            w->colour = (w->colour & ~CORE_TREE_RED) | (x->parent->colour & CORE_TREE_RED);
            set_black(x->parent);
            set_black(w->right);
            rotate_left(tree, x->parent);
            x = tree->root;
        } else {
            CoreTreeNode *w = x->parent->left;
            if (is_red(w)) {
                set_black(w);
                set_red(x->parent);
                rotate_right(tree, x->parent);
                w = x->parent->left;
            }
            if (!is_red(w->right) && !is_red(w->left)) {
                set_red(w);
                x = x->parent;
                continue;
            }
            if (!is_red(w->left)) {
                set_black(w->right);
                set_red(w);
                rotate_left(tree, w);
                w = x->parent->left;
            }
            w->colour = (w->colour & ~CORE_TREE_RED) | (x->parent->colour & CORE_TREE_RED);
            set_black(x->parent);
            set_black(w->left);
            rotate_right(tree, x->parent);
            x = tree->root;
        }
    }
    set_black(x);
}

CoreTreeNode *bound(const CoreTree *tree, const void *key, bool strict)
{
    CoreTreeNode *node = tree->root;
    CoreTreeNode *best = nullptr;
    while (node != tree->sentinel) {
        int c = tree->config.compare(key, node->key);
        if (c < 0 || (c == 0 && !strict)) {
            best = node;
            node = node->left;
        } else {
            node = node->right;
        }
    }
    return best;
}

void clear_links(CoreTree *tree, CoreTreeNode *node)
{
    // Iterative so a degenerate caller cannot overflow the stack; the tree
    // is balanced anyway, but destroy must not rely on it.
    while (node != tree->sentinel) {
        if (node->left != tree->sentinel) {
            CoreTreeNode *left = node->left;
            node->left = tree->sentinel;
            node = left;
            continue;
        }
        if (node->right != tree->sentinel) {
            CoreTreeNode *right = node->right;
            node->right = tree->sentinel;
            node = right;
            continue;
        }
        CoreTreeNode *parent = node->parent;
        node->parent = node->left = node->right = nullptr;
        node->colour = 0;
        node = parent;
    }
}

}  // namespace

CoreTree *core_tree_create(const CoreTreeConfig *config)
{
    if (config == nullptr || config->compare == nullptr) return nullptr;
    auto *tree = static_cast<CoreTree *>(calloc(1, sizeof(CoreTree)));
    if (tree == nullptr) return nullptr;
    tree->config = *config;
    if (!core_name_is_empty(&config->pool)) {
        tree->pool = core_pool_get(&config->pool, 0);
        if (tree->pool == nullptr) {
            free(tree);
            return nullptr;
        }
        tree->sentinel = static_cast<CoreTreeNode *>(core_pool_alloc(tree->pool, sizeof(CoreTreeNode)));
    } else {
        tree->sentinel = static_cast<CoreTreeNode *>(calloc(1, sizeof(CoreTreeNode)));
    }
    if (tree->sentinel == nullptr) {
        if (tree->pool != nullptr) core_pool_release(tree->pool);
        free(tree);
        return nullptr;
    }
    CoreTreeNode *s = tree->sentinel;
    s->parent = s->left = s->right = s;
    s->colour = 0;
    tree->root = tree->leftmost = tree->rightmost = s;
    return tree;
}

void core_tree_destroy(CoreTree **tree_ptr)
{
    if (tree_ptr == nullptr || *tree_ptr == nullptr) return;
    CoreTree *tree = *tree_ptr;
    clear_links(tree, tree->root);
    if (tree->pool != nullptr) {
        void *sentinel = tree->sentinel;
        core_pool_free(tree->pool, &sentinel);
        core_pool_release(tree->pool);
    } else {
        free(tree->sentinel);
    }
    free(tree);
    *tree_ptr = nullptr;
}

CoreTreeNode *core_tree_insert(CoreTree *tree, CoreTreeNode *node)
{
    if (tree == nullptr || node == nullptr) return nullptr;
    CoreTreeNode *parent = tree->sentinel;
    CoreTreeNode *cur = tree->root;
    int c = 0;
    while (cur != tree->sentinel) {
        parent = cur;
        c = tree->config.compare(node->key, cur->key);
        if (c == 0) return nullptr;
        cur = c < 0 ? cur->left : cur->right;
    }
    node->parent = parent;
    node->left = node->right = tree->sentinel;
    set_red(node);
    if (parent == tree->sentinel)
        tree->root = node;
    else if (c < 0)
        parent->left = node;
    else
        parent->right = node;
    tree->count++;
    insert_fixup(tree, node);
    update_ends(tree);
    return node;
}

CoreTreeNode *core_tree_erase(CoreTree *tree, CoreTreeNode *z)
{
    if (tree == nullptr || z == nullptr) return nullptr;
    // Erasing by key alone would unlink whichever node holds an equal key:
    // a stray erase of an unlinked node would then silently drop its twin.
    if (core_tree_find(tree, z->key) != z) return nullptr;

    CoreTreeNode *x;
    uint32_t removed_colour = z->colour;
    if (z->left == tree->sentinel) {
        x = z->right;
        transplant(tree, z, z->right);
    } else if (z->right == tree->sentinel) {
        x = z->left;
        transplant(tree, z, z->left);
    } else {
        CoreTreeNode *y = subtree_min(tree, z->right);
        removed_colour = y->colour;
        x = y->right;
        if (y->parent == z) {
            x->parent = y;
        } else {
            transplant(tree, y, y->right);
            y->right = z->right;
            y->right->parent = y;
        }
        transplant(tree, z, y);
        y->left = z->left;
        y->left->parent = y;
        y->colour = (y->colour & ~CORE_TREE_RED) | (z->colour & CORE_TREE_RED);
    }
    if ((removed_colour & CORE_TREE_RED) == 0) erase_fixup(tree, x);
    // The fix-up may have written the sentinel's parent; keep it pointing
    // at itself so the empty-tree state is always the same.
    tree->sentinel->parent = tree->sentinel;
    tree->count--;
    update_ends(tree);
    z->parent = z->left = z->right = nullptr;
    return z;
}

CoreTreeNode *core_tree_find(const CoreTree *tree, const void *key)
{
    if (tree == nullptr) return nullptr;
    CoreTreeNode *node = tree->root;
    while (node != tree->sentinel) {
        int c = tree->config.compare(key, node->key);
        if (c == 0) return node;
        node = c < 0 ? node->left : node->right;
    }
    return nullptr;
}

CoreTreeNode *core_tree_lower_bound(const CoreTree *tree, const void *key)
{
    return tree == nullptr ? nullptr : bound(tree, key, false);
}

CoreTreeNode *core_tree_upper_bound(const CoreTree *tree, const void *key)
{
    return tree == nullptr ? nullptr : bound(tree, key, true);
}

CoreTreeNode *core_tree_first(const CoreTree *tree)
{
    if (tree == nullptr || tree->leftmost == tree->sentinel) return nullptr;
    return tree->leftmost;
}

CoreTreeNode *core_tree_next(const CoreTree *tree, const CoreTreeNode *node)
{
    if (tree == nullptr || node == nullptr) return nullptr;
    if (node->right != tree->sentinel) return subtree_min(tree, node->right);
    CoreTreeNode *parent = node->parent;
    while (parent != tree->sentinel && node == parent->right) {
        node = parent;
        parent = parent->parent;
    }
    return parent == tree->sentinel ? nullptr : parent;
}
