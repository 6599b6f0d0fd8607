// Tiles, regions, blocks and whole layers read on many threads at once, from one
// handle and from two handles with different colour parameters, while other slides
// are opened and closed: every read gives the bytes of the same read made serially.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/DecodeHevc.h"
#include "Fixture.h"
#include "Owners.h"

using namespace fixture;

namespace {

using Owned = fixture::Owned<>;
enum class Kind { SliceBgr, SliceJpeg, Region, Blocks, Layer };

// One read: a tile (a = col, b = row), a region (x, y, w, h = a, b, c, d), a block
// grid (c x d blocks) or a whole layer.
struct Read {
    Kind kind;
    int layer;
    int a = 0, b = 0, c = 0, d = 0;
};

std::string describe(const Read &r)
{
    static const char *names[] = {"GetSliceBgr", "GetSliceJpeg", "GetRoiSliceBgr", "VtGetBlockJpegFromPyra",
                                  "VtSpecifyLayerJpeg2Rgb"};
    return std::string(names[static_cast<int>(r.kind)]) + " layer " + std::to_string(r.layer) + " (" +
           std::to_string(r.a) + ", " + std::to_string(r.b) + ", " + std::to_string(r.c) + ", " +
           std::to_string(r.d) + ")";
}

void appendInt(Bytes &out, int32_t v)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

void append(Bytes &out, const unsigned char *data, size_t n) { out.insert(out.end(), data, data + n); }

// The read's result as bytes: its outputs and its buffer. A failed read gives a
// single marker byte so that a failure never matches a success.
Bytes perform(VtPyraInfo *pyra, const Read &r)
{
    const Bytes failed{0xEE};
    Bytes out;
    const uint32_t tw = pyra->picHead->tileWidth, th = pyra->picHead->tileHeight;
    switch (r.kind) {
    case Kind::SliceBgr: {
        int w = -1, h = -1;
        Owned px(GetSliceBgr(pyra, r.layer, r.a, r.b, &w, &h));
        if (!px)
            return failed;
        appendInt(out, w);
        appendInt(out, h);
        append(out, px.get(), size_t(tw) * th * 3);
        return out;
    }
    case Kind::SliceJpeg: {
        int w = -1, h = -1, length = -1;
        Owned jpeg(GetSliceJpeg(pyra, r.layer, r.a, r.b, &w, &h, &length));
        if (!jpeg)
            return failed;
        appendInt(out, w);
        appendInt(out, h);
        append(out, jpeg.get(), static_cast<size_t>(length));
        return out;
    }
    case Kind::Region: {
        Owned px(GetRoiSliceBgr(pyra, r.layer, r.a, r.b, r.c, r.d));
        if (!px)
            return failed;
        append(out, px.get(), size_t(r.c) * r.d * 3);
        return out;
    }
    case Kind::Blocks: {
        std::vector<VtImageInfo> blocks(size_t(r.c) * r.d);
        std::memset(blocks.data(), 0, blocks.size() * sizeof(VtImageInfo));
        for (VtImageInfo &b : blocks) {
            b.format = 0x5A;
            b.bitDepth = -77;
        }
        const int status = VtGetBlockJpegFromPyra(pyra, blocks.data(), 80, r.c, r.d, r.layer, 8);
        appendInt(out, status);
        bool untouched = true;  // the fields the block function leaves alone
        for (VtImageInfo &b : blocks) {
            appendInt(out, b.width);
            appendInt(out, b.height);
            appendInt(out, b.channels);
            appendInt(out, b.encodedLength);
            untouched = untouched && !b.pixels && b.format == 0x5A && b.bitDepth == -77;
            if (b.encoded && b.encodedLength > 0)
                append(out, b.encoded, static_cast<size_t>(b.encodedLength));
            Dispose(b.encoded);
        }
        return status == 0 && untouched ? out : failed;
    }
    case Kind::Layer: {
        unsigned char *raw = nullptr;
        int w = -1, h = -1;
        const int status = VtSpecifyLayerJpeg2Rgb(pyra, &raw, &w, &h, r.layer);
        Owned px(raw);
        if (status != 0 || !px)
            return failed;
        appendInt(out, w);
        appendInt(out, h);
        append(out, px.get(), size_t(w) * h * 3);
        return out;
    }
    }
    return failed;
}

// Every tile in both forms, regions across tile borders and past the right and bottom
// edges, a block grid and the whole of every layer.
std::vector<Read> readsOf(const Slide &slide)
{
    std::vector<Read> reads;
    const int tw = static_cast<int>(slide.tileWidth), th = static_cast<int>(slide.tileHeight);
    for (int layer = 0; layer < static_cast<int>(slide.layers.size()); ++layer) {
        const Layer &l = slide.layers[layer];
        for (int row = 0; row < l.yCount; ++row)
            for (int col = 0; col < l.xCount; ++col) {
                reads.push_back({Kind::SliceBgr, layer, col, row});
                reads.push_back({Kind::SliceJpeg, layer, col, row});
            }
        const int W = l.xCount * tw, H = l.yCount * th;
        const Read regions[] = {
            {Kind::Region, layer, 0, 0, W, H},
            {Kind::Region, layer, tw - 5, th - 7, 10, 14},  // a four-tile corner
            {Kind::Region, layer, W - 30, H - 20, 60, 50},  // past both edges
            {Kind::Region, layer, W - 1, H - 1, W, H},      // as far past as allowed
            {Kind::Region, layer, 3, 1, W - 6, std::min(H, th + 9)},
        };
        reads.insert(reads.end(), std::begin(regions), std::end(regions));
        if (layer == 0) {
            reads.push_back({Kind::Region, layer, tw, 0, tw, th});              // one whole tile
            reads.push_back({Kind::Region, layer, 17, th / 2, 2 * tw + 5, 1});  // one row
        }
        reads.push_back({Kind::Blocks, layer, 0, 0, std::min(3, l.xCount), std::min(2, l.yCount)});
        reads.push_back({Kind::Layer, layer});
    }
    return reads;
}

std::vector<Bytes> performAll(VtPyraInfo *pyra, const std::vector<Read> &reads)
{
    std::vector<Bytes> results;
    for (const Read &r : reads)
        results.push_back(perform(pyra, r));
    return results;
}

ColorParams thirdColour()
{
    ColorParams c;
    c.gamma = 2.2f;
    const float gains[3] = {0.9f, 1.1f, 1.0f};
    const float hsv[3] = {1.0f, 0.8f, 0.95f};
    std::copy(gains, gains + 3, c.channelGains);
    std::copy(hsv, hsv + 3, c.hsvScales);
    return c;
}

struct SlideCase {
    const char *name;
    uint8_t compression;
    int xCount, yCount, layers;
    int passes;  // HEVC decoding costs far more per tile, above all under sanitizers
};

class TileThreads : public ::testing::TestWithParam<SlideCase> {
protected:
    void SetUp() override
    {
        const SlideCase &c = GetParam();
        base = makeSlide(c.xCount, c.yCount, c.layers, c.compression, 64, 64, 31);
        reads = readsOf(base);

        // Same pictures, same stored tiles, different colours.
        Slide neutral = base, scanner = base, third = base;
        scanner.colour = scannerColour();
        third.colour = thirdColour();
        neutralPath = writeSlide(tmp.file("neutral.pyra"), neutral);
        scannerPath = writeSlide(tmp.file("scanner.pyra"), scanner);
        thirdPath = writeSlide(tmp.file("third.pyra"), third);

        // Each handle's reference is recorded before the other one exists, so a later
        // open that recoloured it would show.
        a.reset(VtOpenPyra(neutralPath.c_str()));
        ASSERT_TRUE(a);
        expectedA = performAll(a.get(), reads);
        b.reset(VtOpenPyra(scannerPath.c_str()));
        ASSERT_TRUE(b);
        expectedB = performAll(b.get(), reads);
        for (size_t i = 0; i < reads.size(); ++i) {
            ASSERT_NE(expectedA[i], Bytes{0xEE}) << describe(reads[i]);
            ASSERT_NE(expectedB[i], Bytes{0xEE}) << describe(reads[i]);
        }
        // Serial reads repeat themselves, and A is unchanged by B's open.
        ASSERT_EQ(performAll(a.get(), reads), expectedA);
        // The two colourings really differ where pixels are decoded.
        size_t differing = 0;
        for (size_t i = 0; i < reads.size(); ++i)
            differing += expectedA[i] != expectedB[i];
        ASSERT_GT(differing, reads.size() / 2);
    }

