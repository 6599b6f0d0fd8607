// Tile export: layer 0 of a slide cut into a directory of JPEG files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "ColorCorrect/ColorCorrect.h"
#include "Fixture.h"
#include "Owners.h"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

using Owned = fixture::Owned<>;
Bytes readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> filesIn(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::string exportName(int col, int row, int w, int h)
{
    return std::to_string(col) + "_" + std::to_string(row) + "_" + std::to_string(w) + "_" +
           std::to_string(h) + ".jpeg";
}

int exportSlide(const std::string &slide, const std::string &dir, int w, int h)
{
    std::string s = slide, d = dir;
    return GetAllSliceJpeg(s.data(), d.data(), w, h);
}

// A one-layer JPEG slide whose layer 0 is cut from `picture` with the given margins.
Slide oneLayerSlide(const Image &picture, int32_t boundWidth, int32_t boundHeight, uint32_t tileSize = 256,
                    uint8_t compression = 0)
{
    Slide slide = makeSlide(1, 1, 1, compression, tileSize, tileSize);
    slide.layers = {makeLayer(slide, picture, boundWidth, boundHeight)};
    return slide;
}

class TileExport : public ::testing::Test {
protected:
    // Every slide here has the default colour parameters; a handle kept open holds their
    // table, so the many opens of the export share it instead of building it each time.
    void SetUp() override
    {
        keeper.reset(VtOpenPyra(writeSlideFile(makeSlide(1, 1, 1, 0, 64, 64)).c_str()));
        ASSERT_TRUE(keeper);
    }
    void TearDown() override
    {
        keeper.reset();
        pyradec::setCurrentColorTable(nullptr);
    }

    TempDir tmp;
    int made = 0;
    Handle keeper;

    std::string writeSlideFile(const Slide &slide)
    {
        return writeSlide(tmp.file("slide" + std::to_string(made++) + ".pyra"), slide);
    }
    std::string makeOutDir(const std::string &name = "out")
    {
        const std::string dir = tmp.file(name);
        fs::create_directories(dir);
        return dir;
    }

    // Every file of a w x h export of `slidePath` equals the region JPEG of the same rectangle,
    // made one at a time on this thread; the directory holds exactly the expected names.
    void expectMatchesSerialRegions(const std::string &slidePath, const std::string &dir, int columns,
                                    int rows, int w, int h)
    {
        Handle pyra(VtOpenPyra(slidePath.c_str()));
        ASSERT_TRUE(pyra);
        std::set<std::string> expected;
        for (int row = 0; row < rows; ++row) {
            for (int col = 0; col < columns; ++col) {
                const std::string name = exportName(col, row, w, h);
                expected.insert(name);
                int length = 0;
                Owned jpeg(GetRoiSliceJpeg(pyra.get(), 0, col * w, row * h, w, h, &length));
                ASSERT_TRUE(jpeg) << name;
                const Bytes file = readBytes(dir + "/" + name);
                ASSERT_EQ(file, Bytes(jpeg.get(), jpeg.get() + length)) << name;
                const Image decoded = decodeJpegPlain(file);
                EXPECT_EQ(decoded.width, w) << name;
                EXPECT_EQ(decoded.height, h) << name;
            }
        }
        EXPECT_EQ(filesIn(dir), expected);
    }
};

TEST_F(TileExport, AlignedGridWritesOneFilePerTile)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(1024, 768, 7), 0, 0));
    const std::string out = makeOutDir();
    ASSERT_EQ(exportSlide(slide, out, 256, 256), 1);

    std::set<std::string> expected;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            expected.insert(exportName(col, row, 256, 256));
    EXPECT_EQ(filesIn(out), expected);
    EXPECT_TRUE(filesIn(out).count("0_0_256_256.jpeg"));
    EXPECT_TRUE(filesIn(out).count("3_2_256_256.jpeg"));
    expectMatchesSerialRegions(slide, out, 4, 3, 256, 256);
}

// Many small, unaligned export tiles so that the parallel export's threads interleave;
// every file must still be exactly the region made on its own.
TEST_F(TileExport, ParallelExportEqualsSerialRegions)
{
    Slide slide = makeSlide(6, 5, 1, 0, 64, 64, 11);  // content 368 x 312
    const std::string path = writeSlideFile(slide);
    const std::string out = makeOutDir();
    ASSERT_EQ(exportSlide(path, out, 40, 36), 1);
    // ceil(368 / 40) = 10 columns, ceil(312 / 36) = 9 rows.
    expectMatchesSerialRegions(path, out, 10, 9, 40, 36);
}

