// YUV 4:2:0 to packed pixels. Per pixel: the integer BT.601 sums, a clamp, and
// three lookups in the colour table's flat planes. Two rows are converted per
// pass so that each chroma sample's terms serve four pixels, and the table
// indices of a stretch are computed (and their entries prefetched) before any
// lookup, since the lookups' cache misses are what the conversion costs.
#include "DecodeHevc/YuvConvert.h"

#include <cstdint>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/DecodeHevc.h"

namespace pyradec {

namespace {

// Every shifted sum lies in [-277, 534]; the bias lifts it into [0, kLutSize).
constexpr int kBias = 320;
constexpr int kLutSize = 1024;
constexpr int kBiasTerm = (kBias << 8) + 128;  // bias plus the formula's rounding term

// Shifted sum -> clamped component, through rangeTable, already placed at its
// bit position in the flat table index (R << 16 | G << 8 | B).
struct IndexLuts {
    uint32_t r[kLutSize];
    uint32_t g[kLutSize];
    uint32_t b[kLutSize];
};

void fillLuts(IndexLuts &luts, const unsigned char *range)
{
    for (int s = 0; s < kLutSize; ++s) {
        int c = s - kBias;
        c = c > 254 ? 255 : (c < 0 ? 0 : c);
        if (range)  // the component, then the table index, both go through rangeTable
            c = range[range[c]];
        luts.r[s] = uint32_t(c) << 16;
        luts.g[s] = uint32_t(c) << 8;
        luts.b[s] = uint32_t(c);
    }
}

const IndexLuts &identityLuts()
{
    static const IndexLuts luts = [] {
        IndexLuts l;
        fillLuts(l, nullptr);
        return l;
    }();
    return luts;
}

bool isIdentity(const unsigned char *range)
{
    for (int i = 0; i < 256; ++i)
        if (range[i] != i)
            return false;
    return true;
}

struct Kernel {
    const IndexLuts &luts;
    ColorPlanes planes;  // red null: no lookup; packed used when present
    bool identityRange;  // luts are the plain clamp: indices computed eight at a time
};

// Columns per pass. The table entries of a pass (2 rows x 64 pixels x 3 planes
// of cache lines) are prefetched together and stay within the L1 cache.
constexpr int kChunk = 64;

inline uint32_t tableIndex(const IndexLuts &luts, int luma, int rc, int gc, int bc)
{
    const int yt = 298 * (luma - 16);
    return luts.r[(yt + rc) >> 8] | luts.g[(yt + gc) >> 8] | luts.b[(yt + bc) >> 8];
}

// How pixels are looked up: not at all, in the three planes, or in the packed plane.
enum Lookup { kNoLookup = 0, kPlanes = 1, kPacked = 2 };

template <int LOOKUP>
inline void prefetchEntry(const ColorPlanes &planes, uint32_t idx)
{
#if defined(__GNUC__) || defined(__clang__)
    if constexpr (LOOKUP == kPacked) {
        __builtin_prefetch(planes.packed + idx);
    } else {
        __builtin_prefetch(planes.red + idx);
        __builtin_prefetch(planes.green + idx);
        __builtin_prefetch(planes.blue + idx);
    }
#else
    (void)planes;
    (void)idx;
#endif
}

// Eight lanes of 32-bit sums; GCC lowers them to whatever registers the target has.
typedef int Lanes __attribute__((vector_size(32)));
typedef unsigned char Bytes8 __attribute__((vector_size(8)));
typedef unsigned char Bytes4 __attribute__((vector_size(4)));

// sum >> 8 clamped to [0, 255], in place (no vector crosses a call boundary).
[[gnu::always_inline]] inline void clampComponent(Lanes &c)
{
    c >>= 8;
    c = c < 0 ? Lanes{} : c;
    c = c > 255 ? Lanes{} + 255 : c;
}

// Table indices of eight pixels of one row (rangeTable the identity): the same
// sums as tableIndex, clamped directly.
[[gnu::always_inline]] inline void indexEight(const unsigned char *y, const Lanes &rc, const Lanes &gc,
                                              const Lanes &bc, uint32_t *idx)
{
    Bytes8 luma8;
    __builtin_memcpy(&luma8, y, sizeof luma8);
    const Lanes yt = 298 * (__builtin_convertvector(luma8, Lanes) - 16);
    Lanes r = yt + rc, g = yt + gc, b = yt + bc;
    clampComponent(r);
    clampComponent(g);
    clampComponent(b);
    const Lanes index = (r << 16) | (g << 8) | b;
    __builtin_memcpy(idx, &index, sizeof index);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define PYRADEC_YUV_AVX2 1
// Four chroma samples, each twice, less 128.
[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i chromaPairs(const unsigned char *p)
{
    int32_t four;
    __builtin_memcpy(&four, p, sizeof four);
    const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi32_si128(four));
    return _mm256_sub_epi32(_mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3)),
                            _mm256_set1_epi32(128));
}

[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i componentOf(__m256i sum)
{
    return _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(sum, 8), _mm256_setzero_si256()),
                            _mm256_set1_epi32(255));
}

