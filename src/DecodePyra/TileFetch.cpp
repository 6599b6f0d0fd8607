// One tile of one layer: as stored, as JPEG, or as blue-green-red pixels.
#include <cstring>

#include "JpegCodec.h"
#include "TilePipeline.h"

using namespace pyradec;

namespace {

constexpr int kTileJpegQuality = 75;

// Validation shared by the JPEG and stored-bytes fetches; fills the tile's entry.
int validateTile(const VtPyraInfo *pyra, int layer, int col, int row, TileEntry *entry)
{
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const VtPicInfo &info = *pyra->picInfos[layer];
    if (col < 0 || col >= info.xCount || row < 0 || row >= info.yCount)
        return VT_ERR_TILE_POS;
    *entry = tileEntry(pyra, layer, col, row);
    // A grid position past the end of a short tile index has no entry to read.
    if (!entry->indexed)
        return VT_ERR_TILE_POS;
    return VT_OK;
}

// One tile of blue-green-red pixels, JPEG-encoded at the tile quality.
int encodeTileJpeg(const VtPicHead &head, const unsigned char *pixels, unsigned char **jpeg, int *length)
{
    unsigned char *encoded = nullptr;
    const int size = VtEncodeJpeg(pixels, &encoded, kTileJpegQuality, static_cast<int>(head.tileWidth),
                                  static_cast<int>(head.tileHeight), JCS_EXT_BGR);
    if (size <= 0) {
        std::free(encoded);
        return VT_ERR_JPEG_ENCODE;
    }
    *jpeg = encoded;
    *length = size;
    return VT_OK;
}

// A white tile, JPEG-encoded at the tile quality.
int whiteTileJpeg(const VtPyraInfo *pyra, unsigned char **jpeg, int *length)
{
    const VtPicHead &head = *pyra->picHead;
    const size_t bytes = size_t{head.tileWidth} * head.tileHeight * 3;
    auto white = mallocBytes(bytes);
    if (!white)
        return VT_ERR_UTILITY;
    std::memset(white.get(), 255, bytes);
    return encodeTileJpeg(head, white.get(), jpeg, length);
}

}  // namespace

int VtGetHevcSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **data, int *length, int layer, int col,
                                 int row)
{
    if (!data || !length)
        return VT_ERR_NULL_ARG;
    TileEntry entry;
    int status = validateTile(pyra, layer, col, row, &entry);
    if (status != VT_OK)
        return status;
    if (!entry.present()) {
        *data = nullptr;
        *length = 0;
        return VT_OK;
    }
    MallocPtr<unsigned char> bytes;
    TileReader reader(tilePath(pyra));
    status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    *data = bytes.release();
    *length = entry.size;
    return VT_OK;
}

int VtGetJpegSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **jpeg, int *length, int layer, int col,
                                 int row)
{
    if (!jpeg || !length)
        return VT_ERR_NULL_ARG;
    TileEntry entry;
    int status = validateTile(pyra, layer, col, row, &entry);
    if (status != VT_OK)
        return status;
    if (!entry.present())
        return whiteTileJpeg(pyra, jpeg, length);

    MallocPtr<unsigned char> bytes;
    TileReader reader(tilePath(pyra));
    status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    switch (compressionOf(pyra)) {
    case Compression::Jpeg:
        // The stored JPEG reaches the caller unchanged.
        *jpeg = bytes.release();
        *length = entry.size;
        return VT_OK;
    case Compression::Hevc: {
        auto pixels = mallocBytes(layerGrid(pyra, layer).tileBytes);
        if (!pixels)
            return VT_ERR_UTILITY;
        if (decodeTile(pyra, bytes.get(), entry.size, pixels.get()) != VT_OK)
            return VT_ERR_HEVC_DECODE;
        return encodeTileJpeg(*pyra->picHead, pixels.get(), jpeg, length);
    }
    }
    // Neither JPEG nor HEVC: nothing to hand out.
    return VT_OK;
}

int VtGetRgbSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int layer, int col, int row)
{
    if (!pixels || !pyra || !pyra->picHead)
        return VT_ERR_NULL_ARG;
    const VtPicHead &head = *pyra->picHead;
    unsigned char *stored = nullptr;
    int length = 0;
    int status;
    if (compressionOf(pyra) == Compression::Jpeg)
        status = VtGetJpegSliceOfSpecifyLayer(pyra, &stored, &length, layer, col, row);
    else if (compressionOf(pyra) == Compression::Hevc)
        status = VtGetHevcSliceOfSpecifyLayer(pyra, &stored, &length, layer, col, row);
    else
        status = checkHandle(pyra);
    if (status != VT_OK)
        return status;
    MallocPtr<unsigned char> bytes(stored);
    *pixels = nullptr;
    if (!bytes || length <= 0)
        return VT_ERR_DECODE;  // nothing stored to decode (absent HEVC tile, other compression)
    auto out = mallocBytes(size_t{head.tileWidth} * head.tileHeight * 3);
    if (!out)
        return VT_ERR_UTILITY;
    if (decodeTile(pyra, bytes.get(), length, out.get()) != VT_OK)
        return VT_ERR_DECODE;
    *pixels = out.release();
    return VT_OK;
}
