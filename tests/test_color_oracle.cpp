// The library's colour table against a plain scalar computation of every entry,
// written step by step on its own (double-precision tolerance tests, floor,
// truncating conversions), over all 2^24 inputs.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ColorCorrect/ColorCorrect.h"

namespace {

namespace oracle {

const double kTol = 1e-6;

float retMax(float a, float b, float c)
{
    float m = ((double)(a - b) >= kTol) ? a : b;
    return ((double)(m - c) >= kTol) ? m : c;
}

float retMin(float a, float b, float c)
{
    float m = ((double)(a - b) >= kTol) ? b : a;
    return ((double)(m - c) >= kTol) ? c : m;
}

// Only called here with x a product in [0, 255].
unsigned char scalar(unsigned char value, float factor)
{
    float x = (float)value * factor;
    int n = (int)x;
    if (n < 0)
        return 0;
    if (n > 255)
        return 255;
    return (unsigned char)n;
}

void toHsv(const unsigned char *rgb, const float *fac, float *hsv)
{
    float r = rgb[0] / 255.0f, g = rgb[1] / 255.0f, b = rgb[2] / 255.0f;
    float mx = retMax(r, g, b), mn = retMin(r, g, b);
    float delta = mx - mn;
    float H = 0;
    if ((double)delta <= kTol) {
        H = 0;
    } else if (std::fabs((double)(r - mx)) <= kTol) {
        float k = (g - b) / delta;
        if ((double)(g - b) > kTol)
            H = 60 * k;
        else if ((double)(b - g) > kTol)
            H = 359 + 60 * k;
        else
            H = 0;
    } else if (std::fabs((double)(g - mx)) <= kTol) {
        float k = (b - r) / delta;
        H = 119 + 60 * k;
    } else if (std::fabs((double)(b - mx)) <= kTol) {
        float k = (r - g) / delta;
        H = 239 + 60 * k;
    }
    float S = ((double)mx <= kTol) ? 0 : delta / mx;
    float V = mx;
    H = fac[0] * H;
    S = fac[1] * S;
    V = fac[2] * V;
    if ((double)(H - 359) > kTol)
        H = 359;
    else if ((double)H <= kTol)
        H = 0;
    if ((double)(S - 1) > kTol)
        S = 1;
    else if ((double)S <= kTol)
        S = 0;
    if ((double)(V - 1) > kTol)
        V = 1;
    else if ((double)V <= kTol)
        V = 0;
    hsv[0] = H;
    hsv[1] = S;
    hsv[2] = V;
}

void toRgb(const float *hsv, const float *fac, unsigned char *rgb)
{
    float H = hsv[0], S = hsv[1], V = hsv[2];
    unsigned char c[3];
    if (std::fabs((double)S) <= kTol) {
        unsigned char grey = scalar(255, V);
        c[0] = c[1] = c[2] = grey;
    } else {
        float h = H / 60;
        int i = (int)std::floor(h);
        float f = h - i;
        float p = (1 - S) * V;
        float q = (1 - S * f) * V;
        float t = (1 - (1 - f) * S) * V;
        float x[3] = {0, 0, 0};
        bool any = true;
        switch (i) {
        case 0:
            x[0] = V;
            x[1] = t;
            x[2] = p;
            break;
        case 1:
            x[0] = q;
            x[1] = V;
            x[2] = p;
            break;
        case 2:
            x[0] = p;
            x[1] = V;
            x[2] = t;
            break;
        case 3:
            x[0] = p;
            x[1] = q;
            x[2] = V;
            break;
        case 4:
            x[0] = t;
            x[1] = p;
            x[2] = V;
            break;
        case 5:
            x[0] = V;
            x[1] = p;
            x[2] = q;
            break;
        default: any = false;
        }
        for (int k = 0; k < 3; ++k)
            c[k] = any ? scalar(255, x[k]) : 0;
    }
    for (int k = 0; k < 3; ++k)
        rgb[k] = scalar(c[k], fac[k]);
}

void gammaTable(float gamma, unsigned char *table)
{
    float e = 1 / gamma;
    for (int i = 0; i < 256; ++i) {
        float x = (i + 0.5f) / 256;
        float y = 256 * powf(x, e) - 0.5f;
        table[i] = (unsigned char)(int)y;
    }
}

void entry(const pyradec::ColorParams &p, const unsigned char *gamma, int R, int G, int B, unsigned char *out)
{
    unsigned char ch[3];
    for (int c = 0; c < 3; ++c) {
        float s = p.colorMatrix[c * 3 + 0] * (float)R;
        s = s + (float)G * p.colorMatrix[c * 3 + 1];
        s = s + (float)B * p.colorMatrix[c * 3 + 2];
        float x = p.channelGains[c] * s;
        if (x < 0)
            ch[c] = 0;
        else if (x > 255)
            ch[c] = 255;
        else
            ch[c] = (unsigned char)(int)x;
        ch[c] = gamma[ch[c]];
    }
    float hsv[3];
    const float unit[3] = {1, 1, 1};
    toHsv(ch, p.hsvScales, hsv);
    toRgb(hsv, unit, out);
}

}  // namespace oracle

pyradec::ColorParams neutral() { return {1.0f, {1, 1, 1}, {1, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}}; }

struct ParamCase {
    std::string name;
    pyradec::ColorParams params;
};

std::vector<ParamCase> paramCases()
{
    std::vector<ParamCase> cases;
    cases.push_back({"neutral", neutral()});
    auto grey = neutral();
    grey.hsvScales[1] = 0.0f;
    cases.push_back({"saturation0", grey});
    auto gamma = neutral();
    gamma.gamma = 2.2f;
    cases.push_back({"gamma2_2", gamma});
    cases.push_back({"scanner",
                     {1.8f,
                      {1.08f, 0.97f, 1.12f},
                      {1.0f, 1.15f, 1.05f},
                      {1.12f, -0.08f, -0.04f, -0.05f, 1.09f, -0.04f, 0.02f, -0.11f, 1.09f}}});
    // Hue scaling past 359, value scaling below 1, channels pushed out of range.
    cases.push_back({"hueAndClamps",
                     {0.6f,
                      {1.7f, 0.5f, -0.3f},
                      {1.6f, 0.7f, 0.8f},
                      {0.9f, 0.4f, 0.3f, -0.6f, 1.3f, 0.2f, 0.5f, 0.5f, 0.5f}}});
    return cases;
}

// Counts the entries of `planes` that differ from the oracle; reports the first.
long long countMismatches(const pyradec::ColorParams &params, const pyradec::ColorPlanes &planes,
                          int *firstBadOut)
{
    unsigned char gamma[256];
    oracle::gammaTable(params.gamma, gamma);
    long long mismatches = 0;
    int firstBad = -1;
#pragma omp parallel for schedule(static) reduction(+ : mismatches)
    for (int R = 0; R < 256; ++R) {
        for (int G = 0; G < 256; ++G) {
            for (int B = 0; B < 256; ++B) {
                unsigned char want[3];
                oracle::entry(params, gamma, R, G, B, want);
                const int i = (R << 16) | (G << 8) | B;
                const uint32_t packed = uint32_t{want[2]} | uint32_t{want[1]} << 8 | uint32_t{want[0]} << 16;
                if (planes.red[i] != want[0] || planes.green[i] != want[1] || planes.blue[i] != want[2] ||
                    !planes.packed || planes.packed[i] != packed) {
                    ++mismatches;
#pragma omp critical
                    if (firstBad < 0 || i < firstBad)
                        firstBad = i;
                }
            }
        }
    }
    *firstBadOut = firstBad;
    return mismatches;
}

std::string describe(int i)
{
    return "first differing input (R,G,B) = (" + std::to_string(i >> 16) + "," +
           std::to_string((i >> 8) & 255) + "," + std::to_string(i & 255) + ")";
}

class ColorOracle : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ColorOracle, EveryEntryEqualsTheScalarComputation)
{
    const pyradec::ColorParams &params = GetParam().params;
    ColorCorrectTable *table = pyradec::acquireColorTable(params);
    ASSERT_NE(table, nullptr);
    const pyradec::ColorPlanes planes = pyradec::colorPlanesOf(table);
    int firstBad = -1;
    EXPECT_EQ(countMismatches(params, planes, &firstBad), 0) << describe(firstBad);
    // The pointer tables reach the same entries as the planes.
    for (int i : {0, 0x123456, 0xff00ff, 0xffffff}) {
        const int R = i >> 16, G = (i >> 8) & 255, B = i & 255;
        EXPECT_EQ(table->redTable[R][G][B], planes.red[i]);
        EXPECT_EQ(table->greenTable[R][G][B], planes.green[i]);
        EXPECT_EQ(table->blueTable[R][G][B], planes.blue[i]);
    }
    pyradec::releaseColorTable(table);
}

