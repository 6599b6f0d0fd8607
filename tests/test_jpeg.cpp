// JPEG codec: encoder results and refusals, decoder lengths and colour spaces,
// libjpeg errors, colour correction on the way out, and the tile decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodePyra/JpegCodec.h"
#include "Fixture.h"

namespace {

using fixture::Bytes;
using fixture::Image;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Block = std::unique_ptr<unsigned char, FreeDeleter>;

unsigned char *const kSentinel = reinterpret_cast<unsigned char *>(uintptr_t{0x5eed});

Bytes encodeWithLibrary(const unsigned char *pixels, int width, int height, int colorSpace, int quality = 75)
{
    unsigned char *out = nullptr;
    const int length = VtEncodeJpeg(pixels, &out, quality, width, height, colorSpace);
    Block owned(out);
    if (length <= 0)
        return {};
    return Bytes(out, out + length);
}

// A stand-in for a colour table whose mapping is easy to compute independently:
// red' = G, green' = 255 - B, blue' = R ^ 0x5A.
void correctByFormula(unsigned char *bgr)
{
    const unsigned char b = bgr[0], g = bgr[1], r = bgr[2];
    bgr[0] = static_cast<unsigned char>(r ^ 0x5A);
    bgr[1] = static_cast<unsigned char>(255 - b);
    bgr[2] = g;
}

class ScrambleTable : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        table_ = MallocColorCorrectTable();
        for (int r = 0; r < 256; ++r)
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    table_->redTable[r][g][b] = static_cast<unsigned char>(g);
                    table_->greenTable[r][g][b] = static_cast<unsigned char>(255 - b);
                    table_->blueTable[r][g][b] = static_cast<unsigned char>(r ^ 0x5A);
                }
        InitColorRangeTable(table_->rangeTable);
    }
    static void TearDownTestSuite()
    {
        DisposeColorCorrectTable(table_);
        table_ = nullptr;
    }
    void TearDown() override { ColorTable = nullptr; }

    static ColorCorrectTable *table_;
};
ColorCorrectTable *ScrambleTable::table_ = nullptr;

// ---- encoder ----

