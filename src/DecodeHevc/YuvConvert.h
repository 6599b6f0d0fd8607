// YUV 4:2:0 (8-bit, limited range) to packed pixels through a colour table.
#pragma once

#include <cstddef>

#include "pyradec/pyradec.h"

namespace pyradec {

// Three planes of a picture; chroma planes hold (w+1)/2 x (h+1)/2 samples.
struct YuvPlanes {
    const unsigned char *y;
    const unsigned char *u;
    const unsigned char *v;
    ptrdiff_t yStride;
    ptrdiff_t uStride;
    ptrdiff_t vStride;
};

// Bytes per pixel of a layout code: 3 for RGB24 and BGR24, 4 for every other code.
int bytesPerPixelOf(int layout);

// Converts width x height pixels into `out` (packed, width*height*bpp bytes) with
// the integer BT.601 formula, then through `table` (null: colours unchanged).
// Returns width*height*bpp. Arguments are not checked.
int convertYuv420(const YuvPlanes &planes, unsigned char *out, int width, int height, int layout,
                  const ColorCorrectTable *table);

}  // namespace pyradec
