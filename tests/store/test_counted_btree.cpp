// The counted B+ tree against a plain vector: positions, ranks, neighbours, sorted
// inserts and searches, with small nodes so that splits, merges and root changes
// happen often and at their boundaries.

#include "CountedBTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

struct Item {
    int value = 0;
    void* home = nullptr;
};

struct ItemEntry {
    int key = 0;  // a copy of the item's value, as the record table keeps a key prefix
    Item* rec = nullptr;
};

struct ItemTraits {
    using Rec = Item;
    static void*& home(Item* item) { return item->home; }
};

template <std::uint32_t Leaf, std::uint32_t Inner>
using Tree = CountedBTree<ItemEntry, ItemTraits, Leaf, Inner>;

template <class T>
void expectSameSequence(const T& tree, const std::vector<Item*>& model)
{
    ASSERT_TRUE(tree.wellFormed());
    ASSERT_EQ(tree.size(), model.size());
    std::vector<Item*> seen;
    tree.forEach([&](const ItemEntry& e) { seen.push_back(e.rec); });
    ASSERT_EQ(seen, model);
    EXPECT_EQ(tree.first(), model.empty() ? nullptr : model.front());
    EXPECT_EQ(tree.last(), model.empty() ? nullptr : model.back());
    for (std::size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(tree.at(i).rec, model[i]);
        ASSERT_EQ(tree.rank(model[i]), i);
        ASSERT_EQ(tree.next(model[i]), i + 1 < model.size() ? model[i + 1] : nullptr);
        ASSERT_EQ(tree.prev(model[i]), i > 0 ? model[i - 1] : nullptr);
    }
}

class Items {
public:
    Item* make(int value)
    {
        owned_.push_back(std::make_unique<Item>());
        owned_.back()->value = value;
        return owned_.back().get();
    }

private:
    std::vector<std::unique_ptr<Item>> owned_;
};

ItemEntry entry(Item* item)
{
    return ItemEntry{item->value, item};
}

template <std::uint32_t Leaf, std::uint32_t Inner>
void positionalAgainstModel(unsigned seed)
{
    std::mt19937 random(seed);
    Items items;
    Tree<Leaf, Inner> tree;
    std::vector<Item*> model;

    // Grows to several levels, shrinks to nothing, grows again: splits, merges and the
    // root's coming and going all happen along the way.
    for (const int phase : {0, 1, 2}) {
        const int steps = phase == 1 ? 3000 : 2500;
        for (int step = 0; step < steps; ++step) {
            const bool grow = phase != 1 ? random() % 10 < 7 : random() % 10 < 2;
            if (grow || model.empty()) {
                const std::size_t pos = random() % (model.size() + 1);
                Item* n = items.make(step);
                tree.insertBefore(pos == model.size() ? nullptr : model[pos], entry(n));
                model.insert(model.begin() + static_cast<std::ptrdiff_t>(pos), n);
            } else {
                const std::size_t pos = random() % model.size();
                tree.erase(model[pos]);
                EXPECT_EQ(model[pos]->home, nullptr);
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(pos));
            }
            ASSERT_TRUE(tree.wellFormed()) << "phase " << phase << " step " << step;
            if (step % 97 == 0)
                expectSameSequence(tree, model);
        }
        expectSameSequence(tree, model);
        if (phase == 1) {
            while (!model.empty()) {
                tree.erase(model.back());
                model.pop_back();
            }
            expectSameSequence(tree, model);
            EXPECT_EQ(tree.height(), 0);
        }
    }
    if (Leaf < 8) {
        EXPECT_GE(tree.height(), 3);
    }
}

}  // namespace

TEST(CountedBTree, PositionalInsertsAndErasesMatchAVector)
{
    positionalAgainstModel<4, 4>(1);
    positionalAgainstModel<5, 6>(2);
    positionalAgainstModel<64, 64>(3);
}

