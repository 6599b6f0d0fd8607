// HEVC tile decoder and the YUV 4:2:0 conversion.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/DecodeHevc.h"
#include "Fixture.h"
#include "pyradec/pyradec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- independent model of the conversion ----

struct LayoutCase {
    int code;
    int bpp;
    int red, green, blue, alpha;  // byte positions; alpha -1: none
};

const LayoutCase kLayouts[] = {
    {2, 3, 0, 1, 2, -1}, {3, 3, 2, 1, 0, -1}, {25, 4, 1, 2, 3, 0},
    {26, 4, 0, 1, 2, 3}, {27, 4, 3, 2, 1, 0}, {28, 4, 2, 1, 0, 3},
};

LayoutCase layoutFor(int code)
{
    for (const LayoutCase &l : kLayouts)
        if (l.code == code)
            return l;
    return {code, 4, 0, 1, 2, 3};
}

int clampComponent(int v) { return v > 254 ? 255 : (v < 0 ? 0 : v); }

struct Rgb {
    int r, g, b;
};

// The formula term by term, before any table.
Rgb formula(int luma, int cb, int cr)
{
    const int y = luma - 16, u = cb - 128, v = cr - 128;
    return {clampComponent((298 * y + 409 * v + 128) >> 8),
            clampComponent((298 * y - 100 * u - 208 * v + 128) >> 8),
            clampComponent((298 * y + 516 * u + 128) >> 8)};
}

// Plain per-pixel version through the table's pointer arrays (null: no table).
Bytes referenceConvert(const uint8_t *yuv, int w, int h, int code, const ColorCorrectTable *table)
{
    const LayoutCase l = layoutFor(code);
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint8_t *uPlane = yuv + w * h;
    const uint8_t *vPlane = uPlane + cw * ch;
    Bytes out(size_t(w) * h * l.bpp);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            Rgb c = formula(yuv[y * w + x], uPlane[(y / 2) * cw + x / 2], vPlane[(y / 2) * cw + x / 2]);
            uint8_t *o = &out[(size_t(y) * w + x) * l.bpp];
            if (table) {
                const unsigned char *range = table->rangeTable;
                const int r = range[range[c.r]], g = range[range[c.g]], b = range[range[c.b]];
                c = {table->redTable[r][g][b], table->greenTable[r][g][b], table->blueTable[r][g][b]};
            }
            o[l.red] = uint8_t(c.r);
            o[l.green] = uint8_t(c.g);
            o[l.blue] = uint8_t(c.b);
            if (l.alpha >= 0)
                o[l.alpha] = 255;
        }
    }
    return out;
}

Bytes planarSize(int w, int h) { return Bytes(size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2)); }

Bytes randomPlanar(int w, int h, std::mt19937 &rng)
{
    Bytes yuv = planarSize(w, h);
    for (uint8_t &b : yuv)
        b = uint8_t(rng());
    return yuv;
}

// A picture where every sample of every plane is the same.
Bytes flatPlanar(int w, int h, uint8_t luma, uint8_t cb, uint8_t cr)
{
    Bytes yuv = planarSize(w, h);
    const size_t lumaSize = size_t(w) * h, chromaSize = (yuv.size() - lumaSize) / 2;
    std::memset(yuv.data(), luma, lumaSize);
    std::memset(yuv.data() + lumaSize, cb, chromaSize);
    std::memset(yuv.data() + lumaSize + chromaSize, cr, chromaSize);
    return yuv;
}

// ---- libavcodec helpers for the round trip ----

struct ContextDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

