// Release functions of the in-memory records. Each accepts null, tests every
// owned pointer and clears the fields it releases.
#include "Records.h"

#include <cstdlib>
#include <cstring>

namespace {

template <typename T>
void freeAndClear(T *&pointer)
{
    if (pointer) {
        std::free(pointer);
        pointer = nullptr;
    }
}

void freeImage(VtImageInfo *image)
{
    if (!image)
        return;
    freeAndClear(image->encoded);
    freeAndClear(image->pixels);
    std::free(image);
}

}  // namespace

void DisposePicHead(VtPicHead *head) { std::free(head); }

void DisposePersonInfo(VtPersonInfo *info) { std::free(info); }

void DisposeExtraInfo(VtExtraInfo *info) { std::free(info); }

void DisposeMacrographInfo(VtMacrographInfo **headers, unsigned char **data)
{
    if (headers) {
        for (int i = 0; i < macroNum; ++i)
            freeAndClear(headers[i]);
        std::free(headers);
    }
    if (data) {
        for (int i = 0; i < macroNum; ++i)
            freeAndClear(data[i]);
        std::free(data);
    }
}

void DisposeTileImageInfo(VtTileImageInfo *info)
{
    if (!info)
        return;
    freeAndClear(info->tileData);
    if (info->tileImage) {
        freeImage(info->tileImage);
        info->tileImage = nullptr;
    }
    std::free(info);
}

void DisposeClassifyRoot(ClassifyRoot *root)
{
    if (!root)
        return;
    if (root->header) {
        if (root->entries) {
            int32_t entryCount;
            std::memcpy(&entryCount, root->header + 142, sizeof entryCount);
            for (int32_t i = 0; i < entryCount; ++i) {
                ClassifyEntry *entry = root->entries[i];
                if (!entry || !entry->header)
                    continue;
                if (entry->items) {
                    uint32_t itemCount;
                    std::memcpy(&itemCount, entry->header + 10, sizeof itemCount);
                    for (uint32_t k = 0; k < itemCount; ++k)
                        freeAndClear(entry->items[k]);
                    freeAndClear(entry->items);
                }
                freeAndClear(entry->header);
                std::free(entry);
                root->entries[i] = nullptr;
            }
            freeAndClear(root->entries);
        }
        freeAndClear(root->header);
    }
    std::free(root);
}

void DisposeMacroImageInfo(VtImageInfo **images)
{
    if (!images)
        return;
    for (int i = 0; i < macroNum; ++i) {
        freeImage(images[i]);
        images[i] = nullptr;
    }
    std::free(images);
}

void DisposeThumbImageInfo(VtImageInfo *image) { freeImage(image); }

void DisposeThumbnailInfo(VtPicInfo *info, unsigned char *data)
{
    std::free(info);
    std::free(data);
}

void DisposeSliceLayerInfo(VtPicInfo **picInfos, VtSliceInfo **sliceInfos, int count)
{
    if (picInfos) {
        for (int i = 0; i < count; ++i)
            freeAndClear(picInfos[i]);
        std::free(picInfos);
    }
    if (sliceInfos) {
        for (int i = 0; i < count; ++i) {
            VtSliceInfo *slice = sliceInfos[i];
            if (!slice)
                continue;
            freeAndClear(slice->tileOffsets);
            freeAndClear(slice->tileSizes);
            std::free(slice);
            sliceInfos[i] = nullptr;
        }
        std::free(sliceInfos);
    }
}
