// The slide as a C++ object over the flat interface and the tile pipeline.
#include "Slide.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "DecodePyra/OpenReason.h"
#include "DecodePyra/TilePipeline.h"
#include "TileCache.h"

namespace pyradec {

namespace {

std::atomic<uint64_t> nextSlideId{1};

// Regions larger than this are assembled in strips of rows, so that the
// temporary buffer stays small whatever the size asked for.
constexpr size_t kStripBytes = size_t{64} << 20;

void closeHandle(VtPyraInfo *h) { VtClosePyra(h); }

// Writes one row of `count` library pixels (blue, green, red) in `format`.
void convertRow(const uint8_t *bgr, uint8_t *out, int64_t count, PixelFormat format)
{
    switch (format) {
    case PixelFormat::Bgr: std::memcpy(out, bgr, static_cast<size_t>(count) * 3); return;
    case PixelFormat::Rgb:
        for (int64_t i = 0; i < count; ++i, bgr += 3, out += 3) {
            out[0] = bgr[2];
            out[1] = bgr[1];
            out[2] = bgr[0];
        }
        return;
    case PixelFormat::Rgba:
        for (int64_t i = 0; i < count; ++i, bgr += 3, out += 4) {
            out[0] = bgr[2];
            out[1] = bgr[1];
            out[2] = bgr[0];
            out[3] = 255;
        }
        return;
    }
}

// Fills `count` pixels with the background (transparent black in Rgba).
void fillRow(uint8_t *out, int64_t count, PixelFormat format, Rgb8 background)
{
    if (format == PixelFormat::Rgba) {
        std::memset(out, 0, static_cast<size_t>(count) * 4);
        return;
    }
    const uint8_t px[3] = {format == PixelFormat::Bgr ? background.b : background.r, background.g,
                           format == PixelFormat::Bgr ? background.r : background.b};
    if (px[0] == px[1] && px[1] == px[2]) {
        std::memset(out, px[0], static_cast<size_t>(count) * 3);
        return;
    }
    for (int64_t i = 0; i < count; ++i, out += 3)
        std::memcpy(out, px, 3);
}

}  // namespace

const char *nameOf(Associated which)
{
    switch (which) {
    case Associated::Thumbnail: return "thumbnail";
    case Associated::Label: return "label";
    case Associated::Macro: return "macro";
    }
    return "";
}

std::vector<std::pair<std::string, std::string>> parseItems(const char *text)
{
    std::vector<std::pair<std::string, std::string>> items;
    const std::string s = text ? text : "";
    size_t start = 0;
    while (start < s.size()) {
        size_t bar = s.find('|', start);
        if (bar == std::string::npos)
            bar = s.size();
        const std::string item = s.substr(start, bar - start);
        if (const size_t eq = item.find('='); eq != std::string::npos)
            items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        start = bar + 1;
    }
    return items;
}

std::shared_ptr<Slide> Slide::open(const std::string &path)
{
    OpenReason reason;
    VtPyraInfo *h = openPyra(path.c_str(), &reason);
    if (!h)
        throw UnsupportedFormatError(path + ": " + reason.describe());
    if (!h->picHead || !h->picInfos || !h->sliceInfos) {
        VtClosePyra(h);
        throw UnsupportedFormatError(path + ": damaged slide: incomplete records");
    }
    return std::shared_ptr<Slide>(new Slide(path, h));
}

Slide::Slide(std::string path, VtPyraInfo *h)
    : path_(std::move(path)), id_(nextSlideId++), handle_(h, closeHandle)
{
    const VtPicHead &head = *h->picHead;
    const int count = static_cast<int>(head.layerCount);
    levels_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const VtPicInfo &info = *h->picInfos[i];
        Level l;
        l.index = i;
        l.tileWidth = static_cast<int>(head.tileWidth);
        l.tileHeight = static_cast<int>(head.tileHeight);
        l.columns = info.xCount;
        l.rows = info.yCount;
        l.gridWidth = int64_t{info.xCount} * head.tileWidth;
        l.gridHeight = int64_t{info.yCount} * head.tileHeight;
        l.width = l.gridWidth - info.boundWidth;
        l.height = l.gridHeight - info.boundHeight;
        l.indexedTiles = info.tileCount;
        levels_.push_back(l);
    }
    if (!levels_.empty()) {
        const double w0 = static_cast<double>(levels_[0].width);
        const double h0 = static_cast<double>(levels_[0].height);
        for (Level &l : levels_) {
            const double wr = l.width > 0 ? w0 / static_cast<double>(l.width) : 1.0;
            const double hr = l.height > 0 ? h0 / static_cast<double>(l.height) : 1.0;
            l.downsample = (wr + hr) / 2;
        }
    }

