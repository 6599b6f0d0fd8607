// Tile fetch, region assembly, block grids and whole-layer decode, on JPEG and
// HEVC slides, including damaged tile indexes and files that change after open.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodePyra/JpegCodec.h"
#include "DecodePyra/TilePipeline.h"
#include "Fixture.h"
#include "Owners.h"
#include "SlideTest.h"

using namespace fixture;

namespace {

using Buffer = fixture::Owned<>;
constexpr int kTile = 64;

// The layer as the library must assemble it: every stored JPEG tile decoded and
// coloured through the slide's table, absent tiles white.
Image expectedLayer(const Slide &slide, int layer, const ColorCorrectTable *table)
{
    const Layer &l = slide.layers[layer];
    Image out = makeFlat(l.xCount * kTile, l.yCount * kTile, 255);
    for (int row = 0; row < l.yCount; ++row)
        for (int col = 0; col < l.xCount; ++col) {
            const Tile &t = l.tiles[row * l.xCount + col];
            if (t.bytes.empty() || (t.storedSize && *t.storedSize <= 0))
                continue;
            Image tile = throughTable(decodeJpegPlain(t.bytes), table);
            for (int y = 0; y < kTile; ++y)
                std::memcpy(&out.bgr[((row * kTile + y) * out.width + col * kTile) * 3],
                            &tile.bgr[y * kTile * 3], kTile * 3);
        }
    return out;
}

Bytes bytesOf(const unsigned char *p, size_t n) { return Bytes(p, p + n); }

class Tiles : public SlideTest {
protected:
    // A JPEG slide of 3 x 2 tiles of 64 pixels with realistic colours; tile (1, 0) absent.
    Slide jpegSlide()
    {
        Slide slide = makeSlide(3, 2, 2, 0, kTile, kTile);
        slide.colour = scannerColour();
        slide.layers[0].tiles[1].bytes.clear();
        return slide;
    }
};

// ---- tile fetch ----

TEST_F(Tiles, FetchValidatesInOrder)
{
    Slide slide = jpegSlide();
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    struct Case {
        int layer, col, row, status;
    } cases[] = {
        {-1, 0, 0, VT_ERR_LAYER},    {2, 0, 0, VT_ERR_LAYER},    {2, 9, 9, VT_ERR_LAYER},
        {0, 3, 0, VT_ERR_TILE_POS},  {0, 0, 2, VT_ERR_TILE_POS}, {0, -1, 0, VT_ERR_TILE_POS},
        {0, 0, -1, VT_ERR_TILE_POS}, {1, 2, 0, VT_ERR_TILE_POS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.layer << "," << c.col << "," << c.row);
        unsigned char *out = reinterpret_cast<unsigned char *>(1);
        int length = -5;
        EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(pyra.get(), &out, &length, c.layer, c.col, c.row), c.status);
        EXPECT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &out, &length, c.layer, c.col, c.row), c.status);
        EXPECT_EQ(out, reinterpret_cast<unsigned char *>(1));
        EXPECT_EQ(length, -5);
        int w = -5, h = -5;
        EXPECT_EQ(GetSliceJpeg(pyra.get(), c.layer, c.col, c.row, &w, &h, &length), nullptr);
        EXPECT_EQ(GetSliceBgr(pyra.get(), c.layer, c.col, c.row, &w, &h), nullptr);
        EXPECT_EQ(w + h + length, -15);
    }
    // A handle without its tile index fails before anything else.
    VtPyraInfo hollow = *pyra;
    hollow.sliceInfos = nullptr;
    unsigned char *out = nullptr;
    int length = 0;
    EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(&hollow, &out, &length, 99, 99, 99), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtGetHevcSliceOfSpecifyLayer(nullptr, &out, &length, 0, 0, 0), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtGetRgbSliceOfSpecifyLayer(nullptr, &out, 0, 0, 0), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtGetRoiRgbOfSpecifyLayer(&hollow, &out, 1, 1, 0, 0, 0), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtSpecifyLayerJpeg2Rgb(&hollow, &out, &length, &length, 0), VT_ERR_NULL_ARG);
}

