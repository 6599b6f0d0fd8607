// Any rectangle of a layer from its tiles (the tile walker that regions, blocks
// and whole layers share), and a layer's image area as JPEG blocks.
#include <algorithm>
#include <cstring>

#include "ColorCorrect/ColorCorrect.h"
#include "JpegCodec.h"
#include "TilePipeline.h"

using namespace pyradec;

namespace {

void fillWhite(unsigned char *out, size_t rowBytes, size_t stride, size_t rows)
{
    for (size_t r = 0; r < rows; ++r)
        std::memset(out + r * stride, 255, rowBytes);
}

}  // namespace

int pyradec::assembleRegion(const VtPyraInfo *pyra, int layer, uint32_t x, uint32_t y, int width, int height,
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
    TileReader reader(tilePath(pyra));
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
            // JPEG tiles decode only the rows and columns the region needs, and only the pixels
            // copied into the region go through the colour table.
            const bool jpeg = compressionOf(pyra) == Compression::Jpeg;
            int status = jpeg ? loadTileRows(pyra, reader, entry, tile.get(), static_cast<int>(srcTop),
                                             static_cast<int>(srcBottom), static_cast<int>(srcLeft),
                                             static_cast<int>(srcRight))
                              : loadTile(pyra, reader, entry, tile.get());
            if (status != VT_OK)
                return status;
            const size_t tileStride = size_t{tw} * 3;
            const unsigned char *src = tile.get() + srcTop * tileStride + srcLeft * 3;
            if (jpeg) {  // corrected on the way out of the tile
                applyColorTableRows(pyra->colorTable, src, tileStride, dest, stride, srcBottom - srcTop,
                                    runBytes / 3);
                continue;
            }
            for (uint64_t r = srcTop; r < srcBottom; ++r) {
                std::memcpy(dest, src, runBytes);
                dest += stride;
                src += tileStride;
            }
        }
    }
    return VT_OK;
}

int VtGetRoiRgbOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int width, int height, unsigned int x,
                              unsigned int y, int layer)
{
    if (!pixels)
        return VT_ERR_NULL_ARG;
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const LayerGrid grid = layerGrid(pyra, layer);
    if (width <= 0 || height <= 0 || x >= grid.width || y >= grid.height ||
        static_cast<uint32_t>(width) > grid.width || static_cast<uint32_t>(height) > grid.height)
        return VT_ERR_REGION;
    auto region = mallocPixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (!region)
        return VT_ERR_UTILITY;
    status = assembleRegion(pyra, layer, x, y, width, height, region.get());
    if (status != VT_OK) {
        *pixels = nullptr;
        return status;
    }
    *pixels = region.release();
    return VT_OK;
}

int VtGetBlockJpegFromPyra(VtPyraInfo *pyra, VtImageInfo *blocks, int quality, int xBlocks, int yBlocks,
                           int layer, int colorSpace)
{
    if (!blocks)
        return VT_ERR_NULL_ARG;
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const VtPicInfo &info = *pyra->picInfos[layer];
    if (xBlocks <= 0 || xBlocks > info.xCount || yBlocks <= 0 || yBlocks > info.yCount)
        return VT_ERR_BLOCKS;
    const LayerGrid grid = layerGrid(pyra, layer);
    const int imageWidth = static_cast<int>(grid.width) - info.boundWidth;
    const int imageHeight = static_cast<int>(grid.height) - info.boundHeight;
    const int baseWidth = imageWidth / xBlocks, baseHeight = imageHeight / yBlocks;
    // The region pixels are 3 bytes each: a colour space of another size (4-byte
    // layouts, spaces the encoder does not take) makes no image, as the encoder
    // answers such a space, and nothing is read beyond the pixels.
    const bool encodable = GetColorChannel(static_cast<J_COLOR_SPACE>(colorSpace)) == 3;
    // A failure part-way leaves the blocks finished so far in the caller's
    // records (the caller releases them); the failing and later records are untouched.
    for (int by = 0; by < yBlocks; ++by) {
        const int top = by * baseHeight;
        const int blockHeight = baseHeight + (by == yBlocks - 1 ? imageHeight % yBlocks : 0);
        for (int bx = 0; bx < xBlocks; ++bx) {
            const int left = bx * baseWidth;
            const int blockWidth = baseWidth + (bx == xBlocks - 1 ? imageWidth % xBlocks : 0);
            VtImageInfo &block = blocks[by * xBlocks + bx];
            if (blockWidth <= 0 || blockHeight <= 0)
                return VT_ERR_REGION;  // an image area too small for the grid
            if (!encodable) {
                block.encodedLength = -1;
                block.width = blockWidth;
                block.height = blockHeight;
                block.channels = 3;
                continue;
            }
            unsigned char *raw = nullptr;
            status =
                VtGetRoiRgbOfSpecifyLayer(pyra, &raw, blockWidth, blockHeight, static_cast<unsigned>(left),
                                          static_cast<unsigned>(top), layer);
            MallocPtr<unsigned char> pixels(raw);
            if (status != VT_OK)
                return status;
            if (!pixels)
                return VT_ERR_NULL_ARG;
            unsigned char *encoded = nullptr;
            const int length =
                VtEncodeJpeg(pixels.get(), &encoded, quality, blockWidth, blockHeight, colorSpace);
            if (length <= 0) {
                std::free(encoded);
                return VT_ERR_JPEG_ENCODE;
            }
            block.encoded = encoded;
            block.encodedLength = length;
            block.width = blockWidth;
            block.height = blockHeight;
            block.channels = 3;
        }
    }
    return VT_OK;
}
