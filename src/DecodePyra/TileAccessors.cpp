// Tiles and regions for hosts: null on failure instead of a status code.
#include "JpegCodec.h"
#include "Memory.h"
#include "TilePipeline.h"

using namespace pyradec;

namespace {
constexpr int kRegionJpegQuality = 75;
}

unsigned char *GetSliceJpeg(VtPyraInfo *pyra, int layer, int col, int row, int *width, int *height,
                            int *length)
{
    if (!pyra || !width || !height || !length)
        return nullptr;
    unsigned char *raw = nullptr;
    int size = 0;
    const int status = VtGetJpegSliceOfSpecifyLayer(pyra, &raw, &size, layer, col, row);
    MallocPtr<unsigned char> jpeg(raw);
    if (status != VT_OK || !jpeg)
        return nullptr;
    *length = size;
    *width = static_cast<int>(pyra->picHead->tileWidth);
    *height = static_cast<int>(pyra->picHead->tileHeight);
    return jpeg.release();
}

unsigned char *GetSliceBgr(VtPyraInfo *pyra, int layer, int col, int row, int *width, int *height)
{
    if (!pyra || !width || !height)
        return nullptr;
    unsigned char *raw = nullptr;
    const int status = VtGetRgbSliceOfSpecifyLayer(pyra, &raw, layer, col, row);
    MallocPtr<unsigned char> pixels(raw);
    if (status != VT_OK || !pixels)
        return nullptr;
    *width = static_cast<int>(pyra->picHead->tileWidth);
    *height = static_cast<int>(pyra->picHead->tileHeight);
    return pixels.release();
}

unsigned char *GetRoiSliceJpeg(VtPyraInfo *pyra, int layer, int x, int y, int width, int height, int *length)
{
    if (!pyra || !length)
        return nullptr;
    unsigned char *raw = nullptr;
    const int status = VtGetRoiRgbOfSpecifyLayer(pyra, &raw, width, height, static_cast<unsigned>(x),
                                                 static_cast<unsigned>(y), layer);
    MallocPtr<unsigned char> pixels(raw);
    if (status != VT_OK || !pixels)
        return nullptr;
    unsigned char *encoded = nullptr;
    const int size = VtEncodeJpeg(pixels.get(), &encoded, kRegionJpegQuality, width, height, JCS_EXT_BGR);
    MallocPtr<unsigned char> jpeg(encoded);
    if (size <= 0)
        return nullptr;
    *length = size;
    return jpeg.release();
}

unsigned char *GetRoiSliceBgr(VtPyraInfo *pyra, int layer, int x, int y, int width, int height)
{
    if (!pyra || x < 0 || y < 0 || width <= 0 || height <= 0)
        return nullptr;
    unsigned char *raw = nullptr;
    const int status = VtGetRoiRgbOfSpecifyLayer(pyra, &raw, width, height, static_cast<unsigned>(x),
                                                 static_cast<unsigned>(y), layer);
    MallocPtr<unsigned char> pixels(raw);
    if (status != VT_OK)
        return nullptr;
    return pixels.release();
}
