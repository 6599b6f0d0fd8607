// Linux: 64-bit stream offsets, stat64, and anonymous mappings with huge pages.
#include "Platform/Platform.h"

#include <cerrno>
#include <cstdlib>

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace pyradec::platform {

int seek(FILE *file, int64_t offset, int origin) { return fseeko(file, static_cast<off_t>(offset), origin); }

int64_t tell(FILE *file) { return static_cast<int64_t>(ftello(file)); }

int access(const char *path, int mode) { return ::access(path, mode); }

int64_t fileSize(const char *path)
{
    struct stat64 st;
    if (!path || stat64(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int pathStatus(const char *path, bool *isDirectory)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return path ? errno : ENOENT;
    *isDirectory = (st.st_mode & S_IFMT) == S_IFDIR;
    return 0;
}

char *absolutePath(const char *path) { return path ? realpath(path, nullptr) : nullptr; }

void *mapLarge(size_t bytes)
{
    void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    // Fewer, larger page faults on the first fill.
    madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

void unmapLarge(void *block, size_t bytes)
{
    if (block)
        munmap(block, bytes);
}

void adviseHugePages(void *block, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
    if (block && end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace pyradec::platform
