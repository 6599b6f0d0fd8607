// libFuzzer harness for the memory codecs alone. Input layout:
//   byte 0: codec (mod 3): 0 JPEG decode, 1 HEVC decode, 2 BMP to RGB24
//   byte 1: options: bit 0 decode without a colour table; bits 1.. pick the
//           output colour space or layout
//   JPEG and BMP: the stream follows from byte 2.
//   HEVC: bytes 2..5 are the expected width and height (16 bits each, taken
//         modulo 512, plus 1), the stream follows from byte 6.
// Outputs are allocated at exactly their promised size and read in full.
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

#include "ColorCorrect/ColorCorrect.h"
#include "ReadBack.h"
#include "bmp/bmp.h"
#include "pyradec/pyradec.h"

namespace {

ColorCorrectTable *g_neutral = nullptr;
using fuzzing::touch;

const int kJpegSpaces[] = {8, 2, 6, 12, 13, 14, 15, 1, 0, 99};  // BGR, RGB, ext-RGB, 4-byte, grey, unknown
const int kHevcLayouts[] = {3, 2, 25, 26, 27, 28, 0, 99};

void jpeg(const uint8_t *data, size_t size, int options)
{
    const int space = kJpegSpaces[(options >> 1) % (sizeof kJpegSpaces / sizeof *kJpegSpaces)];
    unsigned char *pixels = nullptr;
    const int64_t n = VtDecodeJpeg(data, static_cast<unsigned long>(size), &pixels, space);
    if (pixels)
        touch(pixels, n);
    std::free(pixels);
}

void hevc(const uint8_t *data, size_t size, int options)
{
    if (size < 4)
        return;
    const int width = 1 + ((data[0] | data[1] << 8) % 512);
    const int height = 1 + ((data[2] | data[3] << 8) % 512);
    const int layout = kHevcLayouts[(options >> 1) % (sizeof kHevcLayouts / sizeof *kHevcLayouts)];
    const int bytesPerPixel = (layout == 2 || layout == 3) ? 3 : 4;
    const size_t outBytes = size_t(width) * height * bytesPerPixel;
    auto *out = static_cast<unsigned char *>(std::malloc(outBytes));
    std::memset(out, 0, outBytes);
    const int n = DecodeHevc(data + 4, width, height, int(size - 4), out, layout);
    if (n > 0 && size_t(n) > outBytes)
        __builtin_trap();  // reported more bytes than the buffer it was given
    touch(out, n);
    std::free(out);
}

void bmp(const uint8_t *data, size_t size)
{
    BmpInfo info;
    std::memset(&info, 0, sizeof info);
    unsigned char *pixels = pyradec::rgb24FromBmp(data, size, &info);
    if (pixels)
        touch(pixels, int64_t{info.width} * (info.height < 0 ? -int64_t{info.height} : info.height) * 3);
    std::free(pixels);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_log_set_level(AV_LOG_QUIET);
    const pyradec::ColorParams neutral{1.0f, {1, 1, 1}, {1, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
    g_neutral = pyradec::acquireColorTable(neutral);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int codec = data[0] % 3;
    const int options = data[1];
    pyradec::setCurrentColorTable((options & 1) ? nullptr : g_neutral);
    data += 2;
    size -= 2;
    switch (codec) {
    case 0: jpeg(data, size, options); break;
    case 1: hevc(data, size, options); break;
    default: bmp(data, size); break;
    }
    return 0;
}
