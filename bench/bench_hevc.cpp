// HEVC tiles: the YUV 4:2:0 -> BGR conversion with colour lookup (ours against a
// straightforward per-pixel version through the pointer table), and whole tile decodes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/DecodeHevc.h"
#include "slidewriter/ImageFiles.h"
#include "slidewriter/SlideWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSide = 256;

ColorCorrectTable *benchTable()
{
    static ColorCorrectTable *table = [] {
        pyradec::ColorParams p{};
        p.gamma = 1.8f;
        const float gains[3] = {1.05f, 0.95f, 1.1f};
        const float hsv[3] = {1.0f, 1.15f, 1.05f};
        const float matrix[9] = {0.92f, 0.12f, -0.04f, 0.03f, 0.9f, 0.07f, -0.06f, 0.1f, 0.96f};
        std::memcpy(p.channelGains, gains, sizeof gains);
        std::memcpy(p.hsvScales, hsv, sizeof hsv);
        std::memcpy(p.colorMatrix, matrix, sizeof matrix);
        return pyradec::acquireColorTable(p);
    }();
    return table;
}

// Planar 4:2:0 of a picture, by the BT.601 forward formula.
Bytes planarOf(const slidewriter::Image &img)
{
    const int w = img.width, h = img.height;
    Bytes yuv(size_t(w) * h * 3 / 2);
    uint8_t *u = yuv.data() + size_t(w) * h, *v = u + size_t(w / 2) * (h / 2);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t *p = &img.bgr[(size_t(y) * w + x) * 3];
            const int b = p[0], g = p[1], r = p[2];
            yuv[size_t(y) * w + x] = uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            if (y % 2 == 0 && x % 2 == 0) {
                u[(y / 2) * (w / 2) + x / 2] = uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
                v[(y / 2) * (w / 2) + x / 2] = uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            }
        }
    }
    return yuv;
}

// A fixture picture (slide-like content).
Bytes patternPlanar(int w, int h) { return planarOf(slidewriter::makePattern(w, h, 9)); }

// The four 256x256 quarters of the 512x512 micrograph the tile benchmarks use;
// none when it is not cached (scripts/sample-micrograph.sh fetches it).
std::vector<Bytes> micrographTiles()
{
    std::vector<Bytes> tiles;
    const char *path = "/var/cache/pyradec/sample/ihc.png";
    if (!std::filesystem::exists(path))
        return tiles;
    const slidewriter::Image img = slidewriter::loadImage(path);
    for (int y = 0; y + kSide <= img.height && y < 2 * kSide; y += kSide)
        for (int x = 0; x + kSide <= img.width && x < 2 * kSide; x += kSide)
            tiles.push_back(planarOf(slidewriter::crop(img, x, y, kSide, kSide)));
    return tiles;
}

Bytes noisePlanar(int w, int h)
{
    Bytes yuv(size_t(w) * h * 3 / 2);
    std::mt19937 rng(3);
    for (uint8_t &b : yuv)
        b = uint8_t(rng());
    return yuv;
}

int clampComponent(int v) { return v > 254 ? 255 : (v < 0 ? 0 : v); }

// The straightforward version: formula per pixel, lookups through the pointer table.
void plainYuvToBgr(const uint8_t *yuv, uint8_t *out, int w, int h, const ColorCorrectTable *t)
{
    const uint8_t *uPlane = yuv + w * h, *vPlane = uPlane + (w / 2) * (h / 2);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int Y = yuv[y * w + x] - 16;
            const int U = uPlane[(y / 2) * (w / 2) + x / 2] - 128;
            const int V = vPlane[(y / 2) * (w / 2) + x / 2] - 128;
            const int r = t->rangeTable[clampComponent((298 * Y + 409 * V + 128) >> 8)];
            const int g = t->rangeTable[clampComponent((298 * Y - 100 * U - 208 * V + 128) >> 8)];
            const int b = t->rangeTable[clampComponent((298 * Y + 516 * U + 128) >> 8)];
            uint8_t *o = out + (size_t(y) * w + x) * 3;
            o[0] = t->blueTable[r][g][b];
            o[1] = t->greenTable[r][g][b];
            o[2] = t->redTable[r][g][b];
        }
    }
}

