// Heap blocks handed to hosts are malloc blocks; inside the library they are
// held by these owners until handed out, so every early return releases them.
#pragma once

#include <cstdlib>
#include <memory>

namespace pyradec {

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// A zeroed block of `count` objects of T; empty on allocation failure.
template <typename T>
MallocPtr<T> mallocZeroed(size_t count = 1)
{
    return MallocPtr<T>(static_cast<T *>(std::calloc(count ? count : 1, sizeof(T))));
}

// An uninitialised block of `bytes` bytes; empty on allocation failure.
inline MallocPtr<unsigned char> mallocBytes(size_t bytes)
{
    return MallocPtr<unsigned char>(static_cast<unsigned char *>(std::malloc(bytes ? bytes : 1)));
}

}  // namespace pyradec