// libavcodec's own decode of one picture, gathered into the planar layout.
Bytes decodeToPlanar(const Bytes &stream, int &w, int &h)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    std::unique_ptr<AVCodecContext, ContextDeleter> ctx(avcodec_alloc_context3(codec));
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        throw std::runtime_error("cannot open decoder");
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    av_new_packet(pkt.get(), int(stream.size()));
    std::memcpy(pkt->data, stream.data(), stream.size());
    avcodec_send_packet(ctx.get(), pkt.get());
    avcodec_send_packet(ctx.get(), nullptr);
    if (avcodec_receive_frame(ctx.get(), frame.get()) < 0)
        throw std::runtime_error("no picture");
    w = frame->width;
    h = frame->height;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    Bytes yuv = planarSize(w, h);
    for (int r = 0; r < h; ++r)
        std::memcpy(&yuv[size_t(r) * w], frame->data[0] + r * frame->linesize[0], w);
    for (int r = 0; r < ch; ++r) {
        std::memcpy(&yuv[size_t(w) * h + size_t(r) * cw], frame->data[1] + r * frame->linesize[1], cw);
        std::memcpy(&yuv[size_t(w) * h + size_t(cw) * ch + size_t(r) * cw],
                    frame->data[2] + r * frame->linesize[2], cw);
    }
    return yuv;
}

// One intra picture in 4:4:4, for the pixel-format check.
Bytes encodeHevc444(int w, int h)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("libx265");
    if (!codec)
        throw std::runtime_error("libx265 not available");
    std::unique_ptr<AVCodecContext, ContextDeleter> ctx(avcodec_alloc_context3(codec));
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_YUV444P;
    ctx->time_base = AVRational{1, 25};
    ctx->gop_size = 1;
    ctx->max_b_frames = 0;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "x265-params", "log-level=none:keyint=1:frame-threads=1:pools=none", 0);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        throw std::runtime_error("cannot open libx265");
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV444P;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame.get(), 0);
    for (int p = 0; p < 3; ++p)
        for (int r = 0; r < h; ++r)
            std::memset(frame->data[p] + r * frame->linesize[p], p ? 128 : 100, w);
    frame->pts = 0;
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
    Bytes out;
    auto drain = [&] {
        while (avcodec_receive_packet(ctx.get(), pkt.get()) == 0) {
            out.insert(out.end(), pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt.get());
        }
    };
    avcodec_send_frame(ctx.get(), frame.get());
    drain();
    avcodec_send_frame(ctx.get(), nullptr);
    drain();
    return out;
}

// ---- fixture: one real correction table for the suite ----

class HevcTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Non-diagonal matrix and uneven gains: a swapped channel or index shows.
        pyradec::ColorParams p{};
        p.gamma = 1.6f;
        const float gains[3] = {1.1f, 0.9f, 1.05f};
        const float hsv[3] = {1.0f, 1.2f, 1.0f};
        const float matrix[9] = {0.9f, 0.15f, -0.05f, 0.05f, 0.85f, 0.1f, -0.1f, 0.2f, 0.9f};
        std::memcpy(p.channelGains, gains, sizeof gains);
        std::memcpy(p.hsvScales, hsv, sizeof hsv);
        std::memcpy(p.colorMatrix, matrix, sizeof matrix);
        table_ = pyradec::acquireColorTable(p);
    }
    static void TearDownTestSuite()
    {
        pyradec::releaseColorTable(table_);
        table_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(table_, nullptr); }
    void TearDown() override { pyradec::setCurrentColorTable(nullptr); }

    static void useTable() { pyradec::setCurrentColorTable(table_); }

    static ColorCorrectTable *table_;
};

ColorCorrectTable *HevcTest::table_ = nullptr;

// ---- the formula ----