// indexEight for every whole eight pixels of [0, n) of one or two rows, in
// 256-bit registers; returns how many pixels it did.
__attribute__((target("avx2"))) int indexRunAvx2(const unsigned char *y0, const unsigned char *y1,
                                                 const unsigned char *u, const unsigned char *v, int n,
                                                 uint32_t *idx0, uint32_t *idx1)
{
    const __m256i c128 = _mm256_set1_epi32(128), c16 = _mm256_set1_epi32(16);
    int start = 0;
    for (; start + 8 <= n; start += 8) {
        const __m256i cu = chromaPairs(u + start / 2), cv = chromaPairs(v + start / 2);
        const __m256i rc = _mm256_add_epi32(_mm256_mullo_epi32(cv, _mm256_set1_epi32(409)), c128);
        const __m256i gc = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(cu, _mm256_set1_epi32(-100)),
                                                             _mm256_mullo_epi32(cv, _mm256_set1_epi32(-208))),
                                            c128);
        const __m256i bc = _mm256_add_epi32(_mm256_mullo_epi32(cu, _mm256_set1_epi32(516)), c128);
        for (int row = 0; row < (y1 ? 2 : 1); ++row) {
            const unsigned char *y = (row ? y1 : y0) + start;
            const __m256i luma = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(y)));
            const __m256i yt = _mm256_mullo_epi32(_mm256_sub_epi32(luma, c16), _mm256_set1_epi32(298));
            const __m256i index =
                _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(componentOf(_mm256_add_epi32(yt, rc)), 16),
                                                _mm256_slli_epi32(componentOf(_mm256_add_epi32(yt, gc)), 8)),
                                componentOf(_mm256_add_epi32(yt, bc)));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>((row ? idx1 : idx0) + start), index);
        }
    }
    return start;
}

