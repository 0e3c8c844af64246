#pragma once
// CountedBTree: a wide B+ tree that keeps a sequence of entries and counts the entries
// below every child, so the entry at a position and the position of an entry are both
// found in O(log n) with few cache misses: a node holds up to 64 children or entries,
// so a million entries take three or four levels whose upper ones stay in cache.
//
// Every inner node keeps, beside each child, a copy of the child's first entry (its
// key), so a sorted search reads only inner nodes on its way down. An entry carries a
// pointer `rec` to the record it stands for; the record keeps, in a slot the traits
// name, a pointer back to the leaf holding its entry, so a record is ranked or removed
// without a search. The tree owns its nodes but never the records.
//
// Traits must provide:
//   using Rec = ...;                      the record type (Entry::rec is a Rec*)
//   static void*& home(Rec* r);           the record's back-pointer slot

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <class Entry, class Traits, std::uint32_t LeafCap = 64, std::uint32_t InnerCap = 64>
class CountedBTree {
    static_assert(LeafCap >= 4 && InnerCap >= 4, "nodes must hold at least four children");

public:
    using Rec = typename Traits::Rec;

    CountedBTree() = default;
    CountedBTree(const CountedBTree&) = delete;
    CountedBTree& operator=(const CountedBTree&) = delete;
    ~CountedBTree() { clear(); }

    std::size_t size() const { return total_; }

    // Forgets every entry and frees the nodes (the records are left alone).
    void clear()
    {
        if (root_)
            freeNode(root_);
        root_ = nullptr;
        total_ = 0;
    }

    // The entry at 0-based position i; i must be below size().
    const Entry& at(std::size_t i) const
    {
        const Node* n = root_;
        while (!n->leaf) {
            const auto* in = static_cast<const Inner*>(n);
            std::uint32_t c = 0;
            while (i >= in->sizes[c]) {
                i -= in->sizes[c];
                ++c;
            }
            n = in->child[c];
        }
        return static_cast<const Leaf*>(n)->e[i];
    }

    // The 0-based position of a record that is in this tree.
    std::size_t rank(Rec* r) const
    {
        const Leaf* leaf = leafOf(r);
        std::size_t result = indexIn(leaf, r);
        const Node* n = leaf;
        for (const Inner* p = n->parent; p != nullptr; n = p, p = p->parent) {
            for (std::uint32_t c = 0; p->child[c] != n; ++c)
                result += p->sizes[c];
        }
        return result;
    }

    Rec* first() const { return root_ ? leftmostLeaf()->e[0].rec : nullptr; }
    Rec* last() const
    {
        if (!root_)
            return nullptr;
        const Leaf* leaf = rightmostLeaf();
        return leaf->e[leaf->count - 1].rec;
    }

    Rec* next(Rec* r) const
    {
        const Leaf* leaf = leafOf(r);
        const std::uint32_t i = indexIn(leaf, r) + 1;
        if (i < leaf->count)
            return leaf->e[i].rec;
        return leaf->next ? leaf->next->e[0].rec : nullptr;
    }

    Rec* prev(Rec* r) const
    {
        const Leaf* leaf = leafOf(r);
        const std::uint32_t i = indexIn(leaf, r);
        if (i > 0)
            return leaf->e[i - 1].rec;
        return leaf->prev ? leaf->prev->e[leaf->prev->count - 1].rec : nullptr;
    }

    // Puts e immediately before the entry of record pos, or at the end when pos is null.
    void insertBefore(Rec* pos, const Entry& e)
    {
        if (pos == nullptr) {
            Leaf* leaf = root_ ? rightmostLeaf() : nullptr;
            insertAt(leaf, leaf ? leaf->count : 0, e);
        } else {
            Leaf* leaf = leafOf(pos);
            insertAt(leaf, indexIn(leaf, pos), e);
        }
    }

    // Puts e at its sorted place under less(a, b) ("a goes before b"): after every
    // entry it does not go before, i.e. after the entries equal to it.
    // Returns the position e takes.
    template <class Less>
    std::size_t insertSorted(const Entry& e, Less less)
    {
        const Found at = descend([&](const Entry& x) { return !less(e, x); });
        insertAt(at.leaf, at.index, e);
        return at.before + at.index;
    }

