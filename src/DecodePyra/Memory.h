// Heap blocks handed to hosts are malloc blocks; inside the library they are
// held by these owners until handed out, so every early return releases them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "Platform/Platform.h"

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

// As mallocBytes, for large pixel buffers (whole layers, big regions): still a
// plain malloc block that the host frees, but backed by huge pages where the
// system allows, since first-touch page faults otherwise cost more than decoding.
inline MallocPtr<unsigned char> mallocPixels(size_t bytes)
{
    MallocPtr<unsigned char> block = mallocBytes(bytes);
    constexpr size_t kHugePage = size_t{2} << 20;
    if (block && bytes >= 2 * kHugePage)
        platform::adviseHugePages(block.get(), bytes);
    return block;
}

}  // namespace pyradec