TEST_F(Tiles, JpegSlideTilesComeAsStoredAndAsCorrectedPixels)
{
    Slide slide = jpegSlide();
    const std::string path = write(slide);
    Handle pyra(VtOpenPyra(path.c_str()));
    ASSERT_TRUE(pyra);
    const Image layer = expectedLayer(slide, 0, pyra->colorTable);
    for (int index : {0, 2, 3, 5}) {
        SCOPED_TRACE(index);
        const int col = index % 3, row = index / 3;
        const Bytes &stored = slide.layers[0].tiles[index].bytes;
        int w = 0, h = 0, length = 0;
        Buffer jpeg(GetSliceJpeg(pyra.get(), 0, col, row, &w, &h, &length));
        ASSERT_TRUE(jpeg);
        EXPECT_EQ(bytesOf(jpeg.get(), length), stored);  // byte for byte, no colour correction
        EXPECT_EQ(w, kTile);
        EXPECT_EQ(h, kTile);
        Buffer raw;
        unsigned char *data = nullptr;
        ASSERT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &data, &length, 0, col, row), VT_OK);
        raw.reset(data);
        EXPECT_EQ(bytesOf(data, length), stored);
        Buffer bgr(GetSliceBgr(pyra.get(), 0, col, row, &w, &h));
        ASSERT_TRUE(bgr);
        EXPECT_EQ(bytesOf(bgr.get(), kTile * kTile * 3),
                  crop(layer, col * kTile, row * kTile, kTile, kTile).bgr);
    }

    // The absent tile: a white JPEG from the fetch, stored-bytes fetch empty, even without the file.
    std::filesystem::remove(path);
    int w = 0, h = 0, length = 0;
    Buffer white(GetSliceJpeg(pyra.get(), 0, 1, 0, &w, &h, &length));
    ASSERT_TRUE(white);
    Image decoded = decodeJpegPlain(bytesOf(white.get(), length));
    EXPECT_EQ(decoded.width, kTile);
    EXPECT_EQ(decoded.height, kTile);
    for (uint8_t v : decoded.bgr)
        ASSERT_GE(v, 250);
    unsigned char *data = reinterpret_cast<unsigned char *>(1);
    length = -1;
    EXPECT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &data, &length, 0, 1, 0), VT_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    // Present tiles now fail to read.
    EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(pyra.get(), &data, &length, 0, 0, 0), VT_ERR_READ);
}

// ---- regions ----

