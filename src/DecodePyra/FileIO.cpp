#if !defined(_WIN32)
#define _FILE_OFFSET_BITS 64
#define _LARGEFILE64_SOURCE 1
#endif

#include "FileIO.h"

#include <cstdlib>
#include <cstring>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/types.h>
#endif

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

void VtRewind(FILE *file)
{
    rewind(file);
}

int VtFseeki64(FILE *file, int64_t offset, int origin)
{
#if defined(_WIN32)
    return _fseeki64(file, offset, origin);
#else
    return fseeko(file, static_cast<off_t>(offset), origin);
#endif
}

int64_t VtFtelli64(FILE *file)
{
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

#if !defined(_WIN32)
int64_t VtGetFileSizeSystemCall(const char *path)
{
    struct stat64 st;
    if (!path || stat64(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

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
#endif

char *VtResolvePath(const char *path)
{
    if (!path)
        return nullptr;
#if defined(_WIN32)
    return _fullpath(nullptr, path, 0);
#else
    return realpath(path, nullptr);
#endif
}
