// The colour correction table: its build from a slide's colour parameters, and
// its application to pixels.
//
// The build computes, for every (R, G) row, all 256 entries of B in a branch-free
// form, one register of lanes at a time (ColorRowKernel.inc); every step is the
// single-precision computation of Rgb2Hsv and Hsv2Rgb (RgbHsv.cpp), bit for bit:
// - a float x compared in double with 1e-6 is the float comparison with kTol,
//   the smallest float above 1e-6 (no float equals 1e-6 itself), so
//   (double)x >= 1e-6, (double)x > 1e-6 are x >= kTol and (double)x <= 1e-6 is x < kTol;
// - "x < 0 gives 0, x > 255 gives 255, else truncate" is truncation of x
//   clamped to [0, 255]; so is ScalarRgb for every value it meets here;
// - the hue and S, V clamps leave H >= 0 (or NaN), so the floor in Hsv2Rgb is
//   the truncation.
#include <omp.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "ColorCorrect.h"

namespace {

constexpr float kTol = 1.00000011e-6f;  // nextafterf(1e-6f, 1): the first float above 1e-6
static_assert(static_cast<double>(kTol) > 1e-6, "tolerance bound");
static_assert(static_cast<double>(1e-6f) < 1e-6, "1e-6f lies below 1e-6");

constexpr int kRow = 256;

struct RowParams {
    float base[3];        // colorMatrix[c][0] * R + G * colorMatrix[c][1]
    float blueWeight[3];  // colorMatrix[c][2]
    float gain[3];
    float hsvScales[3];
    const float *gammaUnit;  // gammaTable[i] / 255
};

using RowFn = void (*)(const RowParams &, unsigned char *, unsigned char *, unsigned char *, uint32_t *);

// Each instruction set gets its lane set and its own copy of the row kernel; the
// masks stay in mask registers and the gamma step is one gather per channel.

// Four lanes as GCC vectors: whatever the target, these lower to its 128-bit
// registers (or to scalars).
namespace portable {
struct S {
    static constexpr int N = 4;
    typedef float V __attribute__((vector_size(16)));
    typedef int I __attribute__((vector_size(16)));
    typedef I M;
    typedef unsigned char B __attribute__((vector_size(4)));
    static V set(float x) { return V{} + x; }
    static I iota(int b) { return I{b, b + 1, b + 2, b + 3}; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V div(V a, V b) { return a / b; }
    static V abs(V a) { return (V)((I)a & 0x7fffffff); }
    static M lt(V a, V b) { return a < b; }
    static M ge(V a, V b) { return a >= b; }
    static M land(M a, M b) { return a & b; }
    static M lor(M a, M b) { return a | b; }
    static M landnot(M a, M b) { return ~a & b; }
    static V sel(M m, V a, V b) { return m ? a : b; }
#if defined(__SSE2__)
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
#else
    static V max(V a, V b) { return a > b ? a : b; }
    static V min(V a, V b) { return a < b ? a : b; }
#endif
    static V pick(M m, V a) { return (V)(m & (I)a); }
    static V drop(M m, V a) { return (V)(~m & (I)a); }
    static V bor(V a, V b) { return (V)((I)a | (I)b); }
    static I truncate(V a) { return __builtin_convertvector(a, I); }
    static V toFloat(I a) { return __builtin_convertvector(a, V); }
    static M eq(I a, int k) { return a == k; }
    static V gather(const float *t, I i) { return V{t[i[0]], t[i[1]], t[i[2]], t[i[3]]}; }
    static void storeBytes(unsigned char *out, I x)
    {
#if defined(__SSE2__)  // the lanes hold 0..255: two saturating packs instead of four extracts
        const __m128i words = _mm_packs_epi32((__m128i)x, (__m128i)x);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
#else
        const B bytes = __builtin_convertvector(x, B);
#endif
        __builtin_memcpy(out, &bytes, sizeof bytes);
    }
    static void storePacked(uint32_t *out, I r, I g, I b)
    {
        const I packed = b | (g << 8) | (r << 16);
        __builtin_memcpy(out, &packed, sizeof packed);
    }
};
#include "ColorRowKernel.inc"
}  // namespace portable

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// Each kernel is compiled for its instruction set; GCC takes the target as a
// pragma, clang (the fuzzing build) as an attribute on every function inside.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
struct S {
    static constexpr int N = 8;
    using V = __m256;
    using I = __m256i;
    using M = __m256;
    static V set(float x) { return _mm256_set1_ps(x); }
    static I iota(int b)
    {
        return _mm256_add_epi32(_mm256_set1_epi32(b), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V abs(V a) { return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff))); }
    static M lt(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static M ge(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static M land(M a, M b) { return _mm256_and_ps(a, b); }
    static M lor(M a, M b) { return _mm256_or_ps(a, b); }
    static M landnot(M a, M b) { return _mm256_andnot_ps(a, b); }
    static V sel(M m, V a, V b) { return _mm256_blendv_ps(b, a, m); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static V pick(M m, V a) { return _mm256_and_ps(m, a); }
    static V drop(M m, V a) { return _mm256_andnot_ps(m, a); }
    static V bor(V a, V b) { return _mm256_or_ps(a, b); }
    static I truncate(V a) { return _mm256_cvttps_epi32(a); }
    static V toFloat(I a) { return _mm256_cvtepi32_ps(a); }
    static M eq(I a, int k) { return _mm256_castsi256_ps(_mm256_cmpeq_epi32(a, _mm256_set1_epi32(k))); }
    static V gather(const float *t, I i) { return _mm256_i32gather_ps(t, i, 4); }
    static void storeBytes(unsigned char *out, I x)
    {
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(words, words));
    }
    static void storePacked(uint32_t *out, I r, I g, I b)
    {
        const I packed =
            _mm256_or_si256(b, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(r, 16)));
        _mm256_storeu_si256(reinterpret_cast<I *>(out), packed);
    }
};
#include "ColorRowKernel.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))), apply_to = function)
#else
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq")
#endif
// GCC 12's own intrinsics start from deliberately undefined registers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
namespace avx512 {
struct S {
    static constexpr int N = 16;
    using V = __m512;
    using I = __m512i;
    using M = __mmask16;
    static V set(float x) { return _mm512_set1_ps(x); }
    static I iota(int b)
    {
        return _mm512_add_epi32(_mm512_set1_epi32(b),
                                _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    static V abs(V a) { return _mm512_abs_ps(a); }
    static M lt(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static M ge(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    static M land(M a, M b) { return _kand_mask16(a, b); }
    static M lor(M a, M b) { return _kor_mask16(a, b); }
    static M landnot(M a, M b) { return _kandn_mask16(a, b); }
    static V sel(M m, V a, V b) { return _mm512_mask_blend_ps(m, b, a); }
    static V max(V a, V b) { return _mm512_max_ps(a, b); }
    static V min(V a, V b) { return _mm512_min_ps(a, b); }
    static V pick(M m, V a) { return _mm512_maskz_mov_ps(m, a); }
    static V drop(M m, V a) { return _mm512_maskz_mov_ps(_knot_mask16(m), a); }
    static V bor(V a, V b) { return _mm512_or_ps(a, b); }
    static I truncate(V a) { return _mm512_cvttps_epi32(a); }
    static V toFloat(I a) { return _mm512_cvtepi32_ps(a); }
    static M eq(I a, int k) { return _mm512_cmpeq_epi32_mask(a, _mm512_set1_epi32(k)); }
    static V gather(const float *t, I i) { return _mm512_i32gather_ps(i, t, 4); }
    static void storeBytes(unsigned char *out, I x)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm512_cvtepi32_epi8(x));
    }
    static void storePacked(uint32_t *out, I r, I g, I b)
    {
        const I packed =
            _mm512_or_si512(b, _mm512_or_si512(_mm512_slli_epi32(g, 8), _mm512_slli_epi32(r, 16)));
        _mm512_storeu_si512(out, packed);
    }
};
#include "ColorRowKernel.inc"
}  // namespace avx512
#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

RowFn rowFnFor(pyradec::ColorKernel kernel)
{
    using pyradec::ColorKernel;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    const bool avx2 = __builtin_cpu_supports("avx2");
    switch (kernel) {
    case ColorKernel::Best: return avx512 ? avx512::buildRow : avx2 ? avx2::buildRow : portable::buildRow;
    case ColorKernel::Avx512: return avx512 ? avx512::buildRow : nullptr;
    case ColorKernel::Avx2: return avx2 ? avx2::buildRow : nullptr;
    case ColorKernel::Portable: return portable::buildRow;
    }
    return nullptr;
#else
    return (kernel == ColorKernel::Best || kernel == ColorKernel::Portable) ? portable::buildRow : nullptr;
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

inline uint32_t loadWord(const unsigned char *p)
{
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline void storeWord(unsigned char *p, uint32_t w) { std::memcpy(p, &w, sizeof w); }

// Blue-green-red pixels through the packed plane, src to dst (which may be the
// same buffer). A little-endian word of a pixel's three bytes is its index, and
// an entry is the corrected pixel's bytes: four pixels are three word loads,
// four lookups and three word stores, all loads of a group before its stores.
// The first `prefetchCount` pixels at `prefetchFrom` (the next row, say) follow
// the run for prefetching.
void lookupBgr(const uint32_t *packed, const unsigned char *src, unsigned char *dst, size_t count,
               const unsigned char *prefetchFrom, size_t prefetchCount)
{
    // Prefetching a group's worth of entries some pixels ahead keeps more of the
    // table's cache misses in flight.
    constexpr size_t kAhead = 16;
    // The word forms hold on little-endian processors; others take the pixel loop.
    constexpr bool kWords = std::endian::native == std::endian::little;
    size_t i = 0;
    for (; kWords && i + 4 <= count; i += 4, src += 12, dst += 12) {
        for (size_t k = 0; k < 4; ++k) {
            const size_t j = i + kAhead + k;
            // A word load reads one byte past its pixel: not for a run's last pixel.
            if (j + 1 < count)
                __builtin_prefetch(packed + (loadWord(src + (kAhead + k) * 3) & 0xffffff));
            else if (j >= count && j - count + 1 < prefetchCount)
                __builtin_prefetch(packed + (loadWord(prefetchFrom + (j - count) * 3) & 0xffffff));
        }
        const uint32_t w0 = loadWord(src), w1 = loadWord(src + 4), w2 = loadWord(src + 8);
        const uint32_t e0 = packed[w0 & 0xffffff];
        const uint32_t e1 = packed[(w0 >> 24) | ((w1 & 0xffff) << 8)];
        const uint32_t e2 = packed[(w1 >> 16) | ((w2 & 0xff) << 16)];
        const uint32_t e3 = packed[w2 >> 8];
        storeWord(dst, (e0 & 0xffffff) | (e1 << 24));
        storeWord(dst + 4, ((e1 >> 8) & 0xffff) | (e2 << 16));
        storeWord(dst + 8, ((e2 >> 16) & 0xff) | (e3 << 8));
    }
    for (; i < count; ++i, src += 3, dst += 3) {
        const uint32_t entry = packed[indexOf<BgrOrder>(src)];
        dst[0] = static_cast<unsigned char>(entry);
        dst[1] = static_cast<unsigned char>(entry >> 8);
        dst[2] = static_cast<unsigned char>(entry >> 16);
    }
}

// Applies the planes from src to dst (which may be the same buffer).
template <typename O>
void applyPlanes(const pyradec::ColorPlanes &planes, const unsigned char *src, unsigned char *dst,
                 size_t count)
{
    constexpr int Step = O::step;
    if (const uint32_t *packed = planes.packed) {
        if constexpr (std::is_same_v<O, BgrOrder>) {
            lookupBgr(packed, src, dst, count, nullptr, 0);
            return;
        }
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
void applyPointers(const ColorCorrectTable &t, const unsigned char *src, unsigned char *dst, size_t count)
{
    for (size_t i = 0; i < count; ++i, src += O::step, dst += O::step) {
        const unsigned char B = t.rangeTable[src[O::blue]], G = t.rangeTable[src[O::green]],
                            R = t.rangeTable[src[O::red]];
        const unsigned char b = t.blueTable[R][G][B], g = t.greenTable[R][G][B], r = t.redTable[R][G][B];
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
void applyOrdered(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst, size_t count)
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

void applyTo(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst, size_t count,
             pyradec::PixelOrder order)
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

void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount, int step)
{
    if (!pixels || (step != 3 && step != 4))
        return;
    applyTo(table, pixels, pixels, pixelCount, step == 4 ? PixelOrder::Bgrx : PixelOrder::Bgr);
}

void applyColorTableTo(const ColorCorrectTable *table, const unsigned char *src, unsigned char *dst,
                       size_t pixelCount)
{
    if (src && dst)
        applyTo(table, src, dst, pixelCount, PixelOrder::Bgr);
}

void applyColorTableRows(const ColorCorrectTable *table, const unsigned char *src, size_t srcStride,
                         unsigned char *dst, size_t dstStride, size_t rows, size_t pixelsPerRow)
{
    if (!src || !dst)
        return;
    const ColorPlanes planes = colorPlanesOf(table);
    if (!table || !planes.packed || !rangeIsIdentity(table->rangeTable)) {
        for (size_t r = 0; r < rows; ++r)
            applyTo(table, src + r * srcStride, dst + r * dstStride, pixelsPerRow, PixelOrder::Bgr);
        return;
    }
    // One check for the whole block, and the next row's first entries are on
    // their way while this row's last ones are looked up.
    for (size_t r = 0; r < rows; ++r) {
        const bool last = r + 1 == rows;
        lookupBgr(planes.packed, src + r * srcStride, dst + r * dstStride, pixelsPerRow,
                  last ? nullptr : src + (r + 1) * srcStride, last ? 0 : pixelsPerRow);
    }
}

void applyColorTable(const ColorCorrectTable *table, unsigned char *pixels, size_t pixelCount,
                     PixelOrder order)
{
    if (pixels)
        applyTo(table, pixels, pixels, pixelCount, order);
}

}  // namespace pyradec
