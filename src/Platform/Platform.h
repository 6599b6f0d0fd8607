// The operating system's calls that differ between the Linux shared object and
// the Windows DLL. CMake compiles exactly one of Posix.cpp and Windows.cpp, so
// no other file of the library asks which system it runs on; what the two
// deliverables contain (the tile export, Print, cJSON) is CMake's source list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace pyradec::platform {

// Stream positions in 64 bits, whatever the runtime's long is.
int seek(FILE *file, int64_t offset, int origin);
int64_t tell(FILE *file);

// 0 when the path is accessible in `mode` (0: exists, 4: readable).
int access(const char *path, int mode);
// The file's size from the file system's status query; -1 when the query fails.
int64_t fileSize(const char *path);

// 0 when the file system knows the path, setting `isDirectory`; else the errno
// of the failed status query.
int pathStatus(const char *path, bool *isDirectory);

// The absolute form of `path` as a malloc block (freed with free), or null.
char *absolutePath(const char *path);

// A large block for a long-lived table, released with unmapLarge and the same
// size; on Linux a private mapping that asks for huge pages. Null on failure.
void *mapLarge(size_t bytes);
void unmapLarge(void *block, size_t bytes);

// Asks for huge pages behind the whole huge pages inside [block, block + bytes)
// of an ordinary heap block; a hint, ignored where the system has none.
void adviseHugePages(void *block, size_t bytes);

}  // namespace pyradec::platform
