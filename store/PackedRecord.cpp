// RecordPool's blocks: reserving one for a whole file's records, adding one when the
// last is full, bringing one's memory in on a second thread, and freeing them all.

#include "PackedRecord.h"

#include "FreshMemory.h"

void RecordPool::reserve(std::size_t records, std::size_t valueBytes)
{
    addBlock(valueBytes + records * (sizeof(PackedRecord) + alignof(PackedRecord)));
}

void RecordPool::clear()
{
    blocks_.clear();
    capacity_ = used_ = 0;
}

std::jthread RecordPool::bringInInBackground(std::size_t bytes) const
{
    if (blocks_.empty())
        return {};
    return ::bringInInBackground(blocks_.back().get() + used_, std::min(bytes, capacity_ - used_));
}

void RecordPool::addBlock(std::size_t bytes)
{
    blocks_.emplace_back(new unsigned char[bytes]);  // left untouched until used
    capacity_ = bytes;
    used_ = 0;
}
