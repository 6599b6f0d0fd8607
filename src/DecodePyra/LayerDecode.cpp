// A whole layer decoded at once, tile rows spread over all processors.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "TilePipeline.h"

using namespace pyradec;

namespace {

// Decodes tile rows [firstRow, endRow) into the layer buffer. Stops at the first
// failure, or when another thread has failed.
int decodeTileRows(const VtPyraInfo *pyra, int layer, const LayerGrid &grid, int firstRow,
                   int endRow, unsigned char *out, std::atomic<int> &failure)
{
    const size_t stride = size_t{grid.width} * 3;
    const size_t tileStride = size_t{grid.tileWidth} * 3;
    MallocPtr<unsigned char> tile;
    TileReader reader(pyra->path);
    for (int row = firstRow; row < endRow; ++row) {
        for (int col = 0; col < grid.xCount; ++col) {
            if (failure.load(std::memory_order_relaxed) != VT_OK)
                return VT_OK;
            unsigned char *dest = out + size_t(row) * grid.tileHeight * stride + size_t(col) * tileStride;
            const TileEntry entry = tileEntry(pyra, layer, col, row);
            if (!entry.present()) {
                for (uint32_t k = 0; k < grid.tileHeight; ++k)
                    std::memset(dest + k * stride, 255, tileStride);
                continue;
            }
            if (!tile) {
                tile = mallocBytes(grid.tileBytes);
                if (!tile)
                    return VT_ERR_UTILITY;
            }
            int status = loadTile(pyra, reader, entry, tile.get());
            if (status != VT_OK)
                return status;
            for (uint32_t k = 0; k < grid.tileHeight; ++k)
                std::memcpy(dest + k * stride, tile.get() + k * tileStride, tileStride);
        }
    }
    return VT_OK;
}

}  // namespace

int VtSpecifyLayerJpeg2Rgb(VtPyraInfo *pyra, unsigned char **pixels, int *width, int *height, int layer)
{
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const LayerGrid grid = layerGrid(pyra, layer);
    *width = static_cast<int>(grid.width);
    *height = static_cast<int>(grid.height);
    auto buffer = mallocPixels(size_t{grid.width} * grid.height * 3);
    if (!buffer) {
        *pixels = nullptr;
        return VT_ERR_UTILITY;
    }

    std::atomic<int> failure{VT_OK};
    unsigned char *out = buffer.get();
    omp_set_num_threads(omp_get_num_procs());
#pragma omp parallel
    {
        // Contiguous runs of tile rows: the first (rows mod threads) threads take one more.
        const int threads = omp_get_num_threads();
        const int thread = omp_get_thread_num();
        const int rows = grid.yCount;
        const int quotient = rows / threads, remainder = rows % threads;
        const int first = thread * quotient + std::min(thread, remainder);
        const int count = quotient + (thread < remainder ? 1 : 0);
        int result = decodeTileRows(pyra, layer, grid, first, first + count, out, failure);
        if (result != VT_OK) {
            int expected = VT_OK;
            failure.compare_exchange_strong(expected, result);
        }
    }
    if (failure.load() != VT_OK) {
        *pixels = nullptr;
        return failure.load();
    }
    *pixels = buffer.release();
    return VT_OK;
}