    Owned<char> text(GetDescription(h));
    description_.items = parseItems(text.get());
    description_.compression = head.compressionType == 4 ? Compression::Hevc : Compression::Jpeg;
    description_.quality = head.quality;
    description_.mpp = head.mpp;
    description_.magnification = head.appMag;
    description_.ratio = head.ratio;

    if (h->extraInfo) {
        StoredColorParams p;
        const VtExtraInfo &e = *h->extraInfo;
        std::memcpy(&p.gamma, reinterpret_cast<const unsigned char *>(&e) + offsetof(VtExtraInfo, gamma),
                    sizeof p.gamma);
        std::memcpy(p.channelGains,
                    reinterpret_cast<const unsigned char *>(&e) + offsetof(VtExtraInfo, channelGains),
                    sizeof p.channelGains);
        std::memcpy(p.hsvScales,
                    reinterpret_cast<const unsigned char *>(&e) + offsetof(VtExtraInfo, hsvScales),
                    sizeof p.hsvScales);
        std::memcpy(p.colorMatrix,
                    reinterpret_cast<const unsigned char *>(&e) + offsetof(VtExtraInfo, colorMatrix),
                    sizeof p.colorMatrix);
        colorParams_ = p;
    }
}

Slide::~Slide() = default;

void Slide::close()
{
    std::shared_ptr<VtPyraInfo> last;
    {
        std::lock_guard lock(mutex_);
        last.swap(handle_);
    }
    // Reads in flight hold their own reference; the handle closes when the last ends.
}

bool Slide::closed() const
{
    std::lock_guard lock(mutex_);
    return !handle_;
}

std::shared_ptr<VtPyraInfo> Slide::handle() const
{
    std::lock_guard lock(mutex_);
    if (!handle_)
        throw SlideError(path_ + ": the slide is closed");
    return handle_;
}

const Level &Slide::level(int index) const
{
    if (index < 0 || index >= levelCount())
        throw InvalidArgument("no level " + std::to_string(index) + " (the slide has " +
                              std::to_string(levelCount()) + ")");
    return levels_[static_cast<size_t>(index)];
}

int Slide::bestLevelForDownsample(double downsample) const
{
    int best = 0;
    for (const Level &l : levels_)
        if (l.downsample <= downsample)
            best = l.index;
        else
            break;
    return best;
}

std::string Slide::layerText(int index) const
{
    level(index);
    auto h = handle();
    Owned<char> text(GetLayerInfo(h.get(), index));
    return text ? text.get() : "";
}

std::optional<Pixels> Slide::associated(Associated which) const
{
    auto h = handle();
    int width = 0, height = 0;
    Owned<unsigned char> abgr;
    switch (which) {
    case Associated::Thumbnail: abgr.reset(GetThumbnailAbgr(h.get(), &width, &height)); break;
    case Associated::Label: abgr.reset(GetLabelAbgr(h.get(), &width, &height)); break;
    case Associated::Macro: abgr.reset(GetMacrographAbgr(h.get(), &width, &height)); break;
    }
    if (!abgr || width <= 0 || height <= 0)
        return std::nullopt;
    Pixels p;
    p.width = width;
    p.height = height;
    p.channels = 3;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    p.data.resize(count * 3);
    const uint8_t *in = abgr.get();
    for (size_t i = 0; i < count; ++i) {
        p.data[i * 3 + 0] = in[i * 4 + 2];
        p.data[i * 3 + 1] = in[i * 4 + 1];
        p.data[i * 3 + 2] = in[i * 4 + 0];
    }
    return p;
}

std::optional<OwnedBytes> Slide::associatedJpeg(Associated which) const
{
    auto h = handle();
    int width = 0, height = 0, length = 0;
    OwnedBytes out;
    switch (which) {
    case Associated::Thumbnail: out.data.reset(GetThumbnailJpeg(h.get(), &width, &height, &length)); break;
    case Associated::Label: out.data.reset(GetLabelJpeg(h.get(), &width, &height, &length)); break;
    case Associated::Macro: out.data.reset(GetMacrographJpeg(h.get(), &width, &height, &length)); break;
    }
    if (!out.data || length <= 0)
        return std::nullopt;
    out.size = static_cast<size_t>(length);
    return out;
}