TEST(JpegEncode, OnlyThreeAndFourByteColourSpacesHaveChannels)
{
    const struct {
        J_COLOR_SPACE space;
        int channels;
    } cases[] = {
        {JCS_UNKNOWN, -1},  {JCS_GRAYSCALE, -1}, {JCS_RGB, 3},       {JCS_YCbCr, -1},   {JCS_CMYK, -1},
        {JCS_YCCK, -1},     {JCS_EXT_RGB, 3},    {JCS_EXT_RGBX, -1}, {JCS_EXT_BGR, 3},  {JCS_EXT_BGRX, -1},
        {JCS_EXT_XBGR, -1}, {JCS_EXT_XRGB, -1},  {JCS_EXT_RGBA, 4},  {JCS_EXT_BGRA, 4}, {JCS_EXT_ABGR, 4},
        {JCS_EXT_ARGB, 4},  {JCS_RGB565, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(GetColorChannel(c.space), c.channels) << c.space;
}

TEST(JpegEncode, AcceptedColourSpacesRoundTrip)
{
    const int width = 37, height = 21;
    const Image img = fixture::makePattern(width, height, 3);
    for (int space : {2, 6, 8, 12, 13, 14, 15}) {
        const int bpp = GetColorChannel(static_cast<J_COLOR_SPACE>(space));
        Bytes pixels(size_t(width) * height * bpp, 255);
        for (size_t p = 0; p < size_t(width) * height; ++p)
            std::memcpy(&pixels[p * bpp], &img.bgr[p * 3], 3);
        const Bytes jpeg = encodeWithLibrary(pixels.data(), width, height, space, 95);
        ASSERT_GT(jpeg.size(), 4u) << space;
        EXPECT_EQ(jpeg[0], 0xFF);
        EXPECT_EQ(jpeg[1], 0xD8);
        EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
        EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
        const Image back = fixture::decodeJpegPlain(jpeg);
        EXPECT_EQ(back.width, width);
        EXPECT_EQ(back.height, height);
    }
}

TEST(JpegEncode, StreamEqualsPlainLibjpegAcrossRowsAndBufferGrowth)
{
    // 600x500 at quality 98 needs a stream far larger than the destination's
    // first block, so its growth path runs.
    for (auto [width, height] : {std::pair{257, 3}, std::pair{600, 500}, std::pair{1, 1}}) {
        const Image img = fixture::makePattern(width, height, 11);
        const Bytes jpeg = encodeWithLibrary(img.bgr.data(), width, height, JCS_EXT_BGR, 98);
        EXPECT_EQ(jpeg, fixture::encodeJpeg(img, 98)) << width << "x" << height;
    }
}

TEST(JpegEncode, UnsupportedColourSpaceLeavesOutputAlone)
{
    const Bytes pixels(64 * 4, 128);
    for (int space : {0, 1, 3, 4, 5, 7, 9, 10, 11, 16, 17, -1, 99, 1 << 20}) {
        unsigned char *out = kSentinel;
        EXPECT_EQ(VtEncodeJpeg(pixels.data(), &out, 75, 8, 8, space), -1) << space;
        EXPECT_EQ(out, kSentinel);
    }
}

TEST(JpegEncode, LibjpegErrorsReturnZeroWithoutEndingTheProcess)
{
    const Bytes pixels(70000 * 4, 128);  // enough for one row of any case
    const struct {
        int width, height, space;
    } cases[] = {
        {0, 8, JCS_EXT_BGR},     {8, 0, JCS_EXT_BGR}, {0, 0, JCS_EXT_BGRA}, {70000, 1, JCS_EXT_BGR},
        {1, 70000, JCS_EXT_BGR}, {65501, 1, JCS_RGB}, {-5, 8, JCS_EXT_BGR},
    };
    for (const auto &c : cases) {
        unsigned char *out = kSentinel;
        EXPECT_EQ(VtEncodeJpeg(pixels.data(), &out, 75, c.width, c.height, c.space), 0)
            << c.width << "x" << c.height;
        EXPECT_EQ(out, kSentinel);
    }
    // The limit itself still encodes.
    unsigned char *out = nullptr;
    EXPECT_GT(VtEncodeJpeg(pixels.data(), &out, 75, 65500, 1, JCS_EXT_BGR), 0);
    std::free(out);
}

// ---- decoder ----

TEST(JpegDecode, LengthIsStrideTimesHeightInEveryColourSpace)
{
    const struct {
        int width, height, space;
        int64_t length;
    } cases[] = {
        {1, 1, JCS_EXT_BGR, 3},
        {257, 3, JCS_EXT_BGR, 2313},
        {257, 3, JCS_EXT_BGRA, 257 * 3 * 4},
        {33, 17, JCS_RGB, 33 * 17 * 3},
        {16, 16, JCS_EXT_ARGB, 16 * 16 * 4},
        {2, 300, JCS_EXT_RGBX, 2 * 300 * 4},
    };
    for (const auto &c : cases) {
        const Image img = fixture::makePattern(c.width, c.height, 5);
        const Bytes jpeg = encodeWithLibrary(img.bgr.data(), c.width, c.height, JCS_EXT_BGR);
        ASSERT_FALSE(jpeg.empty());
        unsigned char *pixels = kSentinel;
        int width = 0, height = 0;
        const int64_t length =
            pyradec::decodeJpeg(jpeg.data(), jpeg.size(), &pixels, c.space, nullptr, &width, &height);
        Block owned(pixels == kSentinel ? nullptr : pixels);
        EXPECT_EQ(length, c.length) << c.width << "x" << c.height << " space " << c.space;
        EXPECT_NE(pixels, kSentinel);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
    }
}

TEST(JpegDecode, WithoutTableMatchesPlainLibjpeg)
{
    const Image img = fixture::makePattern(131, 77, 9);
    const Bytes jpeg = fixture::encodeJpeg(img, 80);
    const Image plain = fixture::decodeJpegPlain(jpeg);
    unsigned char *pixels = nullptr;
    const int64_t length = pyradec::decodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR, nullptr);
    Block owned(pixels);
    ASSERT_EQ(length, int64_t(plain.bgr.size()));
    EXPECT_EQ(std::memcmp(pixels, plain.bgr.data(), plain.bgr.size()), 0);
}

TEST(JpegDecode, BgraHasOpaqueFourthByte)
{
    const Image img = fixture::makePattern(45, 30, 2);
    const Bytes jpeg = fixture::encodeJpeg(img, 80);
    const Image plain = fixture::decodeJpegPlain(jpeg);
    unsigned char *pixels = nullptr;
    const int64_t length = pyradec::decodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGRA, nullptr);
    Block owned(pixels);
    ASSERT_EQ(length, 45 * 30 * 4);
    for (int p = 0; p < 45 * 30; ++p) {
        ASSERT_EQ(pixels[p * 4 + 3], 255) << p;
        ASSERT_EQ(std::memcmp(&pixels[p * 4], &plain.bgr[p * 3], 3), 0) << p;
    }
}