    // The first entry for which before(entry) is false, where before is true for a
    // leading run of the sequence and false for the rest; null when it is true for
    // all. Its position is stored in *position when that is given.
    template <class Before>
    const Entry* firstNotBefore(Before before, std::size_t* position = nullptr) const
    {
        const Found at = descend(before);
        if (position)
            *position = at.before + at.index;
        if (at.leaf == nullptr)
            return nullptr;
        if (at.index < at.leaf->count)
            return &at.leaf->e[at.index];
        return at.leaf->next ? &at.leaf->next->e[0] : nullptr;
    }

    // Replaces the entry of record old, in place, by e (which may stand for another
    // record). The caller keeps the order intact.
    void replace(Rec* old, const Entry& e)
    {
        Leaf* leaf = leafOf(old);
        const std::uint32_t i = indexIn(leaf, old);
        leaf->e[i] = e;
        Traits::home(e.rec) = leaf;
        if (e.rec != old)
            Traits::home(old) = nullptr;
        if (i == 0)
            fixKey(leaf);
    }

    void erase(Rec* r)
    {
        Leaf* leaf = leafOf(r);
        const std::uint32_t i = indexIn(leaf, r);
        for (std::uint32_t k = i + 1; k < leaf->count; ++k)
            leaf->e[k - 1] = leaf->e[k];
        --leaf->count;
        --total_;
        Traits::home(r) = nullptr;
        const Node* n = leaf;
        for (Inner* p = leaf->parent; p != nullptr; n = p, p = p->parent)
            --p->sizes[childIndex(p, n)];
        if (leaf->count == 0) {
            removeEmpty(leaf);
        } else {
            if (i == 0)
                fixKey(leaf);
            if (leaf->count < LeafCap / 4)
                mergeLeaf(leaf);
        }
        collapseRoot();
    }

    // Replaces the tree's content by the given entries in this order, in O(n); the
    // nodes are filled to the brim, which keeps a freshly read table compact.
    void assign(const std::vector<Entry>& inOrder)
    {
        Builder builder;
        for (const Entry& e : inOrder)
            builder.append(e);
        builder.finishInto(*this);
    }

    // Builds a tree's content from entries handed over one at a time (CountedBTreeBuilder.h).
    class Builder;

    // Calls f(entry) for every entry in order.
    template <class F>
    void forEach(F f) const
    {
        if (!root_)
            return;
        for (const Leaf* leaf = leftmostLeaf(); leaf != nullptr; leaf = leaf->next)
            for (std::uint32_t i = 0; i < leaf->count; ++i)
                f(leaf->e[i]);
    }

    // Checks every invariant of the structure; true when all hold. For tests.
    bool wellFormed() const
    {
        if (!root_)
            return total_ == 0;
        if (root_->parent != nullptr)
            return false;
        const Leaf* previousLeaf = nullptr;
        std::size_t counted = 0;
        leafDepth_ = -1;
        if (!checkNode(root_, previousLeaf, counted, 0) || counted != total_)
            return false;
        return previousLeaf->next == nullptr;
    }

    // Levels from the root down to the leaves (0 when empty). For tests.
    int height() const
    {
        int h = 0;
        for (const Node* n = root_; n != nullptr; n = n->leaf ? nullptr : static_cast<const Inner*>(n)->child[0])
            ++h;
        return h;
    }

private:
    struct Inner;
    struct Node {
        Inner* parent = nullptr;
        std::uint32_t count = 0;
        bool leaf = true;
    };
    struct Leaf : Node {
        Leaf* prev = nullptr;
        Leaf* next = nullptr;
        Entry e[LeafCap];
    };
    struct Inner : Node {
        Inner() { this->leaf = false; }
        Entry keys[InnerCap];  // first, so that a search reads the node from its start
        std::uint32_t sizes[InnerCap];
        Node* child[InnerCap];
    };

    static Leaf* leafOf(Rec* r) { return static_cast<Leaf*>(Traits::home(r)); }

    static std::uint32_t indexIn(const Leaf* leaf, const Rec* r)
    {
        std::uint32_t i = 0;
        while (leaf->e[i].rec != r)
            ++i;
        return i;
    }

