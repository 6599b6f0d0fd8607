// libFuzzer harness for the read paths: the input is a slide file. Opens it (under
// the memory guard, colour parameters fixed: OpenGuard.h) and, when that succeeds,
// drives every read path on the handle with requests sized from its own records;
// every buffer handed out is read in full (so a length that overstates its block
// shows under AddressSanitizer) and released. The open sequence alone has its own,
// much faster harness (fuzz_open).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "ColorCorrect/ColorCorrect.h"
#include "OpenGuard.h"
#include "ReadBack.h"
#include "pyradec/pyradec.h"

namespace {

// Work caps per input, so that each input takes milliseconds.
constexpr int64_t kMaxPixels = int64_t{1} << 20;      // region or whole layer
constexpr int64_t kMaxTilePixels = int64_t{1} << 20;  // single tile
constexpr int kMaxLayers = 6;
constexpr int kMaxExportTiles = 16;
constexpr int64_t kMaxLayerTiles = 256;  // whole layer, blocks, export: each tile is a decode

// Colour tables of recent inputs, held so that reopening a slide with the same
// colour parameters (the export, most mutants) reuses the table instead of
// building 48 MB again; the registry shares tables by parameters.
constexpr int kHeldTables = 4;
ColorCorrectTable *g_heldTables[kHeldTables];
int g_nextHeld = 0;

void holdTable(ColorCorrectTable *table)
{
    if (!table)
        return;
    for (ColorCorrectTable *held : g_heldTables)
        if (held == table)
            return;
    pyradec::retainColorTable(table);
    pyradec::releaseColorTable(g_heldTables[g_nextHeld]);
    g_heldTables[g_nextHeld] = table;
    g_nextHeld = (g_nextHeld + 1) % kHeldTables;
}

std::string g_slidePath;
std::string g_exportDir;

using fuzzing::touch;

void touchText(const char *text)
{
    if (text)
        touch(reinterpret_cast<const unsigned char *>(text), int64_t(std::strlen(text)) + 1);
}

void clearExportDir()
{
    DIR *dir = opendir(g_exportDir.c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        unlink((g_exportDir + "/" + e->d_name).c_str());
    }
    closedir(dir);
}

void cleanUp()
{
    for (ColorCorrectTable *&held : g_heldTables) {
        pyradec::releaseColorTable(held);
        held = nullptr;
    }
    clearExportDir();
    rmdir(g_exportDir.c_str());
    unlink(g_slidePath.c_str());
}

bool writeInput(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(g_slidePath.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

struct Geometry {
    int64_t tileW, tileH, xCount, yCount, boundW, boundH;
    int64_t width() const { return xCount * tileW; }
    int64_t height() const { return yCount * tileH; }
    int64_t pixels() const { return width() * height(); }
};

Geometry geometryOf(const VtPyraInfo *p, int layer)
{
    const VtPicInfo &info = *p->picInfos[layer];
    return {int64_t{p->picHead->tileWidth}, int64_t{p->picHead->tileHeight}, int64_t{info.xCount},
            int64_t{info.yCount},           int64_t{info.boundWidth},        int64_t{info.boundHeight}};
}

void associatedImages(VtPyraInfo *p)
{
    using JpegFn = unsigned char *(*)(VtPyraInfo *, int *, int *, int *);
    using AbgrFn = unsigned char *(*)(VtPyraInfo *, int *, int *);
    const JpegFn jpegs[] = {GetThumbnailJpeg, GetLabelJpeg, GetMacrographJpeg};
    const AbgrFn abgrs[] = {GetThumbnailAbgr, GetLabelAbgr, GetMacrographAbgr};
    for (int i = 0; i < 3; ++i) {
        int w = 0, h = 0, len = 0;
        unsigned char *jpeg = jpegs[i](p, &w, &h, &len);
        if (jpeg)
            touch(jpeg, len);
        Dispose(jpeg);
        w = h = 0;
        unsigned char *abgr = abgrs[i](p, &w, &h);
        if (abgr)
            touch(abgr, int64_t{w} * h * 4);
        Dispose(abgr);
    }
}

void tiles(VtPyraInfo *p, int layer, const Geometry &g)
{
    const int64_t cols[] = {0, 1, g.xCount - 1, g.xCount, -1};
    const int64_t rows[] = {0, 1, g.yCount - 1, g.yCount, -1};
    const bool decodable = g.tileW * g.tileH <= kMaxTilePixels;
    for (int i = 0; i < 5; ++i) {
        const int col = int(std::clamp<int64_t>(cols[i], INT32_MIN, INT32_MAX));
        const int row = int(std::clamp<int64_t>(rows[i], INT32_MIN, INT32_MAX));
        unsigned char *data = nullptr;
        int len = 0;
        if (VtGetHevcSliceOfSpecifyLayer(p, &data, &len, layer, col, row) == VT_OK)
            touch(data, len);
        std::free(data);
        if (!decodable)
            continue;
        data = nullptr;
        len = 0;
        if (VtGetJpegSliceOfSpecifyLayer(p, &data, &len, layer, col, row) == VT_OK)
            touch(data, len);
        std::free(data);
        int w = 0, h = 0;
        len = 0;
        unsigned char *jpeg = GetSliceJpeg(p, layer, col, row, &w, &h, &len);
        if (jpeg)
            touch(jpeg, len);
        Dispose(jpeg);
        w = h = 0;
        unsigned char *bgr = GetSliceBgr(p, layer, col, row, &w, &h);
        if (bgr)
            touch(bgr, int64_t{w} * h * 3);
        Dispose(bgr);
    }
}

void regions(VtPyraInfo *p, int layer, const Geometry &g)
{
    struct Roi {
        int64_t x, y, w, h;
    };
    const Roi rois[] = {
        {g.tileW / 2, g.tileH / 2, g.tileW, g.tileH},                           // across tile borders
        {g.width() - g.tileW / 2, g.height() - g.tileH / 2, g.tileW, g.tileH},  // past the edges
        {g.width(), 0, 1, 1},                                                   // outside
        {-1, -1, 2, 2},
    };
    for (const Roi &r : rois) {
        if (r.w <= 0 || r.h <= 0 || r.w > INT32_MAX || r.h > INT32_MAX || r.w * r.h > kMaxPixels)
            continue;
        const int x = int(std::clamp<int64_t>(r.x, INT32_MIN, INT32_MAX));
        const int y = int(std::clamp<int64_t>(r.y, INT32_MIN, INT32_MAX));
        unsigned char *bgr = GetRoiSliceBgr(p, layer, x, y, int(r.w), int(r.h));
        if (bgr)
            touch(bgr, r.w * r.h * 3);
        Dispose(bgr);
        int len = 0;
        unsigned char *jpeg = GetRoiSliceJpeg(p, layer, x, y, int(r.w), int(r.h), &len);
        if (jpeg)
            touch(jpeg, len);
        Dispose(jpeg);
    }
}

void blockGrid(VtPyraInfo *p, int layer, const Geometry &g, int xBlocks, int yBlocks, int colorSpace)
{
    VtImageInfo blocks[4];
    std::memset(blocks, 0, sizeof blocks);
    const int n = std::max(0, xBlocks) * std::max(0, yBlocks);
    VtGetBlockJpegFromPyra(p, blocks, 80, xBlocks, yBlocks, layer, colorSpace);
    // Records filled before any failure keep their buffers.
    for (int i = 0; i < std::min(n, 4); ++i) {
        VtImageInfo b;
        std::memcpy(&b, &blocks[i], sizeof b);
        if (b.encoded && b.encodedLength > 0)
            touch(b.encoded, b.encodedLength);
        std::free(b.encoded);
    }
    (void)g;
}

void wholeLayer(VtPyraInfo *p, int layer)
{
    unsigned char *pixels = nullptr;
    int w = 0, h = 0;
    if (VtSpecifyLayerJpeg2Rgb(p, &pixels, &w, &h, layer) == VT_OK && pixels)
        touch(pixels, int64_t{w} * h * 3);
    std::free(pixels);
}

void driveHandle(VtPyraInfo *p)
{
    char *text = GetDescription(p);
    touchText(text);
    Dispose(text);
    associatedImages(p);

    const uint32_t layerCount = p->picHead->layerCount;  // packed field: copy
    const int layers = int(std::min<uint32_t>(layerCount, 64));
    for (int layer = -1; layer <= layers; ++layer) {
        char *info = GetLayerInfo(p, layer);
        touchText(info);
        Dispose(info);
    }
    for (int layer = 0; layer < std::min(layers, kMaxLayers); ++layer) {
        const Geometry g = geometryOf(p, layer);
        tiles(p, layer, g);
        if (g.tileW * g.tileH > kMaxTilePixels)
            continue;
        regions(p, layer, g);
        if (g.pixels() > kMaxPixels || g.xCount * g.yCount > kMaxLayerTiles)
            continue;
        blockGrid(p, layer, g, int(std::min<int64_t>(g.xCount, 2)), int(std::min<int64_t>(g.yCount, 2)), 8);
        blockGrid(p, layer, g, 1, 1, 12);  // 4-byte layout for 3-byte pixels: no image
        blockGrid(p, layer, g, 3, 0, 8);
        wholeLayer(p, layer);
    }
    wholeLayer(p, layers);
    wholeLayer(p, -1);
}

// The tile export opens the slide itself; only for a small layer 0 with a
// bounded number of export tiles, counted as the export counts them.
void exportTiles(const Geometry &g)
{
    if (g.pixels() <= 0 || g.pixels() > kMaxPixels || g.xCount * g.yCount > kMaxLayerTiles)
        return;
    const int w = int(std::max<int64_t>(1, g.tileW * 3 / 4 + 1));
    const int h = int(std::max<int64_t>(1, g.tileH * 3 / 4 + 1));
    const uint32_t contentW = uint32_t(g.xCount) * uint32_t(g.tileW) - uint32_t(g.boundW);
    const uint32_t contentH = uint32_t(g.yCount) * uint32_t(g.tileH) - uint32_t(g.boundH);
    const double cols = std::ceil(float(contentW) / float(w));
    const double rows = std::ceil(float(contentH) / float(h));
    if (cols * rows > kMaxExportTiles)
        return;
    GetAllSliceJpeg(g_slidePath.data(), g_exportDir.data(), w, h);
    clearExportDir();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string base =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/pyradec-fuzz-" + std::to_string(getpid());
    g_slidePath = base + ".pyra";
    g_exportDir = base + "-export";
    mkdir(g_exportDir.c_str(), 0700);
    std::atexit(cleanUp);
    av_log_set_level(AV_LOG_QUIET);
    fuzzing::installAllocationCounter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> input(data, data + size);
    fuzzing::fixColourParameters(input);
    if (!writeInput(input.data(), input.size()))
        return 0;
    VtPyraInfo *p = fuzzing::guardedOpen(g_slidePath.c_str(), input);
    if (!p)
        return 0;
    holdTable(p->colorTable);
    driveHandle(p);
    const bool hasLayer0 = p->picHead->layerCount > 0;
    const Geometry g0 = hasLayer0 ? geometryOf(p, 0) : Geometry{};
    VtClosePyra(p);
    if (hasLayer0)
        exportTiles(g0);
    return 0;
}