    void TearDown() override
    {
        a.reset();
        b.reset();
        pyradec::setCurrentColorTable(nullptr);
    }

    // `threads` threads each go through all reads on both handles `passes` times, each in
    // its own order, and go on (up to 40 passes) while `more` says so; returns the number
    // of results that differ from the serial ones.
    int readConcurrently(int threads, int passes, const std::atomic<bool> *start = nullptr,
                         const std::function<bool()> &more = {})
    {
        std::atomic<int> mismatches{0};
        std::mutex firstLock;
        std::string first;
        const size_t total = reads.size() * 2;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                while (start && !start->load())
                    std::this_thread::yield();
                for (size_t k = 0;; ++k) {
                    if (k % total == 0 && k / total >= size_t(passes) &&
                        (!more || !more() || k / total >= 40))
                        break;
                    // A stride prime to `total` visits every read once a pass, in an order
                    // that differs from thread to thread.
                    size_t stride = 7 + 2 * t;
                    while (std::gcd(stride, total) != 1)
                        ++stride;
                    const size_t i = (k * stride + t * 13) % total;
                    const bool onA = i < reads.size();
                    const size_t ri = onA ? i : i - reads.size();
                    const Bytes got = perform(onA ? a.get() : b.get(), reads[ri]);
                    if (got != (onA ? expectedA : expectedB)[ri]) {
                        if (mismatches.fetch_add(1) == 0) {
                            std::lock_guard<std::mutex> lock(firstLock);
                            first = std::string(onA ? "neutral " : "scanner ") + describe(reads[ri]);
                        }
                    }
                }
            });
        }
        for (std::thread &th : pool)
            th.join();
        EXPECT_EQ(mismatches.load(), 0) << "first: " << first;
        return mismatches.load();
    }

    TempDir tmp;
    Slide base;
    std::vector<Read> reads;
    std::string neutralPath, scannerPath, thirdPath;
    Handle a, b;
    std::vector<Bytes> expectedA, expectedB;
};

