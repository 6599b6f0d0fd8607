// The colour correction table: its build from a slide's colour parameters, and
// its application to pixels.
//
// The build computes, for every (R, G) row, all 256 entries of B at once in a
// branch-free form that the compiler vectorises; every step is the single-
// precision computation of Rgb2Hsv and Hsv2Rgb (RgbHsv.cpp), bit for bit:
// - a float x compared in double with 1e-6 is the float comparison with kTol,
//   the smallest float above 1e-6 (no float equals 1e-6 itself), so
//   (double)x >= 1e-6, (double)x > 1e-6 are x >= kTol and (double)x <= 1e-6 is x < kTol;
// - "x < 0 gives 0, x > 255 gives 255, else truncate" is truncation of x
//   clamped to [0, 255]; so is ScalarRgb for every value it meets here;
// - the hue and S, V clamps leave H >= 0 (or NaN), so the floor in Hsv2Rgb is
//   the truncation.
#include <omp.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ColorCorrect.h"

namespace {

constexpr float kTol = 1.00000011e-6f;  // nextafterf(1e-6f, 1): the first float above 1e-6
static_assert(static_cast<double>(kTol) > 1e-6, "tolerance bound");
static_assert(static_cast<double>(1e-6f) < 1e-6, "1e-6f lies below 1e-6");

constexpr int kRow = 256;

struct RowParams {
    float base[3];       // colorMatrix[c][0] * R + G * colorMatrix[c][1]
    float blueWeight[3]; // colorMatrix[c][2]
    float gain[3];
    float hsvScales[3];
    const float *gammaUnit;  // gammaTable[i] / 255
};

// Sixteen lanes of B at a time, as GCC vectors; each target below lowers them to
// its own register width.
typedef float VF __attribute__((vector_size(64)));
typedef int VI __attribute__((vector_size(64)));
typedef unsigned char VB __attribute__((vector_size(16)));
constexpr int kLanes = 16;

#define PYRADEC_INLINE [[gnu::always_inline]] inline
// Macros and reference arguments: no vector ever crosses a call boundary.
#define splat(x) (VF{} + (x))
#define select(mask, a, b) ((mask) ? (a) : (b))
#define absf(x) ((VF)((VI)(x) & 0x7fffffff))

// x clamped to [0, 255] (NaN to 0), truncated.
PYRADEC_INLINE void clampTrunc(VI &out, const VF &value)
{
    VF x = select(value > 0.0f, value, splat(0.0f));
    x = select(x < 255.0f, x, splat(255.0f));
    out = __builtin_convertvector(x, VI);
}

// The 256 entries (R, G, 0..255) into three rows of the planes and, from the same
// registers, the row of the packed plane.
PYRADEC_INLINE void buildRowBody(const RowParams &p, unsigned char *__restrict outR,
                                 unsigned char *__restrict outG, unsigned char *__restrict outB,
                                 uint32_t *__restrict outPacked)
{
    alignas(64) int idx[3][kRow];
    alignas(64) float unit[3][kRow];

    // Matrix, gain and clamp: the channel bytes before the gamma curve.
    VI lane{};
    for (int k = 0; k < kLanes; ++k)
        lane[k] = k;
    for (int c = 0; c < 3; ++c) {
        const VF base = splat(p.base[c]), weight = splat(p.blueWeight[c]),
                 gain = splat(p.gain[c]);
        for (int b = 0; b < kRow; b += kLanes) {
            const VF fb = __builtin_convertvector(lane + b, VF);
            const VF s = base + fb * weight;
            VI byte;
            const VF x = gain * s;
            clampTrunc(byte, x);
            __builtin_memcpy(&idx[c][b], &byte, sizeof byte);
        }
    }
    for (int c = 0; c < 3; ++c)
        for (int b = 0; b < kRow; ++b)
            unit[c][b] = p.gammaUnit[idx[c][b]];

    const VF zero = splat(0.0f), one = splat(1.0f);
    const VF fh = splat(p.hsvScales[0]), fs = splat(p.hsvScales[1]), fv = splat(p.hsvScales[2]);
    for (int b = 0; b < kRow; b += kLanes) {
        VF r, g, bl;
        __builtin_memcpy(&r, &unit[0][b], sizeof r);
        __builtin_memcpy(&g, &unit[1][b], sizeof g);
        __builtin_memcpy(&bl, &unit[2][b], sizeof bl);

        // Rgb2Hsv
        const VF rg = r - g;
        const VI rAboveG = rg >= kTol;
        const VF m1 = select(rAboveG, r, g);
        const VF max = select((m1 - bl) >= kTol, m1, bl);
        const VF n1 = select(rAboveG, g, r);
        const VF min = select((n1 - bl) >= kTol, bl, n1);
        const VF delta = max - min;
        const VI redMax = absf(r - max) < kTol;
        const VI greenMax = absf(g - max) < kTol;
        const VF gb = g - bl;
        const VI gAbove = gb >= kTol;
        const VI bAbove = (bl - g) >= kTol;
        const VF num = select(redMax, gb, select(greenMax, bl - r, rg));
        const VF h60 = 60.0f * (num / delta);
        const VF offset = select(redMax, splat(359.0f), select(greenMax, splat(119.0f), splat(239.0f)));
        VF h = select(redMax & gAbove, h60, offset + h60);
        h = select((delta < kTol) | (redMax & ~gAbove & ~bAbove), zero, h);
        VF s = select(max < kTol, zero, delta / max);
        VF v = max;

        h = fh * h;
        s = fs * s;
        v = fv * v;
        h = select((h - 359.0f) >= kTol, splat(359.0f), select(h < kTol, zero, h));
        s = select((s - 1.0f) >= kTol, one, select(s < kTol, zero, s));
        v = select((v - 1.0f) >= kTol, one, select(v < kTol, zero, v));

        // Hsv2Rgb with unit factors
        const VI grey = absf(s) < kTol;
        const VF hh = h / 60.0f;
        const VI i = __builtin_convertvector(select((hh >= 0.0f) & (hh < 6.0f), hh, splat(-1.0f)), VI);
        const VF f = hh - __builtin_convertvector(i, VF);
        const VF pp = (1.0f - s) * v;
        const VF q = (1.0f - s * f) * v;
        const VF t = (1.0f - (1.0f - f) * s) * v;
        const VI i0 = i == 0, i1 = i == 1, i2 = i == 2, i3 = i == 3, i4 = i == 4, i5 = i == 5;
        VF red = select(i0 | i5, v, select(i1, q, select(i4, t, select(i2 | i3, pp, zero))));
        VF green = select(i0, t, select(i1 | i2, v, select(i3, q, select(i4 | i5, pp, zero))));
        VF blue = select(i0 | i1, pp, select(i2, t, select(i3 | i4, v, select(i5, q, zero))));
        red = select(grey, v, red);
        green = select(grey, v, green);
        blue = select(grey, v, blue);
        VI byteRed, byteGreen, byteBlue;
        red = 255.0f * red;
        green = 255.0f * green;
        blue = 255.0f * blue;
        clampTrunc(byteRed, red);
        clampTrunc(byteGreen, green);
        clampTrunc(byteBlue, blue);
        const VB outRed = __builtin_convertvector(byteRed, VB);
        const VB outGreen = __builtin_convertvector(byteGreen, VB);
        const VB outBlue = __builtin_convertvector(byteBlue, VB);
        __builtin_memcpy(outR + b, &outRed, sizeof outRed);
        __builtin_memcpy(outG + b, &outGreen, sizeof outGreen);
        __builtin_memcpy(outB + b, &outBlue, sizeof outBlue);
        const VI packed = byteBlue | (byteGreen << 8) | (byteRed << 16);
        __builtin_memcpy(outPacked + b, &packed, sizeof packed);
    }
}

#undef splat
#undef select
#undef absf

using RowFn = void (*)(const RowParams &, unsigned char *, unsigned char *, unsigned char *, uint32_t *);

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512"))) void
buildRowAvx512(const RowParams &p, unsigned char *r, unsigned char *g, unsigned char *b, uint32_t *packed)
{
    buildRowBody(p, r, g, b, packed);
}

__attribute__((target("avx2"))) void buildRowAvx2(const RowParams &p, unsigned char *r,
                                                  unsigned char *g, unsigned char *b, uint32_t *packed)
{
    buildRowBody(p, r, g, b, packed);
}
#endif

void buildRowPortable(const RowParams &p, unsigned char *r, unsigned char *g, unsigned char *b,
                      uint32_t *packed)
{
    buildRowBody(p, r, g, b, packed);
}

RowFn rowFnFor(pyradec::ColorKernel kernel)
{
    using pyradec::ColorKernel;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    const bool avx2 = __builtin_cpu_supports("avx2");
    switch (kernel) {
    case ColorKernel::Best: return avx512 ? buildRowAvx512 : avx2 ? buildRowAvx2 : buildRowPortable;
    case ColorKernel::Avx512: return avx512 ? buildRowAvx512 : nullptr;
    case ColorKernel::Avx2: return avx2 ? buildRowAvx2 : nullptr;
    case ColorKernel::Portable: return buildRowPortable;
    }
    return nullptr;
#else
    return (kernel == ColorKernel::Best || kernel == ColorKernel::Portable) ? buildRowPortable
                                                                            : nullptr;
#endif
}

// Byte positions within one pixel: its size, where blue, green and red lie, and
// the constant byte (-1: none) that is set to 255.
template <int Step, int B, int G, int R, int X>
struct Order {
    static constexpr int step = Step, blue = B, green = G, red = R, filler = X;
};
using BgrOrder = Order<3, 0, 1, 2, -1>;
using RgbOrder = Order<3, 2, 1, 0, -1>;
using BgrxOrder = Order<4, 0, 1, 2, 3>;
using RgbxOrder = Order<4, 2, 1, 0, 3>;
using XbgrOrder = Order<4, 1, 2, 3, 0>;
using XrgbOrder = Order<4, 3, 2, 1, 0>;

template <typename O>
inline size_t indexOf(const unsigned char *p)
{
    return (size_t{p[O::red]} << 16) | (size_t{p[O::green]} << 8) | p[O::blue];
}

// Applies the planes from src to dst (which may be the same buffer).
template <typename O>
void applyPlanes(const pyradec::ColorPlanes &planes, const unsigned char *src, unsigned char *dst,
                 size_t count)
{
    constexpr int Step = O::step;
    if (const uint32_t *packed = planes.packed) {
        // Prefetching a few pixels ahead keeps more of the table's cache misses in flight.
        constexpr size_t kAhead = 16;
        for (size_t i = 0; i < count; ++i, src += Step, dst += Step) {
            if (i + kAhead < count)
                __builtin_prefetch(packed + indexOf<O>(src + kAhead * Step));
            const uint32_t entry = packed[indexOf<O>(src)];
            dst[O::blue] = static_cast<unsigned char>(entry);
            dst[O::green] = static_cast<unsigned char>(entry >> 8);
            dst[O::red] = static_cast<unsigned char>(entry >> 16);
            if constexpr (O::filler >= 0)
                dst[O::filler] = 255;
        }
        return;
    }
    const unsigned char *red = planes.red, *green = planes.green, *blue = planes.blue;
    for (size_t i = 0; i < count; ++i, src += Step, dst += Step) {
        const size_t index = indexOf<O>(src);
        const unsigned char b = blue[index], g = green[index], r = red[index];
        dst[O::blue] = b;
        dst[O::green] = g;
        dst[O::red] = r;
        if constexpr (O::filler >= 0)
            dst[O::filler] = 255;
    }
}

// The general lookup through the pointer tables and rangeTable.
template <typename O>
void applyPointers(const ColorCorrectTable &t, const unsigned char *src, unsigned char *dst,
                   size_t count)
{
    for (size_t i = 0; i < count; ++i, src += O::step, dst += O::step) {
        const unsigned char B = t.rangeTable[src[O::blue]], G = t.rangeTable[src[O::green]],
                            R = t.rangeTable[src[O::red]];
        const unsigned char b = t.blueTable[R][G][B], g = t.greenTable[R][G][B],
                            r = t.redTable[R][G][B];
        dst[O::blue] = b;
        dst[O::green] = g;
        dst[O::red] = r;
        if constexpr (O::filler >= 0)
            dst[O::filler] = 255;
    }
}

// Checked on every call (hosts may change rangeTable), and calls come per row run:
// one memcmp rather than a byte loop.
bool rangeIsIdentity(const unsigned char *range)
{
    static const auto identity = [] {
        std::array<unsigned char, 256> table{};
        for (int i = 0; i < 256; ++i)
            table[i] = static_cast<unsigned char>(i);
        return table;
    }();
    return std::memcmp(range, identity.data(), identity.size()) == 0;
}

template <typename O>
void applyOrdered(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst,
                  size_t count)
{
    if (!table) {
        if (dst != src)
            std::memcpy(dst, src, count * size_t{O::step});
        if constexpr (O::filler >= 0)
            for (size_t i = 0; i < count; ++i)
                dst[i * O::step + O::filler] = 255;
        return;
    }
    // rangeTable holds the identity unless a host changed it; then take the long way.
    if (rangeIsIdentity(table->rangeTable))
        applyPlanes<O>(pyradec::colorPlanesOf(table), src, dst, count);
    else
        applyPointers<O>(*table, src, dst, count);
}

void applyTo(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst,
             size_t count, pyradec::PixelOrder order)
{
    using pyradec::PixelOrder;
    switch (order) {
    case PixelOrder::Bgr: return applyOrdered<BgrOrder>(table, src, dst, count);
    case PixelOrder::Rgb: return applyOrdered<RgbOrder>(table, src, dst, count);
    case PixelOrder::Bgrx: return applyOrdered<BgrxOrder>(table, src, dst, count);
    case PixelOrder::Rgbx: return applyOrdered<RgbxOrder>(table, src, dst, count);
    case PixelOrder::Xbgr: return applyOrdered<XbgrOrder>(table, src, dst, count);
    case PixelOrder::Xrgb: return applyOrdered<XrgbOrder>(table, src, dst, count);
    }
}

}  // namespace

