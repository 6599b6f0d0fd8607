#include "TilePipeline.h"

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

TileReader::~TileReader() { VtCloseFile(file_); }

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
    if (VtFseeki64(file_, entry.offset, SEEK_SET) != 0 || !readComplete(out.get(), entry.size, 1, file_)) {
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
    switch (compressionOf(pyra)) {
    case Compression::Jpeg:
        return decodeJpegTile(bytes, static_cast<size_t>(size), out, width, height, pyra->colorTable)
                   ? VT_OK
                   : VT_ERR_DECODE;
    case Compression::Hevc: {
        const int expected = width * height * 3;
        return decodeHevc(bytes, width, height, size, out, BGR24, pyra->colorTable) == expected
                   ? VT_OK
                   : VT_ERR_DECODE;
    }
    }
    return VT_ERR_DECODE;
}

int loadTile(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry, unsigned char *out)
{
    MallocPtr<unsigned char> bytes;
    int status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    return decodeTile(pyra, bytes.get(), entry.size, out);
}

int loadTileRows(const VtPyraInfo *pyra, TileReader &reader, const TileEntry &entry, unsigned char *out,
                 int firstRow, int endRow, int firstCol, int endCol)
{
    MallocPtr<unsigned char> bytes;
    int status = reader.read(entry, bytes);
    if (status != VT_OK)
        return status;
    const VtPicHead &head = *pyra->picHead;
    return decodeJpegTileWindow(bytes.get(), static_cast<size_t>(entry.size), out,
                                static_cast<int>(head.tileWidth), static_cast<int>(head.tileHeight), firstRow,
                                endRow, firstCol, endCol, nullptr)
               ? VT_OK
               : VT_ERR_DECODE;
}

}  // namespace pyradec
