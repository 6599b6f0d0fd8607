// Label, macrograph and thumbnail: their records, stored bytes and pixels.
#include <climits>
#include <cstring>

#include "ColorCorrect/ColorCorrect.h"
#include "FileIO.h"
#include "JpegCodec.h"
#include "Memory.h"
#include "Records.h"
#include "bmp/bmp.h"

using namespace pyradec;

namespace {

// Decodes an associated JPEG of the size its record gives; null when it does not
// decode to exactly that size, or when no colouring is available.
unsigned char *decodeAssociatedJpeg(const unsigned char *jpeg, size_t length, int width, int height,
                                    DecodeColour colour)
{
    if (!colour.table && !colour.optional)
        return nullptr;
    // The stream must declare the record's size before anything is allocated for it;
    // the accessors form 4-byte-per-pixel sizes in 32 bits.
    int streamWidth = 0, streamHeight = 0;
    if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) * 4 > INT32_MAX ||
        !jpegSize(jpeg, length, &streamWidth, &streamHeight) || streamWidth != width ||
        streamHeight != height)
        return nullptr;
    auto pixels = mallocBytes(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (!pixels || !decodeJpegTile(jpeg, length, pixels.get(), width, height, colour.table))
        return nullptr;
    return pixels.release();
}

// Allocates and reads `length` bytes at the current position; -3 when the file
// holds fewer (checked before allocating, so a damaged length costs nothing).
int readBlock(FILE *file, uint64_t length, MallocPtr<unsigned char> &out)
{
    int64_t remaining = bytesRemaining(file);
    if (remaining < 0 || length > static_cast<uint64_t>(remaining))
        return VT_ERR_READ;
    out = mallocBytes(static_cast<size_t>(length));
    if (!out)
        return VT_ERR_READ;
    if (!readComplete(out.get(), static_cast<int64_t>(length), 1, file))
        return VT_ERR_READ;
    return VT_OK;
}

}  // namespace

int VtGetMacrographInfoAndJpeg(FILE *file, VtMacrographInfo **headers, unsigned char **data)
{
    VtPicHead head;
    std::memset(&head, 0, sizeof head);
    int status = VtGetPicHead(file, &head);
    if (status != VT_OK)
        return status;
    if (head.macroImageCount == 0)
        return VT_ERR_ABSENT;
    int64_t offset = kFirstMacroOffset;
    for (uint32_t i = 0; i < head.macroImageCount; ++i) {
        VtFseeki64(file, offset, SEEK_SET);
        auto header = mallocZeroed<VtMacrographInfo>();
        if (!header)
            return VT_ERR_READ;
        headers[i] = header.get();
        VtMacrographInfo *record = header.release();
        if (!readComplete(record, kMacrographInfoSize, 1, file))
            return VT_ERR_READ;
        if (!hasMagic(record->magic, kMagicMacro))
            return VT_ERR_MACRO_MAGIC;
        MallocPtr<unsigned char> bytes;
        status = readBlock(file, record->dataLength, bytes);
        data[i] = bytes.release();
        if (status != VT_OK)
            return status;
        offset = static_cast<int64_t>(record->nextOffset);
    }
    return VT_OK;
}

