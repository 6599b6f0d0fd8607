// A whole layer decoded at once, tile rows spread over all processors.
#include <omp.h>

#include <algorithm>
#include <atomic>

#include "TilePipeline.h"

using namespace pyradec;

int VtSpecifyLayerJpeg2Rgb(VtPyraInfo *pyra, unsigned char **pixels, int *width, int *height, int layer)
{
    if (!pixels || !width || !height)
        return VT_ERR_NULL_ARG;
    int status = checkLayer(pyra, layer);
    if (status != VT_OK)
        return status;
    const LayerGrid grid = layerGrid(pyra, layer);
    auto buffer = mallocPixels(size_t{grid.width} * grid.height * 3);
    if (!buffer) {
        *pixels = nullptr;
        return VT_ERR_UTILITY;
    }

    // Each tile row is a region of the layer's full width, assembled by the region
    // walker straight into its place; the first failure stops the other threads
    // at their next row.
    std::atomic<int> failure{VT_OK};
    unsigned char *out = buffer.get();
    const size_t rowBytes = size_t{grid.width} * grid.tileHeight * 3;
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
        // A layer without columns has nothing to decode in its rows.
        for (int row = first; grid.width > 0 && row < first + count; ++row) {
            if (failure.load(std::memory_order_relaxed) != VT_OK)
                break;
            const int result =
                assembleRegion(pyra, layer, 0, uint32_t(row) * grid.tileHeight, static_cast<int>(grid.width),
                               static_cast<int>(grid.tileHeight), out + size_t(row) * rowBytes);
            if (result != VT_OK) {
                int expected = VT_OK;
                failure.compare_exchange_strong(expected, result);
            }
        }
    }
    // A failure hands out no buffer; the sizes are written only on success.
    if (failure.load() != VT_OK) {
        *pixels = nullptr;
        return failure.load();
    }
    *width = static_cast<int>(grid.width);
    *height = static_cast<int>(grid.height);
    *pixels = buffer.release();
    return VT_OK;
}