TEST(JpegDecode, FailuresReturnZeroAndLeavePixelsAlone)
{
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(64, 64, 1), 80);
    const Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g', 0, 1, 2, 3};
    const Bytes headOnly(jpeg.begin(), jpeg.begin() + 20);
    const struct {
        const char *name;
        const unsigned char *data;
        size_t length;
        int space;
    } cases[] = {
        {"null", nullptr, 0, JCS_EXT_BGR},
        {"empty", jpeg.data(), 0, JCS_EXT_BGR},
        {"garbage", garbage.data(), garbage.size(), JCS_EXT_BGR},
        {"header cut", headOnly.data(), headOnly.size(), JCS_EXT_BGR},
        // Output forms the colour correction cannot work on.
        {"grey", jpeg.data(), jpeg.size(), JCS_GRAYSCALE},
        {"ycbcr", jpeg.data(), jpeg.size(), JCS_YCbCr},
        {"cmyk", jpeg.data(), jpeg.size(), JCS_CMYK},
        {"rgb565", jpeg.data(), jpeg.size(), JCS_RGB565},
        {"out of range", jpeg.data(), jpeg.size(), 99},
    };
    for (const auto &c : cases) {
        unsigned char *pixels = kSentinel;
        EXPECT_EQ(pyradec::decodeJpeg(c.data, c.length, &pixels, c.space, nullptr), 0) << c.name;
        EXPECT_EQ(pixels, kSentinel) << c.name;
        pixels = kSentinel;
        EXPECT_EQ(VtDecodeJpeg(c.data, c.length, &pixels, c.space), 0) << c.name;
        EXPECT_EQ(pixels, kSentinel) << c.name;
    }
}

TEST(JpegDecode, DamagedEntropyDataDecodesAsLibjpegReconstructsIt)
{
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(96, 80, 4), 80);
    const Bytes cut(jpeg.begin(), jpeg.begin() + jpeg.size() * 6 / 10);
    const Image plain = fixture::decodeJpegPlain(cut);
    unsigned char *pixels = nullptr;
    const int64_t length = pyradec::decodeJpeg(cut.data(), cut.size(), &pixels, JCS_EXT_BGR, nullptr);
    Block owned(pixels);
    ASSERT_EQ(length, 96 * 80 * 3);
    EXPECT_EQ(std::memcmp(pixels, plain.bgr.data(), plain.bgr.size()), 0);
}

TEST(JpegDecode, WithoutColorTableReturnsLengthButNoPixels)
{
    ColorTable = nullptr;
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(20, 10, 1), 80);
    unsigned char *pixels = kSentinel;
    EXPECT_EQ(VtDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR), 20 * 10 * 3);
    EXPECT_EQ(pixels, nullptr);
}

TEST(JpegDecode, ConcurrentDecodesAgree)
{
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(256, 256, 6), 80);
    const Image plain = fixture::decodeJpegPlain(jpeg);
    int mismatches = 0;
#pragma omp parallel for num_threads(4) reduction(+ : mismatches)
    for (int i = 0; i < 32; ++i) {
        std::vector<unsigned char> out(256 * 256 * 3);
        if (!pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), out.data(), 256, 256, nullptr) ||
            std::memcmp(out.data(), plain.bgr.data(), out.size()) != 0)
            ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

// ---- colour correction on the way out ----

TEST_F(ScrambleTable, DecodesGoThroughTheTable)
{
    const Image img = fixture::makePattern(70, 45, 8);
    const Bytes jpeg = fixture::encodeJpeg(img, 80);
    Image expected = fixture::decodeJpegPlain(jpeg);
    for (size_t p = 0; p < expected.bgr.size(); p += 3)
        correctByFormula(&expected.bgr[p]);
    const size_t count = size_t(70) * 45;

    // Through the process-wide table.
    ColorTable = table_;
    unsigned char *pixels = nullptr;
    ASSERT_EQ(VtDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR), int64_t(count * 3));
    Block global(pixels);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(std::memcmp(pixels, expected.bgr.data(), count * 3), 0);

    pixels = nullptr;
    ASSERT_EQ(VtDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGRA), int64_t(count * 4));
    Block globalBgra(pixels);
    for (size_t p = 0; p < count; ++p) {
        ASSERT_EQ(std::memcmp(&pixels[p * 4], &expected.bgr[p * 3], 3), 0) << p;
        ASSERT_EQ(pixels[p * 4 + 3], 255) << p;
    }
    ColorTable = nullptr;

    // Through a table of the caller's choosing, with no process-wide table.
    pixels = nullptr;
    ASSERT_EQ(pyradec::decodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR, table_),
              int64_t(count * 3));
    Block own(pixels);
    EXPECT_EQ(std::memcmp(pixels, expected.bgr.data(), count * 3), 0);

    std::vector<unsigned char> tile(count * 3);
    ASSERT_TRUE(pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), tile.data(), 70, 45, table_));
    EXPECT_EQ(std::memcmp(tile.data(), expected.bgr.data(), count * 3), 0);
}

