// Opening and closing slides: the handle, the associated images, per-slide colour,
// and the metadata and associated-image accessors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodePyra/OpenReason.h"
#include "Fixture.h"
#include "Owners.h"
#include "SlideTest.h"

using namespace fixture;

namespace {

// Small slides: a 2 x 1 grid of 64-pixel tiles and one halved layer.
Slide smallSlide(uint32_t seed = 1) { return makeSlide(2, 1, 2, 0, 64, 64, seed); }

Bytes pixelsOf(const VtImageInfo *image)
{
    const size_t n = static_cast<size_t>(image->width) * image->height * 3;
    return Bytes(image->pixels, image->pixels + n);
}

class SlideHandle : public SlideTest {};

TEST_F(SlideHandle, OpensIntoACompleteHandleWithItsTileIndex)
{
    Slide slide = smallSlide();
    slide.layers[0].tiles[1].bytes.clear();  // an absent tile takes no room
    const Bytes bytes = serialise(slide);
    const std::string path = writeFile(dir.file("s.pyra"), bytes);
    Handle pyra(VtOpenPyra(path.c_str()));
    ASSERT_TRUE(pyra);
    EXPECT_STREQ(pyra->path, path.c_str());
    ASSERT_TRUE(pyra->picHead && pyra->personInfo && pyra->extraInfo && pyra->macroImages &&
                pyra->thumbnail && pyra->picInfos && pyra->sliceInfos);
    ASSERT_EQ(+pyra->picHead->layerCount, 2u);
    for (int layer = 0; layer < 2; ++layer) {
        SCOPED_TRACE(layer);
        const VtPicInfo &info = *pyra->picInfos[layer];
        const VtSliceInfo &slice = *pyra->sliceInfos[layer];
        ASSERT_EQ(+info.tileCount, slide.layers[layer].tiles.size());
        // Offsets: end of the table plus the sizes of all earlier tiles; the bytes there are the tile.
        for (uint32_t j = 0; j < info.tileCount; ++j) {
            const Bytes &tile = slide.layers[layer].tiles[j].bytes;
            EXPECT_EQ(slice.tileSizes[j], static_cast<int32_t>(tile.size()));
            if (j > 0) {
                EXPECT_EQ(slice.tileOffsets[j], slice.tileOffsets[j - 1] + slice.tileSizes[j - 1]);
            }
            ASSERT_LE(slice.tileOffsets[j] + static_cast<int64_t>(tile.size()),
                      static_cast<int64_t>(bytes.size()));
            EXPECT_EQ(Bytes(bytes.begin() + slice.tileOffsets[j],
                            bytes.begin() + slice.tileOffsets[j] + tile.size()),
                      tile);
        }
    }
    EXPECT_EQ(pyra->sliceInfos[0]->tileOffsets[1],
              pyra->sliceInfos[0]->tileOffsets[0] + pyra->sliceInfos[0]->tileSizes[0]);
}

TEST_F(SlideHandle, AssociatedImagesCarryStoredBytesAndThisSlidesColours)
{
    Slide slide = smallSlide();
    slide.colour = scannerColour();
    slide.associated[1].channels = 4;  // copied from the record as it is
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    ASSERT_TRUE(pyra->colorTable);
    EXPECT_EQ(ColorTable, pyra->colorTable);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const VtImageInfo *image = pyra->macroImages[i];
        const Bytes stored = encodeJpeg(slide.associated[i].image, 80);
        EXPECT_EQ(Bytes(+image->encoded, image->encoded + image->encodedLength), stored);
        EXPECT_EQ(+image->width, slide.associated[i].image.width);
        EXPECT_EQ(+image->height, slide.associated[i].image.height);
        EXPECT_EQ(+image->channels, i == 0 ? 3 : 4);
        EXPECT_EQ(+image->bitDepth, 8);
        EXPECT_EQ(+image->format, 0);
        // Decoded with this slide's table even on the first open of the process.
        ASSERT_TRUE(+image->pixels);
        EXPECT_EQ(pixelsOf(image), throughTable(decodeJpegPlain(stored), pyra->colorTable).bgr);
    }
    const VtImageInfo *thumb = pyra->thumbnail;
    EXPECT_EQ(+thumb->width, 160);
    EXPECT_EQ(+thumb->height, 120);
    EXPECT_EQ(+thumb->channels, 3);
    EXPECT_EQ(+thumb->bitDepth, 0);
    ASSERT_TRUE(+thumb->pixels);
    EXPECT_EQ(pixelsOf(thumb),
              throughTable(decodeJpegPlain(encodeJpeg(slide.thumbnail, 80)), pyra->colorTable).bgr);
}

