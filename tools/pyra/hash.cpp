// pyra hash: SHA-256 of what identifies a slide's content, for checking copies
// without reading every tile.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

#include "pyra.h"

namespace pyra {

namespace {

const char *const kDetails =
    "Prints a SHA-256 over the slide's header, its person and extra information,\n"
    "every layer record and tile-size table, the stored label, macrograph and\n"
    "thumbnail, and the stored bytes of every tile of the lowest-resolution layer,\n"
    "followed by two spaces and the path. Copies of a slide hash alike; a change\n"
    "in any of these parts changes the hash.";

struct ShaDeleter {
    void operator()(AVSHA *s) const { av_free(s); }
};

class Sha256 {
public:
    Sha256() : ctx_(av_sha_alloc())
    {
        if (!ctx_ || av_sha_init(ctx_.get(), 256) < 0)
            throw Failure("cannot start SHA-256");
    }
    void add(const void *data, size_t size)
    {
        const auto *p = static_cast<const uint8_t *>(data);
        // av_sha_update takes an unsigned int length before FFmpeg 6.
        while (size > 0) {
            const size_t n = std::min<size_t>(size, 1u << 30);
            av_sha_update(ctx_.get(), p, static_cast<unsigned>(n));
            p += n;
            size -= n;
        }
    }
    // Each part goes in with its length first, so that parts cannot run into each other.
    void part(const void *data, size_t size)
    {
        const uint64_t n = size;
        add(&n, sizeof n);
        if (size)
            add(data, size);
    }
    std::string hex()
    {
        uint8_t digest[32];
        av_sha_final(ctx_.get(), digest);
        std::string out;
        char two[3];
        for (uint8_t b : digest) {
            std::snprintf(two, sizeof two, "%02x", b);
            out += two;
        }
        return out;
    }

private:
    std::unique_ptr<AVSHA, ShaDeleter> ctx_;
};

void runHash(const std::string &path)
{
    Handle slide = openSlide(path);
    const VtPicHead *head = slide->picHead;

    Sha256 sha;
    sha.part(head, sizeof *head);
    sha.part(slide->personInfo, slide->personInfo ? sizeof(VtPersonInfo) : 0);
    sha.part(slide->extraInfo, slide->extraInfo ? sizeof(VtExtraInfo) : 0);
    for (int i = 0; i < 2; ++i) {
        const VtImageInfo *image = slide->macroImages ? slide->macroImages[i] : nullptr;
        const bool has = image && image->encoded && image->encodedLength > 0;
        sha.part(has ? image->encoded : nullptr, has ? static_cast<size_t>(image->encodedLength) : 0);
    }
    {
        const VtImageInfo *thumb = slide->thumbnail;
        const bool has = thumb && thumb->encoded && thumb->encodedLength > 0;
        sha.part(has ? thumb->encoded : nullptr, has ? static_cast<size_t>(thumb->encodedLength) : 0);
    }
    for (uint32_t i = 0; i < head->layerCount; ++i) {
        const VtPicInfo *info = slide->picInfos[i];
        sha.part(info, sizeof *info);
        const VtSliceInfo *slices = slide->sliceInfos[i];
        const bool has = slices && slices->tileSizes;
        sha.part(has ? slices->tileSizes : nullptr, has ? sizeof(int32_t) * info->tileCount : 0);
    }
    if (head->layerCount > 0) {
        const int last = static_cast<int>(head->layerCount - 1);
        const VtPicInfo *info = slide->picInfos[last];
        for (int row = 0; row < info->yCount; ++row)
            for (int col = 0; col < info->xCount; ++col) {
                unsigned char *bytes = nullptr;
                int length = 0;
                const int status = VtGetHevcSliceOfSpecifyLayer(slide.get(), &bytes, &length, last, col, row);
                Owned<unsigned char> owned(bytes);
                if (status != VT_OK)
                    throw Failure(path + ": tile " + std::to_string(col) + ", " + std::to_string(row) +
                                  " of layer " + std::to_string(last) + " could not be read (status " +
                                  std::to_string(status) + ")");
                sha.part(owned.get(), owned ? static_cast<size_t>(length) : 0);
            }
    }
    std::printf("%s  %s\n", sha.hex().c_str(), path.c_str());
}

}  // namespace

void addHashCommand(CLI::App &app)
{
    auto path = std::make_shared<std::string>();
    CLI::App *cmd = addCommand(app, "hash", "content hash for checking copies", kDetails);
    cmd->add_option("SLIDE", *path, "the slide file")->required();
    cmd->callback([path] { runHash(*path); });
}

}  // namespace pyra