std::vector<Associated> Slide::associatedNames() const
{
    auto h = handle();
    std::vector<Associated> names;
    if (h->thumbnail && h->thumbnail->pixels)
        names.push_back(Associated::Thumbnail);
    if (h->macroImages && h->macroImages[0] && h->macroImages[0]->pixels)
        names.push_back(Associated::Label);
    if (h->macroImages && h->macroImages[1] && h->macroImages[1]->pixels)
        names.push_back(Associated::Macro);
    return names;
}

const Level &Slide::tileLevel(int levelIndex, int col, int row) const
{
    const Level &l = level(levelIndex);
    if (col < 0 || row < 0 || col >= l.columns || row >= l.rows)
        throw InvalidArgument("no tile (" + std::to_string(col) + ", " + std::to_string(row) + ") in level " +
                              std::to_string(levelIndex));
    return l;
}

void Slide::decodeTile(const VtPyraInfo &h, const Level &l, int col, int row, uint8_t *out) const
{
    const int status = assembleRegion(&h, l.index, static_cast<uint32_t>(col) * l.tileWidth,
                                      static_cast<uint32_t>(row) * l.tileHeight, l.tileWidth, l.tileHeight, out);
    if (status != VT_OK)
        throw SlideError(path_ + ": tile (" + std::to_string(col) + ", " + std::to_string(row) + ") of level " +
                         std::to_string(l.index) + " did not decode (status " + std::to_string(status) + ")");
}

std::vector<uint8_t> Slide::storedTile(int levelIndex, int col, int row) const
{
    tileLevel(levelIndex, col, row);
    auto h = handle();
    const TileEntry entry = tileEntry(h.get(), levelIndex, col, row);
    if (!entry.present())
        return {};
    TileReader reader(tilePath(h.get()));
    MallocPtr<unsigned char> bytes;
    if (reader.read(entry, bytes) != VT_OK)
        throw SlideError(path_ + ": cannot read tile (" + std::to_string(col) + ", " + std::to_string(row) +
                         ") of level " + std::to_string(levelIndex));
    return std::vector<uint8_t>(bytes.get(), bytes.get() + entry.size);
}

Pixels Slide::tile(int levelIndex, int col, int row, PixelFormat format) const
{
    const Level &l = tileLevel(levelIndex, col, row);
    auto h = handle();
    Pixels p;
    p.width = l.tileWidth;
    p.height = l.tileHeight;
    p.channels = 3;
    p.data.resize(static_cast<size_t>(l.tileWidth) * static_cast<size_t>(l.tileHeight) * 3);
    decodeTile(*h, l, col, row, p.data.data());
    if (format != PixelFormat::Bgr) {
        Pixels converted;
        converted.width = p.width;
        converted.height = p.height;
        converted.channels = channelsOf(format);
        converted.data.resize(static_cast<size_t>(p.width) * p.height * converted.channels);
        convertRow(p.data.data(), converted.data.data(), int64_t{p.width} * p.height, format);
        return converted;
    }
    return p;
}

size_t Slide::regionBytes(int width, int height, int channels)
{
    if (width <= 0 || height <= 0)
        throw InvalidArgument("region size must be positive, got " + std::to_string(width) + " x " +
                              std::to_string(height));
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * uint64_t(channels);
    if (bytes > std::numeric_limits<size_t>::max() / 2 || bytes > (uint64_t{1} << 48))
        throw InvalidArgument("region of " + std::to_string(width) + " x " + std::to_string(height) +
                              " pixels is too large");
    return static_cast<size_t>(bytes);
}

