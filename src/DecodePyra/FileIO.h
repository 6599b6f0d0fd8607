// The file layer: one set of names over the runtime's stream functions, with
// 64-bit positions. What differs between Linux and Windows is behind
// Platform/Platform.h, which this layer calls.
#pragma once

#include <cstdint>
#include <cstdio>

#include "Platform/Platform.h"

FILE *VtOpenFile(const char *path, const char *mode);
void VtCloseFile(FILE *file);
// Size by seeking to the end; the stream is left at position 0. -1 for a null stream.
int64_t VtGetFileSize(FILE *file);
void VtRewind(FILE *file);
int VtFseeki64(FILE *file, int64_t offset, int origin);
int64_t VtFtelli64(FILE *file);
// Size reported by the file system's status query; -1 when the query fails.
int64_t VtGetFileSizeSystemCall(const char *path);
void VtFreeMemory(void *block);
void VtMemset(void *block, int value, int64_t length);

// The absolute form of an existing path, in a new malloc block; null when it
// cannot be formed.
char *VtResolvePath(const char *path);

// 0 when the path is accessible in `mode` (0: exists).
inline int Access(const char *path, int mode) { return pyradec::platform::access(path, mode); }

// Reads up to `count` items of `size` bytes; the number of complete items read.
inline int64_t VtReadData(void *buffer, int64_t size, int64_t count, FILE *file)
{
    return static_cast<int64_t>(fread(buffer, static_cast<size_t>(size), static_cast<size_t>(count), file));
}

namespace pyradec {

// Read-failure rule: a read of size*count bytes failed when fewer arrive; a read
// of zero bytes always succeeds.
inline bool readComplete(void *buffer, int64_t size, int64_t count, FILE *file)
{
    if (size == 0 || count == 0)
        return true;
    return VtReadData(buffer, size, count, file) == count;
}

}  // namespace pyradec

namespace pyradec {

// Size of the file behind the stream, leaving its position where it was; -1 on failure.
inline int64_t streamSize(FILE *file)
{
    int64_t position = VtFtelli64(file);
    if (position < 0 || VtFseeki64(file, 0, SEEK_END) != 0)
        return -1;
    int64_t size = VtFtelli64(file);
    VtFseeki64(file, position, SEEK_SET);
    return size;
}

// Bytes from the current position to the end of the file (0 when beyond it, -1 on failure).
inline int64_t bytesRemaining(FILE *file)
{
    int64_t position = VtFtelli64(file);
    int64_t size = streamSize(file);
    if (position < 0 || size < 0)
        return -1;
    return size > position ? size - position : 0;
}

}  // namespace pyradec
