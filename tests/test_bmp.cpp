// BMP to packed 3-byte pixels: row order, stride, 32-bit pixels, the copied
// header, refusals of headers that cannot be converted, and the bounded reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Fixture.h"
#include "bmp/bmp.h"

namespace {

using fixture::Bytes;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Block = std::unique_ptr<unsigned char, FreeDeleter>;

constexpr uint8_t kPad = 0xEE;  // never used as a pixel byte below

// A BMP file image built by hand: every pixel byte distinct-ish (below kPad),
// row padding kPad, unusual values in the fields the conversion only copies.
Bytes makeBmp(int32_t width, int32_t height, uint16_t bitCount, uint32_t compression = 0)
{
    const size_t bpp = bitCount / 8;
    const size_t absHeight = height < 0 ? size_t(-int64_t(height)) : size_t(height);
    const size_t stride = width > 0 ? (bpp * size_t(width) + 3) & ~size_t(3) : 0;
    Bytes out(54 + stride * absHeight, 0);
    out[0] = 'B';
    out[1] = 'M';
    BmpInfo info{};
    info.headerSize = 40;
    info.width = width;
    info.height = height;
    info.planes = 1;
    info.bitCount = bitCount;
    info.compression = compression;
    info.imageSize = 0x01020304;
    info.xPelsPerMeter = -7;
    info.yPelsPerMeter = 123456;
    info.colorsUsed = 0xDEADBEEF;
    info.colorsImportant = 42;
    std::memcpy(&out[14], &info, sizeof info);
    for (size_t row = 0; row < absHeight; ++row)
        for (size_t k = 0; k < stride; ++k)
            out[54 + row * stride + k] =
                k < bpp * size_t(width) ? uint8_t((row * 37 + k * 11 + 1) % 200) : kPad;
    return out;
}

TEST(Bmp, TwoByTwoTakesRowsBottomUp)
{
    const Bytes bmp = makeBmp(2, 2, 24);
    BmpInfo info;
    Block out(GetRgb24FromBmp(bmp.data(), &info));
    ASSERT_NE(out, nullptr);
    // rowStride 8: output row 0 is bytes 62..67, row 1 bytes 54..59.
    EXPECT_EQ(std::memcmp(out.get(), &bmp[62], 6), 0);
    EXPECT_EQ(std::memcmp(out.get() + 6, &bmp[54], 6), 0);
}

TEST(Bmp, StrideAndPixelSizeCases)
{
    const struct {
        int width, height, bits;
        size_t stride;
    } cases[] = {
        {2, 2, 24, 8}, {3, 2, 24, 12}, {1, 1, 24, 4},  {5, 3, 24, 16},
        {2, 3, 32, 8}, {1, 1, 32, 4},  {7, 4, 32, 28},
    };
    for (const auto &c : cases) {
        const Bytes bmp = makeBmp(c.width, c.height, uint16_t(c.bits));
        ASSERT_EQ(bmp.size(), 54 + c.stride * c.height);
        for (int bounded = 0; bounded < 2; ++bounded) {
            BmpInfo info;
            Block out(bounded ? pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info)
                              : GetRgb24FromBmp(bmp.data(), &info));
            ASSERT_NE(out, nullptr) << c.width << "x" << c.height << "x" << c.bits;
            const size_t bpp = c.bits / 8;
            for (int i = 0; i < c.height; ++i)
                for (int j = 0; j < c.width; ++j)
                    for (int k = 0; k < 3; ++k)
                        ASSERT_EQ(out.get()[(size_t(i) * c.width + j) * 3 + k],
                                  bmp[54 + c.stride * (c.height - 1 - i) + j * bpp + k])
                            << c.width << "x" << c.height << "x" << c.bits << " at " << i << "," << j << ","
                            << k;
            // Neither row padding nor the fourth byte of 32-bit pixels is taken.
            const unsigned char *p = out.get();
            EXPECT_EQ(std::count(p, p + size_t(c.width) * c.height * 3, kPad), 0);
        }
    }
}

TEST(Bmp, RoundTripOfFixtureBitmaps)
{
    const fixture::Image img = fixture::makePattern(29, 13, 4);
    for (int bits : {24, 32}) {
        const Bytes bmp = fixture::encodeBmp(img, bits);
        BmpInfo info;
        Block out(pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info));
        ASSERT_NE(out, nullptr) << bits;
        EXPECT_EQ(std::memcmp(out.get(), img.bgr.data(), img.bgr.size()), 0) << bits;
    }
}

TEST(Bmp, InfoIsTheStoredHeaderExactly)
{
    const Bytes bmp = makeBmp(3, 2, 32);
    BmpInfo info;
    std::memset(&info, 0x77, sizeof info);
    Block out(GetRgb24FromBmp(bmp.data(), &info));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::memcmp(&info, &bmp[14], 40), 0);
}

TEST(Bmp, NullImageYieldsNullAndLeavesInfo)
{
    BmpInfo info;
    std::memset(&info, 0x77, sizeof info);
    BmpInfo before = info;
    EXPECT_EQ(GetRgb24FromBmp(nullptr, &info), nullptr);
    EXPECT_EQ(pyradec::rgb24FromBmp(nullptr, 1000, &info), nullptr);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST(Bmp, RefusesHeadersItCannotConvert)
{
    const struct {
        const char *name;
        int32_t width, height;
        uint16_t bits;
        uint32_t compression;
    } cases[] = {
        {"1 bit", 4, 4, 1, 0},        {"8 bit palette", 4, 4, 8, 0}, {"16 bit", 4, 4, 16, 0},
        {"48 bit", 4, 4, 48, 0},      {"zero width", 0, 4, 24, 0},   {"negative width", -3, 4, 24, 0},
        {"zero height", 4, 0, 24, 0}, {"top-down", 4, -4, 24, 0},    {"run-length", 4, 4, 24, 1},
        {"bit fields", 4, 4, 32, 3},
    };
    for (const auto &c : cases) {
        Bytes bmp = makeBmp(c.width, c.height, c.bits, c.compression);
        bmp.resize(std::max<size_t>(bmp.size(), 54 + 4 * 4 * 8));  // room for any reading
        BmpInfo info;
        EXPECT_EQ(GetRgb24FromBmp(bmp.data(), &info), nullptr) << c.name;
        EXPECT_EQ(std::memcmp(&info, &bmp[14], 40), 0) << c.name;
        EXPECT_EQ(pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info), nullptr) << c.name;
    }
}