void Slide::readRegion(int levelIndex, int64_t x, int64_t y, int width, int height, PixelFormat format,
                       uint8_t *out, size_t stride, Rgb8 background, TileCache *cache) const
{
    const Level &l = level(levelIndex);
    const int channels = channelsOf(format);
    regionBytes(width, height, channels);
    const size_t rowBytes = static_cast<size_t>(width) * channels;
    if (stride == 0)
        stride = rowBytes;
    auto h = handle();

    // The part of the rectangle that lies on the layer's content.
    const int64_t x0 = std::clamp<int64_t>(x, 0, l.width), x1 = std::clamp<int64_t>(x + width, 0, l.width);
    const int64_t y0 = std::clamp<int64_t>(y, 0, l.height), y1 = std::clamp<int64_t>(y + height, 0, l.height);
    const bool any = x1 > x0 && y1 > y0;
    const int64_t left = any ? x0 - x : width;  // background columns before the content
    const int64_t inside = any ? x1 - x0 : 0;
    const int64_t right = width - left - inside;
    for (int64_t r = 0; r < height; ++r) {
        const int64_t ly = y + r;
        uint8_t *row = out + static_cast<size_t>(r) * stride;
        if (!any || ly < y0 || ly >= y1) {
            fillRow(row, width, format, background);
            continue;
        }
        if (left > 0)
            fillRow(row, left, format, background);
        if (right > 0)
            fillRow(row + static_cast<size_t>(left + inside) * channels, right, format, background);
    }
    if (!any)
        return;

    uint8_t *first = out + static_cast<size_t>(y0 - y) * stride + static_cast<size_t>(left) * channels;
    const int iw = static_cast<int>(inside), ih = static_cast<int>(y1 - y0);
    if (cache) {
        readTiles(*h, l, x0, y0, iw, ih, format, first, stride, *cache);
        return;
    }
    // Straight into the output when it has the library's layout; else through strips.
    if (format == PixelFormat::Bgr && stride == static_cast<size_t>(iw) * 3) {
        const int status = assembleRegion(h.get(), levelIndex, static_cast<uint32_t>(x0),
                                          static_cast<uint32_t>(y0), iw, ih, first);
        if (status != VT_OK)
            throw SlideError(path_ + ": region of level " + std::to_string(levelIndex) +
                             " did not decode (status " + std::to_string(status) + ")");
        return;
    }
    const int stripRows = static_cast<int>(
        std::clamp<size_t>(kStripBytes / (static_cast<size_t>(iw) * 3), 1, static_cast<size_t>(ih)));
    std::vector<uint8_t> strip(static_cast<size_t>(iw) * 3 * static_cast<size_t>(stripRows));
    for (int r0 = 0; r0 < ih; r0 += stripRows) {
        const int rows = std::min(stripRows, ih - r0);
        const int status = assembleRegion(h.get(), levelIndex, static_cast<uint32_t>(x0),
                                          static_cast<uint32_t>(y0 + r0), iw, rows, strip.data());
        if (status != VT_OK)
            throw SlideError(path_ + ": region of level " + std::to_string(levelIndex) +
                             " did not decode (status " + std::to_string(status) + ")");
        for (int r = 0; r < rows; ++r)
            convertRow(strip.data() + static_cast<size_t>(r) * iw * 3,
                       first + static_cast<size_t>(r0 + r) * stride, iw, format);
    }
}

void Slide::readTiles(const VtPyraInfo &h, const Level &l, int64_t x, int64_t y, int width, int height,
                      PixelFormat format, uint8_t *out, size_t stride, TileCache &cache) const
{
    const int channels = channelsOf(format);
    const int tw = l.tileWidth, th = l.tileHeight;
    const int c0 = static_cast<int>(x / tw), c1 = static_cast<int>((x + width - 1) / tw);
    const int r0 = static_cast<int>(y / th), r1 = static_cast<int>((y + height - 1) / th);
    for (int row = r0; row <= r1; ++row) {
        for (int col = c0; col <= c1; ++col) {
            const TileKey key{id_, l.index, col, row};
            std::shared_ptr<const std::vector<uint8_t>> pixels = cache.get(key);
            if (!pixels) {
                auto decoded = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(tw) * th * 3);
                decodeTile(h, l, col, row, decoded->data());
                pixels = decoded;
                cache.put(key, pixels);
            }
            // The overlap of this tile with the rectangle, in layer pixels.
            const int64_t ox0 = std::max<int64_t>(x, int64_t{col} * tw),
                          ox1 = std::min<int64_t>(x + width, int64_t{col + 1} * tw);
            const int64_t oy0 = std::max<int64_t>(y, int64_t{row} * th),
                          oy1 = std::min<int64_t>(y + height, int64_t{row + 1} * th);
            for (int64_t ly = oy0; ly < oy1; ++ly) {
                const uint8_t *src = pixels->data() + (static_cast<size_t>(ly - int64_t{row} * th) * tw +
                                                       static_cast<size_t>(ox0 - int64_t{col} * tw)) *
                                                          3;
                uint8_t *dst =
                    out + static_cast<size_t>(ly - y) * stride + static_cast<size_t>(ox0 - x) * channels;
                convertRow(src, dst, ox1 - ox0, format);
            }
        }
    }
}

Pixels Slide::readRegion(int levelIndex, int64_t x, int64_t y, int width, int height, PixelFormat format,
                         Rgb8 background, TileCache *cache) const
{
    level(levelIndex);
    Pixels p;
    p.width = width;
    p.height = height;
    p.channels = channelsOf(format);
    p.data.resize(regionBytes(width, height, p.channels));
    readRegion(levelIndex, x, y, width, height, format, p.data.data(), 0, background, cache);
    return p;
}

}  // namespace pyradec
