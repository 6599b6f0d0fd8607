// Readers of the fixed and chained records. Each starts again from the header,
// so none depends on where the stream stands when it is called.
#include "Records.h"

#include <cstring>

#include "FileIO.h"

using namespace pyradec;

namespace {

// Reads the header into a buffer of the caller's own, for the tests it needs.
int readOwnHeader(FILE *file, VtPicHead &head)
{
    std::memset(&head, 0, sizeof head);
    return VtGetPicHead(file, &head);
}

}  // namespace

int VtGetPicHead(FILE *file, VtPicHead *head)
{
    if (!file || VtGetFileSize(file) == 0)
        return VT_ERR_NO_FILE;
    if (!head)
        return VT_ERR_NULL_ARG;
    VtRewind(file);
    // Not tested: the magic test below catches a short header.
    VtReadData(head, kPicHeadSize, 1, file);
    return hasMagic(head->magic, kMagicHead) ? VT_OK : VT_ERR_HEAD_MAGIC;
}

int VtGetPersonInfo(FILE *file, VtPersonInfo *info)
{
    if (!info)
        return VT_ERR_NULL_ARG;
    VtPicHead head;
    int status = readOwnHeader(file, head);
    if (status != VT_OK)
        return status;
    if (head.hasPersonInfo == 0)
        return VT_ERR_ABSENT;
    VtReadData(info, kPersonInfoSize, 1, file);
    return hasMagic(info->magic, kMagicPerson) ? VT_OK : VT_ERR_PERSON_MAGIC;
}

int VtGetExtraInfo(FILE *file, VtExtraInfo *info)
{
    if (!info)
        return VT_ERR_NULL_ARG;
    VtPicHead head;
    int status = readOwnHeader(file, head);
    if (status != VT_OK)
        return status;
    if (head.hasPersonInfo == 0 || head.hasExtraInfo == 0)
        return VT_ERR_ABSENT;
    VtFseeki64(file, kExtraInfoOffset, SEEK_SET);
    VtReadData(info, kExtraInfoSize, 1, file);
    return hasMagic(info->magic, kMagicExtra) ? VT_OK : VT_ERR_EXTRA_MAGIC;
}

int64_t VtGetCurThumbnailOffset(FILE *file, VtPicHead *head)
{
    int status = VtGetPicHead(file, head);
    if (status != VT_OK)
        return status;
    if (head->macroImageCount != 0 && head->hasPersonInfo != 0) {
        VtFseeki64(file, kFirstMacroOffset, SEEK_SET);
        VtMacrographInfo macro;
        for (uint32_t i = 0; i < head->macroImageCount; ++i) {
            if (!readComplete(&macro, kMacrographInfoSize, 1, file))
                return VT_ERR_READ;
            if (!hasMagic(macro.magic, kMagicMacro))
                return VT_ERR_MACRO_MAGIC;
            VtFseeki64(file, static_cast<int64_t>(macro.nextOffset), SEEK_SET);
        }
    }
    return VtFtelli64(file);
}

int64_t VtGetLayerOffset(FILE *file, VtPicHead *head, int layer)
{
    int64_t thumbnail = VtGetCurThumbnailOffset(file, head);
    if (thumbnail < 0)
        return thumbnail;
    if (layer < 0 || static_cast<uint32_t>(layer) >= head->layerCount)
        return VT_ERR_LAYER;
    VtPicInfo record;
    VtFseeki64(file, thumbnail, SEEK_SET);
    if (!readComplete(&record, kPicInfoSize, 1, file) || !hasMagic(record.magic, kMagicPicInfo))
        return VT_ERR_PIC_INFO_MAGIC;
    VtFseeki64(file, static_cast<int64_t>(record.nextOffset), SEEK_SET);
    std::memset(&record, 0, sizeof record);
    for (int i = 0; i < layer; ++i) {
        if (!readComplete(&record, kPicInfoSize, 1, file) || !hasMagic(record.magic, kMagicPicInfo))
            return VT_ERR_PIC_INFO_MAGIC;
        VtFseeki64(file, static_cast<int64_t>(record.nextOffset), SEEK_SET);
    }
    return VtFtelli64(file);
}

int VtGetPicInfoOfSpecifyLayer(FILE *file, VtPicInfo *info, int layer)
{
    VtPicHead head;
    std::memset(&head, 0, sizeof head);
    const int64_t offset = VtGetLayerOffset(file, &head, layer);
    if (offset < 0)
        return static_cast<int>(offset);
    VtFseeki64(file, offset, SEEK_SET);
    if (!readComplete(info, kPicInfoSize, 1, file))
        return VT_ERR_READ;
    return hasMagic(info->magic, kMagicPicInfo) ? VT_OK : VT_ERR_PIC_INFO_MAGIC;
}