TEST_F(HevcTest, FormulaGivesTheSpecifiedColoursBeforeTheTable)
{
    struct Case {
        uint8_t y, u, v;
        Rgb expected;
    };
    const Case cases[] = {
        {16, 128, 128, {0, 0, 0}},         // black
        {235, 128, 128, {255, 255, 255}},  // white
        {0, 128, 128, {0, 0, 0}},          // below black: negative sums clamp to 0
        {255, 128, 128, {255, 255, 255}},  // above white
        {234, 128, 128, {254, 254, 254}},  // 254 is kept, only above it saturates
        {128, 128, 128, {130, 130, 130}},  // (298*112 + 128) >> 8
        {16, 128, 127, {0, 1, 0}},         // r: -281 >> 8 rounds down, clamps; g: 336 >> 8
        {81, 90, 240, {255, 0, 0}},        // saturated red
        {41, 240, 110, {0, 0, 255}},       // saturated blue
    };
    for (const Case &c : cases) {
        const Bytes yuv = flatPlanar(2, 2, c.y, c.u, c.v);
        Bytes out(2 * 2 * 3, 0xAA);
        ASSERT_EQ(pyradec::yuv420pToPixels(yuv.data(), out.data(), 2, 2, RGB24, nullptr), 12);
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(out[p * 3 + 0], c.expected.r) << "Y=" << +c.y << " U=" << +c.u << " V=" << +c.v;
            EXPECT_EQ(out[p * 3 + 1], c.expected.g) << "Y=" << +c.y << " U=" << +c.u << " V=" << +c.v;
            EXPECT_EQ(out[p * 3 + 2], c.expected.b) << "Y=" << +c.y << " U=" << +c.u << " V=" << +c.v;
        }
        // Through the table, the same colour is looked up.
        useTable();
        Bytes corrected(12, 0xAA);
        ASSERT_EQ(Yuv420pRgb(yuv.data(), corrected.data(), 2, 2, RGB24), 12);
        const Rgb e = c.expected;
        EXPECT_EQ(corrected[0], table_->redTable[e.r][e.g][e.b]);
        EXPECT_EQ(corrected[1], table_->greenTable[e.r][e.g][e.b]);
        EXPECT_EQ(corrected[2], table_->blueTable[e.r][e.g][e.b]);
    }
}

// ---- layouts ----

TEST_F(HevcTest, LayoutCodesPlaceComponentsAndAlpha)
{
    // Distinct red, green and blue: (195, 84, 35) before the table.
    const Bytes yuv = flatPlanar(3, 3, 112, 90, 180);
    const Rgb c = formula(112, 90, 180);
    ASSERT_TRUE(c.r != c.g && c.g != c.b && c.r != c.b);

    struct Case {
        int code;
        int bpp, red, green, blue, alpha;
    };
    const Case cases[] = {
        {2, 3, 0, 1, 2, -1},
        {3, 3, 2, 1, 0, -1},
        {25, 4, 1, 2, 3, 0},
        {26, 4, 0, 1, 2, 3},
        {27, 4, 3, 2, 1, 0},
        {28, 4, 2, 1, 0, 3},
        // Any other code is RGBA.
        {0, 4, 0, 1, 2, 3},
        {1, 4, 0, 1, 2, 3},
        {29, 4, 0, 1, 2, 3},
        {-1, 4, 0, 1, 2, 3},
        {1000, 4, 0, 1, 2, 3},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE("layout " + std::to_string(k.code));
        Bytes out(9 * 4 + 8, 0x11);
        ASSERT_EQ(pyradec::yuv420pToPixels(yuv.data(), out.data(), 3, 3, k.code, nullptr), 9 * k.bpp);
        for (int p = 0; p < 9; ++p) {
            const uint8_t *o = &out[p * k.bpp];
            EXPECT_EQ(o[k.red], c.r);
            EXPECT_EQ(o[k.green], c.g);
            EXPECT_EQ(o[k.blue], c.b);
            if (k.alpha >= 0) {
                EXPECT_EQ(o[k.alpha], 255);
            }
        }
        for (size_t i = size_t(9 * k.bpp); i < out.size(); ++i)
            EXPECT_EQ(out[i], 0x11) << "wrote past the picture";
    }
}

// ---- optimised conversion against the plain model ----

TEST_F(HevcTest, ConversionMatchesPlainModelOnRandomPictures)
{
    useTable();
    std::mt19937 rng(7);
    const int sizes[][2] = {{1, 1}, {2, 2}, {1, 7}, {7, 1}, {3, 5}, {17, 9}, {64, 64}, {255, 3}, {130, 67}};
    const int codes[] = {2, 3, 25, 26, 27, 28, 0, 13};
    for (const auto &s : sizes) {
        const int w = s[0], h = s[1];
        const Bytes yuv = randomPlanar(w, h, rng);
        for (int code : codes) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " layout " + std::to_string(code));
            const int bpp = layoutFor(code).bpp;
            Bytes out(size_t(w) * h * bpp, 0);
            ASSERT_EQ(Yuv420pRgb(yuv.data(), out.data(), w, h, static_cast<_ColorSpace>(code)), w * h * bpp);
            EXPECT_EQ(out, referenceConvert(yuv.data(), w, h, code, table_));

            Bytes plain(out.size(), 0);
            ASSERT_EQ(pyradec::yuv420pToPixels(yuv.data(), plain.data(), w, h, code, nullptr), w * h * bpp);
            EXPECT_EQ(plain, referenceConvert(yuv.data(), w, h, code, nullptr));
        }
    }
}