TEST_P(TileThreads, ConcurrentReadsMatchSerialReads) { readConcurrently(6, GetParam().passes); }

// Opening and closing a third slide with other colours, over and over, changes neither
// the process-wide table's users' handles nor their results.
TEST_P(TileThreads, OpenAndCloseElsewhereDoesNotDisturbReads)
{
    // The third slide's own reference, made serially.
    const Read probe{Kind::Region, 0, 40, 30, 60, 50};
    Bytes expectedThird;
    {
        Handle c(VtOpenPyra(thirdPath.c_str()));
        ASSERT_TRUE(c);
        expectedThird = perform(c.get(), probe);
    }
    ASSERT_NE(expectedThird, perform(a.get(), probe));
    ASSERT_NE(expectedThird, perform(b.get(), probe));

    std::atomic<bool> started{false}, done{false};
    std::atomic<int> cycles{0}, thirdMismatches{0}, failedOpens{0};
    std::thread opener([&] {
        while (!done.load()) {
            Handle c(VtOpenPyra(thirdPath.c_str()));
            if (!c) {
                ++failedOpens;
            } else if (perform(c.get(), probe) != expectedThird) {
                ++thirdMismatches;
            }
            c.reset();
            ++cycles;
            started.store(true);
        }
    });
    // Reads go on until the third slide has been opened and closed a few times under them.
    readConcurrently(4, GetParam().passes, &started, [&] { return cycles.load() < 3; });
    done.store(true);
    opener.join();

    EXPECT_EQ(failedOpens.load(), 0);
    EXPECT_EQ(thirdMismatches.load(), 0);
    EXPECT_GE(cycles.load(), 2);
    // Afterwards the handles still read as before, serially too.
    EXPECT_EQ(performAll(a.get(), reads), expectedA);
    EXPECT_EQ(performAll(b.get(), reads), expectedB);
}