    static std::uint32_t childIndex(const Inner* p, const Node* n)
    {
        std::uint32_t c = 0;
        while (p->child[c] != n)
            ++c;
        return c;
    }

    static const Entry& firstKey(const Node* n)
    {
        return n->leaf ? static_cast<const Leaf*>(n)->e[0] : static_cast<const Inner*>(n)->keys[0];
    }

    static std::size_t subtreeSize(const Node* n)
    {
        if (n->leaf)
            return n->count;
        const auto* in = static_cast<const Inner*>(n);
        std::size_t sum = 0;
        for (std::uint32_t c = 0; c < in->count; ++c)
            sum += in->sizes[c];
        return sum;
    }

    Leaf* leftmostLeaf() const
    {
        Node* n = root_;
        while (!n->leaf)
            n = static_cast<Inner*>(n)->child[0];
        return static_cast<Leaf*>(n);
    }

    Leaf* rightmostLeaf() const
    {
        Node* n = root_;
        while (!n->leaf) {
            auto* in = static_cast<Inner*>(n);
            n = in->child[in->count - 1];
        }
        return static_cast<Leaf*>(n);
    }

    static void freeNode(Node* n)
    {
        if (n->leaf) {
            delete static_cast<Leaf*>(n);
            return;
        }
        auto* in = static_cast<Inner*>(n);
        for (std::uint32_t c = 0; c < in->count; ++c)
            freeNode(in->child[c]);
        delete in;
    }

    // Asks for the part of a node a search reads (its header and keys or entries) to
    // be brought into cache at once, rather than line by line as the binary search
    // wanders through it. Only a hint: without the builtin nothing changes but speed.
    static void prefetchKeys(const Node* n)
    {
#if defined(__GNUC__) || defined(__clang__)
        constexpr std::size_t bytes = sizeof(Leaf) < sizeof(Node) + sizeof(Entry) * InnerCap
                                          ? sizeof(Leaf)
                                          : sizeof(Node) + sizeof(Entry) * InnerCap;
        const char* p = reinterpret_cast<const char*>(n);
        for (std::size_t offset = 0; offset < bytes; offset += 64)
            __builtin_prefetch(p + offset);
#else
        (void)n;
#endif
    }

    struct Found {
        Leaf* leaf = nullptr;
        std::uint32_t index = 0;
        std::size_t before = 0;  // entries in the leaves before this one
    };

    // The leaf and index of the first entry for which before(entry) is false within the
    // leaf the keys lead to; the index may be the leaf's count (the answer is then the
    // next leaf's first entry, or there is none). A null leaf for an empty tree. The
    // counts of the children passed on the way down give the position for free.
    template <class Before>
    Found descend(Before before) const
    {
        Found found;
        if (!root_)
            return found;
        Node* n = root_;
        while (!n->leaf) {
            auto* in = static_cast<Inner*>(n);
            // The last child whose first entry goes before; the first child if none does.
            std::uint32_t lo = 1, hi = in->count;
            while (lo < hi) {
                const std::uint32_t mid = (lo + hi) / 2;
                if (before(in->keys[mid]))
                    lo = mid + 1;
                else
                    hi = mid;
            }
            for (std::uint32_t c = 0; c + 1 < lo; ++c)
                found.before += in->sizes[c];
            n = in->child[lo - 1];
            prefetchKeys(n);
        }
        auto* leaf = static_cast<Leaf*>(n);
        std::uint32_t lo = 0, hi = leaf->count;
        while (lo < hi) {
            const std::uint32_t mid = (lo + hi) / 2;
            if (before(leaf->e[mid]))
                lo = mid + 1;
            else
                hi = mid;
        }
        found.leaf = leaf;
        found.index = lo;
        return found;
    }