// Right margin 100: content width 924, four columns of 300, the last from x = 900 reaching
// 176 pixels past the layer; h = 300 makes the last row reach 132 rows past the bottom.
// What lies beyond the layer is white, the margin keeps the tiles' own pixels.
TEST_F(TileExport, ExportTilesPastTheLayerAreWhite)
{
    const Image picture = makePattern(1024, 768, 3);
    const std::string slide = writeSlideFile(oneLayerSlide(picture, 100, 0));
    const std::string out = makeOutDir();
    ASSERT_EQ(exportSlide(slide, out, 300, 300), 1);
    expectMatchesSerialRegions(slide, out, 4, 3, 300, 300);

    // Pixels past x = 1024 or y = 768, a JPEG block away from the edge to skip ringing.
    auto checkBeyond = [&](int col, int row) {
        const Image tile = decodeJpegPlain(readBytes(out + "/" + exportName(col, row, 300, 300)));
        ASSERT_EQ(tile.width, 300);
        ASSERT_EQ(tile.height, 300);
        int checked = 0, dark = 0;
        for (int y = 0; y < 300; ++y) {
            for (int x = 0; x < 300; ++x) {
                const int lx = col * 300 + x, ly = row * 300 + y;
                if (lx < 1024 + 8 && ly < 768 + 8)
                    continue;
                for (int c = 0; c < 3; ++c) {
                    ++checked;
                    if (tile.bgr[(size_t(y) * 300 + x) * 3 + c] < 245)
                        ++dark;
                }
            }
        }
        EXPECT_GT(checked, 0);
        EXPECT_EQ(dark, 0) << "col " << col << " row " << row;
    };
    checkBeyond(3, 0);  // right edge
    checkBeyond(0, 2);  // bottom edge
    checkBeyond(3, 2);  // both

    // The margin (x 924..1023) is content of the tiles, not cleared: it matches the picture.
    const Image last = decodeJpegPlain(readBytes(out + "/" + exportName(3, 0, 300, 300)));
    double diff = 0;
    int count = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 30; x < 116; ++x)
            for (int c = 0; c < 3; ++c, ++count)
                diff += std::abs(int(last.bgr[(size_t(y) * 300 + x) * 3 + c]) -
                                 int(picture.bgr[(size_t(y) * 1024 + 900 + x) * 3 + c]));
    EXPECT_LT(diff / count, 12.0);
}

TEST_F(TileExport, NothingToExportSucceedsWithoutFiles)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(256, 192, 5), 0, 0, 64));
    const struct {
        int w, h;
    } sizes[] = {{0, 64}, {64, 0}, {0, 0}, {-1, 64}, {64, -64}, {-5, -5}, {INT32_MIN, 64}};
    for (const auto &s : sizes) {
        const std::string out = makeOutDir("out" + std::to_string(made++));
        EXPECT_EQ(exportSlide(slide, out, s.w, s.h), 1) << s.w << " x " << s.h;
        EXPECT_TRUE(filesIn(out).empty()) << s.w << " x " << s.h;
    }

    // Margins as wide or as high as the grid leave no content at all.
    const struct {
        int32_t boundWidth, boundHeight;
    } margins[] = {{256, 0}, {0, 192}, {256, 192}};
    for (const auto &m : margins) {
        const std::string empty =
            writeSlideFile(oneLayerSlide(makePattern(256, 192, 5), m.boundWidth, m.boundHeight, 64));
        const std::string out = makeOutDir("out" + std::to_string(made++));
        EXPECT_EQ(exportSlide(empty, out, 64, 64), 1) << m.boundWidth << " " << m.boundHeight;
        EXPECT_TRUE(filesIn(out).empty());
    }
}

TEST_F(TileExport, BadArgumentsFail)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(256, 192, 5), 0, 0, 64));
    const std::string out = makeOutDir();
    std::string s = slide, d = out;
    EXPECT_EQ(GetAllSliceJpeg(nullptr, d.data(), 64, 64), 0);
    EXPECT_EQ(GetAllSliceJpeg(s.data(), nullptr, 64, 64), 0);
    EXPECT_EQ(GetAllSliceJpeg(nullptr, nullptr, 64, 64), 0);
    EXPECT_EQ(exportSlide(tmp.file("missing.pyra"), out, 64, 64), 0);
    // Export tiles wider or taller than the layer's grid (256 x 192): the first region fails.
    EXPECT_EQ(exportSlide(slide, out, 257, 64), 0);
    EXPECT_EQ(exportSlide(slide, out, 64, 193), 0);
    EXPECT_TRUE(filesIn(out).empty());
    // The whole grid as one export tile is fine.
    EXPECT_EQ(exportSlide(slide, out, 256, 192), 1);
    EXPECT_EQ(filesIn(out), std::set<std::string>{"0_0_256_192.jpeg"});
}

