#pragma once
// CountedTree: an intrusive, counted, randomly balanced binary tree (a treap) that
// keeps a sequence of nodes. Every node counts the nodes below it, so the node at a
// position and the position of a node are both found in O(log n); parent links let a
// node be removed or ranked without searching for it. A node may sit in several trees
// at once, one TreeLinks member per tree; all of them share the node's `priority`
// (a random number), which keeps each tree balanced independently of its order.
//
// The tree never owns or frees its nodes.

#include <cstddef>
#include <cstdint>
#include <vector>

template <class Node>
struct TreeLinks {
    Node* left = nullptr;
    Node* right = nullptr;
    Node* parent = nullptr;
    std::uint32_t size = 1;  // nodes in the subtree rooted here, this one included
};

template <class Node, TreeLinks<Node> Node::*Links>
class CountedTree {
public:
    std::size_t size() const { return count(root_); }
    // Forgets every node (the nodes themselves are left alone).
    void clear() { root_ = nullptr; }

    // The node at 0-based position i; i must be below size().
    Node* at(std::size_t i) const
    {
        Node* n = root_;
        for (;;) {
            const std::size_t leftCount = count(links(n).left);
            if (i < leftCount) {
                n = links(n).left;
            } else if (i == leftCount) {
                return n;
            } else {
                i -= leftCount + 1;
                n = links(n).right;
            }
        }
    }

    // The 0-based position of a node that is in this tree.
    static std::size_t rank(const Node* n)
    {
        std::size_t r = count(links(n).left);
        for (const Node* p = links(n).parent; p != nullptr; n = p, p = links(p).parent) {
            if (links(p).right == n)
                r += count(links(p).left) + 1;
        }
        return r;
    }

    Node* first() const { return root_ ? leftmost(root_) : nullptr; }
    Node* last() const { return root_ ? rightmost(root_) : nullptr; }

    static Node* next(Node* n)
    {
        if (links(n).right)
            return leftmost(links(n).right);
        Node* p = links(n).parent;
        while (p && links(p).right == n) {
            n = p;
            p = links(p).parent;
        }
        return p;
    }

    static Node* prev(Node* n)
    {
        if (links(n).left)
            return rightmost(links(n).left);
        Node* p = links(n).parent;
        while (p && links(p).left == n) {
            n = p;
            p = links(p).parent;
        }
        return p;
    }

    // Puts n immediately before pos, or at the end when pos is null.
    void insertBefore(Node* pos, Node* n)
    {
        if (pos == nullptr)
            attach(last(), false, n);
        else if (links(pos).left == nullptr)
            attach(pos, true, n);
        else
            attach(rightmost(links(pos).left), false, n);
    }

    // Puts n at its sorted place under less(a, b) ("a goes before b"): after every
    // node it does not go before, i.e. after the nodes equal to it.
    template <class Less>
    void insertSorted(Node* n, Less less)
    {
        Node* parent = nullptr;
        bool asLeft = false;
        for (Node* cur = root_; cur != nullptr;) {
            parent = cur;
            asLeft = less(n, cur);
            cur = asLeft ? links(cur).left : links(cur).right;
        }
        attach(parent, asLeft, n);
    }

    // The first node for which before(node) is false, where before is true for a
    // leading run of the sequence and false for the rest; null when it is true for all.
    template <class Before>
    Node* firstNotBefore(Before before) const
    {
        Node* found = nullptr;
        for (Node* cur = root_; cur != nullptr;) {
            if (before(cur)) {
                cur = links(cur).right;
            } else {
                found = cur;
                cur = links(cur).left;
            }
        }
        return found;
    }

    void erase(Node* n)
    {
        // Turn n into a node with at most one child, keeping the heap order of the
        // priorities, then splice it out.
        while (links(n).left && links(n).right) {
            Node* l = links(n).left;
            Node* r = links(n).right;
            rotateUp(l->priority > r->priority ? l : r);
        }
        Node* child = links(n).left ? links(n).left : links(n).right;
        Node* parent = links(n).parent;
        replaceChild(parent, n, child);
        if (child)
            links(child).parent = parent;
        for (Node* p = parent; p != nullptr; p = links(p).parent)
            --links(p).size;
        links(n) = TreeLinks<Node>{};
    }

