// RGB/HSV conversion, the table's listed results, its application to pixels, and
// the lifecycle of shared tables and of ColorTable.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "ColorCorrect/ColorCorrect.h"
#include "Fixture.h"

namespace {

using pyradec::ColorParams;

// Taken before any test runs, whatever their order.
ColorCorrectTable *const kTableAtLoad = ColorTable;

const float kUnit[3] = {1, 1, 1};

ColorParams neutral() { return {1.0f, {1, 1, 1}, {1, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}}; }

using Rgb = std::array<int, 3>;

Rgb roundTrip(Rgb in, const float *toHsvFactors = kUnit, float *hsvOut = nullptr)
{
    const unsigned char rgb[3] = {(unsigned char)in[0], (unsigned char)in[1], (unsigned char)in[2]};
    float hsv[3];
    Rgb2Hsv(rgb, toHsvFactors, hsv);
    if (hsvOut)
        std::memcpy(hsvOut, hsv, sizeof hsv);
    unsigned char back[3];
    Hsv2Rgb(hsv, kUnit, back);
    return {back[0], back[1], back[2]};
}

// Each test starts and ends with no current table and no table of its own alive.
class ColorState : public ::testing::Test {
protected:
    void SetUp() override
    {
        setCurrentColorTable(nullptr);
        baseline_ = pyradec::liveColorTableCount();
    }
    void TearDown() override
    {
        setCurrentColorTable(nullptr);
        EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);
    }
    static void setCurrentColorTable(ColorCorrectTable *t) { pyradec::setCurrentColorTable(t); }
    int baseline_ = 0;
};

// ---- one pixel ----

TEST(RgbHsv, KnownColoursConvertToHsvAndBack)
{
    struct Case {
        Rgb in;
        float h, s, v;
        Rgb back;
    };
    const Case cases[] = {
        {{255, 0, 0}, 0, 1, 1, {255, 0, 0}},
        {{0, 255, 0}, 119, 1, 1, {4, 255, 0}},
        {{0, 0, 255}, 239, 1, 1, {0, 4, 255}},
        {{255, 255, 0}, 60, 1, 1, {255, 255, 0}},   // tie for the maximum: red
        {{0, 255, 255}, 179, 1, 1, {0, 255, 250}},  // tie: green
        {{255, 0, 255}, 299, 1, 1, {250, 0, 255}},
        {{128, 128, 128}, 0, 0, 128 / 255.0f, {128, 128, 128}},
        {{0, 0, 0}, 0, 0, 0, {0, 0, 0}},
        {{255, 255, 255}, 0, 0, 1, {255, 255, 255}},
        {{200, 100, 50}, 20, 0.75f, 200 / 255.0f, {200, 100, 50}},
    };
    for (const Case &c : cases) {
        float hsv[3];
        const Rgb back = roundTrip(c.in, kUnit, hsv);
        SCOPED_TRACE(::testing::Message() << c.in[0] << "," << c.in[1] << "," << c.in[2]);
        EXPECT_FLOAT_EQ(hsv[0], c.h);
        EXPECT_FLOAT_EQ(hsv[1], c.s);
        EXPECT_FLOAT_EQ(hsv[2], c.v);
        EXPECT_EQ(back, c.back);
    }
}

TEST(RgbHsv, FactorsClampEachComponent)
{
    struct Case {
        Rgb in;
        std::array<float, 3> factors;
        std::array<float, 3> hsv;
    };
    const Case cases[] = {
        {{0, 0, 255}, {2, 1, 1}, {359, 1, 1}},      // hue pushed above 359
        {{200, 100, 50}, {1, 3, 3}, {20, 1, 1}},    // S and V above 1
        {{200, 100, 50}, {-1, -1, -1}, {0, 0, 0}},  // negative factors
    };
    for (const Case &c : cases) {
        const unsigned char rgb[3] = {(unsigned char)c.in[0], (unsigned char)c.in[1], (unsigned char)c.in[2]};
        float hsv[3];
        Rgb2Hsv(rgb, c.factors.data(), hsv);
        EXPECT_FLOAT_EQ(hsv[0], c.hsv[0]);
        EXPECT_FLOAT_EQ(hsv[1], c.hsv[1]);
        EXPECT_FLOAT_EQ(hsv[2], c.hsv[2]);
    }
}

