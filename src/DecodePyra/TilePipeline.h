// The one tile pipeline: find a tile in the index, read its stored bytes, decode
// them with the slide's own colour table. Tile fetch, regions, blocks, whole
// layers and the export all go through it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "Memory.h"
#include "Records.h"
#include "pyradec/pyradec.h"

namespace pyradec {

inline Compression compressionOf(const VtPyraInfo *pyra) { return compressionOf(*pyra->picHead); }

// The path tiles are read through: the one resolved at open, so that a host's
// change of directory does not lose the file; the given path for a handle
// made without it.
inline const char *tilePath(const VtPyraInfo *pyra)
{
    return pyra->resolvedPath ? pyra->resolvedPath : pyra->path;
}

// -14 for a handle without the parts tile access needs, else 0.
int checkHandle(const VtPyraInfo *pyra);
// As checkHandle, then -18 for a layer outside the handle; else 0.
int checkLayer(const VtPyraInfo *pyra, int layer);

// The geometry of one layer, as tile access needs it.
struct LayerGrid {
    int32_t xCount;
    int32_t yCount;
    uint32_t tileWidth;
    uint32_t tileHeight;
    uint32_t width;    // xCount * tileWidth
    uint32_t height;   // yCount * tileHeight
    size_t tileBytes;  // tileWidth * tileHeight * 3
};
LayerGrid layerGrid(const VtPyraInfo *pyra, int layer);

// Where a tile's stored bytes are. `indexed` is false for a grid position past the
// end of a short tile index; `size` <= 0 means no bytes are stored.
struct TileEntry {
    bool indexed;
    int64_t offset;
    int32_t size;
    bool present() const { return indexed && size > 0; }
};
TileEntry tileEntry(const VtPyraInfo *pyra, int layer, int col, int row);

// Reads stored tile bytes from the slide file, keeping the file open across the
// reads of one operation on one thread.
class TileReader {
public:
    explicit TileReader(const char *path) : path_(path) {}
    ~TileReader();
    TileReader(const TileReader &) = delete;
    TileReader &operator=(const TileReader &) = delete;

    // VT_OK with `out` holding exactly entry.size bytes, or VT_ERR_READ.
    int read(const TileEntry &entry, MallocPtr<unsigned char> &out);

private:
    const char *path_;
    FILE *file_ = nullptr;
    int64_t fileSize_ = 0;  // taken when the file is opened
};

// Decodes stored bytes into `out` (tileWidth * tileHeight * 3 bytes, blue-green-red)
// with the slide's colour table: VT_OK, or VT_ERR_DECODE when the bytes do not decode
// to exactly one tile (or the compression is neither JPEG nor HEVC).
int decodeTile(const VtPyraInfo *pyra, const unsigned char *bytes, int32_t size, unsigned char *out);

// Reads and decodes one present tile into `out`: VT_OK, VT_ERR_READ or VT_ERR_DECODE.
int loadTile(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry, unsigned char *out);

// As loadTile for a JPEG tile, decoding only rows [firstRow, endRow) and of them
// columns [firstCol, endCol) (other columns of `out` may be written too), without
// colour correction (the caller corrects the pixels it keeps).
int loadTileRows(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry, unsigned char *out,
                 int firstRow, int endRow, int firstCol, int endCol);

// Assembles a validated region into `out` (width * height * 3 bytes): tiles that
// are absent and everything beyond the layer's edges are white. The one tile
// walker: regions, blocks and whole layers all go through it.
int assembleRegion(const VtPyraInfo *pyra, int layer, uint32_t x, uint32_t y, int width, int height,
                   unsigned char *out);

}  // namespace pyradec

// One tile as blue-green-red pixels (tileWidth * tileHeight * 3 bytes); internal,
// hosts reach it through GetSliceBgr.
int VtGetRgbSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int layer, int col, int row);
