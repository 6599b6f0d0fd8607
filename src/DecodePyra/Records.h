// The slide file's records: on-disk layout constants, the record readers, and
// the release functions of the in-memory records.
#pragma once

#include <cstdint>
#include <cstdio>

#include "Compression.h"
#include "pyradec/pyradec.h"

namespace pyradec {

// Fixed sizes and positions of the file layout.
constexpr int64_t kPicHeadSize = 156;
constexpr int64_t kPersonInfoSize = 6808;
constexpr int64_t kExtraInfoSize = 768;
constexpr int64_t kPersonInfoOffset = 156;
constexpr int64_t kExtraInfoOffset = 6964;
constexpr int64_t kFirstMacroOffset = 7732;
constexpr int64_t kMacrographInfoSize = 123;
constexpr int64_t kPicInfoSize = 122;
constexpr int64_t kTileSizeEntry = 4;

// Magics, as the first two bytes read as one little-endian 16-bit value.
constexpr uint16_t magicOf(char a, char b)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(a) | (static_cast<unsigned char>(b) << 8));
}
constexpr uint16_t kMagicHead = magicOf('V', 'T');
constexpr uint16_t kMagicPerson = magicOf('P', 'I');
constexpr uint16_t kMagicExtra = magicOf('E', 'I');
constexpr uint16_t kMagicMacro = magicOf('M', 'I');
constexpr uint16_t kMagicPicInfo = magicOf('I', 'F');

inline Compression compressionOf(const VtPicHead &head)
{
    return static_cast<Compression>(head.compressionType);
}

inline bool hasMagic(const unsigned char *magic, uint16_t expected)
{
    return static_cast<uint16_t>(magic[0] | (magic[1] << 8)) == expected;
}

}  // namespace pyradec

// ---- Record readers: each starts again from the header. ----
int VtGetPicHead(FILE *file, VtPicHead *head);
int VtGetPersonInfo(FILE *file, VtPersonInfo *info);
int VtGetExtraInfo(FILE *file, VtExtraInfo *info);
int64_t VtGetCurThumbnailOffset(FILE *file, VtPicHead *head);
int64_t VtGetLayerOffset(FILE *file, VtPicHead *head, int layer);
int VtGetPicInfoOfSpecifyLayer(FILE *file, VtPicInfo *info, int layer);

// ---- Associated images ----
int VtGetMacrographInfoAndJpeg(FILE *file, VtMacrographInfo **headers, unsigned char **data);
int VtGetMacroImageInfo(FILE *file, VtImageInfo **images);
int VtGetThumbnailInfoAndJpeg(FILE *file, VtPicInfo *info, int *width, int *height, unsigned char **data);
int VtGetThumbImageInfo(FILE *file, VtImageInfo *image);

// ---- Release functions: accept null, clear what they release. ----
void DisposePicHead(VtPicHead *head);
void DisposePersonInfo(VtPersonInfo *info);
void DisposeExtraInfo(VtExtraInfo *info);
void DisposeMacrographInfo(VtMacrographInfo **headers, unsigned char **data);
void DisposeTileImageInfo(VtTileImageInfo *info);
void DisposeClassifyRoot(ClassifyRoot *root);
void DisposeMacroImageInfo(VtImageInfo **images);
void DisposeThumbImageInfo(VtImageInfo *image);
void DisposeThumbnailInfo(VtPicInfo *info, unsigned char *data);
void DisposeSliceLayerInfo(VtPicInfo **picInfos, VtSliceInfo **sliceInfos, int count);

namespace pyradec {

// The colours an image is decoded with: through `table`; when `table` is null,
// unchanged if `optional`, else no pixels at all (the process-wide ColorTable
// behaviour of the exported readers).
struct DecodeColour {
    const ColorCorrectTable *table;
    bool optional;
};

// The associated-image readers with an explicit colouring.
int readMacroImages(FILE *file, VtImageInfo **images, DecodeColour colour);
int readThumbnail(FILE *file, VtImageInfo *image, DecodeColour colour);

}  // namespace pyradec
