#include "FileIO.h"

#include <cstdlib>
#include <cstring>

FILE *VtOpenFile(const char *path, const char *mode)
{
    if (!path || !mode)
        return nullptr;
    return fopen(path, mode);
}

void VtCloseFile(FILE *file)
{
    if (file)
        fclose(file);
}

int64_t VtGetFileSize(FILE *file)
{
    if (!file)
        return -1;
    VtFseeki64(file, 0, SEEK_END);
    int64_t size = VtFtelli64(file);
    VtRewind(file);
    return size;
}

void VtRewind(FILE *file) { rewind(file); }

int VtFseeki64(FILE *file, int64_t offset, int origin)
{
    return pyradec::platform::seek(file, offset, origin);
}

int64_t VtFtelli64(FILE *file) { return pyradec::platform::tell(file); }

int64_t VtGetFileSizeSystemCall(const char *path) { return pyradec::platform::fileSize(path); }

void VtFreeMemory(void *block)
{
    if (block)
        free(block);
}

void VtMemset(void *block, int value, int64_t length)
{
    if (block && length > 0)
        memset(block, value, static_cast<size_t>(length));
}

char *VtResolvePath(const char *path) { return pyradec::platform::absolutePath(path); }