    // Replaces the tree's content by the given nodes in this order, in O(n).
    void assign(const std::vector<Node*>& inOrder)
    {
        root_ = nullptr;
        if (inOrder.empty())
            return;
        // Cartesian tree on the priorities: the stack holds the right spine.
        std::vector<Node*> spine;
        for (Node* n : inOrder) {
            links(n) = TreeLinks<Node>{};
            Node* lastPopped = nullptr;
            while (!spine.empty() && spine.back()->priority < n->priority) {
                lastPopped = spine.back();
                spine.pop_back();
            }
            links(n).left = lastPopped;
            if (lastPopped)
                links(lastPopped).parent = n;
            if (!spine.empty()) {
                links(spine.back()).right = n;
                links(n).parent = spine.back();
            }
            spine.push_back(n);
        }
        root_ = spine.front();

        // Counts, children before parents: a pre-order walk read backwards.
        std::vector<Node*> preorder;
        preorder.reserve(inOrder.size());
        spine.assign(1, root_);
        while (!spine.empty()) {
            Node* n = spine.back();
            spine.pop_back();
            preorder.push_back(n);
            if (links(n).left)
                spine.push_back(links(n).left);
            if (links(n).right)
                spine.push_back(links(n).right);
        }
        for (auto it = preorder.rbegin(); it != preorder.rend(); ++it)
            recount(*it);
    }

    // Every node in order; for tests and for writing the table out.
    std::vector<Node*> nodes() const
    {
        std::vector<Node*> result;
        result.reserve(size());
        for (Node* n = first(); n != nullptr; n = next(n))
            result.push_back(n);
        return result;
    }

private:
    static TreeLinks<Node>& links(Node* n) { return n->*Links; }
    static const TreeLinks<Node>& links(const Node* n) { return n->*Links; }
    static std::size_t count(const Node* n) { return n ? links(n).size : 0; }
    static void recount(Node* n)
    {
        links(n).size = static_cast<std::uint32_t>(count(links(n).left) + count(links(n).right) + 1);
    }
    static Node* leftmost(Node* n)
    {
        while (links(n).left)
            n = links(n).left;
        return n;
    }
    static Node* rightmost(Node* n)
    {
        while (links(n).right)
            n = links(n).right;
        return n;
    }

    void replaceChild(Node* parent, Node* oldChild, Node* newChild)
    {
        if (parent == nullptr)
            root_ = newChild;
        else if (links(parent).left == oldChild)
            links(parent).left = newChild;
        else
            links(parent).right = newChild;
    }

    // Adds n as a leaf under parent (as the root when parent is null), then lifts it
    // while its priority beats its parent's.
    void attach(Node* parent, bool asLeft, Node* n)
    {
        links(n) = TreeLinks<Node>{};
        links(n).parent = parent;
        if (parent == nullptr)
            root_ = n;
        else if (asLeft)
            links(parent).left = n;
        else
            links(parent).right = n;
        for (Node* p = parent; p != nullptr; p = links(p).parent)
            ++links(p).size;
        while (links(n).parent && links(n).parent->priority < n->priority)
            rotateUp(n);
    }

    // Rotates x above its parent, keeping the in-order sequence.
    void rotateUp(Node* x)
    {
        Node* p = links(x).parent;
        Node* g = links(p).parent;
        if (links(p).left == x) {
            links(p).left = links(x).right;
            if (links(x).right)
                links(links(x).right).parent = p;
            links(x).right = p;
        } else {
            links(p).right = links(x).left;
            if (links(x).left)
                links(links(x).left).parent = p;
            links(x).left = p;
        }
        links(p).parent = x;
        links(x).parent = g;
        replaceChild(g, p, x);
        recount(p);
        recount(x);
    }

    Node* root_ = nullptr;
};