TEST_F(Tiles, RegionsClipTilesAndAreWhiteBeyondTheLayer)
{
    Slide slide = jpegSlide();
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    const Image layer = expectedLayer(slide, 0, pyra->colorTable);  // 192 x 128
    struct Case {
        const char *name;
        int x, y, w, h;
    } cases[] = {
        {"inside one tile", 70, 10, 20, 30},
        {"one aligned tile", 128, 64, 64, 64},
        {"across four tiles", 50, 40, 60, 50},
        {"over the absent tile", 60, 0, 80, 20},
        {"the whole layer", 0, 0, 192, 128},
        {"past the right edge", 191, 5, 2, 3},
        {"past the right and bottom edges", 150, 100, 100, 100},
        {"one pixel", 191, 127, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Buffer bgr(GetRoiSliceBgr(pyra.get(), 0, c.x, c.y, c.w, c.h));
        ASSERT_TRUE(bgr);
        EXPECT_EQ(bytesOf(bgr.get(), size_t(c.w) * c.h * 3), crop(layer, c.x, c.y, c.w, c.h, 255).bgr);
        int length = 0;
        Buffer jpeg(GetRoiSliceJpeg(pyra.get(), 0, c.x, c.y, c.w, c.h, &length));
        ASSERT_TRUE(jpeg);
        Image decoded = decodeJpegPlain(bytesOf(jpeg.get(), length));
        EXPECT_EQ(decoded.width, c.w);
        EXPECT_EQ(decoded.height, c.h);
    }
    // The absent tile's area is exactly 255, not decoded white.
    Buffer absent(GetRoiSliceBgr(pyra.get(), 0, 64, 0, 64, 64));
    ASSERT_TRUE(absent);
    for (size_t i = 0; i < 64 * 64 * 3; ++i)
        ASSERT_EQ(absent.get()[i], 255);
}

TEST_F(Tiles, RegionsStartingOutsideOrLargerThanTheLayerAreRefused)
{
    Handle pyra = open(jpegSlide());
    ASSERT_TRUE(pyra);
    struct Case {
        int w, h;
        unsigned x, y;
        int layer;
        int status;
    } cases[] = {
        {192, 128, 0, 0, 0, VT_OK},
        {193, 1, 0, 0, 0, VT_ERR_REGION},
        {1, 129, 0, 0, 0, VT_ERR_REGION},
        {1, 1, 192, 0, 0, VT_ERR_REGION},
        {1, 1, 0, 128, 0, VT_ERR_REGION},
        {0, 1, 0, 0, 0, VT_ERR_REGION},
        {1, -1, 0, 0, 0, VT_ERR_REGION},
        {2, 1, 191, 0, 0, VT_OK},
        {1, 1, 0xFFFFFFFFu, 0, 0, VT_ERR_REGION},
        {1, 1, 0, 0, 2, VT_ERR_LAYER},
        {1, 1, 0, 0, -1, VT_ERR_LAYER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "@" << c.x << "," << c.y);
        unsigned char *out = reinterpret_cast<unsigned char *>(1);
        EXPECT_EQ(VtGetRoiRgbOfSpecifyLayer(pyra.get(), &out, c.w, c.h, c.x, c.y, c.layer), c.status);
        if (c.status == VT_OK) {
            Dispose(out);
        } else {
            EXPECT_EQ(out, reinterpret_cast<unsigned char *>(1));
        }
    }
    int length = 0;
    EXPECT_EQ(GetRoiSliceBgr(pyra.get(), 0, -1, 0, 4, 4), nullptr);
    EXPECT_EQ(GetRoiSliceBgr(pyra.get(), 0, 0, 0, 0, 4), nullptr);
    EXPECT_EQ(GetRoiSliceJpeg(pyra.get(), 0, 0, 0, 0, 4, &length), nullptr);
    EXPECT_EQ(GetRoiSliceJpeg(nullptr, 0, 0, 0, 4, 4, &length), nullptr);
}

// ---- damaged tile indexes and tiles ----

TEST_F(Tiles, DamagedTilesFailCleanlyEverywhere)
{
    // The last tile of the grid (2, 1) is damaged; its neighbours are fine.
    struct Case {
        const char *name;
        void (*damage)(Slide &);
        int fetch;           // JPEG fetch of the damaged tile
        int pixels;          // pixel fetch of it
        int region;          // regions, blocks and the layer that touch it
        int finishedBlocks;  // of a 2 x 2 grid, before the block that fails
    } cases[] = {
        {"size past the end of the file", [](Slide &s) { s.layers[0].tiles[5].storedSize = 1 << 30; },
         VT_ERR_READ, VT_ERR_READ, VT_ERR_READ, 3},
        {"bytes that are not a JPEG", [](Slide &s) { s.layers[0].tiles[5].bytes = Bytes(100, 0x5A); }, VT_OK,
         VT_ERR_DECODE, VT_ERR_DECODE, 3},
        {"a JPEG of another size",
         [](Slide &s) { s.layers[0].tiles[5].bytes = encodeJpeg(makePattern(32, 64, 3)); }, VT_OK,
         VT_ERR_DECODE, VT_ERR_DECODE, 3},
        {"compression neither JPEG nor HEVC", [](Slide &s) { s.compressionType = 1; }, VT_OK, VT_ERR_DECODE,
         VT_ERR_DECODE, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = makeSlide(3, 2, 1, 0, kTile, kTile);
        c.damage(slide);
        Handle pyra = open(slide);
        ASSERT_TRUE(pyra);
        unsigned char *out = nullptr;
        int length = 0;
        EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(pyra.get(), &out, &length, 0, 2, 1), c.fetch);
        Dispose(out);
        out = reinterpret_cast<unsigned char *>(1);
        EXPECT_EQ(VtGetRgbSliceOfSpecifyLayer(pyra.get(), &out, 0, 2, 1), c.pixels);
        if (c.pixels == VT_ERR_DECODE) {
            EXPECT_EQ(out, nullptr);
        } else {
            EXPECT_EQ(out, reinterpret_cast<unsigned char *>(1));  // the fetch failed first
        }
        out = reinterpret_cast<unsigned char *>(1);
        EXPECT_EQ(VtGetRoiRgbOfSpecifyLayer(pyra.get(), &out, 40, 40, 140, 70, 0), c.region);
        EXPECT_EQ(out, nullptr);  // no partial region
        out = reinterpret_cast<unsigned char *>(1);
        int w = -5, h = -6;
        EXPECT_EQ(VtSpecifyLayerJpeg2Rgb(pyra.get(), &out, &w, &h, 0), c.region);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(w, -5);  // sizes are written only on success
        EXPECT_EQ(h, -6);
        // The blocks finished before the failing one stay in the caller's records.
        VtImageInfo blocks[4] = {};
        EXPECT_EQ(VtGetBlockJpegFromPyra(pyra.get(), blocks, 75, 2, 2, 0, JCS_EXT_BGR), c.region);
        for (int i = 0; i < 4; ++i) {
            VtImageInfo b;
            std::memcpy(&b, &blocks[i], sizeof b);
            EXPECT_EQ(b.encoded != nullptr, i < c.finishedBlocks) << "block " << i;
            EXPECT_EQ(b.encodedLength > 0, i < c.finishedBlocks) << "block " << i;
            Dispose(b.encoded);
        }
        // Tiles that are fine still serve.
        Buffer fine(GetRoiSliceBgr(pyra.get(), 0, 0, 0, kTile, kTile));
        EXPECT_EQ(fine != nullptr, slide.compressionType == 0);
    }
}

TEST_F(Tiles, NegativeSizesAndShortIndexesAreAbsentTiles)
{
    Slide slide = makeSlide(3, 2, 1, 0, kTile, kTile);
    slide.layers[0].tiles[4].storedSize = -500;  // damaged entry: no bytes, no read
    slide.layers[0].tileCount = 5;               // grid position 5 has no entry
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    Buffer region(GetRoiSliceBgr(pyra.get(), 0, kTile, kTile, 2 * kTile, kTile));
    ASSERT_TRUE(region);
    for (size_t i = 0; i < size_t(2) * kTile * kTile * 3; ++i)
        ASSERT_EQ(region.get()[i], 255);
    unsigned char *out = nullptr;
    int length = 0;
    EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(pyra.get(), &out, &length, 0, 2, 1), VT_ERR_TILE_POS);
    EXPECT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &out, &length, 0, 1, 1), VT_OK);
    EXPECT_EQ(out, nullptr);
    int w = 0, h = 0;
    ASSERT_EQ(VtSpecifyLayerJpeg2Rgb(pyra.get(), &out, &w, &h, 0), VT_OK);
    Buffer layer(out);
    EXPECT_EQ(layer.get()[(size_t(kTile) * w + kTile) * 3], 255);
}