void setPixelCounters(benchmark::State &state, int64_t pixels)
{
    state.SetItemsProcessed(state.iterations() * pixels);
    // Inverted rate of (pixels / 1e9): seconds per pixel scaled to nanoseconds.
    state.counters["ns_per_pixel"] =
        benchmark::Counter(double(state.iterations()) * double(pixels) * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Micrograph: four tiles of a real micrograph taken in turn, so that no tile's
// table entries are left in the cache by the iteration before.
enum class Content { Pattern, Noise, Flat, Micrograph };

std::vector<Bytes> contentTiles(Content c)
{
    if (c == Content::Noise)
        return {noisePlanar(kSide, kSide)};
    if (c == Content::Flat)
        return {Bytes(size_t(kSide) * kSide * 3 / 2, 180)};
    if (c == Content::Micrograph)
        return micrographTiles();
    return {patternPlanar(kSide, kSide)};
}

template <Content C>
void BM_YuvToBgr_Ours(benchmark::State &state)
{
    ColorCorrectTable *table = benchTable();
    const std::vector<Bytes> tiles = contentTiles(C);
    if (tiles.empty()) {
        state.SkipWithError("no micrograph cached (scripts/sample-micrograph.sh)");
        return;
    }
    pyradec::setCurrentColorTable(table);
    Bytes out(size_t(kSide) * kSide * 3);
    size_t next = 0;
    for (auto _ : state) {
        const Bytes &yuv = tiles[next++ % tiles.size()];
        benchmark::DoNotOptimize(Yuv420pRgb(yuv.data(), out.data(), kSide, kSide, BGR24));
        benchmark::ClobberMemory();
    }
    setPixelCounters(state, int64_t(kSide) * kSide);
    pyradec::setCurrentColorTable(nullptr);
}

// The arithmetic alone (no table): what the lookups add shows against the above.
void BM_YuvToBgr_NoTable(benchmark::State &state)
{
    const Bytes yuv = patternPlanar(kSide, kSide);
    Bytes out(size_t(kSide) * kSide * 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            pyradec::yuv420pToPixels(yuv.data(), out.data(), kSide, kSide, BGR24, nullptr));
        benchmark::ClobberMemory();
    }
    setPixelCounters(state, int64_t(kSide) * kSide);
}

template <Content C>
void BM_YuvToBgr_PlainPointerTable(benchmark::State &state)
{
    ColorCorrectTable *table = benchTable();
    const std::vector<Bytes> tiles = contentTiles(C);
    if (tiles.empty()) {
        state.SkipWithError("no micrograph cached (scripts/sample-micrograph.sh)");
        return;
    }
    Bytes out(size_t(kSide) * kSide * 3);
    size_t next = 0;
    for (auto _ : state) {
        plainYuvToBgr(tiles[next++ % tiles.size()].data(), out.data(), kSide, kSide, table);
        benchmark::ClobberMemory();
    }
    setPixelCounters(state, int64_t(kSide) * kSide);
}

// Whole tile: decoder set-up, decode, conversion through the table.
void BM_DecodeHevcTile(benchmark::State &state)
{
    pyradec::setCurrentColorTable(benchTable());
    const Bytes stream = slidewriter::encodeHevc(slidewriter::makePattern(kSide, kSide, 9));
    Bytes out(size_t(kSide) * kSide * 3);
    for (auto _ : state) {
        if (DecodeHevc(stream.data(), kSide, kSide, int(stream.size()), out.data(), BGR24) < 0)
            state.SkipWithError("decode failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
    state.counters["stream_bytes"] = double(stream.size());
    pyradec::setCurrentColorTable(nullptr);
}

// Anchor: libavcodec alone, one decoder kept open and reset between tiles, no
// conversion. The difference to the above is decoder set-up plus conversion.
void BM_LibavcodecDecodeOnly(benchmark::State &state)
{
    const Bytes stream = slidewriter::encodeHevc(slidewriter::makePattern(kSide, kSide, 9));
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    av_new_packet(packet, int(stream.size()));
    std::memcpy(packet->data, stream.data(), stream.size());
    int64_t heldBack = 0;
    for (auto _ : state) {
        avcodec_send_packet(ctx, packet);
        int rc = avcodec_receive_frame(ctx, frame);
        if (rc == AVERROR(EAGAIN)) {
            ++heldBack;
            avcodec_send_packet(ctx, nullptr);
            rc = avcodec_receive_frame(ctx, frame);
        }
        if (rc < 0)
            state.SkipWithError("decode failed");
        av_frame_unref(frame);
        avcodec_flush_buffers(ctx);
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
    // Share of tiles whose picture came out only after the end-of-stream signal.
    state.counters["held_back"] = double(heldBack) / double(state.iterations());
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
}

}  // namespace

BENCHMARK(BM_YuvToBgr_Ours<Content::Micrograph>)->Name("YuvToBgr/ours/micrograph");
BENCHMARK(BM_YuvToBgr_PlainPointerTable<Content::Micrograph>)->Name("YuvToBgr/plain_pointer_table/micrograph");
BENCHMARK(BM_YuvToBgr_Ours<Content::Pattern>)->Name("YuvToBgr/ours/pattern");
BENCHMARK(BM_YuvToBgr_PlainPointerTable<Content::Pattern>)->Name("YuvToBgr/plain_pointer_table/pattern");
BENCHMARK(BM_YuvToBgr_Ours<Content::Noise>)->Name("YuvToBgr/ours/noise");
BENCHMARK(BM_YuvToBgr_PlainPointerTable<Content::Noise>)->Name("YuvToBgr/plain_pointer_table/noise");
BENCHMARK(BM_YuvToBgr_Ours<Content::Flat>)->Name("YuvToBgr/ours/flat");
BENCHMARK(BM_YuvToBgr_PlainPointerTable<Content::Flat>)->Name("YuvToBgr/plain_pointer_table/flat");
BENCHMARK(BM_YuvToBgr_NoTable)->Name("YuvToBgr/ours_without_table/pattern");
BENCHMARK(BM_DecodeHevcTile)->Name("DecodeHevc/256x256_tile")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibavcodecDecodeOnly)->Name("DecodeHevc/libavcodec_only_256x256")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