INSTANTIATE_TEST_SUITE_P(Slides, TileThreads,
                         ::testing::Values(SlideCase{"Jpeg", 0, 4, 3, 2, 2},
                                           SlideCase{"Hevc", 4, 3, 2, 2, 1}),
                         [](const ::testing::TestParamInfo<SlideCase> &info) { return info.param.name; });

// The functions that use ColorTable without a handle hold the table for the whole
// call: while slides with other colours are opened and closed on another thread
// (which frees tables, reuses their memory and rebuilds), every result is the
// one of a table that was current, or the failure of no table, never a mixture.
TEST(HandleLessColourCalls, HoldTheTableWhileSlidesOpenAndClose)
{
    TempDir tmp;
    Slide scanner = makeSlide(1, 1, 1, 0, 64, 64, 3), third = scanner;
    scanner.colour = scannerColour();
    third.colour = thirdColour();
    const std::string paths[2] = {writeSlide(tmp.file("scanner.pyra"), scanner),
                                  writeSlide(tmp.file("third.pyra"), third)};

    const Image picture = makePattern(256, 256, 21);
    const Bytes jpeg = encodeJpeg(picture, 85);
    const Image small = makePattern(64, 64, 22);
    const Bytes hevc = encodeHevc(small);
    Bytes yuv(size_t(64) * 64 * 3 / 2);
    for (size_t i = 0; i < yuv.size(); ++i)
        yuv[i] = static_cast<uint8_t>(16 + (i * 7) % 220);

    // One result of each call as bytes; empty when the call failed.
    auto callAll = [&]() {
        std::vector<Bytes> out(4);
        if (unsigned char *px = RgbColorCorrect(picture.bgr.data(), picture.width, picture.height, 3)) {
            out[0].assign(px, px + picture.bgr.size());
            Dispose(px);
        }
        unsigned char *px = nullptr;
        const int64_t n = VtDecodeJpeg(jpeg.data(), jpeg.size(), &px, 13);  // JCS_EXT_BGRA
        if (px) {
            out[1].assign(px, px + n);
            Dispose(px);
        }
        Bytes pixels(size_t(64) * 64 * 3);
        if (DecodeHevc(hevc.data(), 64, 64, static_cast<int>(hevc.size()), pixels.data(), BGR24) > 0)
            out[2] = pixels;
        if (Yuv420pRgb(yuv.data(), pixels.data(), 64, 64, RGB24) > 0)
            out[3] = pixels;
        return out;
    };
    std::vector<Bytes> expected[2];
    for (int k = 0; k < 2; ++k) {
        Handle h(VtOpenPyra(paths[k].c_str()));
        ASSERT_TRUE(h);
        expected[k] = callAll();
        for (const Bytes &e : expected[k])
            ASSERT_FALSE(e.empty());
    }
    ASSERT_NE(expected[0][0], expected[1][0]);
    pyradec::setCurrentColorTable(nullptr);

    std::atomic<bool> done{false};
    std::atomic<int> calls{0}, mismatches{0};
    std::thread caller([&] {
        while (!done.load()) {
            const std::vector<Bytes> got = callAll();
            for (size_t i = 0; i < got.size(); ++i)
                if (!got[i].empty() && got[i] != expected[0][i] && got[i] != expected[1][i])
                    ++mismatches;
            ++calls;
        }
    });
    for (int cycle = 0; cycle < 3; ++cycle) {
        Handle first(VtOpenPyra(paths[cycle % 2].c_str()));
        Handle second(VtOpenPyra(paths[(cycle + 1) % 2].c_str()));
        EXPECT_TRUE(first && second);
        first.reset();
        second.reset();
    }
    // At least a few calls overlap the opens and closes.
    while (calls.load() < 3)
        std::this_thread::yield();
    done.store(true);
    caller.join();
    EXPECT_EQ(mismatches.load(), 0);
    pyradec::setCurrentColorTable(nullptr);
}

}  // namespace