const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// Pass 1: table indices of up to kChunk pixels of one or two rows that share one
// chroma row, starting at an even column. The lookups are issued here as
// prefetches so that their cache misses overlap instead of queueing in pass 2.
template <int LOOKUP, bool PAIR>
void indexChunk(const Kernel &k, const unsigned char *y0, const unsigned char *y1, const unsigned char *u,
                const unsigned char *v, int n, uint32_t *idx0, uint32_t *idx1)
{
    int start = 0;
#ifdef PYRADEC_YUV_AVX2
    if (k.identityRange && kHasAvx2) {
        start = indexRunAvx2(y0, PAIR ? y1 : nullptr, u, v, n, idx0, idx1);
        if constexpr (LOOKUP) {
            for (int j = 0; j < start; ++j) {
                prefetchEntry<LOOKUP>(k.planes, idx0[j]);
                if constexpr (PAIR)
                    prefetchEntry<LOOKUP>(k.planes, idx1[j]);
            }
        }
    }
#endif
    if (k.identityRange) {
        for (; start + 8 <= n; start += 8) {
            Bytes4 u4, v4;
            __builtin_memcpy(&u4, u + start / 2, sizeof u4);
            __builtin_memcpy(&v4, v + start / 2, sizeof v4);
            const Lanes cu =
                __builtin_convertvector(__builtin_shufflevector(u4, u4, 0, 0, 1, 1, 2, 2, 3, 3), Lanes) - 128;
            const Lanes cv =
                __builtin_convertvector(__builtin_shufflevector(v4, v4, 0, 0, 1, 1, 2, 2, 3, 3), Lanes) - 128;
            const Lanes rc = 409 * cv + 128, gc = -100 * cu - 208 * cv + 128, bc = 516 * cu + 128;
            indexEight(y0 + start, rc, gc, bc, idx0 + start);
            if constexpr (PAIR)
                indexEight(y1 + start, rc, gc, bc, idx1 + start);
            if constexpr (LOOKUP) {
                for (int j = start; j < start + 8; ++j) {
                    prefetchEntry<LOOKUP>(k.planes, idx0[j]);
                    if constexpr (PAIR)
                        prefetchEntry<LOOKUP>(k.planes, idx1[j]);
                }
            }
        }
    }
    for (int i = start; i < n; i += 2) {
        const int cu = u[i >> 1] - 128;
        const int cv = v[i >> 1] - 128;
        const int rc = 409 * cv + kBiasTerm;
        const int gc = -100 * cu - 208 * cv + kBiasTerm;
        const int bc = 516 * cu + kBiasTerm;
        const bool second = i + 1 < n;  // false only for the last column of an odd width
        idx0[i] = tableIndex(k.luts, y0[i], rc, gc, bc);
        if (second)
            idx0[i + 1] = tableIndex(k.luts, y0[i + 1], rc, gc, bc);
        if constexpr (PAIR) {
            idx1[i] = tableIndex(k.luts, y1[i], rc, gc, bc);
            if (second)
                idx1[i + 1] = tableIndex(k.luts, y1[i + 1], rc, gc, bc);
        }
        if constexpr (LOOKUP) {
            prefetchEntry<LOOKUP>(k.planes, idx0[i]);
            if (second)
                prefetchEntry<LOOKUP>(k.planes, idx0[i + 1]);
            if constexpr (PAIR) {
                prefetchEntry<LOOKUP>(k.planes, idx1[i]);
                if (second)
                    prefetchEntry<LOOKUP>(k.planes, idx1[i + 1]);
            }
        }
    }
}

// Pass 2: the pixels of one row from their indices.
template <int BPP, int RI, int GI, int BI, int AI, int LOOKUP>
void writeChunk(const Kernel &k, const uint32_t *idx, int n, unsigned char *o, bool rowEnd)
{
    // Blue-green-red: the packed entry (or the index itself) is the pixel's bytes
    // in order, stored as one word; the spare top byte lands on the next pixel,
    // which overwrites it, so the row's last pixel goes byte by byte.
    if constexpr (BPP == 3 && RI == 2 && GI == 1 && BI == 0 && LOOKUP != kPlanes) {
        const int words = rowEnd ? n - 1 : n;
        for (int i = 0; i < words; ++i, o += 3) {
            const uint32_t entry = LOOKUP == kPacked ? k.planes.packed[idx[i]] : idx[i];
            __builtin_memcpy(o, &entry, sizeof entry);
        }
        idx += words;
        n -= words;
    }
    for (int i = 0; i < n; ++i, o += BPP) {
        const uint32_t x = idx[i];
        if constexpr (LOOKUP == kPacked) {
            const uint32_t entry = k.planes.packed[x];
            o[RI] = static_cast<unsigned char>(entry >> 16);
            o[GI] = static_cast<unsigned char>(entry >> 8);
            o[BI] = static_cast<unsigned char>(entry);
        } else if constexpr (LOOKUP == kPlanes) {
            o[RI] = k.planes.red[x];
            o[GI] = k.planes.green[x];
            o[BI] = k.planes.blue[x];
        } else {
            o[RI] = static_cast<unsigned char>(x >> 16);
            o[GI] = static_cast<unsigned char>(x >> 8);
            o[BI] = static_cast<unsigned char>(x);
        }
        if constexpr (AI >= 0)
            o[AI] = 255;
    }
}

