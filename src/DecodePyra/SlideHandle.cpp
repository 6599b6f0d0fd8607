// Opening a slide file into a handle, and closing it.
#include <cerrno>
#include <climits>
#include <cstring>

#include "ColorCorrect/ColorCorrect.h"
#include "FileIO.h"
#include "Memory.h"
#include "OpenReason.h"
#include "Platform/Platform.h"
#include "Records.h"

using namespace pyradec;

namespace {

struct FileCloser {
    void operator()(FILE *file) const { VtCloseFile(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Releases everything the handle holds (fields may be partly filled), then the handle.
void releaseHandle(VtPyraInfo *pyra)
{
    const int layerCount = pyra->picHead ? static_cast<int>(pyra->picHead->layerCount) : 0;
    DisposeSliceLayerInfo(pyra->picInfos, pyra->sliceInfos, layerCount);
    pyra->picInfos = nullptr;
    pyra->sliceInfos = nullptr;
    DisposeExtraInfo(pyra->extraInfo);
    pyra->extraInfo = nullptr;
    DisposeThumbImageInfo(pyra->thumbnail);
    pyra->thumbnail = nullptr;
    DisposeMacroImageInfo(pyra->macroImages);
    pyra->macroImages = nullptr;
    DisposePersonInfo(pyra->personInfo);
    pyra->personInfo = nullptr;
    DisposePicHead(pyra->picHead);
    pyra->picHead = nullptr;
    std::free(pyra->path);
    pyra->path = nullptr;
    std::free(pyra->resolvedPath);
    pyra->resolvedPath = nullptr;
    releaseColorTable(pyra->colorTable);
    pyra->colorTable = nullptr;
    std::free(pyra);
}

// The header describes sizes that the readers form in 32 bits; refuse those that
// would wrap, and counts the file cannot hold.
bool headerIsServable(const VtPicHead &head, int64_t fileSize)
{
    if (head.macroImageCount != 0 && head.macroImageCount != static_cast<uint32_t>(macroNum))
        return false;
    const uint64_t thumbBytes = uint64_t{head.thumbWidth} * head.thumbHeight * 4;
    if (thumbBytes > INT32_MAX)
        return false;
    // Every layer needs at least its record in the file.
    if (head.layerCount > static_cast<uint64_t>(fileSize) / kPicInfoSize)
        return false;
    if (head.layerCount > 0) {
        if (head.tileWidth == 0 || head.tileHeight == 0)
            return false;
        if (uint64_t{head.tileWidth} * head.tileHeight * 4 > INT32_MAX)
            return false;
    }
    return true;
}

bool layerIsServable(const VtPicHead &head, const VtPicInfo &layer)
{
    if (layer.xCount < 0 || layer.yCount < 0)
        return false;
    const int64_t width = int64_t{layer.xCount} * head.tileWidth;
    const int64_t height = int64_t{layer.yCount} * head.tileHeight;
    if (width > INT32_MAX || height > INT32_MAX)
        return false;
    if (layer.boundWidth < 0 || layer.boundWidth > width || layer.boundHeight < 0 ||
        layer.boundHeight > height)
        return false;
    return true;
}

// Records where the open sequence is, so that a failure can say which record failed.
struct Step {
    OpenReason &reason;
    void at(OpenRecord record, int64_t offset = -1, int layer = -1)
    {
        reason.record = record;
        reason.offset = offset;
        reason.layer = layer;
    }
    bool fail(int status = VT_OK)
    {
        reason.problem = OpenProblem::Damaged;
        reason.status = status;
        return false;
    }
    bool outOfMemory()
    {
        reason.problem = OpenProblem::OutOfMemory;
        return false;
    }
};

// Reads the layer record at `offset` and its tile-size table, and builds the tile index.
int readLayer(FILE *file, const VtPicHead &head, int64_t offset, VtPicInfo **recordOut,
              VtSliceInfo **sliceOut, Step &step, int layer)
{
    step.at(OpenRecord::LayerRecord, offset, layer);
    auto record = mallocZeroed<VtPicInfo>();
    if (!record)
        return VT_ERR_READ;
    VtFseeki64(file, offset, SEEK_SET);
    if (!readComplete(record.get(), kPicInfoSize, 1, file))
        return VT_ERR_READ;
    if (!hasMagic(record->magic, kMagicPicInfo))
        return VT_ERR_PIC_INFO_MAGIC;
    if (!layerIsServable(head, *record))
        return VT_ERR_PIC_INFO_MAGIC;
    const uint32_t tileCount = record->tileCount;
    step.at(OpenRecord::LayerTileTable, offset + kPicInfoSize, layer);
    // One entry per grid position at most: a larger count would only make open
    // read and keep entries that no tile uses.
    if (uint64_t{tileCount} > uint64_t(record->xCount) * uint64_t(record->yCount))
        return VT_ERR_PIC_INFO_MAGIC;
    const int64_t remaining = bytesRemaining(file);
    if (remaining < 0 || uint64_t{tileCount} * kTileSizeEntry > static_cast<uint64_t>(remaining))
        return VT_ERR_READ;

    auto slice = mallocZeroed<VtSliceInfo>();
    auto offsets = mallocZeroed<int64_t>(tileCount);
    auto sizes = mallocZeroed<int32_t>(tileCount);
    if (!slice || !offsets || !sizes)
        return VT_ERR_READ;
    if (!readComplete(sizes.get(), kTileSizeEntry, tileCount, file))
        return VT_ERR_READ;
    int64_t position = VtFtelli64(file);
    for (uint32_t j = 0; j < tileCount; ++j) {
        offsets.get()[j] = position;
        position += sizes.get()[j];
    }
    slice->tileOffsets = offsets.release();
    slice->tileSizes = sizes.release();
    *sliceOut = slice.release();
    *recordOut = record.release();
    return VT_OK;
}

// The open sequence proper; on failure the caller releases what the handle holds.
bool fillHandle(VtPyraInfo *pyra, FILE *file, OpenReason &reason)
{
    Step step{reason};
    step.at(OpenRecord::Header, 0);
    pyra->picHead = mallocZeroed<VtPicHead>().release();
    if (!pyra->picHead)
        return step.outOfMemory();
    int status = VtGetPicHead(file, pyra->picHead);
    if (status == VT_ERR_HEAD_MAGIC) {
        reason.problem = OpenProblem::NotASlide;
        reason.status = status;
        return false;
    }
    if (status != VT_OK)
        return step.fail(status);
    const VtPicHead &head = *pyra->picHead;
    if (!headerIsServable(head, VtGetFileSize(file)))
        return step.fail();

    step.at(OpenRecord::PersonInfo, kPersonInfoOffset);
    pyra->personInfo = mallocZeroed<VtPersonInfo>().release();
    if (!pyra->personInfo)
        return step.outOfMemory();
    status = VtGetPersonInfo(file, pyra->personInfo);
    if (status == VT_ERR_ABSENT) {
        DisposePersonInfo(pyra->personInfo);
        pyra->personInfo = nullptr;
    } else if (status != VT_OK) {
        return step.fail(status);
    }

    // The colour parameters come first, so that the label and macrograph decode
    // with this slide's own colours.
    step.at(OpenRecord::ExtraInfo, kExtraInfoOffset);
    pyra->extraInfo = mallocZeroed<VtExtraInfo>().release();
    if (!pyra->extraInfo)
        return step.outOfMemory();
    status = VtGetExtraInfo(file, pyra->extraInfo);
    if (status == VT_ERR_ABSENT) {
        DisposeExtraInfo(pyra->extraInfo);
        pyra->extraInfo = nullptr;
    } else if (status != VT_OK) {
        return step.fail(status);
    }
    if (pyra->extraInfo) {
        pyra->colorTable = acquireColorTable(colorParamsOf(*pyra->extraInfo));
        setCurrentColorTable(pyra->colorTable);
    }
    const DecodeColour colour{pyra->colorTable, true};

    step.at(OpenRecord::AssociatedImage, kFirstMacroOffset);
    pyra->macroImages = mallocZeroed<VtImageInfo *>(macroNum).release();
    if (!pyra->macroImages)
        return step.outOfMemory();
    status = readMacroImages(file, pyra->macroImages, colour);
    if (status == VT_ERR_ABSENT) {
        DisposeMacroImageInfo(pyra->macroImages);
        pyra->macroImages = nullptr;
    } else if (status != VT_OK) {
        return step.fail(status);
    }

    {
        VtPicHead scratch;
        step.at(OpenRecord::Thumbnail, VtGetCurThumbnailOffset(file, &scratch));
    }
    pyra->thumbnail = mallocZeroed<VtImageInfo>().release();
    if (!pyra->thumbnail)
        return step.outOfMemory();
    status = readThumbnail(file, pyra->thumbnail, colour);
    if (status != VT_OK)
        return step.fail(status);

    const uint32_t layerCount = head.layerCount;
    pyra->picInfos = mallocZeroed<VtPicInfo *>(layerCount).release();
    pyra->sliceInfos = mallocZeroed<VtSliceInfo *>(layerCount).release();
    if (!pyra->picInfos || !pyra->sliceInfos)
        return step.outOfMemory();
    if (layerCount == 0)
        return true;
    // One walk down the chain: layer i + 1 starts at layer i's nextOffset.
    VtPicHead scratch;
    step.at(OpenRecord::LayerRecord, -1, 0);
    int64_t offset = VtGetLayerOffset(file, &scratch, 0);
    if (offset < 0)
        return step.fail(static_cast<int>(offset));
    for (uint32_t i = 0; i < layerCount; ++i) {
        status = readLayer(file, head, offset, &pyra->picInfos[i], &pyra->sliceInfos[i], step,
                           static_cast<int>(i));
        if (status != VT_OK)
            return step.fail(status);
        // Each layer lies after the previous one's record and tile-size table: a
        // chain that revisits a record or goes backwards would read the same
        // bytes again and again, so what open allocates would no longer be
        // bounded by the file's size.
        const int64_t tableEnd =
            offset + kPicInfoSize + int64_t{pyra->picInfos[i]->tileCount} * kTileSizeEntry;
        const uint64_t next = pyra->picInfos[i]->nextOffset;
        if (i + 1 < layerCount &&
            (next > static_cast<uint64_t>(INT64_MAX) || static_cast<int64_t>(next) < tableEnd)) {
            step.at(OpenRecord::LayerRecord, static_cast<int64_t>(next), static_cast<int>(i + 1));
            return step.fail(VT_ERR_PIC_INFO_MAGIC);
        }
        offset = static_cast<int64_t>(next);
    }
    return true;
}

// What the file system says about a path that did not open as a slide file.
bool pathProblem(const char *path, OpenReason &reason)
{
    bool isDirectory = false;
    if (const int error = platform::pathStatus(path, &isDirectory); error != 0) {
        reason.problem = error == ENOENT || error == ENOTDIR ? OpenProblem::Missing : OpenProblem::Unreadable;
        reason.systemError = error;
        return true;
    }
    if (isDirectory) {
        reason.problem = OpenProblem::Directory;
        return true;
    }
    return false;
}

}  // namespace

VtPyraInfo *pyradec::openPyra(const char *path, OpenReason *reasonOut)
{
    OpenReason scratch;
    OpenReason &reason = reasonOut ? *reasonOut : scratch;
    reason = OpenReason{};
    if (!path) {
        reason.problem = OpenProblem::Missing;
        return nullptr;
    }
    if (Access(path, 0) != 0) {
        if (!pathProblem(path, reason))
            reason.problem = OpenProblem::Missing;
        return nullptr;
    }
    auto pyra = mallocZeroed<VtPyraInfo>();
    if (!pyra) {
        reason.problem = OpenProblem::OutOfMemory;
        return nullptr;
    }
    pyra->path = strdup(path);
    if (!pyra->path) {
        reason.problem = OpenProblem::OutOfMemory;
        return nullptr;
    }
    errno = 0;
    File file(VtOpenFile(path, "rb"));
    if (!file) {
        const int error = errno;
        if (!pathProblem(path, reason)) {
            reason.problem = OpenProblem::Unreadable;
            reason.systemError = error;
        }
        std::free(pyra->path);
        return nullptr;
    }
    // A directory opens as a stream on some systems; neither it nor an empty
    // file gets further than the header read would.
    if (pathProblem(path, reason) || VtGetFileSize(file.get()) == 0) {
        if (reason.problem == OpenProblem::None) {
            reason.problem = OpenProblem::Empty;
            reason.status = VT_ERR_NO_FILE;
        }
        std::free(pyra->path);
        setCurrentColorTable(nullptr);
        return nullptr;
    }
    // Resolved once, while the path still means what the caller meant: tile reads
    // happen later, perhaps after the host has changed directory.
    pyra->resolvedPath = VtResolvePath(path);
    if (!fillHandle(pyra.get(), file.get(), reason)) {
        releaseHandle(pyra.release());
        setCurrentColorTable(nullptr);
        return nullptr;
    }
    return pyra.release();
}

VtPyraInfo *VtOpenPyra(const char *path) { return openPyra(path, nullptr); }

void VtClosePyra(VtPyraInfo *pyra)
{
    if (!pyra)
        return;
    releaseHandle(pyra);
    setCurrentColorTable(nullptr);
}