TEST(RgbHsv, ScalarRgbTruncatesAndClamps)
{
    struct Case {
        int value;
        float factor;
        int want;
    };
    const Case cases[] = {
        {255, 0.999f, 254},
        {200, 1.5f, 255},
        {200, -1.0f, 0},
        {255, 1.0f, 255},
        {0, 7.0f, 0},
        {100, -0.005f, 0},  // truncates to 0 from below
        {200, 1e20f, 255},  // beyond int range: saturates
        {200, std::numeric_limits<float>::quiet_NaN(), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ScalarRgb((unsigned char)c.value, c.factor), c.want) << c.value << " x " << c.factor;
}

TEST(RgbHsv, ReturnMaxMinBreakTiesByPosition)
{
    // Equal within the tolerance: the later argument wins the maximum, the earlier the minimum.
    const float a = 0.5f, b = 0.5f + 5e-7f;
    EXPECT_EQ(ReturnMax(a, b, 0.1f), b);
    EXPECT_EQ(ReturnMax(b, a, 0.1f), a);
    EXPECT_EQ(ReturnMin(a, b, 0.9f), a);
    EXPECT_EQ(ReturnMin(b, a, 0.9f), b);
    EXPECT_EQ(ReturnMax(0.2f, 0.7f, 0.3f), 0.7f);
    EXPECT_EQ(ReturnMin(0.2f, 0.7f, 0.1f), 0.1f);
}

TEST(RgbHsv, Hsv2RgbGreyAndOutOfRangeHue)
{
    unsigned char rgb[3];
    const float grey[3] = {0, 0, 0.5f};
    Hsv2Rgb(grey, kUnit, rgb);
    EXPECT_EQ(rgb[0], 127);
    EXPECT_EQ(rgb[1], 127);
    EXPECT_EQ(rgb[2], 127);
    const float factors[3] = {2, 0.5f, 1};
    Hsv2Rgb(grey, factors, rgb);
    EXPECT_EQ(rgb[0], 254);
    EXPECT_EQ(rgb[1], 63);
    EXPECT_EQ(rgb[2], 127);
    for (float hue : {-30.0f, 360.0f, 1e9f, std::numeric_limits<float>::quiet_NaN()}) {
        const float hsv[3] = {hue, 1, 1};
        Hsv2Rgb(hsv, kUnit, rgb);
        EXPECT_EQ(rgb[0] | rgb[1] | rgb[2], 0) << hue;
    }
}

TEST(RgbHsv, NullPointersWriteNothing)
{
    const unsigned char rgb[3] = {1, 2, 3};
    float hsv[3] = {7, 7, 7};
    Rgb2Hsv(nullptr, kUnit, hsv);
    Rgb2Hsv(rgb, nullptr, hsv);
    Rgb2Hsv(rgb, kUnit, nullptr);
    EXPECT_EQ(hsv[0], 7);
    EXPECT_EQ(hsv[2], 7);
    unsigned char out[3] = {9, 9, 9};
    Hsv2Rgb(nullptr, kUnit, out);
    Hsv2Rgb(hsv, nullptr, out);
    Hsv2Rgb(hsv, kUnit, nullptr);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(out[2], 9);
}

// The fast build compares floats against the first float above 1e-6 instead of
// widening to double; the two agree on every float near the bound.
TEST(RgbHsv, FloatToleranceEqualsDoubleTolerance)
{
    const float bound = std::nextafter(1e-6f, 1.0f);
    float x = bound;
    for (int k = 0; k < 100000; ++k)
        x = std::nextafter(x, 0.0f);
    for (int k = 0; k < 200000; ++k, x = std::nextafter(x, 1.0f)) {
        ASSERT_EQ(static_cast<double>(x) >= 1e-6, x >= bound) << x;
        ASSERT_EQ(static_cast<double>(x) > 1e-6, x >= bound) << x;
        ASSERT_EQ(static_cast<double>(x) <= 1e-6, x < bound) << x;
    }
}

// ---- table pieces ----

TEST(ColorTablePieces, GammaOneIsIdentityAndOthersRiseMonotonically)
{
    unsigned char t[256];
    GammaTableInit(1.0f, t);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(t[i], i);
    GammaTableInit(2.2f, t);
    EXPECT_EQ(t[0], 14);
    EXPECT_EQ(t[255], 255);
    for (int i = 1; i < 256; ++i)
        ASSERT_LE(t[i - 1], t[i]);
    GammaTableInit(2.2f, nullptr);  // nothing to write
}

TEST(ColorTablePieces, GammaNotPositiveOrNotFiniteIsNeutral)
{
    for (float gamma : {0.0f, -0.0f, -2.2f, std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        unsigned char t[256];
        GammaTableInit(gamma, t);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(t[i], i) << "gamma " << gamma;
    }
}

TEST(ColorTablePieces, RangeTableIsIdentity)
{
    unsigned char t[256];
    std::memset(t, 0xAA, sizeof t);
    InitColorRangeTable(t);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(t[i], i);
}

// ---- table entries ----

struct EntryCase {
    const char *name;
    ColorParams params;
    Rgb in, want;
};

class ColorEntries : public ColorState {};

TEST_F(ColorEntries, KnownColoursMapToTheirCorrectedValues)
{
    ColorParams grey = neutral();
    grey.hsvScales[1] = 0;
    ColorParams gamma = neutral();
    gamma.gamma = 2.2f;
    ColorParams outOfRange = neutral();
    outOfRange.colorMatrix[0] = -1;  // red row drives below 0
    outOfRange.channelGains[1] = 4;  // green gain drives above 255
    const EntryCase cases[] = {
        {"neutral red", neutral(), {255, 0, 0}, {255, 0, 0}},
        {"neutral grey", neutral(), {128, 128, 128}, {128, 128, 128}},
        {"neutral brown", neutral(), {200, 100, 50}, {200, 100, 50}},
        {"neutral green", neutral(), {0, 255, 0}, {4, 255, 0}},
        {"neutral blue", neutral(), {0, 0, 255}, {0, 4, 255}},
        {"grey brown", grey, {200, 100, 50}, {200, 200, 200}},
        {"grey red", grey, {255, 0, 0}, {255, 255, 255}},
        {"gamma black", gamma, {0, 0, 0}, {14, 14, 14}},
        {"clamped channels", outOfRange, {200, 100, 0}, {4, 255, 0}},  // (0, 255, 0) before HSV
    };
    for (const EntryCase &c : cases) {
        ColorCorrectTable *t = pyradec::acquireColorTable(c.params);
        ASSERT_NE(t, nullptr);
        const Rgb got = {t->redTable[c.in[0]][c.in[1]][c.in[2]], t->greenTable[c.in[0]][c.in[1]][c.in[2]],
                         t->blueTable[c.in[0]][c.in[1]][c.in[2]]};
        EXPECT_EQ(got, c.want) << c.name;
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(t->rangeTable[i], i);
        pyradec::releaseColorTable(t);
    }
}

TEST_F(ColorEntries, BadGammaBuildsTheGammaOneTable)
{
    ColorParams reference = neutral();
    reference.gamma = 1.0f;
    reference.hsvScales[1] = 1.2f;
    ColorCorrectTable *want = pyradec::acquireColorTable(reference);
    const pyradec::ColorPlanes w = pyradec::colorPlanesOf(want);
    for (float gamma :
         {0.0f, -1.5f, std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        ColorParams bad = reference;
        bad.gamma = gamma;
        ColorCorrectTable *got = pyradec::acquireColorTable(bad);
        ASSERT_NE(got, want);  // different parameters, a table of its own
        const pyradec::ColorPlanes g = pyradec::colorPlanesOf(got);
        const size_t n = size_t{1} << 24;
        EXPECT_EQ(std::memcmp(g.red, w.red, n), 0) << gamma;
        EXPECT_EQ(std::memcmp(g.green, w.green, n), 0) << gamma;
        EXPECT_EQ(std::memcmp(g.blue, w.blue, n), 0) << gamma;
        pyradec::releaseColorTable(got);
    }
    pyradec::releaseColorTable(want);
}

// ---- applying a table ----

class ColorApply : public ColorState {
protected:
    // A table whose entry for (R, G, B) is (R ^ 1, G ^ 2, B ^ 4): every channel traced.
    ColorCorrectTable *tracer()
    {
        ColorCorrectTable *t = MallocColorCorrectTable();
        InitColorRangeTable(t->rangeTable);
        for (int r = 0; r < 256; ++r)
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    t->redTable[r][g][b] = (unsigned char)(r ^ 1);
                    t->greenTable[r][g][b] = (unsigned char)(g ^ 2);
                    t->blueTable[r][g][b] = (unsigned char)(b ^ 4);
                }
        return t;
    }
    static std::vector<unsigned char> pixels(int count, int step)
    {
        std::vector<unsigned char> p(size_t(count) * step);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = (unsigned char)(i * 37 + 11);
        return p;
    }
};

TEST_F(ColorApply, RgbColorCorrectLooksUpBgrPixels)
{
    ColorCorrectTable *t = tracer();
    setCurrentColorTable(t);
    pyradec::releaseColorTable(t);  // ColorTable keeps the table alive
    for (int step : {3, 4}) {
        const int w = 7, h = 3;
        const auto in = pixels(w * h, step);
        const auto copy = in;
        unsigned char *out = RgbColorCorrect(in.data(), w, h, step);
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < w * h; ++i) {
            const unsigned char *s = &in[size_t(i) * step], *d = out + size_t(i) * step;
            EXPECT_EQ(d[0], s[0] ^ 4);
            EXPECT_EQ(d[1], s[1] ^ 2);
            EXPECT_EQ(d[2], s[2] ^ 1);
            if (step == 4) {
                EXPECT_EQ(d[3], 255);
            }
        }
        EXPECT_EQ(in, copy);  // input untouched
        std::free(out);
    }
}

TEST_F(ColorApply, RgbColorCorrectRefusesWhatItCannotServe)
{
    const auto in = pixels(4, 4);
    EXPECT_EQ(RgbColorCorrect(in.data(), 2, 2, 3), nullptr);  // no table
    ColorCorrectTable *t = tracer();
    setCurrentColorTable(t);
    pyradec::releaseColorTable(t);
    EXPECT_EQ(RgbColorCorrect(nullptr, 2, 2, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(in.data(), 0, 2, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(in.data(), 2, 0, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(in.data(), -2, 2, 3), nullptr);
    for (int step : {0, 1, 2, 5, -3})
        EXPECT_EQ(RgbColorCorrect(in.data(), 2, 2, step), nullptr) << step;
}

TEST_F(ColorApply, ApplyInPlaceAndWithoutTable)
{
    ColorCorrectTable *t = tracer();
    for (int step : {3, 4}) {
        auto p = pixels(9, step);
        const auto orig = p;
        pyradec::applyColorTable(t, p.data(), 9, step);
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(p[i * step + 0], orig[i * step + 0] ^ 4);
            EXPECT_EQ(p[i * step + 2], orig[i * step + 2] ^ 1);
        }
        p = orig;
        pyradec::applyColorTable(nullptr, p.data(), 9, step);
        for (int i = 0; i < 9; ++i)
            for (int k = 0; k < step; ++k)
                EXPECT_EQ(p[i * step + k], k == 3 ? 255 : orig[i * step + k]);
    }
    pyradec::releaseColorTable(t);
}

// A built table is looked up through its packed plane, a few pixels at a time:
// every run length, in place and between buffers, and row blocks narrower and
// wider than a group, must give the pointer tables' entries.
TEST_F(ColorApply, PackedLookupsEqualThePointerTablesForAnyRunShape)
{
    const ColorParams scanner = {1.8f,
                                 {1.08f, 0.97f, 1.12f},
                                 {1.0f, 1.15f, 1.05f},
                                 {1.12f, -0.08f, -0.04f, -0.05f, 1.09f, -0.04f, 0.02f, -0.11f, 1.09f}};
    ColorCorrectTable *t = pyradec::acquireColorTable(scanner);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(pyradec::colorPlanesOf(t).packed, nullptr);
    auto expected = [t](const unsigned char *bgr) {
        return std::array<unsigned char, 3>{t->blueTable[bgr[2]][bgr[1]][bgr[0]],
                                            t->greenTable[bgr[2]][bgr[1]][bgr[0]],
                                            t->redTable[bgr[2]][bgr[1]][bgr[0]]};
    };
    for (int count = 0; count <= 41; ++count) {
        const auto in = pixels(count, 3);
        auto inPlace = in;
        pyradec::applyColorTable(t, inPlace.data(), size_t(count), 3);
        std::vector<unsigned char> copied(in.size() + 1, 0xa5);  // one guard byte after
        pyradec::applyColorTableTo(t, in.data(), copied.data(), size_t(count));
        EXPECT_EQ(copied.back(), 0xa5) << count;
        for (int i = 0; i < count; ++i) {
            const auto want = expected(&in[size_t(i) * 3]);
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(inPlace[size_t(i) * 3 + c], want[c]) << count << " pixel " << i;
                EXPECT_EQ(copied[size_t(i) * 3 + c], want[c]) << count << " pixel " << i;
            }
        }
    }
    struct Block {
        size_t rows, width, srcPad, dstPad;
    };
    for (const Block b : {Block{1, 1, 0, 0}, Block{3, 2, 5, 1}, Block{4, 5, 0, 7}, Block{2, 17, 3, 0},
                          Block{5, 21, 1, 2}, Block{3, 64, 0, 0}}) {
        const size_t srcStride = b.width * 3 + b.srcPad, dstStride = b.width * 3 + b.dstPad;
        const auto in = pixels(int(b.rows * srcStride), 1);
        std::vector<unsigned char> out(b.rows * dstStride, 0xa5);
        pyradec::applyColorTableRows(t, in.data(), srcStride, out.data(), dstStride, b.rows, b.width);
        for (size_t r = 0; r < b.rows; ++r) {
            for (size_t i = 0; i < b.width; ++i) {
                const auto want = expected(&in[r * srcStride + i * 3]);
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(out[r * dstStride + i * 3 + c], want[c]) << b.width << "x" << b.rows;
            }
            for (size_t k = b.width * 3; k < dstStride; ++k)
                EXPECT_EQ(out[r * dstStride + k], 0xa5) << "padding written, " << b.width << "x" << b.rows;
        }
    }
    pyradec::releaseColorTable(t);
}

TEST_F(ColorApply, ChangedRangeTableIsHonoured)
{
    ColorCorrectTable *t = tracer();
    t->rangeTable[10] = 20;
    setCurrentColorTable(t);
    pyradec::releaseColorTable(t);
    const unsigned char in[3] = {10, 10, 10};
    unsigned char *out = RgbColorCorrect(in, 1, 1, 3);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], 20 ^ 4);
    EXPECT_EQ(out[1], 20 ^ 2);
    EXPECT_EQ(out[2], 20 ^ 1);
    std::free(out);
}

