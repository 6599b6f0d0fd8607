// Slide file layout: header, information block, associated-image chain,
// thumbnail record and the layer chain with tile tables and tiles.
//
// Placement of the thumbnail record:
// - hasPersonInfo nonzero: the information block fills 156..7732; the
//   associated-image chain (if any) starts at 7732 and the thumbnail record
//   follows its last image (or sits at 7732 when there are no images, where a
//   reader that looks at 156 finds "PI" instead).
// - hasPersonInfo zero: the thumbnail record sits at 156. When associated images
//   exist they still start at 7732, so the thumbnail must end by 7732 (else
//   serialise throws); bytes between are zero. Layer 0 follows the chain.
// The last associated image's nextOffset is always the thumbnail record's offset.
#include "slidewriter/SlideWriter.h"
#include "slidewriter/ImageFiles.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace slidewriter {

namespace {

constexpr uint64_t kPersonAt = 156;
constexpr uint64_t kExtraAt = 6964;
constexpr uint64_t kChainAt = 7732;

class Buffer {
public:
    void put(uint64_t at, const void *data, size_t n)
    {
        if (bytes.size() < at + n)
            bytes.resize(at + n, 0);
        if (n)
            std::memcpy(bytes.data() + at, data, n);
    }
    template <typename T>
    void putField(uint64_t recordAt, size_t fieldOffset, const T &v)
    {
        put(recordAt + fieldOffset, &v, sizeof v);
    }
    Bytes bytes;
};

void setMagic(unsigned char *magic, const char *letters)
{
    magic[0] = static_cast<unsigned char>(letters[0]);
    magic[1] = static_cast<unsigned char>(letters[1]);
}

void breakMagic(Buffer &buf, uint64_t at)
{
    if (at + 2 > buf.bytes.size())
        return;
    buf.bytes[at] = 'Z';
    buf.bytes[at + 1] = 'Z';
}

}  // namespace

ColorParams scannerColour()
{
    ColorParams c;
    c.gamma = 1.8f;
    const float gains[3] = {1.08f, 0.94f, 1.02f};
    const float hsv[3] = {1.0f, 1.15f, 1.05f};
    const float matrix[9] = {1.12f, -0.08f, -0.04f, -0.05f, 1.09f, -0.04f, 0.02f, -0.11f, 1.09f};
    std::copy(gains, gains + 3, c.channelGains);
    std::copy(hsv, hsv + 3, c.hsvScales);
    std::copy(matrix, matrix + 9, c.colorMatrix);
    return c;
}

Layer makeLayer(const Slide &slide, const Image &picture, int32_t boundWidth, int32_t boundHeight,
                int quality)
{
    const int tw = static_cast<int>(slide.tileWidth), th = static_cast<int>(slide.tileHeight);
    if (tw <= 0 || th <= 0)
        throw std::runtime_error("makeLayer: tile size must be positive");
    Layer layer;
    layer.xCount = std::max(1, (picture.width + tw - 1) / tw);
    layer.yCount = std::max(1, (picture.height + th - 1) / th);
    layer.boundWidth = boundWidth;
    layer.boundHeight = boundHeight;
    layer.source = crop(picture, 0, 0, layer.xCount * tw, layer.yCount * th, 255);
    for (int row = 0; row < layer.yCount; ++row) {
        for (int col = 0; col < layer.xCount; ++col) {
            Image tile = crop(layer.source, col * tw, row * th, tw, th, 255);
            Tile t;
            if (slide.compressionType == 4)
                t.bytes = encodeHevc(tile);
            else
                t.bytes = encodeJpeg(tile, quality);
            layer.tiles.push_back(std::move(t));
        }
    }
    return layer;
}

Slide makeSlide(int xCount, int yCount, int layers, uint8_t compressionType, uint32_t tileWidth,
                uint32_t tileHeight, uint32_t seed)
{
    Slide slide;
    slide.tileWidth = tileWidth;
    slide.tileHeight = tileHeight;
    slide.compressionType = compressionType;
    slide.associated.resize(2);
    slide.associated[0].image = makePattern(300, 100, seed + 101);
    slide.associated[1].image = makePattern(400, 150, seed + 202);
    slide.thumbnail = makePattern(160, 120, seed + 303);

    // Layer 0 leaves a strip outside the image at the right and the bottom.
    const int tw = static_cast<int>(tileWidth), th = static_cast<int>(tileHeight);
    int32_t boundWidth = (tw / 4) & ~1;
    int32_t boundHeight = (th / 8) & ~1;
    Image picture =
        makePattern(std::max(1, xCount * tw - boundWidth), std::max(1, yCount * th - boundHeight), seed);
    for (int i = 0; i < std::max(0, layers); ++i) {
        if (i > 0)
            picture = halveImage(picture);
        int gridW = std::max(1, (picture.width + tw - 1) / tw) * tw;
        int gridH = std::max(1, (picture.height + th - 1) / th) * th;
        slide.layers.push_back(
            makeLayer(slide, picture, gridW - picture.width, gridH - picture.height, slide.quality));
    }
    return slide;
}

