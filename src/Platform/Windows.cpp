// Windows: the runtime's 64-bit stream and status calls; large blocks come from
// the heap and huge pages are not asked for.
#include "Platform/Platform.h"

#include <cerrno>
#include <cstdlib>

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace pyradec::platform {

int seek(FILE *file, int64_t offset, int origin) { return _fseeki64(file, offset, origin); }

int64_t tell(FILE *file) { return _ftelli64(file); }

int access(const char *path, int mode) { return _access(path, mode); }

int64_t fileSize(const char *path)
{
    struct _stat64 st;
    if (!path || _stat64(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int pathStatus(const char *path, bool *isDirectory)
{
    struct _stat64 st;
    if (!path || _stat64(path, &st) != 0)
        return path ? errno : ENOENT;
    *isDirectory = (st.st_mode & S_IFMT) == S_IFDIR;
    return 0;
}

char *absolutePath(const char *path) { return path ? _fullpath(nullptr, path, 0) : nullptr; }

void *mapLarge(size_t bytes) { return std::malloc(bytes); }

void unmapLarge(void *block, size_t) { std::free(block); }

void adviseHugePages(void *, size_t) {}

}  // namespace pyradec::platform