// ---- lifecycle ----

class ColorLifecycle : public ColorState {
protected:
    VtExtraInfo extra_{};
    VtPyraInfo handle_{};
    void SetUp() override
    {
        ColorState::SetUp();
        const ColorParams p = {
            1.8f, {1.1f, 0.9f, 1.0f}, {1, 1.1f, 1.05f}, {1.1f, -0.1f, 0, 0, 1, 0, 0, 0.05f, 0.95f}};
        std::memcpy(&extra_.gamma, &p, sizeof p);
        handle_.extraInfo = &extra_;
    }
};

TEST_F(ColorLifecycle, NoTableAtLoad) { EXPECT_EQ(kTableAtLoad, nullptr); }

TEST_F(ColorLifecycle, BuildSetsAndDisposeClearsColorTable)
{
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    ASSERT_NE(ColorTable, nullptr);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    const unsigned char px[3] = {1, 2, 3};
    unsigned char *out = RgbColorCorrect(px, 1, 1, 3);
    EXPECT_NE(out, nullptr);
    std::free(out);

    DisposeColorCorrectTable(ColorTable);
    EXPECT_EQ(ColorTable, nullptr);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);
    EXPECT_EQ(RgbColorCorrect(px, 1, 1, 3), nullptr);
    DisposeColorCorrectTable(ColorTable);  // null: nothing happens
    DisposeColorCorrectTable(nullptr);
}

