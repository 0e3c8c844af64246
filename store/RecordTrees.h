#pragma once
// The entries of a record set's two orders, and the counted B+ trees that hold them:
// storage order, and the field ordering in force, whose entries carry the key prefix
// beside the record. Each record knows the leaf of each tree that holds it.

#include "CountedBTree.h"
#include "KeyPrefix.h"
#include "PackedRecord.h"

struct StorageEntry {
    PackedRecord* rec = nullptr;
};

struct OrderEntry {
    KeyPrefix key;
    PackedRecord* rec = nullptr;
};

struct StorageHome {
    using Rec = PackedRecord;
    static void*& home(PackedRecord* r) { return r->storageHome; }
};

struct OrderHome {
    using Rec = PackedRecord;
    static void*& home(PackedRecord* r) { return r->orderHome; }
};

using StorageTree = CountedBTree<StorageEntry, StorageHome, 128, 64>;
using OrderTree = CountedBTree<OrderEntry, OrderHome, 64, 64>;