TEST_F(HevcTest, ConversionHonoursAChangedRangeTable)
{
    useTable();
    unsigned char saved[256];
    std::memcpy(saved, table_->rangeTable, sizeof saved);
    for (int i = 0; i < 256; ++i)  // a bijection that is not its own inverse
        table_->rangeTable[i] = uint8_t(i * 7 + 3);
    std::mt19937 rng(5);
    const Bytes yuv = randomPlanar(33, 17, rng);
    Bytes out(33 * 17 * 4);
    const int result = Yuv420pRgb(yuv.data(), out.data(), 33, 17, ABGR);
    const Bytes expected = referenceConvert(yuv.data(), 33, 17, ABGR, table_);
    std::memcpy(table_->rangeTable, saved, sizeof saved);
    ASSERT_EQ(result, 33 * 17 * 4);
    EXPECT_EQ(out, expected);
}

TEST_F(HevcTest, ConversionMatchesPlainModelForEveryYuvTriple)
{
    // Chroma sample (cx, cy) holds U = cx and V = cy / 64; its four luma samples
    // are 4 * (cy % 64) .. + 3, so every (Y, U, V) occurs exactly once.
    const int w = 512, h = 2 * 256 * 64;
    Bytes yuv = planarSize(w, h);
    uint8_t *uPlane = yuv.data() + size_t(w) * h;
    uint8_t *vPlane = uPlane + size_t(w / 2) * (h / 2);
    for (int cy = 0; cy < h / 2; ++cy) {
        for (int cx = 0; cx < w / 2; ++cx) {
            uPlane[size_t(cy) * (w / 2) + cx] = uint8_t(cx);
            vPlane[size_t(cy) * (w / 2) + cx] = uint8_t(cy / 64);
            const int base = 4 * (cy % 64);
            yuv[size_t(2 * cy) * w + 2 * cx] = uint8_t(base);
            yuv[size_t(2 * cy) * w + 2 * cx + 1] = uint8_t(base + 1);
            yuv[size_t(2 * cy + 1) * w + 2 * cx] = uint8_t(base + 2);
            yuv[size_t(2 * cy + 1) * w + 2 * cx + 1] = uint8_t(base + 3);
        }
    }
    useTable();
    Bytes out(size_t(w) * h * 3);
    ASSERT_EQ(Yuv420pRgb(yuv.data(), out.data(), w, h, BGR24), w * h * 3);
    EXPECT_TRUE(out == referenceConvert(yuv.data(), w, h, BGR24, table_));
}

// ---- Yuv420pRgb failures ----

TEST_F(HevcTest, Yuv420pRgbRefusesBadArgumentsAndMissingTable)
{
    const Bytes yuv = flatPlanar(4, 4, 100, 120, 140);
    Bytes out(4 * 4 * 4, 0x5A);
    const Bytes before = out;

    // No table: -1 and nothing written.
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), 4, 4, BGR24), -1);
    EXPECT_EQ(out, before);

    useTable();
    struct Case {
        const char *name;
        const unsigned char *in;
        unsigned char *out;
        int w, h;
    };
    const Case cases[] = {
        {"null input", nullptr, out.data(), 4, 4},
        {"null output", yuv.data(), nullptr, 4, 4},
        {"zero width", yuv.data(), out.data(), 0, 4},
        {"zero height", yuv.data(), out.data(), 4, 0},
        {"negative width", yuv.data(), out.data(), -4, 4},
        {"size overflows", yuv.data(), out.data(), 1 << 16, 1 << 15},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Yuv420pRgb(c.in, c.out, c.w, c.h, BGRA), -1) << c.name;
        EXPECT_EQ(pyradec::yuv420pToPixels(c.in, c.out, c.w, c.h, BGRA, table_), -1) << c.name;
        EXPECT_EQ(out, before) << c.name;
    }
}

