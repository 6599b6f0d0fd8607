// Description, layer geometry and the associated images, copied out of the handle.
#include <cstdio>
#include <cstring>

#include "Accessors.h"
#include "JpegCodec.h"
#include "Memory.h"
#include "Records.h"

using namespace pyradec;

namespace {

constexpr size_t kDescriptionSize = 512;
constexpr size_t kLayerInfoSize = 256;
constexpr int kThumbnailQuality = 75;

const VtImageInfo *macroImage(const VtPyraInfo *pyra, int index)
{
    return pyra->macroImages ? pyra->macroImages[index] : nullptr;
}

unsigned char *copyEncoded(const VtImageInfo *image, int *width, int *height, int *length)
{
    if (!width || !height || !length || !image || !image->encoded || image->encodedLength <= 0)
        return nullptr;
    auto copy = mallocBytes(static_cast<size_t>(image->encodedLength));
    if (!copy)
        return nullptr;
    std::memcpy(copy.get(), image->encoded, static_cast<size_t>(image->encodedLength));
    *width = image->width;
    *height = image->height;
    *length = image->encodedLength;
    return copy.release();
}

unsigned char *expandToAbgr(const VtImageInfo *image, int *width, int *height)
{
    if (!width || !height || !image || !image->pixels || image->width <= 0 || image->height <= 0)
        return nullptr;
    auto out = mallocBytes(static_cast<size_t>(image->width) * static_cast<size_t>(image->height) * 4);
    if (!out)
        return nullptr;
    Bgr2Argb(image->pixels, image->width, image->height, out.get());
    *width = image->width;
    *height = image->height;
    return out.release();
}

}  // namespace

void Bgr2Argb(unsigned char *source, int width, int height, unsigned char *destination)
{
    if (width <= 0 || height <= 0)
        return;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i) {
        destination[i * 4 + 0] = source[i * 3 + 0];
        destination[i * 4 + 1] = source[i * 3 + 1];
        destination[i * 4 + 2] = source[i * 3 + 2];
        destination[i * 4 + 3] = 255;  // opaque
    }
}

char *GetDescription(VtPyraInfo *pyra)
{
    if (!pyra || !pyra->picHead)
        return nullptr;
    const VtPicHead &head = *pyra->picHead;
    const VtImageInfo *thumb = pyra->thumbnail;
    const VtImageInfo *label = macroImage(pyra, 0);
    const VtImageInfo *macro = macroImage(pyra, 1);
    auto text = mallocZeroed<char>(kDescriptionSize);
    if (!text)
        return nullptr;
    snprintf(
        text.get(), kDescriptionSize,
        "CompressionType=%s|Quality=%d|MPP=%.6lfum/pixel|AppMag=%u|ImageWidth=%u|"
        "ImageHeight=%u|TileWidth=%u|TileHeight=%u|Layer=%u|Ratio=%.3f|ThumbWidth=%u|"
        "ThumbHeight=%u|LabelWidth=%u|LabelHeight=%u|MacroWidth=%u|MacroHeight=%u",
        compressionOf(head) == Compression::Jpeg ? "Jpeg" : "Hevc", static_cast<int>(head.quality), head.mpp,
        head.appMag, head.imageWidth, head.imageHeight, head.tileWidth, head.tileHeight, head.layerCount,
        static_cast<double>(head.ratio), thumb ? static_cast<unsigned>(thumb->width) : 0u,
        thumb ? static_cast<unsigned>(thumb->height) : 0u, label ? static_cast<unsigned>(label->width) : 0u,
        label ? static_cast<unsigned>(label->height) : 0u, macro ? static_cast<unsigned>(macro->width) : 0u,
        macro ? static_cast<unsigned>(macro->height) : 0u);
    return text.release();
}

char *GetLayerInfo(VtPyraInfo *pyra, int layer)
{
    if (!pyra || !pyra->picHead || !pyra->picInfos || layer < 0 ||
        static_cast<uint32_t>(layer) >= pyra->picHead->layerCount)
        return nullptr;
    const VtPicHead &head = *pyra->picHead;
    const VtPicInfo &info = *pyra->picInfos[layer];
    auto text = mallocZeroed<char>(kLayerInfoSize);
    if (!text)
        return nullptr;
    snprintf(text.get(), kLayerInfoSize,
             "LayerWidth=%d|LayerHeight=%d|BoundWidth=%d|BoundHeight=%d|XCount=%d|YCount=%d",
             static_cast<int>(static_cast<uint32_t>(info.xCount) * head.tileWidth),
             static_cast<int>(static_cast<uint32_t>(info.yCount) * head.tileHeight), info.boundWidth,
             info.boundHeight, info.xCount, info.yCount);
    return text.release();
}

unsigned char *GetThumbnailJpeg(VtPyraInfo *pyra, int *width, int *height, int *length)
{
    if (!pyra || !width || !height || !length)
        return nullptr;
    const VtImageInfo *thumb = pyra->thumbnail;
    if (!thumb || !thumb->pixels)
        return nullptr;
    unsigned char *jpeg = nullptr;
    int size =
        VtEncodeJpeg(thumb->pixels, &jpeg, kThumbnailQuality, thumb->width, thumb->height, JCS_EXT_BGR);
    if (size <= 0) {
        std::free(jpeg);
        *width = *height = *length = 0;
        return nullptr;
    }
    *width = thumb->width;
    *height = thumb->height;
    *length = size;
    return jpeg;
}

unsigned char *GetThumbnailAbgr(VtPyraInfo *pyra, int *width, int *height)
{
    return pyra ? expandToAbgr(pyra->thumbnail, width, height) : nullptr;
}

unsigned char *GetLabelJpeg(VtPyraInfo *pyra, int *width, int *height, int *length)
{
    return pyra ? copyEncoded(macroImage(pyra, 0), width, height, length) : nullptr;
}

unsigned char *GetLabelAbgr(VtPyraInfo *pyra, int *width, int *height)
{
    return pyra ? expandToAbgr(macroImage(pyra, 0), width, height) : nullptr;
}

unsigned char *GetMacrographJpeg(VtPyraInfo *pyra, int *width, int *height, int *length)
{
    return pyra ? copyEncoded(macroImage(pyra, 1), width, height, length) : nullptr;
}

unsigned char *GetMacrographAbgr(VtPyraInfo *pyra, int *width, int *height)
{
    return pyra ? expandToAbgr(macroImage(pyra, 1), width, height) : nullptr;
}

void Dispose(void *buffer) { std::free(buffer); }
