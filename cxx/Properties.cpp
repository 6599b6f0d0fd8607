// Properties and the quick hash.
#include "Properties.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

namespace pyradec {

namespace {

struct ShaDeleter {
    void operator()(AVSHA *s) const { av_free(s); }
};

class Sha256 {
public:
    Sha256() : ctx_(av_sha_alloc())
    {
        if (!ctx_ || av_sha_init(ctx_.get(), 256) < 0)
            throw SlideError("cannot start SHA-256");
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

// Single-precision parameters in their own shortest form ("1.08", not "1.0800000429153442").
std::string formatFloat(float value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string joined(const float *values, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i)
            out += ',';
        out += formatFloat(values[i]);
    }
    return out;
}

}  // namespace

std::string formatNumber(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string quickHash(const Slide &slide)
{
    const auto h = slide.handle();
    const VtPicHead *head = h->picHead;
    Sha256 sha;
    sha.part(head, sizeof *head);
    sha.part(h->personInfo, h->personInfo ? sizeof(VtPersonInfo) : 0);
    sha.part(h->extraInfo, h->extraInfo ? sizeof(VtExtraInfo) : 0);
    for (int i = 0; i < 2; ++i) {
        const VtImageInfo *image = h->macroImages ? h->macroImages[i] : nullptr;
        const bool has = image && image->encoded && image->encodedLength > 0;
        sha.part(has ? image->encoded : nullptr, has ? static_cast<size_t>(image->encodedLength) : 0);
    }
    {
        const VtImageInfo *thumb = h->thumbnail;
        const bool has = thumb && thumb->encoded && thumb->encodedLength > 0;
        sha.part(has ? thumb->encoded : nullptr, has ? static_cast<size_t>(thumb->encodedLength) : 0);
    }
    for (uint32_t i = 0; i < head->layerCount; ++i) {
        const VtPicInfo *info = h->picInfos[i];
        sha.part(info, sizeof *info);
        const VtSliceInfo *slices = h->sliceInfos[i];
        const bool has = slices && slices->tileSizes;
        sha.part(has ? slices->tileSizes : nullptr, has ? sizeof(int32_t) * info->tileCount : 0);
    }
    if (head->layerCount > 0) {
        const Level &last = slide.level(static_cast<int>(head->layerCount - 1));
        // Absent tiles, short index included, hash as empty parts.
        for (int row = 0; row < last.rows; ++row)
            for (int col = 0; col < last.columns; ++col) {
                const std::vector<uint8_t> bytes = slide.storedTile(last.index, col, row);
                sha.part(bytes.data(), bytes.size());
            }
    }
    return sha.hex();
}

PropertyList properties(const Slide &slide)
{
    PropertyList list;
    const Description &d = slide.description();
    if (d.mpp > 0 && std::isfinite(d.mpp)) {
        list.emplace_back(kPropertyMppX, formatNumber(d.mpp));
        list.emplace_back(kPropertyMppY, formatNumber(d.mpp));
    }
    if (d.magnification > 0)
        list.emplace_back(kPropertyObjectivePower, std::to_string(d.magnification));
    list.emplace_back(kPropertyBackgroundColor, "ffffff");
    list.emplace_back("pyradec.vendor", "pyra");
    list.emplace_back("pyradec.level-count", std::to_string(slide.levelCount()));
    for (const Level &l : slide.levels()) {
        const std::string prefix = "pyradec.level[" + std::to_string(l.index) + "].";
        list.emplace_back(prefix + "width", std::to_string(l.width));
        list.emplace_back(prefix + "height", std::to_string(l.height));
        list.emplace_back(prefix + "downsample", formatNumber(l.downsample));
        list.emplace_back(prefix + "tile-width", std::to_string(l.tileWidth));
        list.emplace_back(prefix + "tile-height", std::to_string(l.tileHeight));
    }
    if (slide.levelCount() > 0) {
        list.emplace_back(kPropertyBoundsX, "0");
        list.emplace_back(kPropertyBoundsY, "0");
        list.emplace_back(kPropertyBoundsWidth, std::to_string(slide.level(0).width));
        list.emplace_back(kPropertyBoundsHeight, std::to_string(slide.level(0).height));
    }
    list.emplace_back(kPropertyQuickHash, quickHash(slide));
    for (const auto &[key, value] : d.items)
        list.emplace_back("pyra." + key, value);
    if (const auto &c = slide.colorParams()) {
        list.emplace_back("pyra.Gamma", formatFloat(c->gamma));
        list.emplace_back("pyra.ChannelGains", joined(c->channelGains, 3));
        list.emplace_back("pyra.HsvScales", joined(c->hsvScales, 3));
        list.emplace_back("pyra.ColorMatrix", joined(c->colorMatrix, 9));
    }
    std::sort(list.begin(), list.end());
    return list;
}

}  // namespace pyradec
