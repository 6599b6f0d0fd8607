// BMP file images in memory to packed 3-byte pixels, top row first.
//
// Only the layout the conversion describes is taken: an uncompressed (BI_RGB)
// bottom-up bitmap of 24 or 32 bits per pixel. Its information header may be any
// of the sizes that begin with the 40-byte one (V4 and V5 headers among them);
// the rows start where the file header's pixel-data offset says, which must lie
// behind both headers. Everything else (palettes, 16 bits, bit fields, top-down
// rows, core headers) yields null instead of pixels read from the wrong place.
#include "bmp/bmp.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kRowsOffset = 54;        // file header + the 40-byte information header
constexpr size_t kPixelOffsetField = 10;  // in the file header: where the rows start
constexpr uint32_t kBiRgb = 0;

struct Layout {
    size_t bytesPerPixel;
    size_t rowStride;   // stored bytes per row, a multiple of 4
    size_t rowsOffset;  // where the first stored row starts
    size_t storedSize;  // rowsOffset + rowStride * height
    size_t outSize;     // width * height * 3
};

// The sizes of a convertible header, or nothing. All products are formed in
// 64 bits from values below 2^31, and checked against size_t.
std::optional<Layout> layoutOf(const BmpInfo &info, uint32_t storedOffset)
{
    if (info.headerSize < sizeof(BmpInfo))
        return std::nullopt;
    const uint64_t headersEnd = kFileHeaderSize + uint64_t{info.headerSize};
    // Writers that leave the offset unset put the rows right behind the headers.
    const uint64_t rowsOffset = storedOffset == 0 ? headersEnd : storedOffset;
    // The rows lie behind both headers, never over them.
    if (rowsOffset < headersEnd)
        return std::nullopt;
    if (info.bitCount != 24 && info.bitCount != 32)
        return std::nullopt;
    if (info.compression != kBiRgb)
        return std::nullopt;
    if (info.width <= 0 || info.height <= 0)
        return std::nullopt;
    const uint64_t width = static_cast<uint64_t>(info.width);
    const uint64_t height = static_cast<uint64_t>(info.height);
    const uint64_t bytesPerPixel = info.bitCount / 8u;
    const uint64_t rowStride = (bytesPerPixel * width + 3u) & ~uint64_t{3};  // < 2^33
    const uint64_t rows = rowStride * height;                                // < 2^64
    const uint64_t outSize = width * height * 3u;                            // < 2^64
    constexpr uint64_t kMax = std::numeric_limits<size_t>::max();
    if (rowsOffset > kMax || rows > kMax - rowsOffset || outSize > kMax)
        return std::nullopt;
    return Layout{static_cast<size_t>(bytesPerPixel), static_cast<size_t>(rowStride),
                  static_cast<size_t>(rowsOffset), static_cast<size_t>(rows + rowsOffset),
                  static_cast<size_t>(outSize)};
}

unsigned char *convert(const unsigned char *bmp, const BmpInfo &info, const Layout &layout)
{
    auto *out = static_cast<unsigned char *>(std::malloc(layout.outSize));
    if (out == nullptr)
        return nullptr;
    const size_t width = static_cast<size_t>(info.width);
    const size_t height = static_cast<size_t>(info.height);
    const size_t outStride = width * 3;
    for (size_t i = 0; i < height; ++i) {
        // Stored rows run bottom-up: output row 0 is the last stored row.
        const unsigned char *src = bmp + layout.rowsOffset + layout.rowStride * (height - 1 - i);
        unsigned char *dst = out + outStride * i;
        if (layout.bytesPerPixel == 3) {
            std::memcpy(dst, src, outStride);
        } else {
            for (size_t j = 0; j < width; ++j) {
                dst[j * 3 + 0] = src[j * 4 + 0];
                dst[j * 3 + 1] = src[j * 4 + 1];
                dst[j * 3 + 2] = src[j * 4 + 2];
            }
        }
    }
    return out;
}

BmpInfo headerOf(const unsigned char *bmp)
{
    BmpInfo info;
    std::memcpy(&info, bmp + kFileHeaderSize, sizeof info);
    return info;
}

uint32_t rowsOffsetOf(const unsigned char *bmp)
{
    uint32_t offset;
    std::memcpy(&offset, bmp + kPixelOffsetField, sizeof offset);
    return offset;
}

}  // namespace

extern "C" PYRADEC_API unsigned char *GetRgb24FromBmp(const unsigned char *bmp, BmpInfo *info)
{
    if (bmp == nullptr)
        return nullptr;
    const BmpInfo header = headerOf(bmp);
    if (info != nullptr)
        *info = header;
    const std::optional<Layout> layout = layoutOf(header, rowsOffsetOf(bmp));
    if (!layout)
        return nullptr;
    // No length is given: the caller vouches for the bytes its headers declare.
    return convert(bmp, header, *layout);
}

namespace pyradec {

unsigned char *rgb24FromBmp(const unsigned char *bmp, size_t length, BmpInfo *info)
{
    if (bmp == nullptr || length < kRowsOffset)
        return nullptr;
    const BmpInfo header = headerOf(bmp);
    if (info != nullptr)
        *info = header;
    const std::optional<Layout> layout = layoutOf(header, rowsOffsetOf(bmp));
    if (!layout || layout->storedSize > length)
        return nullptr;
    return convert(bmp, header, *layout);
}

}  // namespace pyradec