// ---- tile decoder ----

TEST(JpegTile, DecodesExactlyLikePlainLibjpeg)
{
    for (auto [width, height] :
         {std::pair{256, 256}, std::pair{33, 17}, std::pair{1, 1}, std::pair{257, 3}, std::pair{512, 240}}) {
        const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(width, height, 7), 80);
        const Image plain = fixture::decodeJpegPlain(jpeg);
        std::vector<unsigned char> out(size_t(width) * height * 3);
        ASSERT_TRUE(pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), out.data(), width, height, nullptr))
            << width << "x" << height;
        EXPECT_EQ(std::memcmp(out.data(), plain.bgr.data(), out.size()), 0) << width << "x" << height;
    }
}

TEST(JpegTile, RefusesOtherSizesWithoutWriting)
{
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(16, 16, 2), 80);
    const Bytes garbage(100, 0x42);
    const struct {
        const Bytes *data;
        int width, height;
    } cases[] = {
        {&jpeg, 8, 8},   {&jpeg, 16, 15}, {&jpeg, 15, 16}, {&jpeg, 17, 16},
        {&jpeg, 32, 32}, {&jpeg, 0, 16},  {&jpeg, 16, -1}, {&garbage, 16, 16},
    };
    for (const auto &c : cases) {
        // Exactly the caller's size, so any write past it shows under ASan.
        const size_t size = c.width > 0 && c.height > 0 ? size_t(c.width) * c.height * 3 : 1;
        std::vector<unsigned char> out(size, 0xAB);
        EXPECT_FALSE(
            pyradec::decodeJpegTile(c.data->data(), c.data->size(), out.data(), c.width, c.height, nullptr))
            << c.width << "x" << c.height;
        EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB), ptrdiff_t(size));
    }
}

}  // namespace

namespace {

// Decoding only some rows of a tile gives exactly the rows of a whole decode, for
// every first row and every last row (4:2:0 tiles, whose upsampling reads the
// neighbouring rows).
TEST(JpegTile, PartialRowsEqualTheWholeDecode)
{
    const int w = 256, h = 256;
    const Image picture = fixture::makePattern(w, h, 17);
    for (int quality : {80, 95}) {
        SCOPED_TRACE(quality);
        const Bytes jpeg = fixture::encodeJpeg(picture, quality);
        std::vector<unsigned char> whole(size_t(w) * h * 3), part(size_t(w) * h * 3);
        ASSERT_TRUE(pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), whole.data(), w, h, nullptr));
        auto rowsEqual = [&](int first, int end) {
            std::fill(part.begin(), part.end(), 0x77);
            if (!pyradec::decodeJpegTileRows(jpeg.data(), jpeg.size(), part.data(), w, h, first, end,
                                             nullptr))
                return false;
            const size_t stride = size_t(w) * 3;
            return std::equal(whole.begin() + first * stride, whole.begin() + end * stride,
                              part.begin() + first * stride);
        };
        for (int first = 0; first < h; ++first)
            ASSERT_TRUE(rowsEqual(first, h)) << "rows " << first << " to the end";
        for (int end = 1; end <= h; ++end)
            ASSERT_TRUE(rowsEqual(0, end)) << "rows 0 to " << end;
        for (int first : {1, 7, 8, 15, 16, 17, 100, 127})
            for (int end : {first + 1, first + 9, first + 100}) {
                if (end <= h) {
                    ASSERT_TRUE(rowsEqual(first, end)) << first << ".." << end;
                }
            }
    }
    std::vector<unsigned char> out(size_t(w) * h * 3);
    const Bytes jpeg = fixture::encodeJpeg(picture, 80);
    EXPECT_FALSE(pyradec::decodeJpegTileRows(jpeg.data(), jpeg.size(), out.data(), w, h, 5, 5, nullptr));
    EXPECT_FALSE(
        pyradec::decodeJpegTileWindow(jpeg.data(), jpeg.size(), out.data(), w, h, 0, 4, 9, 9, nullptr));
    EXPECT_FALSE(
        pyradec::decodeJpegTileWindow(jpeg.data(), jpeg.size(), out.data(), w, h, 0, 4, 0, w + 1, nullptr));
    EXPECT_FALSE(pyradec::decodeJpegTileRows(jpeg.data(), jpeg.size(), out.data(), w, h, 0, h + 1, nullptr));
    EXPECT_FALSE(pyradec::decodeJpegTileRows(jpeg.data(), jpeg.size(), out.data(), w - 1, h, 0, 4, nullptr));
}

}  // namespace