TEST_F(TileExport, OutputThatCannotBeWrittenFails)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(128, 128, 5), 0, 0, 64));
    EXPECT_EQ(exportSlide(slide, tmp.file("no-such-dir"), 64, 64), 0);
    EXPECT_FALSE(fs::exists(tmp.file("no-such-dir")));

    // A regular file where the directory should be (root ignores permission bits).
    writeFile(tmp.file("plain"), Bytes{1, 2, 3});
    EXPECT_EQ(exportSlide(slide, tmp.file("plain"), 64, 64), 0);
    EXPECT_EQ(readBytes(tmp.file("plain")), (Bytes{1, 2, 3}));

    // A directory in the place of one output file: that file cannot be created.
    const std::string out = makeOutDir();
    fs::create_directory(out + "/" + exportName(1, 1, 64, 64));
    EXPECT_EQ(exportSlide(slide, out, 64, 64), 0);
}

TEST_F(TileExport, ExistingFilesAreReplaced)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(128, 128, 5), 0, 0, 64));
    const std::string out = makeOutDir();
    // Longer than any export tile's JPEG: a file left unshortened would keep its tail.
    writeFile(out + "/" + exportName(0, 0, 64, 64), Bytes(100000, 0xAB));
    ASSERT_EQ(exportSlide(slide, out, 64, 64), 1);
    expectMatchesSerialRegions(slide, out, 2, 2, 64, 64);
}

// Names are formed in 256 bytes, terminator included: 255 characters fit, 256 do not,
// and nothing is created under a name that was cut short.
TEST_F(TileExport, NamesMustFitTheirBuffer)
{
    const std::string slide = writeSlideFile(oneLayerSlide(makePattern(128, 128, 5), 0, 0, 64));
    const size_t fileName = exportName(0, 0, 64, 64).size() + 1;  // with the "/"
    // A directory path of exactly `length` characters under the temporary directory.
    auto dirOfLength = [&](size_t length, char fill) {
        std::string dir = tmp.path();
        EXPECT_LT(dir.size() + 2, length);
        while (dir.size() < length) {
            size_t part = std::min<size_t>(100, length - dir.size() - 1);
            if (length - dir.size() - 1 - part == 1)  // a lone "/" would be left
                --part;
            dir += "/" + std::string(part, fill);
        }
        fs::create_directories(dir);
        EXPECT_EQ(dir.size(), length);
        return dir;
    };

    const std::string fits = dirOfLength(255 - fileName, 'a');
    EXPECT_EQ(exportSlide(slide, fits, 64, 64), 1);
    EXPECT_EQ(filesIn(fits).size(), 4u);

    const std::string tooLong = dirOfLength(256 - fileName, 'b');
    EXPECT_EQ(exportSlide(slide, tooLong, 64, 64), 0);
    EXPECT_TRUE(filesIn(tooLong).empty());

    const std::string farTooLong = dirOfLength(600, 'c');
    EXPECT_EQ(exportSlide(slide, farTooLong, 64, 64), 0);
    EXPECT_TRUE(filesIn(farTooLong).empty());
}

TEST_F(TileExport, HevcSlideExports)
{
    const std::string slide = writeSlideFile(makeSlide(3, 2, 1, 4, 64, 64, 9));  // content 176 x 120
    const std::string out = makeOutDir();
    ASSERT_EQ(exportSlide(slide, out, 64, 64), 1);
    expectMatchesSerialRegions(slide, out, 3, 2, 64, 64);
}

TEST_F(TileExport, UnreadableTileFails)
{
    const Image picture = makePattern(256, 192, 13);
    auto damaged = [&](auto change) {
        Slide slide = oneLayerSlide(picture, 0, 0, 64);
        change(slide);
        return writeSlideFile(slide);
    };
    const struct {
        const char *what;
        std::string path;
    } cases[] = {
        {"file cut inside the tile data", damaged([](Slide &s) { s.damage = Damage::TruncateTileData; })},
        {"last tile's size past the end", damaged([](Slide &s) {
             Tile &t = s.layers[0].tiles.back();
             t.storedSize = static_cast<int32_t>(t.bytes.size()) + 100000;
         })},
        {"a tile that does not decode",
         damaged([](Slide &s) { s.layers[0].tiles[5].bytes = Bytes(600, 0x5A); })},
    };
    for (const auto &c : cases) {
        const std::string out = makeOutDir("out" + std::to_string(made++));
        EXPECT_EQ(exportSlide(c.path, out, 64, 64), 0) << c.what;
    }
}

}  // namespace