Bytes serialise(const Slide &s)
{
    Buffer buf;
    const uint32_t macroCount =
        s.macroImageCount ? *s.macroImageCount : static_cast<uint32_t>(s.associated.size());
    const uint32_t layerCount = s.layerCount ? *s.layerCount : static_cast<uint32_t>(s.layers.size());

    // Thumbnail bytes.
    Bytes thumbData = s.thumbBytes;
    if (thumbData.empty() && s.thumbnail.width > 0 && s.thumbnail.height > 0)
        thumbData = s.thumbFormat == 1 ? encodeBmp(s.thumbnail, s.thumbBmpBits) : encodeJpeg(s.thumbnail, 80);

    // Associated-image bytes.
    std::vector<Bytes> assocData;
    for (const AssociatedImage &a : s.associated)
        assocData.push_back(!a.jpeg.empty() ? a.jpeg : encodeJpeg(a.image, 80));

    // Where everything goes.
    uint64_t thumbAt = 0;
    std::vector<uint64_t> assocAt;
    uint64_t afterChain = kChainAt;
    for (const Bytes &d : assocData) {
        assocAt.push_back(afterChain);
        afterChain += sizeof(VtMacrographInfo) + d.size();
    }
    const uint64_t thumbEnd = [&] {
        if (!s.hasPersonInfo) {
            thumbAt = kPersonAt;
        } else {
            thumbAt = afterChain;
        }
        return thumbAt + sizeof(VtPicInfo) + thumbData.size();
    }();
    if (!s.hasPersonInfo && !assocData.empty() && thumbEnd > kChainAt)
        throw std::runtime_error("serialise: without person information the thumbnail sits at "
                                 "156 and must end by 7732; use a smaller thumbnail");
    uint64_t pos = std::max(thumbEnd, assocData.empty() ? thumbEnd : afterChain);
    std::vector<uint64_t> layerAt;
    std::vector<uint64_t> tableAt, dataAt, dataEnd;
    for (const Layer &l : s.layers) {
        layerAt.push_back(pos);
        const uint32_t entries = l.tileCount ? *l.tileCount : static_cast<uint32_t>(l.tiles.size());
        const uint64_t table = pos + sizeof(VtPicInfo);
        const uint64_t data = table + 4ull * entries;
        uint64_t end = data;
        for (size_t j = 0; j < l.tiles.size() && j < entries; ++j)
            end += l.tiles[j].bytes.size();
        tableAt.push_back(table);
        dataAt.push_back(data);
        dataEnd.push_back(end);
        pos = end;
    }

    // Header.
    VtPicHead head{};
    setMagic(head.magic, "VT");
    head.macroImageCount = macroCount;
    head.hasPersonInfo = s.hasPersonInfo ? 1 : 0;
    head.layerCount = layerCount;
    if (s.imageWidth || s.layers.empty())
        head.imageWidth = s.imageWidth;
    else
        head.imageWidth = static_cast<uint32_t>(s.layers[0].xCount * static_cast<int64_t>(s.tileWidth) -
                                                s.layers[0].boundWidth);
    if (s.imageHeight || s.layers.empty())
        head.imageHeight = s.imageHeight;
    else
        head.imageHeight = static_cast<uint32_t>(s.layers[0].yCount * static_cast<int64_t>(s.tileHeight) -
                                                 s.layers[0].boundHeight);
    head.tileWidth = s.tileWidth;
    head.tileHeight = s.tileHeight;
    head.thumbWidth = s.thumbWidth ? s.thumbWidth : static_cast<uint32_t>(s.thumbnail.width);
    head.thumbHeight = s.thumbHeight ? s.thumbHeight : static_cast<uint32_t>(s.thumbnail.height);
    head.quality = s.quality;
    head.ratio = s.ratio;
    head.mpp = s.mpp;
    head.appMag = s.appMag;
    head.hasExtraInfo = s.hasExtraInfo ? 1 : 0;
    head.compressionType = s.compressionType;
    buf.put(0, &head, sizeof head);

    // Information block: both records whenever person information is declared.
    if (s.hasPersonInfo) {
        VtPersonInfo person{};
        setMagic(person.magic, "PI");
        buf.put(kPersonAt, &person, sizeof person);
        VtExtraInfo extra{};
        setMagic(extra.magic, "EI");
        extra.gamma = s.colour.gamma;
        std::copy(s.colour.channelGains, s.colour.channelGains + 3, extra.channelGains);
        std::copy(s.colour.hsvScales, s.colour.hsvScales + 3, extra.hsvScales);
        std::copy(s.colour.colorMatrix, s.colour.colorMatrix + 9, extra.colorMatrix);
        buf.put(kExtraAt, &extra, sizeof extra);
    }

    // Associated-image chain.
    for (size_t i = 0; i < assocData.size(); ++i) {
        VtMacrographInfo mi{};
        setMagic(mi.magic, "MI");
        mi.width = static_cast<uint32_t>(s.associated[i].image.width);
        mi.height = static_cast<uint32_t>(s.associated[i].image.height);
        mi.channels = s.associated[i].channels;
        mi.dataLength = assocData[i].size();
        mi.nextOffset = i + 1 < assocData.size() ? assocAt[i + 1] : thumbAt;
        buf.put(assocAt[i], &mi, sizeof mi);
        buf.put(assocAt[i] + sizeof mi, assocData[i].data(), assocData[i].size());
    }

    // Thumbnail record.
    VtPicInfo thumb{};
    setMagic(thumb.magic, "IF");
    thumb.dataLength = thumbData.size();
    thumb.nextOffset = layerAt.empty() ? 0 : layerAt[0];
    thumb.imageFormat = s.thumbFormat;
    buf.put(thumbAt, &thumb, sizeof thumb);
    buf.put(thumbAt + sizeof thumb, thumbData.data(), thumbData.size());

    // Layers: record, tile-size table, tiles.
    for (size_t i = 0; i < s.layers.size(); ++i) {
        const Layer &l = s.layers[i];
        const uint32_t entries = l.tileCount ? *l.tileCount : static_cast<uint32_t>(l.tiles.size());
        VtPicInfo rec{};
        setMagic(rec.magic, "IF");
        rec.tileCount = entries;
        rec.xCount = l.xCount;
        rec.yCount = l.yCount;
        rec.nextOffset = i + 1 < layerAt.size() ? layerAt[i + 1] : 0;
        rec.boundWidth = l.boundWidth;
        rec.boundHeight = l.boundHeight;
        buf.put(layerAt[i], &rec, sizeof rec);
        std::vector<int32_t> sizes(entries, 0);
        uint64_t at = dataAt[i];
        for (size_t j = 0; j < l.tiles.size() && j < entries; ++j) {
            const Tile &t = l.tiles[j];
            sizes[j] = t.storedSize ? *t.storedSize : static_cast<int32_t>(t.bytes.size());
            buf.put(at, t.bytes.data(), t.bytes.size());
            at += t.bytes.size();
        }
        buf.put(tableAt[i], sizes.data(), sizes.size() * 4);
        // A layer with no table and no tiles still ends after its record.
        buf.put(dataEnd[i], nullptr, 0);
    }

    // Damage.
    const uint64_t pastEnd = buf.bytes.size() + 4096;
    const int dl = s.damageLayer;
    auto layerIndexOk = [&](int i) { return i >= 0 && static_cast<size_t>(i) < layerAt.size(); };
    switch (s.damage) {
    case Damage::None: break;
    case Damage::HeadMagic: breakMagic(buf, 0); break;
    case Damage::PersonMagic:
        if (s.hasPersonInfo)
            breakMagic(buf, kPersonAt);
        break;
    case Damage::ExtraMagic:
        if (s.hasPersonInfo)
            breakMagic(buf, kExtraAt);
        break;
    case Damage::LabelMagic:
        if (!assocAt.empty())
            breakMagic(buf, assocAt[0]);
        break;
    case Damage::MacroMagic:
        if (assocAt.size() > 1)
            breakMagic(buf, assocAt[1]);
        break;
    case Damage::ThumbMagic: breakMagic(buf, thumbAt); break;
    case Damage::LayerMagic:
        if (layerIndexOk(dl))
            breakMagic(buf, layerAt[dl]);
        break;
    case Damage::ChainPastEnd:
        if (dl == 0)
            buf.putField(thumbAt, offsetof(VtPicInfo, nextOffset), pastEnd);
        else if (layerIndexOk(dl - 1))
            buf.putField(layerAt[dl - 1], offsetof(VtPicInfo, nextOffset), pastEnd);
        break;
    case Damage::MacroChainPastEnd:
        if (!assocAt.empty())
            buf.putField(assocAt[0], offsetof(VtMacrographInfo, nextOffset), pastEnd);
        break;
    case Damage::TruncateTileTable:
        if (!layerAt.empty()) {
            const uint64_t table = tableAt.back(), entries = (dataAt.back() - table) / 4;
            buf.bytes.resize(table + 2 * entries);  // halfway through the table
        }
        break;
    case Damage::TruncateTileData:
        if (!layerAt.empty())
            buf.bytes.resize(dataAt.back() + (dataEnd.back() - dataAt.back()) / 2);
        break;
    }
    return std::move(buf.bytes);
}

std::string writeFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("writeFile: cannot create " + path);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("writeFile: cannot write " + path);
    return path;
}

std::string writeSlide(const std::string &path, const Slide &slide)
{
    return writeFile(path, serialise(slide));
}

}  // namespace slidewriter