    // Inserts e at index i of leaf (a null leaf only for an empty tree).
    void insertAt(Leaf* leaf, std::uint32_t i, const Entry& e)
    {
        if (leaf == nullptr) {
            leaf = new Leaf;
            root_ = leaf;
            i = 0;
        }
        if (leaf->count == LeafCap) {
            Leaf* right = splitLeaf(leaf);
            if (i > leaf->count) {
                i -= leaf->count;
                leaf = right;
            }
        }
        for (std::uint32_t k = leaf->count; k > i; --k)
            leaf->e[k] = leaf->e[k - 1];
        leaf->e[i] = e;
        ++leaf->count;
        ++total_;
        Traits::home(e.rec) = leaf;
        const Node* n = leaf;
        for (Inner* p = leaf->parent; p != nullptr; n = p, p = p->parent)
            ++p->sizes[childIndex(p, n)];
        if (i == 0)
            fixKey(leaf);
    }

    // Moves the upper half of a full leaf into a new leaf after it.
    Leaf* splitLeaf(Leaf* leaf)
    {
        auto* right = new Leaf;
        const std::uint32_t keep = LeafCap / 2;
        right->count = leaf->count - keep;
        for (std::uint32_t k = 0; k < right->count; ++k) {
            right->e[k] = leaf->e[keep + k];
            Traits::home(right->e[k].rec) = right;
        }
        leaf->count = keep;
        right->next = leaf->next;
        if (right->next)
            right->next->prev = right;
        right->prev = leaf;
        leaf->next = right;
        addChildAfter(leaf, right, right->count, right->e[0]);
        return right;
    }

    // Moves the upper half of a full inner node into a new one after it.
    Inner* splitInner(Inner* in)
    {
        auto* right = new Inner;
        const std::uint32_t keep = InnerCap / 2;
        right->count = in->count - keep;
        std::size_t moved = 0;
        for (std::uint32_t k = 0; k < right->count; ++k) {
            right->child[k] = in->child[keep + k];
            right->sizes[k] = in->sizes[keep + k];
            right->keys[k] = in->keys[keep + k];
            right->child[k]->parent = right;
            moved += right->sizes[k];
        }
        in->count = keep;
        addChildAfter(in, right, moved, right->keys[0]);
        return right;
    }

    // Enters right, a new sibling just split off left, into left's parent (made anew
    // when left was the root). The parent's count for left still includes right's
    // rightSize entries. rightKey is right's first entry, given by the caller, which
    // knows right's kind.
    void addChildAfter(Node* left, Node* right, std::size_t rightSize, const Entry& rightKey)
    {
        Inner* p = left->parent;
        if (p == nullptr) {
            p = new Inner;
            p->count = 1;
            p->child[0] = left;
            p->sizes[0] = static_cast<std::uint32_t>(subtreeSize(left) + rightSize);
            p->keys[0] = firstKey(left);
            left->parent = p;
            root_ = p;
        }
        if (p->count == InnerCap) {
            splitInner(p);
            p = left->parent;
        }
        const std::uint32_t c = childIndex(p, left);
        for (std::uint32_t k = p->count; k > c + 1; --k) {
            p->child[k] = p->child[k - 1];
            p->sizes[k] = p->sizes[k - 1];
            p->keys[k] = p->keys[k - 1];
        }
        p->child[c + 1] = right;
        p->sizes[c + 1] = static_cast<std::uint32_t>(rightSize);
        p->sizes[c] -= static_cast<std::uint32_t>(rightSize);
        p->keys[c + 1] = rightKey;
        right->parent = p;
        ++p->count;
    }

    // Copies a node's (new) first entry into the keys above it, as far as it is first.
    static void fixKey(const Node* n)
    {
        for (Inner* p = n->parent; p != nullptr; n = p, p = p->parent) {
            const std::uint32_t c = childIndex(p, n);
            p->keys[c] = firstKey(n);
            if (c != 0)
                break;
        }
    }

    // Takes an empty node out of the tree, and its parent too when that empties.
    void removeEmpty(Node* n)
    {
        Inner* p = n->parent;
        if (n->leaf) {
            auto* leaf = static_cast<Leaf*>(n);
            if (leaf->prev)
                leaf->prev->next = leaf->next;
            if (leaf->next)
                leaf->next->prev = leaf->prev;
        }
        if (p == nullptr) {
            freeNode(n);
            root_ = nullptr;
            return;
        }
        const std::uint32_t c = childIndex(p, n);
        freeNode(n);
        for (std::uint32_t k = c + 1; k < p->count; ++k) {
            p->child[k - 1] = p->child[k];
            p->sizes[k - 1] = p->sizes[k];
            p->keys[k - 1] = p->keys[k];
        }
        --p->count;
        if (p->count == 0) {
            removeEmpty(p);
            return;
        }
        if (c == 0)
            fixKey(p);
        if (p->count < InnerCap / 4)
            mergeInner(p);
    }

