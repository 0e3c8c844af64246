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
    filled_.clear();
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
    std::unique_ptr<unsigned char[]> block(new unsigned char[bytes]);  // left untouched until used
    // Room first, so that the two lists cannot fall out of step when memory runs out.
    blocks_.reserve(blocks_.size() + 1);
    filled_.reserve(blocks_.size());
    if (!blocks_.empty())
        filled_.push_back(used_);
    blocks_.push_back(std::move(block));
    capacity_ = bytes;
    used_ = 0;
}