TEST_F(ColorLifecycle, BuildingTwiceLeavesOneTable)
{
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    ColorCorrectTable *first = ColorTable;
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    EXPECT_EQ(ColorTable, first);  // identical parameters: nothing rebuilt
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    DisposeColorCorrectTable(ColorTable);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);
}

TEST_F(ColorLifecycle, NewParametersReplaceColorTable)
{
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    ColorCorrectTable *first = ColorTable;
    extra_.hsvScales[1] = 0.5f;
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    EXPECT_NE(ColorTable, first);
    // The old table had only ColorTable's reference: it is gone.
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
}

TEST_F(ColorLifecycle, WithoutExtraInfoNothingChanges)
{
    ASSERT_EQ(InitColorCollectTable(&handle_), 0);
    ColorCorrectTable *current = ColorTable;
    VtPyraInfo bare{};
    EXPECT_EQ(InitColorCollectTable(&bare), -1);
    EXPECT_EQ(InitColorCollectTable(nullptr), -1);
    EXPECT_EQ(ColorTable, current);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
}

TEST_F(ColorLifecycle, IdenticalParametersShareOneTable)
{
    const ColorParams p = pyradec::colorParamsOf(extra_);
    ColorCorrectTable *a = pyradec::acquireColorTable(p);
    ColorCorrectTable *b = pyradec::acquireColorTable(p);
    EXPECT_EQ(a, b);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    ColorParams other = p;
    other.colorMatrix[4] = 1.01f;
    ColorCorrectTable *c = pyradec::acquireColorTable(other);
    EXPECT_NE(c, a);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 2);

    pyradec::releaseColorTable(a);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 2);  // b still holds it
    pyradec::releaseColorTable(b);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    // Released tables leave the registry: the next acquire builds afresh.
    ColorCorrectTable *again = pyradec::acquireColorTable(p);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 2);
    pyradec::releaseColorTable(again);
    pyradec::releaseColorTable(c);
}