// One or two rows sharing one chroma row.
template <int BPP, int RI, int GI, int BI, int AI, int LOOKUP, bool PAIR>
void convertRows(const Kernel &k, const unsigned char *y0, const unsigned char *y1, const unsigned char *u,
                 const unsigned char *v, unsigned char *o0, unsigned char *o1, int width)
{
    uint32_t idx0[kChunk], idx1[kChunk];
    for (int x = 0; x < width; x += kChunk) {
        const int n = width - x < kChunk ? width - x : kChunk;
        indexChunk<LOOKUP, PAIR>(k, y0 + x, PAIR ? y1 + x : nullptr, u + x / 2, v + x / 2, n, idx0, idx1);
        const bool rowEnd = x + n == width;
        writeChunk<BPP, RI, GI, BI, AI, LOOKUP>(k, idx0, n, o0 + size_t(x) * BPP, rowEnd);
        if constexpr (PAIR)
            writeChunk<BPP, RI, GI, BI, AI, LOOKUP>(k, idx1, n, o1 + size_t(x) * BPP, rowEnd);
    }
}

template <int BPP, int RI, int GI, int BI, int AI, int LOOKUP>
void convertPicture(const Kernel &k, const YuvPlanes &p, unsigned char *out, int width, int height)
{
    const size_t outRow = size_t(width) * BPP;
    for (int row = 0; row < height; row += 2) {
        const unsigned char *y0 = p.y + ptrdiff_t(row) * p.yStride;
        const unsigned char *u = p.u + ptrdiff_t(row >> 1) * p.uStride;
        const unsigned char *v = p.v + ptrdiff_t(row >> 1) * p.vStride;
        unsigned char *o0 = out + size_t(row) * outRow;
        if (row + 1 < height)
            convertRows<BPP, RI, GI, BI, AI, LOOKUP, true>(k, y0, y0 + p.yStride, u, v, o0, o0 + outRow,
                                                           width);
        else
            convertRows<BPP, RI, GI, BI, AI, LOOKUP, false>(k, y0, nullptr, u, v, o0, nullptr, width);
    }
}

template <int BPP, int RI, int GI, int BI, int AI>
void convertLayout(const Kernel &k, const YuvPlanes &p, unsigned char *out, int width, int height)
{
    if (k.planes.packed)
        convertPicture<BPP, RI, GI, BI, AI, kPacked>(k, p, out, width, height);
    else if (k.planes.red)
        convertPicture<BPP, RI, GI, BI, AI, kPlanes>(k, p, out, width, height);
    else
        convertPicture<BPP, RI, GI, BI, AI, kNoLookup>(k, p, out, width, height);
}

}  // namespace

int bytesPerPixelOf(int layout) { return (layout == RGB24 || layout == BGR24) ? 3 : 4; }

int convertYuv420(const YuvPlanes &planes, unsigned char *out, int width, int height, int layout,
                  const ColorCorrectTable *table)
{
    IndexLuts ownLuts;
    const IndexLuts *luts = &identityLuts();
    ColorPlanes colour{nullptr, nullptr, nullptr, nullptr};
    if (table) {
        colour = colorPlanesOf(table);
        if (!isIdentity(table->rangeTable)) {
            fillLuts(ownLuts, table->rangeTable);
            luts = &ownLuts;
        }
    }
    const Kernel k{*luts, colour, luts == &identityLuts()};

    switch (layout) {
    case RGB24: convertLayout<3, 0, 1, 2, -1>(k, planes, out, width, height); break;
    case BGR24: convertLayout<3, 2, 1, 0, -1>(k, planes, out, width, height); break;
    case ARGB: convertLayout<4, 1, 2, 3, 0>(k, planes, out, width, height); break;
    case ABGR: convertLayout<4, 3, 2, 1, 0>(k, planes, out, width, height); break;
    case BGRA: convertLayout<4, 2, 1, 0, 3>(k, planes, out, width, height); break;
    default:  // RGBA, and every code outside the table
        convertLayout<4, 0, 1, 2, 3>(k, planes, out, width, height);
        break;
    }
    return width * height * bytesPerPixelOf(layout);
}

}  // namespace pyradec