TEST_F(SlideHandle, SlideWithoutColourParametersDecodesUnchanged)
{
    Slide slide = smallSlide();
    slide.hasExtraInfo = false;
    Handle other = open(smallSlide(7));  // leaves its table current
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    EXPECT_EQ(pyra->extraInfo, nullptr);
    EXPECT_EQ(pyra->colorTable, nullptr);
    EXPECT_EQ(ColorTable, other->colorTable);  // the most recent slide that had parameters
    ASSERT_TRUE(+pyra->macroImages[0]->pixels);
    EXPECT_EQ(pixelsOf(pyra->macroImages[0]), decodeJpegPlain(encodeJpeg(slide.associated[0].image, 80)).bgr);
    EXPECT_EQ(pixelsOf(pyra->thumbnail), decodeJpegPlain(encodeJpeg(slide.thumbnail, 80)).bgr);
}

TEST_F(SlideHandle, BmpThumbnailsDecodeAndOtherFormatsHaveNoPixels)
{
    const Image picture = makePattern(40, 30, 9);
    struct Case {
        const char *name;
        uint8_t format;
        int bits;
        uint32_t headerWidth;  // 0: the picture's
        bool pixels;
    } cases[] = {
        {"24-bit BMP", 1, 24, 0, true},
        {"32-bit BMP", 1, 32, 0, true},
        {"BMP whose own size differs from the header's", 1, 24, 41, false},
        {"unknown format", 2, 24, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = smallSlide();
        slide.colour = scannerColour();
        slide.thumbnail = picture;
        slide.thumbFormat = c.format;
        slide.thumbBmpBits = c.bits;
        if (c.format == 2)
            slide.thumbBytes = Bytes{1, 2, 3, 4, 5};
        if (c.headerWidth)
            slide.thumbWidth = c.headerWidth;
        Handle pyra = open(slide);
        ASSERT_TRUE(pyra);
        const VtImageInfo *thumb = pyra->thumbnail;
        EXPECT_EQ(+thumb->format, c.format);
        EXPECT_EQ(+thumb->width, c.headerWidth ? static_cast<int>(c.headerWidth) : picture.width);
        EXPECT_EQ(+thumb->channels, c.format <= 1 ? 3 : 0);
        EXPECT_GT(+thumb->encodedLength, 0);
        ASSERT_EQ(thumb->pixels != nullptr, c.pixels);
        int w = -1, h = -1, len = -1;
        Owned<unsigned char> jpeg(GetThumbnailJpeg(pyra.get(), &w, &h, &len));
        Owned<unsigned char> abgr(GetThumbnailAbgr(pyra.get(), &w, &h));
        EXPECT_EQ(jpeg != nullptr, c.pixels);
        EXPECT_EQ(abgr != nullptr, c.pixels);
        if (c.pixels) {
            // BMP pixels are taken as stored: no colour correction.
            EXPECT_EQ(pixelsOf(thumb), picture.bgr);
            Image decoded = decodeJpegPlain(Bytes(jpeg.get(), jpeg.get() + len));
            EXPECT_EQ(decoded.width, picture.width);
            EXPECT_EQ(decoded.height, picture.height);
        }
    }
}

TEST_F(SlideHandle, DamagedLabelJpegLeavesOnlyItsPixelsOut)
{
    const Bytes small = encodeJpeg(makePattern(30, 20, 2));
    struct Case {
        const char *name;
        int recordWidth, recordHeight;
        Bytes stored;
    } cases[] = {
        {"bytes that do not decode", 30, 20, Bytes{0xFF, 0xD8, 0x00, 0x01, 0x02}},
        {"a record size other than the stream's", 31, 20, small},
        // Nothing may be allocated for a size the stream does not declare.
        {"a huge record size", 50000, 50000, small},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = smallSlide();
        slide.associated[0].image = Image{c.recordWidth, c.recordHeight, {}};
        slide.associated[0].jpeg = c.stored;
        Handle pyra = open(slide);
        ASSERT_TRUE(pyra);
        EXPECT_EQ(+pyra->macroImages[0]->pixels, nullptr);
        EXPECT_EQ(+pyra->macroImages[0]->encodedLength, static_cast<int>(c.stored.size()));
        EXPECT_TRUE(+pyra->macroImages[1]->pixels);
        int w = 0, h = 0, len = 0;
        EXPECT_EQ(GetLabelAbgr(pyra.get(), &w, &h), nullptr);
        Owned<unsigned char> jpeg(GetLabelJpeg(pyra.get(), &w, &h, &len));
        EXPECT_EQ(len, static_cast<int>(c.stored.size()));
        EXPECT_EQ(w, c.recordWidth);
    }
}

TEST_F(SlideHandle, RefusesDamagedOrUnservableFiles)
{
    struct Case {
        const char *name;
        void (*change)(Slide &);
    } cases[] = {
        {"header magic", [](Slide &s) { s.damage = Damage::HeadMagic; }},
        {"person magic", [](Slide &s) { s.damage = Damage::PersonMagic; }},
        {"extra magic", [](Slide &s) { s.damage = Damage::ExtraMagic; }},
        {"label magic", [](Slide &s) { s.damage = Damage::LabelMagic; }},
        {"macrograph magic", [](Slide &s) { s.damage = Damage::MacroMagic; }},
        {"associated chain past the end", [](Slide &s) { s.damage = Damage::MacroChainPastEnd; }},
        {"thumbnail magic", [](Slide &s) { s.damage = Damage::ThumbMagic; }},
        {"layer magic",
         [](Slide &s) {
             s.damage = Damage::LayerMagic;
             s.damageLayer = 1;
         }},
        {"layer chain past the end",
         [](Slide &s) {
             s.damage = Damage::ChainPastEnd;
             s.damageLayer = 1;
         }},
        {"tile table cut short", [](Slide &s) { s.damage = Damage::TruncateTileTable; }},
        {"person information but no associated images", [](Slide &s) { s.associated.clear(); }},
        {"one associated image", [](Slide &s) { s.macroImageCount = 1; }},
        {"three associated images", [](Slide &s) { s.macroImageCount = 3; }},
        {"more layers than the file holds", [](Slide &s) { s.layerCount = 1000000; }},
        {"tile width 0", [](Slide &s) { s.tileWidth = 0; }},
        {"tile bytes that wrap 32 bits",
         [](Slide &s) {
             s.tileWidth = 65536;
             s.tileHeight = 32768;
         }},
        {"thumbnail bytes that wrap 32 bits",
         [](Slide &s) {
             s.thumbWidth = 70000;
             s.thumbHeight = 70000;
         }},
        {"negative xCount", [](Slide &s) { s.layers[1].xCount = -1; }},
        {"layer width that wraps 32 bits", [](Slide &s) { s.layers[1].xCount = 40000000; }},
        {"bound wider than the layer", [](Slide &s) { s.layers[0].boundWidth = 129; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Handle survivor = open(smallSlide(3));
        ASSERT_TRUE(survivor);
        ASSERT_TRUE(ColorTable);
        Slide slide = smallSlide();
        c.change(slide);
        EXPECT_EQ(open(slide), nullptr);
        // A failed open that opened the file leaves no current table; the open handle keeps its own.
        EXPECT_EQ(ColorTable, nullptr);
        EXPECT_TRUE(survivor->colorTable);
    }
}

TEST_F(SlideHandle, PathsThatCannotBeOpenedLeaveTheCurrentTable)
{
    Handle survivor = open(smallSlide(3));
    ASSERT_TRUE(survivor);
    EXPECT_EQ(VtOpenPyra(dir.file("missing.pyra").c_str()), nullptr);
    EXPECT_EQ(VtOpenPyra(nullptr), nullptr);
    EXPECT_EQ(ColorTable, survivor->colorTable);
    // An empty file is opened, then refused: the current table goes.
    EXPECT_EQ(VtOpenPyra(writeFile(dir.file("empty.pyra"), {}).c_str()), nullptr);
    EXPECT_EQ(ColorTable, nullptr);
    VtClosePyra(nullptr);
}

TEST_F(SlideHandle, SlidesWithoutLayersOrPersonInformationOpen)
{
    // No layers at all.
    Slide none = smallSlide();
    none.layers.clear();
    Handle empty = open(none);
    ASSERT_TRUE(empty);
    EXPECT_EQ(+empty->picHead->layerCount, 0u);
    EXPECT_EQ(GetLayerInfo(empty.get(), 0), nullptr);

    // No person information: no extra information, no table, no associated images.
    Slide bare = smallSlide();
    bare.hasPersonInfo = false;
    bare.associated.clear();
    Handle plain = open(bare);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->personInfo, nullptr);
    EXPECT_EQ(plain->extraInfo, nullptr);
    EXPECT_EQ(plain->macroImages, nullptr);
    EXPECT_EQ(plain->colorTable, nullptr);
    EXPECT_TRUE(+plain->thumbnail->pixels);

    // Associated images without person information are still read from their place.
    Slide images = smallSlide();
    images.hasPersonInfo = false;
    images.thumbnail = makePattern(32, 24, 5);
    Handle withImages = open(images);
    ASSERT_TRUE(withImages);
    ASSERT_TRUE(withImages->macroImages);
    EXPECT_TRUE(+withImages->macroImages[1]->pixels);
}

TEST_F(SlideHandle, EachSlideKeepsItsOwnColours)
{
    Slide a = smallSlide();
    a.colour = scannerColour();
    Slide b = smallSlide();  // the same pictures, other colour parameters
    b.colour.gamma = 2.2f;
    const Bytes labelA = [&] {
        Handle first = open(a);
        return pixelsOf(first->macroImages[0]);
    }();

    Handle slideA = open(a);
    ASSERT_TRUE(slideA);
    ColorCorrectTable *tableA = slideA->colorTable;
    Handle slideB = open(b);
    ASSERT_TRUE(slideB);
    EXPECT_NE(slideB->colorTable, tableA);
    EXPECT_EQ(ColorTable, slideB->colorTable);
    EXPECT_EQ(pixelsOf(slideA->macroImages[0]), labelA);
    EXPECT_NE(pixelsOf(slideB->macroImages[0]), labelA);

    // Closing B leaves A's table alive and unchanged; no current table remains.
    slideB.reset();
    EXPECT_EQ(ColorTable, nullptr);
    EXPECT_EQ(slideA->colorTable, tableA);
    const Image probe = makePattern(8, 8, 4);
    EXPECT_EQ(throughTable(probe, slideA->colorTable).bgr, throughTable(probe, tableA).bgr);
    Handle reopened = open(a);
    EXPECT_EQ(pixelsOf(reopened->macroImages[0]), labelA);
}

TEST_F(SlideHandle, IdenticalParametersShareOneTable)
{
    const int before = pyradec::liveColorTableCount();
    Slide a = smallSlide(1);
    Slide b = smallSlide(2);  // another slide, same scanner settings
    Handle first = open(a);
    Handle second = open(b);
    Handle third = open(a);
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(first->colorTable, second->colorTable);
    EXPECT_EQ(first->colorTable, third->colorTable);
    EXPECT_EQ(pyradec::liveColorTableCount(), before + 1);
    first.reset();
    second.reset();
    EXPECT_EQ(pyradec::liveColorTableCount(), before + 1);
    third.reset();
    EXPECT_EQ(pyradec::liveColorTableCount(), before);
}

// ---- accessors ----

TEST_F(SlideHandle, DescriptionAndLayerTextsAreExact)
{
    Slide slide = smallSlide();
    slide.quality = 85;
    slide.mpp = 0.2425;
    slide.appMag = 40;
    slide.ratio = 2.0f;
    slide.imageWidth = 100;
    slide.imageHeight = 50;
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    Owned<char> text(GetDescription(pyra.get()));
    EXPECT_STREQ(text.get(), "CompressionType=Jpeg|Quality=85|MPP=0.242500um/pixel|AppMag=40|ImageWidth=100|"
                             "ImageHeight=50|TileWidth=64|TileHeight=64|Layer=2|Ratio=2.000|ThumbWidth=160|"
                             "ThumbHeight=120|LabelWidth=300|LabelHeight=100|MacroWidth=400|MacroHeight=150");
    const VtPicInfo &layer0 = *pyra->picInfos[0];
    const std::string expected0 =
        "LayerWidth=128|LayerHeight=64|BoundWidth=" + std::to_string(layer0.boundWidth) +
        "|BoundHeight=" + std::to_string(layer0.boundHeight) + "|XCount=2|YCount=1";
    Owned<char> info0(GetLayerInfo(pyra.get(), 0));
    EXPECT_EQ(std::string(info0.get()), expected0);
    Owned<char> info1(GetLayerInfo(pyra.get(), 1));
    EXPECT_EQ(std::string(info1.get()).rfind("LayerWidth=64|LayerHeight=64|", 0), 0u);
    EXPECT_EQ(GetLayerInfo(pyra.get(), -1), nullptr);
    EXPECT_EQ(GetLayerInfo(pyra.get(), 2), nullptr);
}

TEST_F(SlideHandle, DescriptionNamesTheCompressionAndStaysBounded)
{
    struct Case {
        uint8_t type;
        double mpp;
        const char *prefix;
    } cases[] = {
        {0, 0.5, "CompressionType=Jpeg|"},
        {4, 0.5, "CompressionType=Hevc|"},
        {1, 0.5, "CompressionType=Hevc|"},
        {0, 1e300, "CompressionType=Jpeg|"},  // a huge MPP is cut at the buffer, never beyond
    };
    for (const Case &c : cases) {
        Slide slide = smallSlide();
        slide.compressionType = c.type;
        slide.mpp = c.mpp;
        Handle pyra = open(slide);
        ASSERT_TRUE(pyra);
        Owned<char> text(GetDescription(pyra.get()));
        EXPECT_EQ(std::string(text.get()).rfind(c.prefix, 0), 0u);
        EXPECT_LT(std::strlen(text.get()), 512u);
    }
}

TEST_F(SlideHandle, AssociatedJpegsAreStoredBytesAndAbgrIsBgrWith255)
{
    Slide slide = smallSlide();
    slide.colour = scannerColour();
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    struct Accessor {
        const char *name;
        unsigned char *(*jpeg)(VtPyraInfo *, int *, int *, int *);
        unsigned char *(*abgr)(VtPyraInfo *, int *, int *);
        const VtImageInfo *image;
    } accessors[] = {
        {"label", GetLabelJpeg, GetLabelAbgr, pyra->macroImages[0]},
        {"macrograph", GetMacrographJpeg, GetMacrographAbgr, pyra->macroImages[1]},
        {"thumbnail", GetThumbnailJpeg, GetThumbnailAbgr, pyra->thumbnail},
    };
    for (const Accessor &a : accessors) {
        SCOPED_TRACE(a.name);
        int w = 0, h = 0, len = 0;
        Owned<unsigned char> jpeg(a.jpeg(pyra.get(), &w, &h, &len));
        ASSERT_TRUE(jpeg);
        EXPECT_EQ(w, +a.image->width);
        EXPECT_EQ(h, +a.image->height);
        if (a.image != pyra->thumbnail) {
            // The stored bytes exactly.
            EXPECT_EQ(len, +a.image->encodedLength);
            EXPECT_EQ(0, std::memcmp(jpeg.get(), +a.image->encoded, len));
        } else {
            Image decoded = decodeJpegPlain(Bytes(jpeg.get(), jpeg.get() + len));
            EXPECT_EQ(decoded.width, w);
        }
        w = h = 0;
        Owned<unsigned char> abgr(a.abgr(pyra.get(), &w, &h));
        ASSERT_TRUE(abgr);
        ASSERT_EQ(w, +a.image->width);
        const size_t n = static_cast<size_t>(w) * h;
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(abgr.get()[i * 4 + 0], a.image->pixels[i * 3 + 0]);
            ASSERT_EQ(abgr.get()[i * 4 + 1], a.image->pixels[i * 3 + 1]);
            ASSERT_EQ(abgr.get()[i * 4 + 2], a.image->pixels[i * 3 + 2]);
            ASSERT_EQ(abgr.get()[i * 4 + 3], 255);
        }
    }
}

TEST_F(SlideHandle, AccessorsWithoutTheirPartsReturnNull)
{
    int w = 7, h = 7, len = 7;
    for (auto jpeg : {GetLabelJpeg, GetMacrographJpeg, GetThumbnailJpeg}) {
        EXPECT_EQ(jpeg(nullptr, &w, &h, &len), nullptr);
    }
    for (auto abgr : {GetLabelAbgr, GetMacrographAbgr, GetThumbnailAbgr}) {
        EXPECT_EQ(abgr(nullptr, &w, &h), nullptr);
    }
    EXPECT_EQ(GetDescription(nullptr), nullptr);
    EXPECT_EQ(GetLayerInfo(nullptr, 0), nullptr);
    EXPECT_EQ(w + h + len, 21);  // outputs untouched
    Dispose(nullptr);

    Slide bare = smallSlide();
    bare.hasPersonInfo = false;
    bare.associated.clear();
    Handle pyra = open(bare);
    ASSERT_TRUE(pyra);
    EXPECT_EQ(GetLabelJpeg(pyra.get(), &w, &h, &len), nullptr);
    EXPECT_EQ(GetLabelAbgr(pyra.get(), &w, &h), nullptr);
    EXPECT_EQ(GetMacrographJpeg(pyra.get(), &w, &h, &len), nullptr);
    EXPECT_EQ(GetMacrographAbgr(pyra.get(), &w, &h), nullptr);
    Owned<char> text(GetDescription(pyra.get()));
    EXPECT_NE(std::string(text.get()).find("|LabelWidth=0|LabelHeight=0|MacroWidth=0|MacroHeight=0"),
              std::string::npos);
}

}  // namespace

