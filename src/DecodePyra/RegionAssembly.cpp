// Any rectangle of a layer from its tiles, and a layer's image area as JPEG blocks.
#include "JpegCodec.h"
#include "TilePipeline.h"

using namespace pyradec;

int VtGetRoiRgbOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int width, int height,
                              unsigned int x, unsigned int y, int layer)
{
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

int VtGetBlockJpegFromPyra(VtPyraInfo *pyra, VtImageInfo *blocks, int quality, int xBlocks,
                           int yBlocks, int layer, int colorSpace)
{
    if (!blocks)
        return VT_ERR_NULL_ARG;
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const VtPicInfo &info = *pyra->picInfos[layer];
    if (xBlocks <= 0 || xBlocks > info.xCount || yBlocks <= 0 || yBlocks > info.yCount)
        return VT_ERR_BLOCKS;
    // The region pixels are 3 bytes each; a 4-byte layout would make the encoder read past them.
    if (GetColorChannel(static_cast<J_COLOR_SPACE>(colorSpace)) != 3)
        return VT_ERR_UTILITY;

    const LayerGrid grid = layerGrid(pyra, layer);
    const int imageWidth = static_cast<int>(grid.width) - info.boundWidth;
    const int imageHeight = static_cast<int>(grid.height) - info.boundHeight;
    const int baseWidth = imageWidth / xBlocks, baseHeight = imageHeight / yBlocks;
    int done = 0;
    // A failure part-way releases the blocks made so far: no partial grid is handed out.
    auto fail = [&](int code) {
        for (int i = 0; i < done; ++i) {
            std::free(blocks[i].encoded);
            blocks[i].encoded = nullptr;
            blocks[i].encodedLength = 0;
        }
        return code;
    };
    for (int by = 0; by < yBlocks; ++by) {
        const int top = by * baseHeight;
        const int blockHeight = baseHeight + (by == yBlocks - 1 ? imageHeight % yBlocks : 0);
        for (int bx = 0; bx < xBlocks; ++bx) {
            const int left = bx * baseWidth;
            const int blockWidth = baseWidth + (bx == xBlocks - 1 ? imageWidth % xBlocks : 0);
            unsigned char *raw = nullptr;
            status = VtGetRoiRgbOfSpecifyLayer(pyra, &raw, blockWidth, blockHeight,
                                               static_cast<unsigned>(left), static_cast<unsigned>(top), layer);
            MallocPtr<unsigned char> pixels(raw);
            if (status != VT_OK)
                return fail(status);
            if (!pixels)
                return fail(VT_ERR_NULL_ARG);
            VtImageInfo &block = blocks[by * xBlocks + bx];
            unsigned char *encoded = nullptr;
            const int length = VtEncodeJpeg(pixels.get(), &encoded, quality, blockWidth, blockHeight, colorSpace);
            if (length <= 0) {
                std::free(encoded);
                return fail(VT_ERR_JPEG_ENCODE);
            }
            block.encoded = encoded;
            block.encodedLength = length;
            block.width = blockWidth;
            block.height = blockHeight;
            block.channels = 3;
            ++done;
        }
    }
    return VT_OK;
}
