// The internal C++ layer: why a slide did not open, level geometry, reads of
// any rectangle with a background fill, the shared tile cache, Deep Zoom.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "DeepZoom.h"
#include "Fixture.h"
#include "Owners.h"
#include "Properties.h"
#include "Slide.h"
#include "SlideTest.h"
#include "TileCache.h"

using fixture::Bytes;
using fixture::Damage;
using pyradec::PixelFormat;

namespace {

class SlideApi : public fixture::SlideTest {
protected:
    std::shared_ptr<pyradec::Slide> openWritten(const fixture::Slide &s)
    {
        return pyradec::Slide::open(write(s));
    }
};

std::string openError(const std::string &path)
{
    try {
        pyradec::Slide::open(path);
    } catch (const pyradec::UnsupportedFormatError &e) {
        return e.what();
    }
    return "opened";
}

TEST_F(SlideApi, OpenFailuresNameTheReasonTheOpenSequenceFound)
{
    const std::string missing = dir.file("nothing-here.pyra");
    const std::string empty = fixture::writeFile(dir.file("empty.pyra"), {});
    const std::string notSlide = fixture::writeFile(dir.file("text.pyra"), Bytes{'h', 'e', 'l', 'l', 'o'});
    std::filesystem::create_directory(dir.file("folder.pyra"));
    EXPECT_EQ(openError(missing), missing + ": no such file");
    EXPECT_EQ(openError(empty), empty + ": empty file, not a slide");
    EXPECT_EQ(openError(notSlide), notSlide + ": not a slide file (it does not start with \"VT\")");
    EXPECT_EQ(openError(dir.file("folder.pyra")),
              dir.file("folder.pyra") + ": is a directory, not a slide file");

    struct Case {
        Damage damage;
        int layer;
        const char *record;
    };
    const Case cases[] = {
        {Damage::PersonMagic, 0, "damaged slide: person information at offset 156"},
        {Damage::ExtraMagic, 0, "damaged slide: extra information at offset 6964"},
        {Damage::LabelMagic, 0, "damaged slide: associated image (label or macrograph)"},
        {Damage::ThumbMagic, 0, "damaged slide: thumbnail at offset"},
        {Damage::LayerMagic, 1, "damaged slide: layer 1 record at offset"},
        {Damage::ChainPastEnd, 1, "damaged slide: layer 1 record at offset"},
        {Damage::TruncateTileTable, 1, "damaged slide: layer 1 tile table at offset"},
    };
    for (const Case &c : cases) {
        fixture::Slide s = fixture::makeSlide(2, 2, 2, 0, 64, 64);
        s.damage = c.damage;
        s.damageLayer = c.layer;
        const std::string path = write(s);
        const std::string message = openError(path);
        EXPECT_EQ(message.rfind(path + ": " + c.record, 0), 0u) << message;
        EXPECT_EQ(VtOpenPyra(path.c_str()), nullptr);
    }
}

TEST_F(SlideApi, LevelGeometryIsTheContentLessMargins)
{
    fixture::Slide s = fixture::makeSlide(4, 3, 3, 0, 64, 64);
    s.layers[0] = fixture::makeLayer(s, fixture::makePattern(256, 192, 3), 20, 10);
    auto slide = openWritten(s);
    ASSERT_EQ(slide->levelCount(), 3);
    const pyradec::Level &l0 = slide->level(0);
    EXPECT_EQ(l0.width, 236);
    EXPECT_EQ(l0.height, 182);
    EXPECT_EQ(l0.columns, 4);
    EXPECT_EQ(l0.rows, 3);
    EXPECT_DOUBLE_EQ(l0.downsample, 1.0);
    const pyradec::Level &l1 = slide->level(1);
    EXPECT_DOUBLE_EQ(l1.downsample, (236.0 / l1.width + 182.0 / l1.height) / 2);
    EXPECT_EQ(slide->bestLevelForDownsample(0.5), 0);
    EXPECT_EQ(slide->bestLevelForDownsample(l1.downsample), 1);
    EXPECT_EQ(slide->bestLevelForDownsample(1000), 2);
    EXPECT_THROW(slide->level(3), pyradec::InvalidArgument);
    EXPECT_THROW(slide->level(-1), pyradec::InvalidArgument);
}

// Expected pixels of any rectangle: the library's own region for the part on
// the content, background elsewhere.
Bytes expectedRegion(VtPyraInfo *h, const pyradec::Level &l, int64_t x, int64_t y, int w, int ht)
{
    Bytes out(static_cast<size_t>(w) * ht * 3, 255);
    for (int r = 0; r < ht; ++r)
        for (int c = 0; c < w; ++c) {
            const int64_t lx = x + c, ly = y + r;
            if (lx < 0 || ly < 0 || lx >= l.width || ly >= l.height)
                continue;
            fixture::Owned<unsigned char> px(
                GetRoiSliceBgr(h, l.index, static_cast<int>(lx), static_cast<int>(ly), 1, 1));
            EXPECT_TRUE(px);
            if (px)
                std::memcpy(&out[(static_cast<size_t>(r) * w + c) * 3], px.get(), 3);
        }
    return out;
}

TEST_F(SlideApi, RegionsOfAnyRectangleFillWhatLiesOutsideTheContent)
{
    fixture::Slide s = fixture::makeSlide(3, 2, 1, 0, 32, 32);
    s.layers[0] = fixture::makeLayer(s, fixture::makePattern(96, 64, 5), 10, 6);
    s.layers[0].tiles[4].bytes.clear();  // an absent tile is white
    const std::string path = write(s);
    auto slide = pyradec::Slide::open(path);
    fixture::Handle h(VtOpenPyra(path.c_str()));
    const pyradec::Level &l = slide->level(0);  // 86 x 58
    struct Rect {
        int64_t x, y;
        int w, h;
    };
    const Rect rects[] = {
        {5, 7, 40, 30},      // inside
        {-10, -4, 30, 20},   // across the top-left corner
        {70, 40, 30, 30},    // across the bottom-right corner
        {-5, 20, 100, 8},    // wider than the layer
        {80, -3, 10, 70},    // across the right edge, taller than the layer
        {200, 300, 7, 9},    // wholly outside
        {-50, -50, 10, 10},  // wholly outside, negative
    };
    pyradec::TileCache cache(1 << 20);
    for (const Rect &r : rects) {
        SCOPED_TRACE(std::to_string(r.x) + "," + std::to_string(r.y));
        const Bytes expected = expectedRegion(h.get(), l, r.x, r.y, r.w, r.h);
        const pyradec::Pixels bgr = slide->readRegion(0, r.x, r.y, r.w, r.h, PixelFormat::Bgr);
        EXPECT_EQ(bgr.data, expected);
        const pyradec::Pixels cached = slide->readRegion(0, r.x, r.y, r.w, r.h, PixelFormat::Bgr, {}, &cache);
        EXPECT_EQ(cached.data, expected);
        const pyradec::Pixels rgba = slide->readRegion(0, r.x, r.y, r.w, r.h, PixelFormat::Rgba);
        for (size_t i = 0, n = static_cast<size_t>(r.w) * r.h; i < n; ++i) {
            const int64_t lx = r.x + static_cast<int64_t>(i % r.w), ly = r.y + static_cast<int64_t>(i / r.w);
            const bool inside = lx >= 0 && ly >= 0 && lx < l.width && ly < l.height;
            const uint8_t want[4] = {
                inside ? expected[i * 3 + 2] : uint8_t(0), inside ? expected[i * 3 + 1] : uint8_t(0),
                inside ? expected[i * 3] : uint8_t(0), inside ? uint8_t(255) : uint8_t(0)};
            ASSERT_EQ(std::memcmp(&rgba.data[i * 4], want, 4), 0) << "pixel " << i;
        }
    }
    // A coloured background, in the order asked for.
    const pyradec::Pixels rgb =
        slide->readRegion(0, -2, 0, 1, 1, PixelFormat::Rgb, pyradec::Rgb8{10, 20, 30});
    EXPECT_EQ(rgb.data, (Bytes{10, 20, 30}));
}

TEST_F(SlideApi, RegionSizesThatCannotBeServedAreRefusedBeforeAnyWork)
{
    auto slide = openWritten(fixture::makeSlide(1, 1, 1, 0, 32, 32));
    const std::pair<int, int> sizes[] = {{0, 5}, {5, 0}, {-1, 5}, {5, -3}};
    for (auto [w, h] : sizes)
        EXPECT_THROW(slide->readRegion(0, 0, 0, w, h), pyradec::InvalidArgument);
    EXPECT_THROW(slide->readRegion(1, 0, 0, 4, 4), pyradec::InvalidArgument);
    EXPECT_THROW(slide->readRegion(0, 0, 0, 1 << 30, 1 << 30), pyradec::InvalidArgument);
}

TEST_F(SlideApi, TilesAndStoredBytesAgreeWithTheLibrary)
{
    fixture::Slide s = fixture::makeSlide(2, 2, 1, 0, 32, 32);
    s.layers[0].tiles[3].bytes.clear();
    const std::string path = write(s);
    auto slide = pyradec::Slide::open(path);
    fixture::Handle h(VtOpenPyra(path.c_str()));
    fixture::Owned<unsigned char> bgr(GetRoiSliceBgr(h.get(), 0, 32, 0, 32, 32));
    EXPECT_EQ(slide->tile(0, 1, 0).data, Bytes(bgr.get(), bgr.get() + 32 * 32 * 3));
    EXPECT_EQ(slide->tile(0, 1, 1).data, Bytes(32 * 32 * 3, 255));
    EXPECT_EQ(slide->storedTile(0, 0, 0), s.layers[0].tiles[0].bytes);
    EXPECT_TRUE(slide->storedTile(0, 1, 1).empty());
    EXPECT_THROW(slide->tile(0, 2, 0), pyradec::InvalidArgument);
}

TEST_F(SlideApi, CallsAfterCloseThrowAndReadsInFlightFinish)
{
    auto slide = openWritten(fixture::makeSlide(4, 4, 1, 0, 64, 64));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, refused{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                try {
                    slide->readRegion(0, 10, 10, 200, 200);
                    ++reads;
                } catch (const pyradec::SlideError &) {
                    ++refused;
                    return;
                }
            }
        });
    while (reads < 3)
        std::this_thread::yield();
    slide->close();
    stop = true;
    for (auto &r : readers)
        r.join();
    EXPECT_TRUE(slide->closed());
    EXPECT_THROW(slide->readRegion(0, 0, 0, 4, 4), pyradec::SlideError);
    EXPECT_THROW(slide->handle(), pyradec::SlideError);
}