TEST_F(Tiles, AGoodRequestWorksAgainAfterTheFileComesBack)
{
    Slide slide = jpegSlide();
    const std::string path = write(slide);
    Handle pyra(VtOpenPyra(path.c_str()));
    ASSERT_TRUE(pyra);
    const std::string aside = path + ".aside";
    std::filesystem::rename(path, aside);
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(VtGetRoiRgbOfSpecifyLayer(pyra.get(), &out, 100, 100, 0, 0, 0), VT_ERR_READ);
    EXPECT_EQ(out, nullptr);
    std::filesystem::rename(aside, path);
    Buffer back(GetRoiSliceBgr(pyra.get(), 0, 0, 0, 100, 100));
    EXPECT_TRUE(back);
}

// ---- blocks ----

TEST_F(Tiles, BlocksCoverTheImageAreaWithoutMargins)
{
    // 4 tile columns of 256 with a right margin of 24: image width 1000.
    Slide slide = makeSlide(1, 1, 1, 0, 256, 64);
    slide.layers = {makeLayer(slide, makePattern(1000, 60, 8), 24, 4)};
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    VtImageInfo blocks[6] = {};
    ASSERT_EQ(VtGetBlockJpegFromPyra(pyra.get(), blocks, 90, 3, 1, 0, JCS_EXT_BGR), VT_OK);
    const int lefts[3] = {0, 333, 666}, widths[3] = {333, 333, 334};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(+blocks[i].width, widths[i]);
        EXPECT_EQ(+blocks[i].height, 60);
        EXPECT_EQ(+blocks[i].channels, 3);
        ASSERT_GT(+blocks[i].encodedLength, 0);
        Image decoded = decodeJpegPlain(bytesOf(blocks[i].encoded, blocks[i].encodedLength));
        EXPECT_EQ(decoded.width, widths[i]);
        Buffer region(GetRoiSliceBgr(pyra.get(), 0, lefts[i], 0, widths[i], 60));
        ASSERT_TRUE(region);
        double error = 0;
        for (size_t k = 0; k < decoded.bgr.size(); ++k)
            error += std::abs(int(decoded.bgr[k]) - int(region.get()[k]));
        EXPECT_LT(error / decoded.bgr.size(), 3.0);
        Dispose(blocks[i].encoded);
    }
    // Four block columns of a 4-column layer: 250 each, nothing right of column 999.
    VtImageInfo four[4] = {};
    ASSERT_EQ(VtGetBlockJpegFromPyra(pyra.get(), four, 75, 4, 1, 0, JCS_EXT_RGB), VT_OK);
    for (VtImageInfo &b : four) {
        EXPECT_EQ(+b.width, 250);
        Dispose(b.encoded);
    }
}