namespace {

// Where each layer record of a slide lies, found through the library's own tile
// index (the first tile follows the record and its tile-size table).
std::vector<uint64_t> layerOffsets(const std::string &path)
{
    Handle pyra(VtOpenPyra(path.c_str()));
    std::vector<uint64_t> offsets;
    if (!pyra)
        return offsets;
    for (uint32_t i = 0; i < pyra->picHead->layerCount; ++i) {
        const uint32_t count = pyra->picInfos[i]->tileCount;
        offsets.push_back(uint64_t(pyra->sliceInfos[i]->tileOffsets[0]) - 4 * count - sizeof(VtPicInfo));
    }
    return offsets;
}

void putNextOffset(Bytes &file, uint64_t record, uint64_t next)
{
    std::memcpy(&file[record + offsetof(VtPicInfo, nextOffset)], &next, sizeof next);
}

void putLayerCount(Bytes &file, uint32_t count)
{
    std::memcpy(&file[offsetof(VtPicHead, layerCount)], &count, sizeof count);
}

}  // namespace

// A layer chain that revisits a record or goes backwards would make open read the
// same tile-size table again for every declared layer (memory growing with the
// square of the file's size); a tile count above the grid keeps entries no tile
// uses. Both are refused, and the reason names the layer and where it lies.
TEST_F(SlideHandle, RefusesLayerChainsThatLoopAndTileCountsAboveTheGrid)
{
    Slide base = makeSlide(2, 2, 3, 0, 16, 16, 5);
    const std::string basePath = write(base);
    const std::vector<uint64_t> at = layerOffsets(basePath);
    ASSERT_EQ(at.size(), 3u);
    const Bytes good = serialise(base);
    struct Case {
        const char *name;
        uint64_t record;  // whose nextOffset is changed
        uint64_t next;
        uint32_t layerCount;  // written into the header
        int badLayer;
        pyradec::OpenRecord where;
        int64_t offset;
    } cases[] = {
        {"layer 1 points at itself", at[1], at[1], 3, 2, pyradec::OpenRecord::LayerRecord, int64_t(at[1])},
        {"layer 1 points back at layer 0", at[1], at[0], 3, 2, pyradec::OpenRecord::LayerRecord,
         int64_t(at[0])},
        {"layer 0 points into its own tile table", at[0], at[0] + sizeof(VtPicInfo), 3, 1,
         pyradec::OpenRecord::LayerRecord, int64_t(at[0] + sizeof(VtPicInfo))},
        // The amplifier: a few hundred layers all reading one record.
        {"many layers on one record", at[2], at[2], 200, 3, pyradec::OpenRecord::LayerRecord, int64_t(at[2])},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = good;
        putNextOffset(file, c.record, c.next);
        putLayerCount(file, c.layerCount);
        const std::string path = writeFile(dir.file(std::string(c.name) + ".pyra"), file);
        pyradec::OpenReason reason;
        VtPyraInfo *pyra = pyradec::openPyra(path.c_str(), &reason);
        EXPECT_EQ(pyra, nullptr);
        VtClosePyra(pyra);
        EXPECT_EQ(reason.problem, pyradec::OpenProblem::Damaged);
        EXPECT_EQ(reason.record, c.where);
        EXPECT_EQ(reason.layer, c.badLayer);
        EXPECT_EQ(reason.offset, c.offset);
        EXPECT_EQ(reason.status, VT_ERR_PIC_INFO_MAGIC);
    }

    // One entry more than the grid has positions.
    Slide oversized = base;
    oversized.layers[1].tileCount = uint32_t(oversized.layers[1].xCount * oversized.layers[1].yCount + 1);
    pyradec::OpenReason reason;
    VtPyraInfo *pyra = pyradec::openPyra(write(oversized).c_str(), &reason);
    EXPECT_EQ(pyra, nullptr);
    VtClosePyra(pyra);
    EXPECT_EQ(reason.problem, pyradec::OpenProblem::Damaged);
    EXPECT_EQ(reason.record, pyradec::OpenRecord::LayerTileTable);
    EXPECT_EQ(reason.layer, 1);
    EXPECT_EQ(reason.offset, int64_t(at[1] + sizeof(VtPicInfo)));
    EXPECT_NE(reason.describe().find("layer 1 tile table"), std::string::npos) << reason.describe();

    // Exactly the grid, and fewer entries than the grid, still open.
    for (uint32_t count : {4u, 3u}) {
        Slide fits = base;
        fits.layers[0].tileCount = count;
        EXPECT_TRUE(open(fits)) << count;
    }
}