INSTANTIATE_TEST_SUITE_P(ParameterSets, ColorOracle, ::testing::ValuesIn(paramCases()),
                         [](const auto &info) { return info.param.name; });

// Every instruction-set variant of the build, not only the one this processor picks.
class ColorKernels : public ::testing::TestWithParam<pyradec::ColorKernel> {};

TEST_P(ColorKernels, ScannerTableEqualsTheScalarComputation)
{
    if (!pyradec::colorKernelSupported(GetParam()))
        GTEST_SKIP() << "processor lacks this instruction set";
    const pyradec::ColorParams params = paramCases()[3].params;
    ColorCorrectTable *table = MallocColorCorrectTable();
    ASSERT_NE(table, nullptr);
    ASSERT_TRUE(pyradec::buildColorTableWith(table, params, GetParam()));
    int firstBad = -1;
    EXPECT_EQ(countMismatches(params, pyradec::colorPlanesOf(table), &firstBad), 0) << describe(firstBad);
    DisposeColorCorrectTable(table);
}

INSTANTIATE_TEST_SUITE_P(Kernels, ColorKernels,
                         ::testing::Values(pyradec::ColorKernel::Portable, pyradec::ColorKernel::Avx2,
                                           pyradec::ColorKernel::Avx512),
                         [](const auto &info) {
                             switch (info.param) {
                             case pyradec::ColorKernel::Portable: return std::string("Portable");
                             case pyradec::ColorKernel::Avx2: return std::string("Avx2");
                             case pyradec::ColorKernel::Avx512: return std::string("Avx512");
                             default: return std::string("Best");
                             }
                         });

}  // namespace