TEST_F(Tiles, BlockGridsOutOfRangeAreRefusedWithTheirStatus)
{
    Handle pyra = open(jpegSlide());  // 3 x 2 tiles
    ASSERT_TRUE(pyra);
    struct Case {
        int x, y, layer, colorSpace, status;
    } cases[] = {
        {3, 2, 0, JCS_EXT_BGR, VT_OK},
        {4, 1, 0, JCS_EXT_BGR, VT_ERR_BLOCKS},
        {1, 3, 0, JCS_EXT_BGR, VT_ERR_BLOCKS},
        {0, 1, 0, JCS_EXT_BGR, VT_ERR_BLOCKS},
        {1, -1, 0, JCS_EXT_BGR, VT_ERR_BLOCKS},
        {1, 1, 2, JCS_EXT_BGR, VT_ERR_LAYER},
        // Colour spaces whose pixels are not 3 bytes make no image: status 0 and -1
        // in each record's encodedLength, as the encoder answers them.
        {1, 1, 0, JCS_EXT_BGRA, VT_OK},
        {3, 2, 0, JCS_EXT_RGBX, VT_OK},
        {2, 2, 0, JCS_EXT_ARGB, VT_OK},
        {2, 1, 0, JCS_GRAYSCALE, VT_OK},
        {1, 1, 0, 99, VT_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "x" << c.y << " cs " << c.colorSpace);
        VtImageInfo blocks[6] = {};
        EXPECT_EQ(VtGetBlockJpegFromPyra(pyra.get(), blocks, 75, c.x, c.y, c.layer, c.colorSpace), c.status);
        const bool encodable = GetColorChannel(static_cast<J_COLOR_SPACE>(c.colorSpace)) == 3;
        for (int i = 0; i < 6; ++i) {
            VtImageInfo b;
            std::memcpy(&b, &blocks[i], sizeof b);
            const bool filled = c.status == VT_OK && i < c.x * c.y;
            if (!filled || !encodable) {
                EXPECT_EQ(+b.encoded, nullptr) << i;
            }
            if (filled && !encodable) {
                EXPECT_EQ(+b.encodedLength, -1) << i;
                EXPECT_EQ(+b.channels, 3) << i;
                EXPECT_GT(+b.width, 0) << i;
            }
            Dispose(b.encoded);
        }
    }
    EXPECT_EQ(VtGetBlockJpegFromPyra(pyra.get(), nullptr, 75, 1, 1, 0, JCS_EXT_BGR), VT_ERR_NULL_ARG);
}

// ---- whole layer ----

