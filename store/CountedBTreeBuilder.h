#pragma once
// CountedBTree::Builder: a tree's content built in one pass, from entries handed
// over in order or put at known positions. Included at the end of CountedBTree.h,
// whose nodes it makes; it may be included first as well.

#include "CountedBTree.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Builds a tree's content from entries handed over one at a time, in order, as
// assign does: each entry goes straight into the last leaf, so that the record's
// leaf is noted while the record is at hand. Or, when each entry's position is
// known, the entries are put at their positions in any order. What is built goes
// into a tree only at finishInto; a builder dropped before that frees its leaves.
template <class Entry, class Traits, std::uint32_t LeafCap, std::uint32_t InnerCap>
class CountedBTree<Entry, Traits, LeafCap, InnerCap>::Builder {
public:
    Builder() = default;
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;
    ~Builder()
    {
        for (Node* n : level_)
            delete static_cast<Leaf*>(n);
    }

    void append(const Entry& e)
    {
        if (last_ == nullptr || last_->count == LeafCap) {
            if (level_.size() == level_.capacity())  // the leaf is owned from the start
                level_.reserve(std::max<std::size_t>(16, 2 * level_.size()));
            auto* leaf = new Leaf;
            leaf->prev = last_;
            if (last_)
                last_->next = leaf;
            last_ = leaf;
            level_.push_back(leaf);
        }
        last_->e[last_->count++] = e;
        Traits::home(e.rec) = last_;
        ++total_;
    }

    // Makes room for n entries, to be put at their positions by put, on a builder
    // that holds none yet. Every position must be put before finishInto.
    void reserveSlots(std::size_t n)
    {
        level_.reserve(n / LeafCap + 1);
        for (std::size_t start = 0; start < n; start += LeafCap) {
            auto* leaf = new Leaf;
            leaf->count = static_cast<std::uint32_t>(std::min<std::size_t>(LeafCap, n - start));
            leaf->prev = last_;
            if (last_)
                last_->next = leaf;
            last_ = leaf;
            level_.push_back(leaf);
        }
        total_ = n;
    }

    // Tells r the leaf that position i of the n reserved lies in, as appending the
    // entries in order would have.
    void noteHome(std::size_t i, Rec* r) { Traits::home(r) = level_[i / LeafCap]; }
    // Puts e at position i of the n reserved; its record must be told its leaf
    // by noteHome, before or after.
    void put(std::size_t i, const Entry& e) { static_cast<Leaf*>(level_[i / LeafCap])->e[i % LeafCap] = e; }

    // Replaces tree's content by the entries appended; the builder is left empty.
    void finishInto(CountedBTree& tree)
    {
        tree.clear();
        std::vector<Node*> level = std::move(level_);
        level_.clear();
        last_ = nullptr;
        if (level.empty())
            return;
        std::vector<std::size_t> sizes;
        sizes.reserve(level.size());
        for (const Node* n : level)
            sizes.push_back(n->count);
        while (level.size() > 1) {
            std::vector<Node*> upper;
            std::vector<std::size_t> upperSizes;
            upper.reserve(level.size() / InnerCap + 1);
            for (std::size_t start = 0; start < level.size(); start += InnerCap) {
                auto* in = new Inner;
                const std::size_t end = std::min(level.size(), start + InnerCap);
                std::size_t sum = 0;
                for (std::size_t k = start; k < end; ++k) {
                    const auto c = static_cast<std::uint32_t>(k - start);
                    in->child[c] = level[k];
                    in->sizes[c] = static_cast<std::uint32_t>(sizes[k]);
                    in->keys[c] = firstKey(level[k]);
                    level[k]->parent = in;
                    sum += sizes[k];
                }
                in->count = static_cast<std::uint32_t>(end - start);
                upper.push_back(in);
                upperSizes.push_back(sum);
            }
            level = std::move(upper);
            sizes = std::move(upperSizes);
        }
        tree.root_ = level.front();
        tree.total_ = total_;
        total_ = 0;
    }

private:
    std::vector<Node*> level_;  // the leaves so far, in order
    Leaf* last_ = nullptr;
    std::size_t total_ = 0;
};
