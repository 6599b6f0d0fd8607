// HEVC tiles: one picture per tile, decoded with libavcodec.
#pragma once

#include "pyradec/pyradec.h"

// Output layouts, numbered as libavutil's pixel formats of the same layout.
enum _ColorSpace {
    RGB24 = 2,
    BGR24 = 3,
    ARGB = 25,
    RGBA = 26,
    ABGR = 27,
    BGRA = 28,
};

// Converts a planar 8-bit YUV 4:2:0 picture into `out` through ColorTable;
// width*height*bytes-per-pixel, or -1 when no table exists.
int Yuv420pRgb(const unsigned char *yuv, unsigned char *out, int width, int height, _ColorSpace layout);

namespace pyradec {

// As DecodeHevc, with an explicit table (null: colours unchanged).
int decodeHevc(const unsigned char *data, int width, int height, int length, unsigned char *out, int layout,
               const ColorCorrectTable *table);
// As Yuv420pRgb, with an explicit table (null: colours unchanged).
int yuv420pToPixels(const unsigned char *yuv, unsigned char *out, int width, int height, int layout,
                    const ColorCorrectTable *table);

}  // namespace pyradec