TEST(TileCache, KeepsTheMostRecentTilesWithinItsCapacity)
{
    pyradec::TileCache cache(3000);
    auto tile = [](uint8_t v) { return std::make_shared<const std::vector<uint8_t>>(1000, v); };
    cache.put({1, 0, 0, 0}, tile(0));
    cache.put({1, 0, 1, 0}, tile(1));
    cache.put({1, 0, 2, 0}, tile(2));
    ASSERT_TRUE(cache.get({1, 0, 0, 0}));  // now the most recent
    cache.put({2, 0, 0, 0}, tile(3));      // evicts (1, 0, 1, 0)
    EXPECT_FALSE(cache.get({1, 0, 1, 0}));
    EXPECT_TRUE(cache.get({1, 0, 0, 0}));
    EXPECT_EQ(cache.size(), 3000u);
    cache.put({3, 0, 0, 0}, std::make_shared<const std::vector<uint8_t>>(5000, 0));  // larger than the cache
    EXPECT_FALSE(cache.get({3, 0, 0, 0}));
    cache.forgetSlide(1);
    EXPECT_EQ(cache.count(), 1u);
    cache.setCapacity(0);
    EXPECT_EQ(cache.size(), 0u);
}

TEST_F(SlideApi, DeepZoomArithmeticMatchesTheFieldsTestVectors)
{
    // Content of 300 x 250 pixels, as the reference's own test image.
    fixture::Slide s = fixture::makeSlide(2, 1, 1, 0, 256, 256);
    s.layers[0] = fixture::makeLayer(s, fixture::makePattern(512, 256, 9), 212, 6);
    auto slide = openWritten(s);
    pyradec::DeepZoom dz(slide);
    EXPECT_EQ(dz.levelCount(), 10);
    EXPECT_EQ(dz.tileCount(), 11);
    EXPECT_EQ(dz.levelDimensions().back().width, 300);
    const pyradec::Size64 size = dz.tileDimensions(9, 1, 0);
    EXPECT_EQ(size.width, 47);
    EXPECT_EQ(size.height, 250);
    const pyradec::DeepZoomRead read = dz.tileCoordinates(9, 1, 0);
    EXPECT_EQ(read.x0, 253);
    EXPECT_EQ(read.y0, 0);
    EXPECT_EQ(read.slideLevel, 0);
    EXPECT_EQ(read.width, 47);
    EXPECT_EQ(read.height, 250);
    EXPECT_THROW(dz.tileCoordinates(10, 0, 0), pyradec::InvalidArgument);
    EXPECT_THROW(dz.tileCoordinates(9, 2, 0), pyradec::InvalidArgument);
    EXPECT_THROW(dz.tileCoordinates(9, 0, -1), pyradec::InvalidArgument);
    // A full-resolution tile is the region itself; a smaller level is resized.
    const pyradec::Pixels t = dz.tile(9, 1, 0);
    EXPECT_EQ(t.data, slide->readRegion(0, 253, 0, 47, 250, PixelFormat::Rgb).data);
    const pyradec::Pixels small = dz.tile(5, 0, 0);
    EXPECT_EQ(small.width, 19);
    EXPECT_EQ(small.height, 16);
    EXPECT_NE(dz.dzi().find("<Size Height=\"250\" Width=\"300\"/>"), std::string::npos);
}