// Every output pointer of every function that has them, null in turn (the others
// valid): -14 or null before any work, instead of a crash after it.
TEST_F(Tiles, NullOutputPointersAreRefusedBeforeAnyWork)
{
    Handle pyra = open(jpegSlide());
    ASSERT_TRUE(pyra);
    VtPyraInfo *p = pyra.get();
    const Bytes jpeg = encodeJpeg(makePattern(16, 16, 1));
    const Bytes pixels(16 * 16 * 3, 100);
    // Each call gets its outputs (null where asked) and says whether it refused
    // the way its kind of result does: -14 for status codes, null for pointers.
    using Call = std::function<bool(void **)>;
    struct Case {
        const char *name;
        int outputs;
        Call call;
    } cases[] = {
        {"VtGetJpegSliceOfSpecifyLayer", 2,
         [&](void **o) {
             return VtGetJpegSliceOfSpecifyLayer(p, (unsigned char **)o[0], (int *)o[1], 0, 0, 0) ==
                    VT_ERR_NULL_ARG;
         }},
        {"VtGetHevcSliceOfSpecifyLayer", 2,
         [&](void **o) {
             return VtGetHevcSliceOfSpecifyLayer(p, (unsigned char **)o[0], (int *)o[1], 0, 0, 0) ==
                    VT_ERR_NULL_ARG;
         }},
        {"VtSpecifyLayerJpeg2Rgb", 3,
         [&](void **o) {
             return VtSpecifyLayerJpeg2Rgb(p, (unsigned char **)o[0], (int *)o[1], (int *)o[2], 0) ==
                    VT_ERR_NULL_ARG;
         }},
        {"VtGetRoiRgbOfSpecifyLayer", 1,
         [&](void **o) {
             return VtGetRoiRgbOfSpecifyLayer(p, (unsigned char **)o[0], 300, 200, 0, 0, 0) ==
                    VT_ERR_NULL_ARG;
         }},
        {"VtEncodeJpeg", 1,
         [&](void **o) {
             return VtEncodeJpeg(pixels.data(), (unsigned char **)o[0], 75, 16, 16, JCS_EXT_BGR) ==
                    VT_ERR_NULL_ARG;
         }},
        {"VtDecodeJpeg", 1,
         [&](void **o) {
             return VtDecodeJpeg(jpeg.data(), jpeg.size(), (unsigned char **)o[0], JCS_EXT_BGR) == 0;
         }},
        {"GetSliceJpeg", 3,
         [&](void **o) { return !GetSliceJpeg(p, 0, 0, 0, (int *)o[0], (int *)o[1], (int *)o[2]); }},
        {"GetSliceBgr", 2, [&](void **o) { return !GetSliceBgr(p, 0, 0, 0, (int *)o[0], (int *)o[1]); }},
        {"GetRoiSliceJpeg", 1, [&](void **o) { return !GetRoiSliceJpeg(p, 0, 0, 0, 300, 200, (int *)o[0]); }},
        {"GetThumbnailJpeg", 3,
         [&](void **o) { return !GetThumbnailJpeg(p, (int *)o[0], (int *)o[1], (int *)o[2]); }},
        {"GetThumbnailAbgr", 2, [&](void **o) { return !GetThumbnailAbgr(p, (int *)o[0], (int *)o[1]); }},
        {"GetLabelJpeg", 3,
         [&](void **o) { return !GetLabelJpeg(p, (int *)o[0], (int *)o[1], (int *)o[2]); }},
        {"GetLabelAbgr", 2, [&](void **o) { return !GetLabelAbgr(p, (int *)o[0], (int *)o[1]); }},
        {"GetMacrographJpeg", 3,
         [&](void **o) { return !GetMacrographJpeg(p, (int *)o[0], (int *)o[1], (int *)o[2]); }},
        {"GetMacrographAbgr", 2, [&](void **o) { return !GetMacrographAbgr(p, (int *)o[0], (int *)o[1]); }},
    };
    for (const Case &c : cases) {
        for (int missing = 0; missing < c.outputs; ++missing) {
            SCOPED_TRACE(testing::Message() << c.name << ", output " << missing << " null");
            unsigned char *buffer = nullptr;
            int sizes[3] = {-7, -7, -7};
            void *outputs[3] = {&buffer, &sizes[0], &sizes[1]};
            // Functions returning a buffer have only size outputs.
            const bool returnsBuffer = std::string(c.name).rfind("Get", 0) == 0;
            if (returnsBuffer) {
                outputs[0] = &sizes[0];
                outputs[1] = &sizes[1];
                outputs[2] = &sizes[2];
            }
            outputs[missing] = nullptr;
            EXPECT_TRUE(c.call(outputs));
            EXPECT_EQ(buffer, nullptr);
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(sizes[k], -7) << "output written " << k;
        }
    }
}