// ---- DecodeHevc ----

fixture::Image flatColour(int w, int h, uint8_t b, uint8_t g, uint8_t r)
{
    fixture::Image img{w, h, Bytes(size_t(w) * h * 3)};
    for (size_t i = 0; i < img.bgr.size(); i += 3) {
        img.bgr[i] = b;
        img.bgr[i + 1] = g;
        img.bgr[i + 2] = r;
    }
    return img;
}

TEST_F(HevcTest, DecodedTileMatchesSourceAndPlainModelOfLibavcodecPlanes)
{
    useTable();
    struct Case {
        const char *name;
        fixture::Image src;
        double meanTolerance;  // lossy coding: edges and texture cost most in small pictures
        int maxTolerance;
    };
    const Case cases[] = {
        {"pattern 256x256", fixture::makePattern(256, 256, 5), 5.0, 255},
        {"pattern 64x48", fixture::makePattern(64, 48, 5), 10.0, 255},
        {"pattern 18x34", fixture::makePattern(18, 34, 5), 14.0, 255},
        {"flat colour 40x24", flatColour(40, 24, 40, 160, 220), 2.0, 4},
        {"flat grey 256x256", fixture::makeFlat(256, 256, 128), 1.0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int w = c.src.width, h = c.src.height;
        const Bytes stream = fixture::encodeHevc(c.src);

        // Close to the source when no table is applied.
        Bytes plain(size_t(w) * h * 3);
        ASSERT_EQ(pyradec::decodeHevc(stream.data(), w, h, int(stream.size()), plain.data(), BGR24, nullptr),
                  w * h * 3);
        long total = 0;
        int worst = 0;
        for (size_t i = 0; i < plain.size(); ++i) {
            const int d = std::abs(int(plain[i]) - int(c.src.bgr[i]));
            total += d;
            worst = std::max(worst, d);
        }
        EXPECT_LT(double(total) / double(plain.size()), c.meanTolerance);
        EXPECT_LE(worst, c.maxTolerance);

        // Exactly the model applied to libavcodec's own picture, in every layout.
        int dw = 0, dh = 0;
        const Bytes yuv = decodeToPlanar(stream, dw, dh);
        ASSERT_EQ(dw, w);
        ASSERT_EQ(dh, h);
        EXPECT_EQ(plain, referenceConvert(yuv.data(), w, h, BGR24, nullptr));
        for (const LayoutCase &l : kLayouts) {
            Bytes out(size_t(w) * h * l.bpp);
            ASSERT_EQ(DecodeHevc(stream.data(), w, h, int(stream.size()), out.data(), l.code), w * h * l.bpp);
            EXPECT_EQ(out, referenceConvert(yuv.data(), w, h, l.code, table_)) << "layout " << l.code;
        }
    }
}

TEST_F(HevcTest, DecodeHevcRefusesBadArgumentsSilently)
{
    useTable();
    const Bytes stream = fixture::encodeHevc(fixture::makePattern(32, 32, 2));
    Bytes out(32 * 32 * 4, 0x33);
    const Bytes before = out;
    const int n = int(stream.size());
    struct Case {
        const char *name;
        const unsigned char *data;
        int w, h, length;
        unsigned char *out;
    };
    const Case cases[] = {
        {"null data", nullptr, 32, 32, n, out.data()},
        {"null output", stream.data(), 32, 32, n, nullptr},
        {"zero length", stream.data(), 32, 32, 0, out.data()},
        {"negative length", stream.data(), 32, 32, -5, out.data()},
        {"zero width", stream.data(), 0, 32, n, out.data()},
        {"negative height", stream.data(), 32, -32, n, out.data()},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        const int result = DecodeHevc(c.data, c.w, c.h, c.length, c.out, BGR24);
        const int explicitResult = pyradec::decodeHevc(c.data, c.w, c.h, c.length, c.out, BGR24, table_);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, -1) << c.name;
        EXPECT_EQ(explicitResult, -1) << c.name;
        EXPECT_EQ(printed, "") << c.name;
        EXPECT_EQ(out, before) << c.name;
    }
}

