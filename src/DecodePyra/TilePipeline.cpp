#include "TilePipeline.h"

#include <algorithm>
#include <cstring>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/DecodeHevc.h"
#include "FileIO.h"
#include "JpegCodec.h"

namespace pyradec {

int checkHandle(const VtPyraInfo *pyra)
{
    if (!pyra || !pyra->path || !pyra->picHead || !pyra->sliceInfos || !pyra->picInfos)
        return VT_ERR_NULL_ARG;
    return VT_OK;
}

int checkLayer(const VtPyraInfo *pyra, int layer)
{
    if (checkHandle(pyra) != VT_OK)
        return VT_ERR_NULL_ARG;
    if (layer < 0 || static_cast<uint32_t>(layer) >= pyra->picHead->layerCount)
        return VT_ERR_LAYER;
    if (!pyra->picInfos[layer] || !pyra->sliceInfos[layer])
        return VT_ERR_NULL_ARG;
    return VT_OK;
}

LayerGrid layerGrid(const VtPyraInfo *pyra, int layer)
{
    const VtPicHead &head = *pyra->picHead;
    const VtPicInfo &info = *pyra->picInfos[layer];
    LayerGrid grid;
    grid.xCount = info.xCount;
    grid.yCount = info.yCount;
    grid.tileWidth = head.tileWidth;
    grid.tileHeight = head.tileHeight;
    // The open refuses layers whose sizes would wrap these products.
    grid.width = static_cast<uint32_t>(info.xCount) * head.tileWidth;
    grid.height = static_cast<uint32_t>(info.yCount) * head.tileHeight;
    grid.tileBytes = size_t{head.tileWidth} * head.tileHeight * 3;
    return grid;
}

TileEntry tileEntry(const VtPyraInfo *pyra, int layer, int col, int row)
{
    const VtPicInfo &info = *pyra->picInfos[layer];
    const VtSliceInfo &slice = *pyra->sliceInfos[layer];
    const uint64_t index = uint64_t(row) * uint64_t(info.xCount) + uint64_t(col);
    if (index >= info.tileCount || !slice.tileOffsets || !slice.tileSizes)
        return TileEntry{false, 0, 0};
    return TileEntry{true, slice.tileOffsets[index], slice.tileSizes[index]};
}

TileReader::~TileReader()
{
    VtCloseFile(file_);
}

int TileReader::read(const TileEntry &entry, MallocPtr<unsigned char> &out)
{
    if (!entry.present() || entry.offset < 0)
        return VT_ERR_READ;
    if (!file_) {
        file_ = VtOpenFile(path_, "rb");
        if (!file_)
            return VT_ERR_READ;
        // Tiles are read whole; stdio's buffer would only add a copy.
        setvbuf(file_, nullptr, _IONBF, 0);
        fileSize_ = streamSize(file_);
    }
    // A size the file cannot hold (a damaged table, a file cut short since the open)
    // fails before anything is allocated for it.
    if (fileSize_ < 0 || entry.offset > fileSize_ || entry.size > fileSize_ - entry.offset)
        return VT_ERR_READ;
    out = mallocBytes(static_cast<size_t>(entry.size));
    if (!out)
        return VT_ERR_UTILITY;
    if (VtFseeki64(file_, entry.offset, SEEK_SET) != 0 ||
        !readComplete(out.get(), entry.size, 1, file_)) {
        out.reset();
        clearerr(file_);
        return VT_ERR_READ;
    }
    return VT_OK;
}

int decodeTile(const VtPyraInfo *pyra, const unsigned char *bytes, int32_t size, unsigned char *out)
{
    const VtPicHead &head = *pyra->picHead;
    const int width = static_cast<int>(head.tileWidth);
    const int height = static_cast<int>(head.tileHeight);
    switch (head.compressionType) {
    case 0:
        return decodeJpegTile(bytes, static_cast<size_t>(size), out, width, height, pyra->colorTable)
                   ? VT_OK
                   : VT_ERR_DECODE;
    case 4: {
        const int expected = width * height * 3;
        return decodeHevc(bytes, width, height, size, out, BGR24, pyra->colorTable) == expected
                   ? VT_OK
                   : VT_ERR_DECODE;
    }
    default:
        return VT_ERR_DECODE;
    }
}

int loadTile(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry, unsigned char *out)
{
    MallocPtr<unsigned char> bytes;
    int status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    return decodeTile(pyra, bytes.get(), entry.size, out);
}

int loadTileRows(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry,
                 unsigned char *out, int firstRow, int endRow)
{
    MallocPtr<unsigned char> bytes;
    int status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    const VtPicHead &head = *pyra->picHead;
    return decodeJpegTileRows(bytes.get(), static_cast<size_t>(entry.size), out,
                              static_cast<int>(head.tileWidth), static_cast<int>(head.tileHeight),
                              firstRow, endRow, nullptr)
               ? VT_OK
               : VT_ERR_DECODE;
}

namespace {

void fillWhite(unsigned char *out, size_t rowBytes, size_t stride, size_t rows)
{
    for (size_t r = 0; r < rows; ++r)
        std::memset(out + r * stride, 255, rowBytes);
}

}  // namespace

int assembleRegion(const VtPyraInfo *pyra, int layer, uint32_t x, uint32_t y, int width, int height,
                   unsigned char *out)
{
    const LayerGrid grid = layerGrid(pyra, layer);
    const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    const size_t stride = static_cast<size_t>(w) * 3;
    const uint64_t right = x + w, bottom = y + h;  // one past the region, in layer pixels

    // Beyond the layer's right and bottom edges: white.
    const uint64_t insideRight = std::min<uint64_t>(right, grid.width);
    const uint64_t insideBottom = std::min<uint64_t>(bottom, grid.height);
    if (insideRight < right)
        fillWhite(out + (insideRight - x) * 3, (right - insideRight) * 3, stride, insideBottom - y);
    if (insideBottom < bottom)
        fillWhite(out + (insideBottom - y) * stride, stride, stride, bottom - insideBottom);

    const uint32_t tw = grid.tileWidth, th = grid.tileHeight;
    const uint64_t firstCol = x / tw, lastCol = (insideRight - 1) / tw;
    const uint64_t firstRow = y / th, lastRow = (insideBottom - 1) / th;
    MallocPtr<unsigned char> tile;
    TileReader reader(pyra->path);
    for (uint64_t row = firstRow; row <= lastRow; ++row) {
        const uint64_t tileTop = row * th;
        const uint64_t srcTop = std::max<uint64_t>(y, tileTop) - tileTop;
        const uint64_t srcBottom = std::min<uint64_t>(insideBottom, tileTop + th) - tileTop;
        for (uint64_t col = firstCol; col <= lastCol; ++col) {
            const uint64_t tileLeft = col * tw;
            const uint64_t srcLeft = std::max<uint64_t>(x, tileLeft) - tileLeft;
            const uint64_t srcRight = std::min<uint64_t>(insideRight, tileLeft + tw) - tileLeft;
            unsigned char *dest = out + (tileTop + srcTop - y) * stride + (tileLeft + srcLeft - x) * 3;
            const size_t runBytes = static_cast<size_t>(srcRight - srcLeft) * 3;
            const TileEntry entry = tileEntry(pyra, layer, static_cast<int>(col), static_cast<int>(row));
            if (!entry.present()) {
                fillWhite(dest, runBytes, stride, srcBottom - srcTop);
                continue;
            }
            if (!tile) {
                tile = mallocBytes(grid.tileBytes);
                if (!tile)
                    return VT_ERR_UTILITY;
            }
            // JPEG tiles decode only the rows the region needs, and only the pixels
            // copied into the region go through the colour table.
            const bool jpeg = pyra->picHead->compressionType == 0;
            int status = jpeg ? loadTileRows(pyra, reader, entry, tile.get(), static_cast<int>(srcTop),
                                             static_cast<int>(srcBottom))
                              : loadTile(pyra, reader, entry, tile.get());
            if (status != VT_OK)
                return status;
            const size_t tileStride = size_t{tw} * 3;
            const unsigned char *src = tile.get() + srcTop * tileStride + srcLeft * 3;
            for (uint64_t r = srcTop; r < srcBottom; ++r) {
                std::memcpy(dest, src, runBytes);
                if (jpeg)
                    applyColorTable(pyra->colorTable, dest, runBytes / 3, 3);
                dest += stride;
                src += tileStride;
            }
        }
    }
    return VT_OK;
}

}  // namespace pyradec