// Tiles are read through the path as it was resolved at open: a host that changes
// its working directory afterwards still reads every tile, region and layer.
TEST_F(SlideHandle, ReadsSurviveAChangeOfDirectory)
{
    const Slide slide = smallSlide();
    const std::string full = write(slide);
    const std::string name = full.substr(dir.path().size() + 1);
    char *previous = getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    Handle pyra(VtOpenPyra(name.c_str()));  // relative to the slide's directory
    ASSERT_EQ(chdir("/"), 0);
    ASSERT_TRUE(pyra);
    EXPECT_STREQ(pyra->path, name.c_str());  // as the caller gave it
    int w = 0, h = 0, length = 0;
    Owned<unsigned char> tile(GetSliceBgr(pyra.get(), 0, 1, 0, &w, &h));
    Owned<unsigned char> jpeg(GetSliceJpeg(pyra.get(), 0, 0, 0, &w, &h, &length));
    Owned<unsigned char> region(GetRoiSliceBgr(pyra.get(), 0, 10, 10, 80, 40));
    unsigned char *layer = nullptr;
    const int status = VtSpecifyLayerJpeg2Rgb(pyra.get(), &layer, &w, &h, 1);
    Owned<unsigned char> layerOwner(layer);
    EXPECT_EQ(chdir(previous), 0);
    std::free(previous);
    EXPECT_TRUE(tile);
    EXPECT_TRUE(jpeg);
    EXPECT_TRUE(region);
    EXPECT_EQ(status, VT_OK);
}

// A BMP thumbnail with a V5 information header (124 bytes, rows at byte 138)
// gives the picture, not header bytes read as pixels.
TEST_F(SlideHandle, BmpThumbnailWithAV5HeaderGivesItsRows)
{
    const Image picture = makePattern(40, 30, 9);
    const Bytes plain = encodeBmp(picture, 24);
    Bytes v5(plain.begin(), plain.begin() + 54);
    v5.resize(138, 0);
    const uint32_t headerSize = 124, offset = 138;
    std::memcpy(&v5[14], &headerSize, 4);
    std::memcpy(&v5[10], &offset, 4);
    v5.insert(v5.end(), plain.begin() + 54, plain.end());
    Slide slide = smallSlide();
    slide.thumbnail = picture;
    slide.thumbFormat = 1;
    slide.thumbBytes = v5;
    Handle pyra = open(slide);
    ASSERT_TRUE(pyra);
    ASSERT_NE(pyra->thumbnail->pixels, nullptr);
    EXPECT_EQ(pixelsOf(pyra->thumbnail), picture.bgr);
}
