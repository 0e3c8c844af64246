#pragma once
// SmallBuffer: a few values on the stack and more on the heap, for the keys and
// records a table call builds for a moment.

#include <array>
#include <cstddef>
#include <vector>

// A few values on the stack, more on the heap: a key or a record being added needs no
// allocation of its own in the common case.
template <class T, std::size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(std::size_t n) : size_(n)
    {
        if (n > N)
            heap_.resize(n);
    }
    T* data() { return size_ > N ? heap_.data() : local_.data(); }
    T& operator[](std::size_t i) { return data()[i]; }

private:
    std::size_t size_;
    std::array<T, N> local_{};
    std::vector<T> heap_;
};