TEST(Lanczos, FlatImagesStayFlatAndSizesKeepTheirAspect)
{
    pyradec::Pixels flat;
    flat.width = 37;
    flat.height = 23;
    flat.data.assign(37 * 23 * 3, 77);
    for (auto [w, h] : {std::pair{10, 6}, {3, 2}, {36, 23}, {1, 1}}) {
        const pyradec::Pixels out = pyradec::resizeLanczos(flat, w, h);
        EXPECT_EQ(out.data, Bytes(static_cast<size_t>(w) * h * 3, 77));
    }
    EXPECT_EQ(pyradec::fitKeepingAspect(300, 250, 150, 150).height, 125);
    EXPECT_EQ(pyradec::fitKeepingAspect(10, 10, 20, 20).width, 10);  // never enlarged
}

TEST_F(SlideApi, PropertiesNameTheSlideInTheFieldsTerms)
{
    fixture::Slide s = fixture::makeSlide(2, 2, 2, 0, 64, 64);
    s.colour = fixture::scannerColour();
    auto slide = openWritten(s);
    const pyradec::PropertyList props = pyradec::properties(*slide);
    auto value = [&](const std::string &key) {
        for (const auto &[k, v] : props)
            if (k == key)
                return v;
        return std::string("(none)");
    };
    EXPECT_EQ(value("pyradec.mpp-x"), "0.25");
    EXPECT_EQ(value("pyradec.objective-power"), "40");
    EXPECT_EQ(value("pyradec.level-count"), "2");
    EXPECT_EQ(value("pyradec.level[1].tile-width"), "64");
    EXPECT_EQ(value("pyradec.background-color"), "ffffff");
    EXPECT_EQ(value("pyra.CompressionType"), "Jpeg");
    EXPECT_EQ(value("pyra.Gamma"), "1.8");
    EXPECT_EQ(value("pyradec.quickhash-1").size(), 64u);
    EXPECT_EQ(pyradec::quickHash(*openWritten(s)), value("pyradec.quickhash-1"));
}

}  // namespace