TEST(Bmp, BoundedReaderStaysInsideTheLength)
{
    const Bytes bmp = makeBmp(5, 3, 24);  // 54 + 16 * 3 = 102 bytes
    ASSERT_EQ(bmp.size(), 102u);
    BmpInfo info;
    for (size_t length : {size_t(0), size_t(13), size_t(53), size_t(54), size_t(101)}) {
        // Exactly `length` bytes on the heap, so a read past them shows under ASan.
        std::unique_ptr<unsigned char[]> cut(new unsigned char[std::max<size_t>(length, 1)]);
        std::memcpy(cut.get(), bmp.data(), length);
        EXPECT_EQ(pyradec::rgb24FromBmp(cut.get(), length, &info), nullptr) << length;
    }
    Block whole(pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info));
    EXPECT_NE(whole, nullptr);

    // Headers whose sizes would not fit any buffer: refused, nothing read or allocated.
    for (auto [width, height] :
         {std::pair{0x7fffffff, 0x7fffffff}, std::pair{0x7fffffff, 1}, std::pair{1, 0x7fffffff}}) {
        Bytes huge = makeBmp(1, 1, 32);
        std::memcpy(&huge[18], &width, 4);
        std::memcpy(&huge[22], &height, 4);
        EXPECT_EQ(pyradec::rgb24FromBmp(huge.data(), huge.size(), &info), nullptr) << width << "x" << height;
    }
}

// The same bitmap with a longer information header (V4: 108 bytes, V5: 124) and
// `gap` bytes between the headers and the rows, the file header's pixel-data
// offset saying where the rows start (0: left unset).
Bytes withHeader(const Bytes &plain, uint32_t headerSize, size_t gap, bool setOffset = true)
{
    Bytes out(plain.begin(), plain.begin() + 54);
    out.resize(14 + headerSize + gap, 0x77);  // header tail and gap: not pixels
    std::memset(&out[54], 0, headerSize - 40);
    std::memcpy(&out[14], &headerSize, 4);
    const uint32_t offset = setOffset ? uint32_t(14 + headerSize + gap) : 0;
    std::memcpy(&out[10], &offset, 4);
    out.insert(out.end(), plain.begin() + 54, plain.end());
    return out;
}

// Longer information headers and gaps before the rows: the rows are read where the
// pixel-data offset says, within the stored length; an offset inside the headers or
// past the end is refused.
TEST(Bmp, RowsAreReadWhereThePixelDataOffsetSays)
{
    for (uint16_t bits : {uint16_t(24), uint16_t(32)}) {
        const Bytes plain = makeBmp(5, 3, bits);
        BmpInfo info;
        Block reference(pyradec::rgb24FromBmp(plain.data(), plain.size(), &info));
        ASSERT_NE(reference, nullptr);
        const Bytes expected(reference.get(), reference.get() + 5 * 3 * 3);
        struct Case {
            const char *name;
            uint32_t headerSize;
            size_t gap;
            bool setOffset;
        } cases[] = {
            {"V4 header", 108, 0, true},
            {"V5 header", 124, 0, true},
            {"V5 header and a gap", 124, 20, true},
            {"40-byte header and a gap", 40, 12, true},
            {"V5 header, offset unset", 124, 0, false},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << bits << " bits");
            const Bytes bmp = withHeader(plain, c.headerSize, c.gap, c.setOffset);
            Block bounded(pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info));
            ASSERT_NE(bounded, nullptr);
            EXPECT_EQ(Bytes(bounded.get(), bounded.get() + expected.size()), expected);
            Block unbounded(GetRgb24FromBmp(bmp.data(), &info));
            ASSERT_NE(unbounded, nullptr);
            EXPECT_EQ(Bytes(unbounded.get(), unbounded.get() + expected.size()), expected);
            // One byte short of the last row: refused.
            EXPECT_EQ(pyradec::rgb24FromBmp(bmp.data(), bmp.size() - 1, &info), nullptr);
        }
        // Offsets that put the rows over the headers, or beyond the stored bytes.
        for (uint32_t offset : {14u, 53u, 100u, 137u, 100000u}) {
            SCOPED_TRACE(offset);
            Bytes bmp = withHeader(plain, 124, 0);
            std::memcpy(&bmp[10], &offset, 4);
            EXPECT_EQ(pyradec::rgb24FromBmp(bmp.data(), bmp.size(), &info), nullptr);
        }
        // Information headers shorter than the 40-byte one (core headers) are refused.
        Bytes core = plain;
        const uint32_t twelve = 12;
        std::memcpy(&core[14], &twelve, 4);
        EXPECT_EQ(pyradec::rgb24FromBmp(core.data(), core.size(), &info), nullptr);
    }
}

TEST(Bmp, PrintWritesTheThreeFields)
{
    BmpInfo info{};
    info.width = 640;
    info.height = -480;
    info.bitCount = 24;
    testing::internal::CaptureStdout();
    Print(&info);
    Print(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "width = 640, height = -480, bpp = 24");
}

}  // namespace
