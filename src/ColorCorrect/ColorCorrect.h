// Colour correction: RGB/HSV conversion, the correction table, and the registry
// that shares one table between slides with identical colour parameters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorParams.h"
#include "pyradec/pyradec.h"

// ---- RGB and HSV conversion (one pixel) ----
float ReturnMax(float a, float b, float c);
float ReturnMin(float a, float b, float c);
unsigned char ScalarRgb(unsigned char value, float factor);
void Rgb2Hsv(const unsigned char *rgb, const float *factors, float *hsv);
void Hsv2Rgb(const float *hsv, const float *factors, unsigned char *rgb);

// ---- Table pieces ----
void GammaTableInit(float gamma, unsigned char *table);
void InitColorRangeTable(unsigned char *table);
// A new table whose entries are uninitialised; released with DisposeColorCorrectTable.
ColorCorrectTable *MallocColorCorrectTable();

namespace pyradec {

ColorParams colorParamsOf(const VtExtraInfo &extra);

// Computes every entry of `table` from `params` (in parallel).
void buildColorTable(ColorCorrectTable *table, const ColorParams &params);

// The instruction sets the build has code for; Best is what the processor runs best.
enum class ColorKernel { Best, Portable, Avx2, Avx512 };
bool colorKernelSupported(ColorKernel kernel);
// buildColorTable with a chosen kernel (for tests and benchmarks); false when unsupported.
bool buildColorTableWith(ColorCorrectTable *table, const ColorParams &params, ColorKernel kernel);

// Registry of shared tables, keyed bitwise by the parameters. Thread-safe.
// acquire: one new reference to the table for `params`, built when none is alive.
ColorCorrectTable *acquireColorTable(const ColorParams &params);
// retain: one more reference to a table the caller already holds.
void retainColorTable(ColorCorrectTable *table);
// release: drops one reference; the last one frees the table. Accepts null.
void releaseColorTable(ColorCorrectTable *table);
// Makes `table` the process-wide ColorTable, which then holds its own reference
// (taken here); the reference this function took for the previous one is dropped,
// whatever a host has stored in ColorTable since. Null clears it.
void setCurrentColorTable(ColorCorrectTable *table);

// A counted reference to the process-wide ColorTable for the length of one call
// of the functions that use it without a handle, so that a close on another
// thread cannot free or rebuild it under them. Null when ColorTable is null or
// holds anything but a live table the library made.
class CurrentColorTable {
public:
    CurrentColorTable();
    ~CurrentColorTable();
    CurrentColorTable(const CurrentColorTable &) = delete;
    CurrentColorTable &operator=(const CurrentColorTable &) = delete;
    const ColorCorrectTable *get() const { return table_; }

private:
    ColorCorrectTable *table_ = nullptr;
};
// Number of tables alive (for tests).
int liveColorTableCount();

// The three channel planes of a table, each indexed (R << 16) | (G << 8) | B, and
// the same entries packed as blue | green << 8 | red << 16 in one 32-bit word
// (one cache line per lookup instead of three). `packed` is null unless the
// table was computed by buildColorTable and not since written through its
// pointers by hand (e.g. a table filled after MallocColorCorrectTable).
struct ColorPlanes {
    const unsigned char *red;
    const unsigned char *green;
    const unsigned char *blue;
    const uint32_t *packed;
};
ColorPlanes colorPlanesOf(const ColorCorrectTable *table);
// The packed plane for the build to fill, and marking it filled.
uint32_t *packedPlaneOf(ColorCorrectTable *table);
void markPackedPlane(ColorCorrectTable *table, bool valid);

// Corrects `pixelCount` pixels in place; each pixel is `step` bytes (3 or 4) in
// blue, green, red(, x) order; with step 4 the fourth byte becomes 255.
// A null table leaves the colours unchanged (and still sets the fourth byte).
void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount, int step);

// As applyColorTable with step 3, reading `src` and writing the corrected pixels
// to `dst` (which may be `src`).
void applyColorTableTo(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst,
                       size_t pixelCount);
// The same for `rows` rows of `pixelsPerRow` pixels, each `srcStride` and
// `dstStride` bytes after the one before.
void applyColorTableRows(const ColorCorrectTable *table, const unsigned char *src, size_t srcStride,
                         unsigned char *dst, size_t dstStride, size_t rows, size_t pixelsPerRow);

// Where the colours of a pixel lie: blue-green-red or red-green-blue, alone or
// with a constant fourth byte after (x last) or before them (x first).
enum class PixelOrder { Bgr, Rgb, Bgrx, Rgbx, Xbgr, Xrgb };
// As above for any of these orders: the colours are corrected where they lie and
// the constant byte, where there is one, becomes 255.
void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount,
                     PixelOrder order);

}  // namespace pyradec