namespace {

// Every colour space the decoder accepts is corrected at its own channel
// positions: pixel by pixel, the corrected BGR decode rearranged, and the
// constant byte, where the space has one, 255.
TEST_F(ScrambleTable, EveryAcceptedColourSpaceIsCorrectedWhereItsChannelsLie)
{
    const int width = 53, height = 29;
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(width, height, 12), 85);
    Image expected = fixture::decodeJpegPlain(jpeg);
    for (size_t p = 0; p < expected.bgr.size(); p += 3)
        correctByFormula(&expected.bgr[p]);
    const struct {
        int space;
        int step, blue, green, red, filler;  // byte positions; filler -1: none
    } cases[] = {
        {JCS_RGB, 3, 2, 1, 0, -1},     {JCS_EXT_RGB, 3, 2, 1, 0, -1}, {JCS_EXT_BGR, 3, 0, 1, 2, -1},
        {JCS_EXT_RGBX, 4, 2, 1, 0, 3}, {JCS_EXT_BGRX, 4, 0, 1, 2, 3}, {JCS_EXT_XBGR, 4, 1, 2, 3, 0},
        {JCS_EXT_XRGB, 4, 3, 2, 1, 0}, {JCS_EXT_RGBA, 4, 2, 1, 0, 3}, {JCS_EXT_BGRA, 4, 0, 1, 2, 3},
        {JCS_EXT_ABGR, 4, 1, 2, 3, 0}, {JCS_EXT_ARGB, 4, 3, 2, 1, 0},
    };
    ColorTable = table_;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.space);
        unsigned char *pixels = nullptr;
        const size_t count = size_t(width) * height;
        ASSERT_EQ(VtDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, c.space), int64_t(count * c.step));
        Block owned(pixels);
        ASSERT_NE(pixels, nullptr);
        int wrong = 0;
        for (size_t p = 0; p < count; ++p) {
            const unsigned char *px = pixels + p * c.step;
            const unsigned char *want = &expected.bgr[p * 3];
            wrong += px[c.blue] != want[0] || px[c.green] != want[1] || px[c.red] != want[2] ||
                     (c.filler >= 0 && px[c.filler] != 255);
        }
        EXPECT_EQ(wrong, 0);
    }
}

}  // namespace

namespace {

// A column window (which the decoder widens to whole iMCU columns, and whose edge
// the upsampler sees as the picture's edge) still gives exactly the columns of a
// whole decode inside it; every left and every right edge.
TEST(JpegTile, ColumnWindowsEqualTheWholeDecode)
{
    const int w = 256, h = 64;
    const Image picture = fixture::makePattern(w, h, 23);
    const Bytes jpeg = fixture::encodeJpeg(picture, 85);
    std::vector<unsigned char> whole(size_t(w) * h * 3), part(size_t(w) * h * 3);
    ASSERT_TRUE(pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), whole.data(), w, h, nullptr));
    const size_t stride = size_t(w) * 3;
    auto windowEqual = [&](int firstRow, int endRow, int firstCol, int endCol) {
        std::fill(part.begin(), part.end(), 0x77);
        if (!pyradec::decodeJpegTileWindow(jpeg.data(), jpeg.size(), part.data(), w, h, firstRow, endRow,
                                           firstCol, endCol, nullptr))
            return false;
        for (int r = firstRow; r < endRow; ++r)
            if (!std::equal(whole.begin() + r * stride + firstCol * 3,
                            whole.begin() + r * stride + endCol * 3,
                            part.begin() + r * stride + firstCol * 3))
                return false;
        return true;
    };
    for (int first = 0; first < w; ++first)
        ASSERT_TRUE(windowEqual(0, h, first, w)) << "columns " << first << " to the end";
    for (int end = 1; end <= w; ++end)
        ASSERT_TRUE(windowEqual(0, h, 0, end)) << "columns 0 to " << end;
    const int windows[][4] = {{0, h, 15, 17},     {0, h, 16, 32},    {0, h, 17, 239}, {5, 37, 31, 33},
                              {17, 18, 100, 101}, {33, h, 1, w - 1}, {0, 1, 240, w}};
    for (const auto &win : windows)
        ASSERT_TRUE(windowEqual(win[0], win[1], win[2], win[3]))
            << win[0] << ".." << win[1] << " x " << win[2] << ".." << win[3];
}

}  // namespace
