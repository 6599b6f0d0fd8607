// The BMP header diagnostic. Part of the Linux deliverable only (CMake leaves it
// out of the DLL).
#include <cstdio>

#include "pyradec/pyradec.h"

PYRADEC_API void Print(BmpInfo *info)
{
    if (info == nullptr)
        return;
    std::printf("width = %d, height = %d, bpp = %d", info->width, info->height,
                static_cast<int>(info->bitCount));
}