TEST_F(ColorLifecycle, ColorTableHoldsItsOwnReference)
{
    // A slide's reference (acquire) plus ColorTable's (set): releasing the slide's
    // keeps ColorTable valid, disposing ColorTable then frees the table.
    ColorCorrectTable *slide = pyradec::acquireColorTable(pyradec::colorParamsOf(extra_));
    setCurrentColorTable(slide);
    pyradec::releaseColorTable(slide);
    EXPECT_EQ(ColorTable, slide);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    EXPECT_EQ(ColorTable->redTable[0][0][0], pyradec::colorPlanesOf(ColorTable).red[0]);

    // Disposing ColorTable while a slide still holds the table keeps it for the slide.
    ColorCorrectTable *held = pyradec::acquireColorTable(pyradec::colorParamsOf(extra_));
    EXPECT_EQ(held, slide);
    DisposeColorCorrectTable(ColorTable);
    EXPECT_EQ(ColorTable, nullptr);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    pyradec::releaseColorTable(held);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);
}

TEST_F(ColorLifecycle, MallocedTableIsReleasedByDispose)
{
    ColorCorrectTable *t = MallocColorCorrectTable();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    // Every row is distinct and writable across the whole cube.
    t->redTable[255][255][255] = 1;
    t->blueTable[0][0][0] = 2;
    EXPECT_EQ(pyradec::colorPlanesOf(t).red[0xffffff], 1);
    EXPECT_EQ(pyradec::colorPlanesOf(t).blue[0], 2);
    DisposeColorCorrectTable(t);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);
}