int pyradec::readMacroImages(FILE *file, VtImageInfo **images, DecodeColour colour)
{
    if (!images)
        return VT_ERR_NULL_ARG;
    VtMacrographInfo *headers[2] = {nullptr, nullptr};
    unsigned char *data[2] = {nullptr, nullptr};
    auto releaseAll = [&] {
        for (int i = 0; i < macroNum; ++i) {
            std::free(headers[i]);
            std::free(data[i]);
        }
    };
    // Exactly two slots: any other count would write past the arrays.
    VtPicHead head;
    std::memset(&head, 0, sizeof head);
    int status = VtGetPicHead(file, &head);
    if (status == VT_OK && head.macroImageCount != 0 &&
        head.macroImageCount != static_cast<uint32_t>(macroNum))
        return VT_ERR_MACRO_MAGIC;
    status = VtGetMacrographInfoAndJpeg(file, headers, data);
    if (status != VT_OK) {
        releaseAll();
        return status;
    }
    for (int i = 0; i < macroNum; ++i) {
        auto image = mallocZeroed<VtImageInfo>();
        if (!image) {
            releaseAll();
            return VT_ERR_READ;
        }
        image->encoded = data[i];
        data[i] = nullptr;
        image->format = 0;
        image->bitDepth = 8;
        image->width = static_cast<int32_t>(headers[i]->width);
        image->height = static_cast<int32_t>(headers[i]->height);
        image->channels = static_cast<int32_t>(headers[i]->channels);
        image->encodedLength = static_cast<int32_t>(headers[i]->dataLength);
        image->pixels = decodeAssociatedJpeg(image->encoded, static_cast<size_t>(headers[i]->dataLength),
                                             image->width, image->height, colour);
        std::free(headers[i]);
        headers[i] = nullptr;
        images[i] = image.release();
    }
    return VT_OK;
}

int VtGetMacroImageInfo(FILE *file, VtImageInfo **images)
{
    const CurrentColorTable table;
    return readMacroImages(file, images, DecodeColour{table.get(), false});
}

int VtGetThumbnailInfoAndJpeg(FILE *file, VtPicInfo *info, int *width, int *height, unsigned char **data)
{
    VtPicHead head;
    std::memset(&head, 0, sizeof head);
    int64_t offset = VtGetCurThumbnailOffset(file, &head);
    if (offset < 0)
        return static_cast<int>(offset);
    *width = static_cast<int>(head.thumbWidth);
    *height = static_cast<int>(head.thumbHeight);
    VtFseeki64(file, offset, SEEK_SET);
    if (!readComplete(info, kPicInfoSize, 1, file))
        return VT_ERR_READ;
    if (!hasMagic(info->magic, kMagicPicInfo))
        return VT_ERR_PIC_INFO_MAGIC;
    MallocPtr<unsigned char> bytes;
    int status = readBlock(file, info->dataLength, bytes);
    if (status != VT_OK)
        return status;
    *data = bytes.release();
    return VT_OK;
}

int pyradec::readThumbnail(FILE *file, VtImageInfo *image, DecodeColour colour)
{
    if (!image)
        return VT_ERR_NULL_ARG;
    auto record = mallocZeroed<VtPicInfo>();
    if (!record)
        return VT_ERR_READ;
    int width = 0, height = 0;
    unsigned char *data = nullptr;
    int status = VtGetThumbnailInfoAndJpeg(file, record.get(), &width, &height, &data);
    if (status != VT_OK) {
        DisposeThumbnailInfo(record.release(), data);
        return status;
    }
    const size_t length = static_cast<size_t>(record->dataLength);
    image->encoded = data;
    image->format = record->imageFormat;
    image->pixels = nullptr;
    image->channels = 0;
    if (record->imageFormat == 0) {
        image->pixels = decodeAssociatedJpeg(data, length, width, height, colour);
        image->channels = 3;
    } else if (record->imageFormat == 1) {
        // BMP pixels are taken as stored, without colour correction, and only when
        // they have the size the header gives (the accessors read that many).
        BmpInfo info;
        unsigned char *pixels = rgb24FromBmp(data, length, &info);
        if (pixels && (info.width != width || info.height != height)) {
            std::free(pixels);
            pixels = nullptr;
        }
        image->pixels = pixels;
        image->channels = 3;
    }
    image->width = width;
    image->height = height;
    image->encodedLength = static_cast<int32_t>(record->dataLength);
    return VT_OK;
}

int VtGetThumbImageInfo(FILE *file, VtImageInfo *image)
{
    const CurrentColorTable table;
    return readThumbnail(file, image, DecodeColour{table.get(), false});
}