TEST_F(HevcTest, DataThatYieldsNoExpectedPictureLeavesOutputUntouched)
{
    useTable();
    const Bytes stream = fixture::encodeHevc(fixture::makePattern(64, 32, 3));
    std::mt19937 rng(11);
    Bytes noise(2000);
    for (uint8_t &b : noise)
        b = uint8_t(rng());
    const Bytes jpeg = fixture::encodeJpeg(fixture::makePattern(64, 32, 3));
    const Bytes zeros(500, 0);
    const Bytes yuv444 = encodeHevc444(64, 32);
    ASSERT_FALSE(yuv444.empty());

    struct Case {
        const char *name;
        const Bytes &data;
        int w, h;
    };
    const Case cases[] = {
        {"random bytes", noise, 64, 32},
        {"a JPEG stream", jpeg, 64, 32},
        {"zero bytes", zeros, 64, 32},
        {"picture narrower than asked", stream, 66, 32},
        {"picture wider than asked", stream, 32, 32},
        {"picture lower than asked", stream, 64, 34},
        {"picture taller than asked", stream, 64, 16},
        {"sides swapped", stream, 32, 64},
        {"4:4:4 picture", yuv444, 64, 32},
    };
    for (const Case &c : cases) {
        Bytes out(66 * 64 * 4, 0x77);
        const Bytes before = out;
        testing::internal::CaptureStderr();  // libavcodec may log about the bytes
        EXPECT_EQ(DecodeHevc(c.data.data(), c.w, c.h, int(c.data.size()), out.data(), BGR24), -1) << c.name;
        EXPECT_EQ(pyradec::decodeHevc(c.data.data(), c.w, c.h, int(c.data.size()), out.data(), RGBA, nullptr),
                  -1)
            << c.name;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, before) << c.name;
    }
}

TEST_F(HevcTest, WithoutTableTileDecodesButDecodeHevcFails)
{
    const Bytes stream = fixture::encodeHevc(fixture::makePattern(48, 48, 4));
    Bytes out(48 * 48 * 3, 0x42);
    const Bytes before = out;
    EXPECT_EQ(DecodeHevc(stream.data(), 48, 48, int(stream.size()), out.data(), BGR24), -1);
    EXPECT_EQ(out, before);
    // The same bytes decode with an explicit (absent) table: colours unchanged.
    EXPECT_EQ(pyradec::decodeHevc(stream.data(), 48, 48, int(stream.size()), out.data(), BGR24, nullptr),
              48 * 48 * 3);
    EXPECT_NE(out, before);
}

TEST_F(HevcTest, ConcurrentDecodesGiveTheSerialBytes)
{
    useTable();
    std::vector<Bytes> streams;
    std::vector<Bytes> serial;
    for (uint32_t seed = 0; seed < 4; ++seed) {
        streams.push_back(fixture::encodeHevc(fixture::makePattern(128, 128, seed)));
        Bytes out(128 * 128 * 3);
        ASSERT_EQ(DecodeHevc(streams.back().data(), 128, 128, int(streams.back().size()), out.data(), BGR24),
                  128 * 128 * 3);
        serial.push_back(std::move(out));
    }
    std::vector<std::vector<Bytes>> results(2, std::vector<Bytes>(streams.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < streams.size(); ++i) {
                    Bytes out(128 * 128 * 3);
                    DecodeHevc(streams[i].data(), 128, 128, int(streams[i].size()), out.data(), BGR24);
                    results[t][i] = std::move(out);
                }
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    for (int t = 0; t < 2; ++t)
        for (size_t i = 0; i < streams.size(); ++i)
            EXPECT_EQ(results[t][i], serial[i]) << "thread " << t << " tile " << i;
}

}  // namespace