// What hosts may store in ColorTable themselves never costs the registry its own
// counts: the registry releases only the reference it took, and frees no table a
// host owns.
TEST_F(ColorLifecycle, HostWritesToColorTableLeaveTheRegistrysReferencesAlone)
{
    fixture::TempDir dir;
    auto slideWith = [&](float gamma, const char *name) {
        fixture::Slide s = fixture::makeSlide(2, 1, 1, 0, 64, 64, 4);
        s.colour = fixture::scannerColour();
        s.colour.gamma = gamma;
        return fixture::writeSlide(dir.file(name), s);
    };
    const std::string pathA = slideWith(1.8f, "a.pyra"), pathB = slideWith(2.2f, "b.pyra"),
                      pathC = slideWith(0.7f, "c.pyra");
    auto regionOf = [](VtPyraInfo *pyra) {
        unsigned char *px = GetRoiSliceBgr(pyra, 0, 0, 0, 128, 64);
        std::vector<unsigned char> out(px, px + (px ? 128 * 64 * 3 : 0));
        Dispose(px);
        return out;
    };

    // A saved pointer put back: closing b releases b's reference, not a's.
    VtPyraInfo *a = VtOpenPyra(pathA.c_str());
    ASSERT_TRUE(a);
    const std::vector<unsigned char> before = regionOf(a);
    ColorCorrectTable *saved = ColorTable;
    VtPyraInfo *b = VtOpenPyra(pathB.c_str());
    ASSERT_TRUE(b);
    ColorTable = saved;
    VtClosePyra(b);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);  // b's table went, a's stays
    VtPyraInfo *c = VtOpenPyra(pathC.c_str());
    ASSERT_TRUE(c);
    EXPECT_NE(c->colorTable, a->colorTable);
    EXPECT_EQ(regionOf(a), before);
    VtClosePyra(c);
    VtClosePyra(a);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);

    // A host's own table survives opens and closes until the host disposes of it.
    ColorCorrectTable *own = MallocColorCorrectTable();
    ASSERT_NE(own, nullptr);
    InitColorRangeTable(own->rangeTable);
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int bl = 0; bl < 256; ++bl) {
                own->redTable[r][g][bl] = static_cast<unsigned char>(255 - r);
                own->greenTable[r][g][bl] = static_cast<unsigned char>(g);
                own->blueTable[r][g][bl] = static_cast<unsigned char>(bl / 2);
            }
    ColorTable = own;
    a = VtOpenPyra(pathA.c_str());
    ASSERT_TRUE(a);
    VtClosePyra(a);
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_ + 1);
    ColorTable = own;
    const unsigned char px[3] = {10, 20, 30};  // blue, green, red
    unsigned char *out = RgbColorCorrect(px, 1, 1, 3);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 20);
    EXPECT_EQ(out[2], 225);
    std::free(out);
    DisposeColorCorrectTable(own);
    EXPECT_EQ(ColorTable, nullptr);  // never left pointing at freed memory
    EXPECT_EQ(pyradec::liveColorTableCount(), baseline_);

    // A structure the library did not make counts as no table: nothing is read
    // beyond it and nothing is released.
    ColorCorrectTable foreign{};
    ColorTable = &foreign;
    EXPECT_EQ(RgbColorCorrect(px, 1, 1, 3), nullptr);
    const fixture::Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(8, 8, 1));
    unsigned char *pixels = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(VtDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR), 8 * 8 * 3);
    EXPECT_EQ(pixels, nullptr);
    DisposeColorCorrectTable(&foreign);
    ColorTable = nullptr;
}

}  // namespace