TEST(CountedBTree, BulkBuildsAtNodeBoundariesThenChanges)
{
    Items items;
    for (const std::size_t n : {0u, 1u, 4u, 5u, 16u, 17u, 64u, 65u, 257u}) {
        SCOPED_TRACE("n " + std::to_string(n));
        Tree<4, 4> tree;
        std::vector<Item*> model;
        std::vector<ItemEntry> entries;
        for (std::size_t i = 0; i < n; ++i) {
            model.push_back(items.make(static_cast<int>(i)));
            entries.push_back(entry(model.back()));
        }
        tree.assign(entries);
        expectSameSequence(tree, model);
        // The full nodes of a bulk build split on the next insert anywhere.
        Item* front = items.make(-1);
        tree.insertBefore(model.empty() ? nullptr : model.front(), entry(front));
        model.insert(model.begin(), front);
        expectSameSequence(tree, model);
        for (std::size_t i = 0; i < model.size(); i += 2)
            tree.erase(model[i]);
        std::vector<Item*> kept;
        for (std::size_t i = 1; i < model.size(); i += 2)
            kept.push_back(model[i]);
        expectSameSequence(tree, kept);
        // Assigning again replaces the content.
        tree.assign({});
        expectSameSequence(tree, {});
    }
}

TEST(CountedBTree, SortedInsertsSearchesAndReplacementsKeepTheOrder)
{
    std::mt19937 random(11);
    Items items;
    Tree<4, 5> tree;
    std::vector<Item*> model;
    const auto less = [](const ItemEntry& a, const ItemEntry& b) { return a.key < b.key; };
    const auto modelLess = [](const Item* a, const Item* b) { return a->value < b->value; };

    for (int step = 0; step < 4000; ++step) {
        const int choice = static_cast<int>(random() % 10);
        if (choice < 6 || model.empty()) {
            // Many equal values: each lands after those already there.
            Item* n = items.make(static_cast<int>(random() % 60));
            tree.insertSorted(entry(n), less);
            model.insert(std::upper_bound(model.begin(), model.end(), n, modelLess), n);
        } else if (choice < 8) {
            const std::size_t pos = random() % model.size();
            tree.erase(model[pos]);
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(pos));
        } else {
            // An item put in place of another with the same value keeps the position.
            const std::size_t pos = random() % model.size();
            Item* n = items.make(model[pos]->value);
            tree.replace(model[pos], entry(n));
            EXPECT_EQ(model[pos]->home, nullptr);
            model[pos] = n;
        }
        ASSERT_TRUE(tree.wellFormed()) << "step " << step;
        if (step % 200 == 0)
            expectSameSequence(tree, model);
    }
    expectSameSequence(tree, model);

    for (int probe = -1; probe <= 61; ++probe) {
        const auto expected = std::find_if(model.begin(), model.end(), [probe](const Item* n) { return n->value >= probe; });
        const ItemEntry* found = tree.firstNotBefore([probe](const ItemEntry& e) { return e.key < probe; });
        EXPECT_EQ(found ? found->rec : nullptr, expected == model.end() ? nullptr : *expected) << probe;
    }
}

TEST(CountedBTree, SearchesAndSortedInsertsReportThePositionTheyReach)
{
    std::mt19937 random(5);
    Items items;
    Tree<4, 4> tree;
    std::vector<Item*> model;
    const auto less = [](const ItemEntry& a, const ItemEntry& b) { return a.key < b.key; };
    const auto modelLess = [](const Item* a, const Item* b) { return a->value < b->value; };

    for (int step = 0; step < 1500; ++step) {
        Item* n = items.make(static_cast<int>(random() % 200));
        const auto at = std::upper_bound(model.begin(), model.end(), n, modelLess);
        const auto expected = static_cast<std::size_t>(at - model.begin());
        ASSERT_EQ(tree.insertSorted(entry(n), less), expected) << "step " << step;
        model.insert(at, n);
        if (step % 5 == 0) {
            // Past the last entry the position is the size, with no entry found.
            const int probe = static_cast<int>(random() % 202) - 1;
            std::size_t position = 12345;
            const ItemEntry* entry = tree.firstNotBefore([probe](const ItemEntry& e) { return e.key < probe; }, &position);
            Item* found = entry ? entry->rec : nullptr;
            const auto first = std::find_if(model.begin(), model.end(), [probe](const Item* m) { return m->value >= probe; });
            ASSERT_EQ(position, static_cast<std::size_t>(first - model.begin())) << "probe " << probe;
            ASSERT_EQ(found, first == model.end() ? nullptr : *first);
        }
    }
    expectSameSequence(tree, model);
}
