// Layer 0 of a slide file cut into equally sized JPEG files in a directory.
// Part of the Linux deliverable only (CMake leaves it out of the DLL).
#include <omp.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "Memory.h"
#include "TilePipeline.h"

using namespace pyradec;

namespace {

constexpr size_t kNameSize = 256;

struct HandleCloser {
    void operator()(VtPyraInfo *pyra) const { VtClosePyra(pyra); }
};

// Export tiles across a content extent: the quotient in single precision, rounded up.
int exportTileCount(uint32_t content, int size)
{
    if (size <= 0)
        return 0;
    const float count = std::ceil(static_cast<float>(content) / static_cast<float>(size));
    return count > static_cast<float>(INT32_MAX) ? INT32_MAX : static_cast<int>(count);
}

// Writes the whole buffer to a new file; false when the file cannot be made or fully written.
bool writeFile(const char *name, const unsigned char *data, int length)
{
    FILE *file = fopen(name, "wb");
    if (!file)
        return false;
    const bool written = fwrite(data, static_cast<size_t>(length), 1, file) == 1;
    const bool closed = fclose(file) == 0;
    return written && closed;
}

// Makes, names and writes one export tile; false on any failure.
bool exportTile(VtPyraInfo *pyra, const char *dir, int col, int row, int w, int h)
{
    const int64_t x = int64_t{col} * w, y = int64_t{row} * h;
    if (x > INT32_MAX || y > INT32_MAX)
        return false;
    char name[kNameSize];
    const int needed = snprintf(name, sizeof name, "%s/%d_%d_%d_%d.jpeg", dir, col, row, w, h);
    if (needed < 0 || static_cast<size_t>(needed) >= sizeof name)
        return false;
    int length = 0;
    MallocPtr<unsigned char> jpeg(
        GetRoiSliceJpeg(pyra, 0, static_cast<int>(x), static_cast<int>(y), w, h, &length));
    return jpeg && writeFile(name, jpeg.get(), length);
}

}  // namespace

int GetAllSliceJpeg(char *path, char *dir, int w, int h)
{
    if (!path || !dir)
        return 0;
    std::unique_ptr<VtPyraInfo, HandleCloser> pyra(VtOpenPyra(path));
    if (!pyra)
        return 0;
    if (pyra->picHead->layerCount == 0)
        return 0;
    const VtPicHead &head = *pyra->picHead;
    const VtPicInfo &layer0 = *pyra->picInfos[0];
    const uint32_t contentWidth =
        static_cast<uint32_t>(layer0.xCount) * head.tileWidth - static_cast<uint32_t>(layer0.boundWidth);
    const uint32_t contentHeight =
        static_cast<uint32_t>(layer0.yCount) * head.tileHeight - static_cast<uint32_t>(layer0.boundHeight);
    const int columns = exportTileCount(contentWidth, w);
    const int rows = exportTileCount(contentHeight, h);
    const int64_t total = int64_t{columns} * rows;

    // Tiles are independent: both the decode and the encode run on every processor.
    std::atomic<bool> failed{false};
    VtPyraInfo *handle = pyra.get();
#pragma omp parallel for schedule(dynamic, 1) num_threads(omp_get_num_procs())
    for (int64_t i = 0; i < total; ++i) {
        if (failed.load(std::memory_order_relaxed))
            continue;
        const int row = static_cast<int>(i / columns), col = static_cast<int>(i % columns);
        if (!exportTile(handle, dir, col, row, w, h))
            failed.store(true);
    }
    return failed.load() ? 0 : 1;
}
