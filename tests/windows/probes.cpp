#include "probes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pyradec/pyradec.h"

namespace probes {
namespace {

std::string hashOf(const unsigned char *data, size_t length)
{
    if (!data)
        return "null";
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        h ^= data[i];
        h *= 1099511628211ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

template <typename... Args>
std::string format(const char *fmt, Args... args)
{
    char text[512];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

// Deterministic pixels for the codec and colour calls.
std::vector<unsigned char> pattern(int width, int height, int channels)
{
    std::vector<unsigned char> px(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                px[(static_cast<size_t>(y) * width + x) * channels + c] =
                    static_cast<unsigned char>((x * (c + 1) * 7 + y * 3 + ((x ^ y) & 0x1f) * c) & 0xff);
    return px;
}

class Recorder {
public:
    explicit Recorder(std::vector<std::string> &lines) : lines_(lines) {}
    void scope(const std::string &name) { scope_ = name; }
    void add(const std::string &call, const std::string &result)
    {
        lines_.push_back(scope_ + " | " + call + " -> " + result);
    }

private:
    std::vector<std::string> &lines_;
    std::string scope_;
};

// A buffer from the library, released with Dispose.
std::string takeBuffer(unsigned char *buffer, size_t length)
{
    std::string h = hashOf(buffer, length);
    Dispose(buffer);
    return h;
}

void probeAssociated(Recorder &rec, VtPyraInfo *pyra)
{
    using JpegFn = unsigned char *(*)(VtPyraInfo *, int *, int *, int *);
    using AbgrFn = unsigned char *(*)(VtPyraInfo *, int *, int *);
    struct Kind {
        const char *name;
        JpegFn jpeg;
        AbgrFn abgr;
    };
    const Kind kinds[] = {{"Thumbnail", GetThumbnailJpeg, GetThumbnailAbgr},
                          {"Label", GetLabelJpeg, GetLabelAbgr},
                          {"Macrograph", GetMacrographJpeg, GetMacrographAbgr}};
    for (const Kind &k : kinds) {
        int w = -1, h = -1, len = -1;
        unsigned char *jpeg = k.jpeg(pyra, &w, &h, &len);
        rec.add(format("Get%sJpeg", k.name),
                format("w=%d h=%d len=%d ", w, h, len) + takeBuffer(jpeg, jpeg ? len : 0));
        w = h = -1;
        unsigned char *abgr = k.abgr(pyra, &w, &h);
        rec.add(format("Get%sAbgr", k.name),
                format("w=%d h=%d ", w, h) + takeBuffer(abgr, abgr ? static_cast<size_t>(w) * h * 4 : 0));
    }
}

void probeTiles(Recorder &rec, VtPyraInfo *pyra, int layer, int xCount, int yCount, int tw, int th)
{
    for (int row = -1; row <= yCount; ++row) {
        for (int col = -1; col <= xCount; ++col) {
            // Outside the grid only along the edges, not every corner twice.
            const bool inside = row >= 0 && row < yCount && col >= 0 && col < xCount;
            if (!inside && !(row == -1 && col == 0) && !(col == -1 && row == 0) &&
                !(row == yCount && col == 0) && !(col == xCount && row == 0))
                continue;
            const std::string at = format("%d,%d,%d", layer, col, row);

            unsigned char *data = nullptr;
            int len = -1;
            int status = VtGetJpegSliceOfSpecifyLayer(pyra, &data, &len, layer, col, row);
            rec.add("VtGetJpegSliceOfSpecifyLayer " + at,
                    format("%d len=%d ", status, status == 0 ? len : 0) +
                        takeBuffer(status == 0 ? data : nullptr, status == 0 ? len : 0));

            data = nullptr;
            len = -1;
            status = VtGetHevcSliceOfSpecifyLayer(pyra, &data, &len, layer, col, row);
            std::string result = format("%d len=%d ", status, status == 0 ? len : 0) +
                                 hashOf(status == 0 ? data : nullptr, status == 0 ? len : 0);
            if (status == 0 && data && len > 0 && pyra->picHead->compressionType == 4) {
                std::vector<unsigned char> out(static_cast<size_t>(tw) * th * 3, 0);
                int decoded = DecodeHevc(data, tw, th, len, out.data(), 3);
                result += format(" DecodeHevc=%d ", decoded) + hashOf(out.data(), out.size());
            }
            Dispose(status == 0 ? data : nullptr);
            rec.add("VtGetHevcSliceOfSpecifyLayer " + at, result);

            int w = -1, h = -1;
            len = -1;
            unsigned char *jpeg = GetSliceJpeg(pyra, layer, col, row, &w, &h, &len);
            rec.add("GetSliceJpeg " + at,
                    format("w=%d h=%d len=%d ", jpeg ? w : 0, jpeg ? h : 0, jpeg ? len : 0) +
                        takeBuffer(jpeg, jpeg ? len : 0));
            w = h = -1;
            unsigned char *bgr = GetSliceBgr(pyra, layer, col, row, &w, &h);
            rec.add("GetSliceBgr " + at, format("w=%d h=%d ", bgr ? w : 0, bgr ? h : 0) +
                                             takeBuffer(bgr, bgr ? static_cast<size_t>(w) * h * 3 : 0));
        }
    }
}

void probeRegions(Recorder &rec, VtPyraInfo *pyra, int layer, int xCount, int yCount, int tw, int th)
{
    const int lw = xCount * tw, lh = yCount * th;
    struct Rect {
        int x, y, w, h;
    };
    const Rect rects[] = {
        {0, 0, tw, th},            // one tile
        {tw / 2, th / 3, tw, th},  // across tile corners
        {0, 0, lw, lh},            // the whole layer
        {lw - 5, lh - 7, 5, 7},    // bottom-right corner
        {3, 1, 1, 1},              // one pixel
        {0, 0, 0, 4},              // empty
        {lw - 4, 0, 8, 8},         // past the right edge
        {0, lh, 4, 4},             // below the layer
        {-1, 0, 4, 4},             // negative position
        {0, 0, lw + 1, 1},         // wider than the layer
    };
    for (const Rect &r : rects) {
        const std::string at = format("%d,%d,%d,%d,%d", layer, r.x, r.y, r.w, r.h);
        unsigned char *px = nullptr;
        int status = VtGetRoiRgbOfSpecifyLayer(pyra, &px, r.w, r.h, static_cast<unsigned>(r.x),
                                               static_cast<unsigned>(r.y), layer);
        rec.add("VtGetRoiRgbOfSpecifyLayer " + at,
                format("%d ", status) + takeBuffer(status == 0 ? px : nullptr,
                                                   status == 0 ? static_cast<size_t>(r.w) * r.h * 3 : 0));
        unsigned char *bgr = GetRoiSliceBgr(pyra, layer, r.x, r.y, r.w, r.h);
        rec.add("GetRoiSliceBgr " + at, takeBuffer(bgr, bgr ? static_cast<size_t>(r.w) * r.h * 3 : 0));
        int len = -1;
        unsigned char *jpeg = GetRoiSliceJpeg(pyra, layer, r.x, r.y, r.w, r.h, &len);
        rec.add("GetRoiSliceJpeg " + at,
                format("len=%d ", jpeg ? len : 0) + takeBuffer(jpeg, jpeg ? len : 0));
    }

    struct Grid {
        int x, y, quality, colorSpace;
    };
    const Grid grids[] = {
        {1, 1, 75, 8}, {2, 1, 90, 2}, {xCount, yCount, 60, 8}, {xCount + 1, 1, 75, 8}, {1, 0, 75, 8}};
    for (const Grid &g : grids) {
        const int count = g.x > 0 && g.y > 0 ? g.x * g.y : 0;
        std::vector<VtImageInfo> blocks(static_cast<size_t>(count > 0 ? count : 1));
        for (VtImageInfo &b : blocks)
            b = VtImageInfo{};
        int status = VtGetBlockJpegFromPyra(pyra, blocks.data(), g.quality, g.x, g.y, layer, g.colorSpace);
        std::string result = format("%d", status);
        for (int i = 0; i < count; ++i) {
            VtImageInfo &b = blocks[static_cast<size_t>(i)];
            result += format(" [%d %d %d %d ", b.width, b.height, b.channels, b.encodedLength) +
                      hashOf(b.encoded, b.encoded ? static_cast<size_t>(b.encodedLength) : 0) + "]";
            Dispose(b.encoded);
        }
        rec.add(format("VtGetBlockJpegFromPyra %d,%d,%d,%d,%d", layer, g.x, g.y, g.quality, g.colorSpace),
                result);
    }
}

void probeSlide(Recorder &rec, const std::string &path)
{
    VtPyraInfo *pyra = VtOpenPyra(path.c_str());
    rec.add("VtOpenPyra", pyra ? "handle" : "null");
    if (!pyra)
        return;
    char *text = GetDescription(pyra);
    rec.add("GetDescription", text ? text : "null");
    Dispose(text);
    const int layers = static_cast<int>(pyra->picHead->layerCount);
    for (int l = -1; l <= layers; ++l) {
        text = GetLayerInfo(pyra, l);
        rec.add(format("GetLayerInfo %d", l), text ? text : "null");
        Dispose(text);
    }
    probeAssociated(rec, pyra);

    const int tw = static_cast<int>(pyra->picHead->tileWidth);
    const int th = static_cast<int>(pyra->picHead->tileHeight);
    for (int l = -1; l <= layers; ++l) {
        const bool valid = l >= 0 && l < layers;
        const int xCount = valid ? pyra->picInfos[l]->xCount : 1;
        const int yCount = valid ? pyra->picInfos[l]->yCount : 1;
        int w = -1, h = -1;
        unsigned char *px = nullptr;
        int status = VtSpecifyLayerJpeg2Rgb(pyra, &px, &w, &h, l);
        rec.add(format("VtSpecifyLayerJpeg2Rgb %d", l),
                format("%d w=%d h=%d ", status, status == 0 ? w : 0, status == 0 ? h : 0) +
                    takeBuffer(status == 0 ? px : nullptr, status == 0 ? static_cast<size_t>(w) * h * 3 : 0));
        if (!valid) {
            unsigned char *data = nullptr;
            int len = 0;
            rec.add(format("VtGetJpegSliceOfSpecifyLayer %d,0,0", l),
                    format("%d", VtGetJpegSliceOfSpecifyLayer(pyra, &data, &len, l, 0, 0)));
            continue;
        }
        probeTiles(rec, pyra, l, xCount, yCount, tw, th);
        probeRegions(rec, pyra, l, xCount, yCount, tw, th);
    }

    // The slide's colour table is current until the close.
    std::vector<unsigned char> px = pattern(37, 11, 3);
    unsigned char *corrected = RgbColorCorrect(px.data(), 37, 11, 3);
    rec.add("RgbColorCorrect open", takeBuffer(corrected, corrected ? px.size() : 0));
    VtClosePyra(pyra);
    corrected = RgbColorCorrect(px.data(), 37, 11, 3);
    rec.add("RgbColorCorrect closed", takeBuffer(corrected, corrected ? px.size() : 0));
}

void probeCodecs(Recorder &rec, const std::string &dir)
{
    rec.scope("codecs");
    struct Encode {
        int width, height, quality, colorSpace, channels;
    };
    const Encode encodes[] = {{64, 48, 75, 8, 3}, {33, 17, 95, 2, 3}, {16, 16, 50, 1, 1}, {8, 8, 75, 99, 3}};
    // Decoded through the table of a slide with colour parameters, then without one.
    VtPyraInfo *pyra = VtOpenPyra((dir + "/" + slideNames().front()).c_str());
    for (int withTable = 1; withTable >= 0; --withTable) {
        if (!withTable) {
            VtClosePyra(pyra);
            pyra = nullptr;
        }
        for (const Encode &e : encodes) {
            std::vector<unsigned char> px = pattern(e.width, e.height, e.channels);
            unsigned char *jpeg = nullptr;
            int len = VtEncodeJpeg(px.data(), &jpeg, e.quality, e.width, e.height, e.colorSpace);
            const std::string at = format("%d,%d,%d,%d", e.width, e.height, e.quality, e.colorSpace);
            rec.add(format("VtEncodeJpeg %s table=%d", at.c_str(), withTable),
                    format("%d ", len) + hashOf(len > 0 ? jpeg : nullptr, len > 0 ? len : 0));
            if (len > 0) {
                unsigned char *decoded = nullptr;
                int64_t count = VtDecodeJpeg(jpeg, static_cast<unsigned long>(len), &decoded, 8);
                rec.add(format("VtDecodeJpeg %s table=%d", at.c_str(), withTable),
                        format("%lld ", static_cast<long long>(count)) +
                            takeBuffer(decoded, decoded && count > 0 ? static_cast<size_t>(count) : 0));
            }
            Dispose(jpeg);
        }
    }
    // Not a JPEG.
    const unsigned char junk[] = {0xff, 0xd8, 0xff, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char *decoded = nullptr;
    int64_t count = VtDecodeJpeg(junk, sizeof junk, &decoded, 8);
    rec.add("VtDecodeJpeg junk", format("%lld ", static_cast<long long>(count)) + takeBuffer(decoded, 0));

    unsigned char out[16 * 16 * 3] = {};
    rec.add("DecodeHevc junk", format("%d", DecodeHevc(junk, 16, 16, sizeof junk, out, 3)));
    rec.add("InitColorCollectTable null", format("%d", InitColorCollectTable(nullptr)));
    DisposeColorCorrectTable(nullptr);
    Dispose(nullptr);
    rec.add("VtOpenPyra missing", VtOpenPyra((dir + "/missing.pyra").c_str()) ? "handle" : "null");
    rec.add("GetDescription null", GetDescription(nullptr) ? "text" : "null");
    unsigned char *data = nullptr;
    int len = 0;
    rec.add("VtGetJpegSliceOfSpecifyLayer null",
            format("%d", VtGetJpegSliceOfSpecifyLayer(nullptr, &data, &len, 0, 0, 0)));

    for (const std::string &name : bmpNames()) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        BmpInfo info{};
        unsigned char *px = GetRgb24FromBmp(bytes.empty() ? nullptr : bytes.data(), &info);
        const size_t size = px ? static_cast<size_t>(info.width) * std::abs(info.height) * 3 : 0;
        rec.add("GetRgb24FromBmp " + name,
                format("w=%d h=%d bits=%d ", info.width, info.height, info.bitCount) + takeBuffer(px, size));
    }
}

}  // namespace

const std::vector<std::string> &slideNames()
{
    static const std::vector<std::string> names = {
        "jpeg.pyra",          "hevc.pyra",           "plain.pyra",           "bmp-thumb.pyra",
        "damaged-tiles.pyra", "no-person.pyra",      "no-associated.pyra",   "head-magic.pyra",
        "layer-magic.pyra",   "truncated-data.pyra", "truncated-table.pyra",
    };
    return names;
}

const std::vector<std::string> &bmpNames()
{
    static const std::vector<std::string> names = {"pattern24.bmp", "pattern32.bmp"};
    return names;
}

std::vector<std::string> run(const std::string &dir)
{
    std::vector<std::string> lines;
    Recorder rec(lines);
    for (const std::string &name : slideNames()) {
        rec.scope(name);
        probeSlide(rec, dir + "/" + name);
    }
    probeCodecs(rec, dir);
    return lines;
}

}  // namespace probes