void GammaTableInit(float gamma, unsigned char *table)
{
    if (!table)
        return;
    // A gamma that is not a positive number would put entries outside 0..255:
    // such a slide gets the neutral curve.
    if (!(gamma > 0.0f) || !std::isfinite(gamma))
        gamma = 1.0f;
    const float e = 1.0f / gamma;
    for (int i = 0; i < 256; ++i) {
        const float x = (static_cast<float>(i) + 0.5f) / 256.0f;
        const float y = 256.0f * std::pow(x, e) - 0.5f;
        table[i] = static_cast<unsigned char>(static_cast<int>(y));
    }
}

void InitColorRangeTable(unsigned char *table)
{
    if (!table)
        return;
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<unsigned char>(i);
}

using pyradec::PixelOrder;

unsigned char *RgbColorCorrect(const unsigned char *pixels, int width, int height, int step)
{
    const pyradec::CurrentColorTable current;
    const ColorCorrectTable *table = current.get();
    if (!pixels || !table || width <= 0 || height <= 0 || (step != 3 && step != 4))
        return nullptr;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto *out = static_cast<unsigned char *>(std::malloc(count * static_cast<size_t>(step)));
    if (!out)
        return nullptr;
    applyTo(table, pixels, out, count, step == 4 ? PixelOrder::Bgrx : PixelOrder::Bgr);
    return out;
}