    // An underfull leaf is joined with a neighbour under the same parent when both fit
    // in one leaf; the right one of the two is emptied into the left and removed.
    void mergeLeaf(Leaf* leaf)
    {
        Inner* p = leaf->parent;
        if (p == nullptr || p->count < 2)
            return;
        const std::uint32_t c = childIndex(p, leaf);
        const std::uint32_t l = c + 1 < p->count ? c : c - 1;
        auto* left = static_cast<Leaf*>(p->child[l]);
        auto* right = static_cast<Leaf*>(p->child[l + 1]);
        if (left->count + right->count > LeafCap * 3 / 4)
            return;
        for (std::uint32_t k = 0; k < right->count; ++k) {
            left->e[left->count + k] = right->e[k];
            Traits::home(right->e[k].rec) = left;
        }
        left->count += right->count;
        p->sizes[l] += p->sizes[l + 1];
        p->sizes[l + 1] = 0;
        right->count = 0;
        removeEmpty(right);
    }

    void mergeInner(Inner* in)
    {
        Inner* p = in->parent;
        if (p == nullptr || p->count < 2)
            return;
        const std::uint32_t c = childIndex(p, in);
        const std::uint32_t l = c + 1 < p->count ? c : c - 1;
        auto* left = static_cast<Inner*>(p->child[l]);
        auto* right = static_cast<Inner*>(p->child[l + 1]);
        if (left->count + right->count > InnerCap * 3 / 4)
            return;
        for (std::uint32_t k = 0; k < right->count; ++k) {
            const std::uint32_t to = left->count + k;
            left->child[to] = right->child[k];
            left->sizes[to] = right->sizes[k];
            left->keys[to] = right->keys[k];
            left->child[to]->parent = left;
        }
        left->count += right->count;
        p->sizes[l] += p->sizes[l + 1];
        p->sizes[l + 1] = 0;
        right->count = 0;
        removeEmpty(right);
    }

    // A root with a single child gives way to that child.
    void collapseRoot()
    {
        while (root_ && !root_->leaf && root_->count == 1) {
            auto* old = static_cast<Inner*>(root_);
            root_ = old->child[0];
            root_->parent = nullptr;
            delete old;
        }
    }

    bool checkNode(const Node* n, const Leaf*& previousLeaf, std::size_t& counted, int depth) const
    {
        if (n->count == 0 || n->count > (n->leaf ? LeafCap : InnerCap))
            return false;
        if (n->leaf) {
            const auto* leaf = static_cast<const Leaf*>(n);
            if (leaf->prev != previousLeaf || (previousLeaf && previousLeaf->next != leaf))
                return false;
            for (std::uint32_t i = 0; i < leaf->count; ++i) {
                if (Traits::home(leaf->e[i].rec) != leaf)
                    return false;
            }
            previousLeaf = leaf;
            counted += leaf->count;
            if (leafDepth_ < 0)
                leafDepth_ = depth;
            return leafDepth_ == depth;
        }
        const auto* in = static_cast<const Inner*>(n);
        for (std::uint32_t c = 0; c < in->count; ++c) {
            const Node* child = in->child[c];
            if (child->parent != in || in->sizes[c] != subtreeSize(child))
                return false;
            if (in->keys[c].rec != firstKey(child).rec)
                return false;
            const std::size_t before = counted;
            if (!checkNode(child, previousLeaf, counted, depth + 1) || counted - before != in->sizes[c])
                return false;
        }
        return true;
    }

    Node* root_ = nullptr;
    std::size_t total_ = 0;
    mutable int leafDepth_ = -1;  // depth of the leaves, while wellFormed runs
};

// The builder, in a header of its own.
#include "CountedBTreeBuilder.h"