TEST_F(Tiles, WholeLayerEqualsItsTiles)
{
    Slide slide = makeSlide(3, 5, 2, 0, kTile, kTile);  // odd tile rows over the threads
    slide.colour = scannerColour();
    slide.layers[0].tiles[7].bytes.clear();
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    for (int layer : {0, 1}) {
        SCOPED_TRACE(layer);
        unsigned char *out = nullptr;
        int w = 0, h = 0;
        ASSERT_EQ(VtSpecifyLayerJpeg2Rgb(pyra.get(), &out, &w, &h, layer), VT_OK);
        Buffer buffer(out);
        const Layer &l = slide.layers[layer];
        EXPECT_EQ(w, l.xCount * kTile);  // margins included
        EXPECT_EQ(h, l.yCount * kTile);
        EXPECT_EQ(bytesOf(out, size_t(w) * h * 3), expectedLayer(slide, layer, pyra->colorTable).bgr);
    }
    unsigned char *untouched = reinterpret_cast<unsigned char *>(1);
    int w = -1, h = -1;
    EXPECT_EQ(VtSpecifyLayerJpeg2Rgb(pyra.get(), &untouched, &w, &h, 2), VT_ERR_LAYER);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(untouched, reinterpret_cast<unsigned char *>(1));
}

// ---- HEVC slides ----

TEST_F(Tiles, HevcSlideThroughEveryPath)
{
    Slide slide = makeSlide(2, 2, 1, 4, kTile, kTile);
    slide.colour = scannerColour();
    slide.layers[0].tiles[3].bytes.clear();
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    int w = 0, h = 0, length = 0;
    // Stored bytes are the HEVC stream itself.
    unsigned char *data = nullptr;
    ASSERT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &data, &length, 0, 1, 0), VT_OK);
    Buffer stored(data);
    EXPECT_EQ(bytesOf(data, length), slide.layers[0].tiles[1].bytes);
    // Pixels: close to the source picture, and the same bytes through region and layer.
    Buffer tile(GetSliceBgr(pyra.get(), 0, 1, 0, &w, &h));
    ASSERT_TRUE(tile);
    Buffer region(GetRoiSliceBgr(pyra.get(), 0, kTile, 0, kTile, kTile));
    ASSERT_TRUE(region);
    EXPECT_EQ(bytesOf(region.get(), kTile * kTile * 3), bytesOf(tile.get(), kTile * kTile * 3));
    unsigned char *out = nullptr;
    ASSERT_EQ(VtSpecifyLayerJpeg2Rgb(pyra.get(), &out, &w, &h, 0), VT_OK);
    Buffer layer(out);
    for (int y = 0; y < kTile; ++y)
        ASSERT_EQ(0, std::memcmp(out + (size_t(y) * w + kTile) * 3, tile.get() + y * kTile * 3, kTile * 3));
    const Image source = throughTable(crop(slide.layers[0].source, kTile, 0, kTile, kTile), pyra->colorTable);
    double error = 0;
    for (size_t k = 0; k < source.bgr.size(); ++k)
        error += std::abs(int(source.bgr[k]) - int(tile.get()[k]));
    EXPECT_LT(error / source.bgr.size(), 6.0);
    // JPEG fetch: a decoded and re-encoded tile of the tile size.
    Buffer jpeg(GetSliceJpeg(pyra.get(), 0, 1, 0, &w, &h, &length));
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(decodeJpegPlain(bytesOf(jpeg.get(), length)).width, kTile);
    // The absent tile: a white JPEG; no pixels to decode; raw 255 in regions.
    Buffer white(GetSliceJpeg(pyra.get(), 0, 1, 1, &w, &h, &length));
    EXPECT_TRUE(white);
    out = nullptr;
    EXPECT_EQ(VtGetRgbSliceOfSpecifyLayer(pyra.get(), &out, 0, 1, 1), VT_ERR_DECODE);
    Buffer absent(GetRoiSliceBgr(pyra.get(), 0, kTile, kTile, kTile, kTile));
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent.get()[0], 255);
    // A damaged HEVC tile.
    Slide broken = makeSlide(2, 1, 1, 4, kTile, kTile);
    broken.layers[0].tiles[0].bytes = Bytes(200, 0x11);
    Handle bad = open(broken);
    ASSERT_TRUE(bad);
    EXPECT_EQ(VtGetJpegSliceOfSpecifyLayer(bad.get(), &out, &length, 0, 0, 0), VT_ERR_HEVC_DECODE);
    EXPECT_EQ(GetRoiSliceBgr(bad.get(), 0, 0, 0, 10, 10), nullptr);
}

}  // namespace