namespace pyradec {

bool colorKernelSupported(ColorKernel kernel) { return rowFnFor(kernel) != nullptr; }

bool buildColorTableWith(ColorCorrectTable *table, const ColorParams &params, ColorKernel kernel)
{
    static const RowFn best = rowFnFor(ColorKernel::Best);
    const RowFn rowFn = kernel == ColorKernel::Best ? best : rowFnFor(kernel);
    if (!table || !rowFn)
        return false;
    unsigned char gammaTable[256];
    GammaTableInit(params.gamma, gammaTable);
    float gammaUnit[256];
    for (int i = 0; i < 256; ++i)
        gammaUnit[i] = static_cast<float>(gammaTable[i]) / 255.0f;
    float matrix[3][3];
    std::memcpy(matrix, params.colorMatrix, sizeof matrix);

    uint32_t *packed = pyradec::packedPlaneOf(table);
    pyradec::markPackedPlane(table, false);
    omp_set_num_threads(omp_get_num_procs());
#pragma omp parallel for schedule(static)
    for (int R = 0; R < 256; ++R) {
        RowParams p;
        for (int c = 0; c < 3; ++c) {
            p.blueWeight[c] = matrix[c][2];
            p.gain[c] = params.channelGains[c];
            p.hsvScales[c] = params.hsvScales[c];
        }
        p.gammaUnit = gammaUnit;
        for (int G = 0; G < 256; ++G) {
            for (int c = 0; c < 3; ++c) {
                const float s = matrix[c][0] * static_cast<float>(R);
                p.base[c] = s + static_cast<float>(G) * matrix[c][1];
            }
            // The packed entries come from the computed values themselves, not from
            // reading the planes back.
            rowFn(p, table->redTable[R][G], table->greenTable[R][G], table->blueTable[R][G],
                  packed + ((size_t(R) << 16) | (size_t(G) << 8)));
        }
    }
    pyradec::markPackedPlane(table, true);
    return true;
}

void buildColorTable(ColorCorrectTable *table, const ColorParams &params)
{
    buildColorTableWith(table, params, ColorKernel::Best);
}

void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount,
                     int step)
{
    if (!pixels || (step != 3 && step != 4))
        return;
    applyTo(table, pixels, pixels, pixelCount, step == 4 ? PixelOrder::Bgrx : PixelOrder::Bgr);
}

void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount,
                     PixelOrder order)
{
    if (pixels)
        applyTo(table, pixels, pixels, pixelCount, order);
}

}  // namespace pyradec
