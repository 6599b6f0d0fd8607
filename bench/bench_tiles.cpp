// Tile, region, whole-layer and export speed, each figure next to its anchor
// measured in the same run:
//   - plain libjpeg-turbo decode of the slide's own tile bytes (1 core, 2 threads),
//   - the limit for a fresh unaligned 1024x1024 region: its 25 touched tiles
//     decoded whole with plain libjpeg,
//   - OpenSlide reading the same regions from a tiled JPEG TIFF of the same tiles,
//   - `vips dzsave` exporting the same layer as 512x512 JPEG tiles.
// OpenSlide and libtiff are loaded at run time, so the program builds without
// them; `vips` is run as a command. Missing pieces are reported and skipped.
//
// Why not a Google Benchmark program like the others: each figure here is a
// ratio against an anchor that must be timed in the same rounds (interleaved,
// on the same freshly chosen regions, with the same thread pinning), on a slide
// of hundreds of megabytes written once and cached, and some figures run another
// program (vips). Google Benchmark times one function per benchmark and reports
// absolute times, so the ratios, their goals and the shared setup would live
// outside it anyway. The timing, anchor, peer and report pieces are in
// support/BenchSupport.h.
//
// Usage: bench_tiles [--quick] [--fresh]
//   --quick  a 6000x6000 layer 0 instead of 20000x20000
//   --fresh  rewrite the cached slide and TIFF files in /tmp
#include <fcntl.h>
#include <omp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pyradec/pyradec.h"
#include "slidewriter/ImageFiles.h"
#include "slidewriter/SlideWriter.h"
#include "support/BenchSupport.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using slidewriter::Bytes;
using slidewriter::Image;
using namespace bench;

constexpr int kTile = 256;
constexpr int kQuality = 80;
constexpr int kRegion = 1024;
constexpr int kExportTile = 512;
// Bump when the content or the file layout of the cached files changes.
constexpr int kCacheVersion = 2;

struct Config {
    bool quick = false;
    bool fresh = false;
    int contentSize = 20000;  // layer 0 image width and height
    int regionsPerRound = 40;
    int rounds = 5;
    int exportRounds = 2;
};

// ---------------------------------------------------------------------------
// The slide: layer 0 of contentSize^2 pixels and layer 1 of half that, 256x256
// JPEG tiles at quality 80, cut from a mirrored mosaic of a real micrograph
// (synthetic pattern when none is cached), white beyond the content.

struct Content {
    Image picture;  // the mosaic's source, full resolution
    std::string name;
};

Content loadContent()
{
    for (const char *path : {"/var/cache/pyradec/sample/ihc.png", "/var/cache/pyradec/ihc.png"}) {
        if (!fs::exists(path))
            continue;
        std::optional<Image> img;
        try {
            img = slidewriter::loadImage(path);
        } catch (const std::exception &) {
            continue;
        }
        if (img->width >= 64 && img->height >= 64) {
            // Even sizes keep the halved mosaic the mosaic of the halved picture.
            Image even = slidewriter::crop(*img, 0, 0, img->width & ~1, img->height & ~1);
            return {std::move(even), std::string("micrograph ") + path};
        }
    }
    return {slidewriter::makePattern(1024, 1024, 7), "synthetic pattern (no micrograph cached)"};
}

// One tile of the mirrored mosaic of `src` over a content of `content` pixels.
Image mosaicTile(const Image &src, int content, int col, int row)
{
    Image t = slidewriter::makeFlat(kTile, kTile, 255);
    for (int ty = 0; ty < kTile; ++ty) {
        const int y = row * kTile + ty;
        if (y >= content)
            break;
        const int cy = y / src.height, my = y % src.height;
        const int sy = cy % 2 ? src.height - 1 - my : my;
        for (int tx = 0; tx < kTile; ++tx) {
            const int x = col * kTile + tx;
            if (x >= content)
                break;
            const int cx = x / src.width, mx = x % src.width;
            const int sx = cx % 2 ? src.width - 1 - mx : mx;
            std::memcpy(&t.bgr[(size_t(ty) * kTile + tx) * 3], &src.bgr[(size_t(sy) * src.width + sx) * 3],
                        3);
        }
    }
    return t;
}

slidewriter::Layer makeMosaicLayer(const Image &src, int content)
{
    slidewriter::Layer layer;
    const int count = (content + kTile - 1) / kTile;
    layer.xCount = layer.yCount = count;
    layer.boundWidth = layer.boundHeight = count * kTile - content;
    layer.tiles.resize(size_t(count) * count);
    const int threads = std::max(1, availableCpus());
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (size_t i = size_t(t); i < layer.tiles.size(); i += size_t(threads))
                layer.tiles[i].bytes = slidewriter::encodeJpeg(
                    mosaicTile(src, content, int(i % count), int(i / count)), kQuality);
        });
    for (std::thread &th : pool)
        th.join();
    return layer;
}

struct SlideFiles {
    std::string colour;  // scanner colour parameters: every decode goes through the table
    std::string plain;   // the same tiles, no colour parameters
    std::string tiff;    // layer 0's tiles in a tiled JPEG TIFF (empty: none)
    std::string content;
};

void writeAtomically(const std::string &path, const std::function<void(const std::string &)> &write)
{
    const std::string part = path + ".part";
    write(part);
    fs::rename(part, path);
}

// Writes layer 0's stored tiles, unchanged, as the tiles of a JPEG TIFF.
bool writeTiff(TiffApi &tiff, const std::string &path, int content, const std::vector<Bytes> &tiles,
               int count)
{
    void *tif = tiff.open(path.c_str(), "w");
    if (!tif)
        return false;
    tiff.setField(tif, kTagImageWidth, uint32_t(content));
    tiff.setField(tif, kTagImageLength, uint32_t(content));
    tiff.setField(tif, kTagTileWidth, uint32_t(kTile));
    tiff.setField(tif, kTagTileLength, uint32_t(kTile));
    tiff.setField(tif, kTagBitsPerSample, 8);
    tiff.setField(tif, kTagSamplesPerPixel, 3);
    tiff.setField(tif, kTagPlanarConfig, int(kPlanarContig));
    tiff.setField(tif, kTagCompression, int(kCompressionJpeg));
    tiff.setField(tif, kTagPhotometric, int(kPhotometricYCbCr));
    tiff.setField(tif, kTagYCbCrSubsampling, 2, 2);
    bool ok = true;
    for (int i = 0; i < count * count && ok; ++i) {
        Bytes copy = tiles[size_t(i)];
        ok = tiff.writeRawTile(tif, uint32_t(i), copy.data(), long(copy.size())) == long(copy.size());
    }
    ok = ok && tiff.writeDirectory(tif);
    tiff.close(tif);
    return ok;
}

SlideFiles prepareSlides(const Config &cfg)
{
    Content content = loadContent();
    const std::string key = "/tmp/pyradec-bench-v" + std::to_string(kCacheVersion) + "-" +
                            std::to_string(cfg.contentSize) + "-t" + std::to_string(kTile) + "-q" +
                            std::to_string(kQuality) +
                            (content.name.rfind("micrograph", 0) == 0 ? "-ihc" : "-pattern");
    SlideFiles files{key + "-colour.pyra", key + "-plain.pyra", "", content.name};
    if (cfg.fresh || !fs::exists(files.colour) || !fs::exists(files.plain)) {
        std::printf("writing the slides (%s) ...\n", content.name.c_str());
        std::fflush(stdout);
        const double t0 = now();
        slidewriter::Slide slide = slidewriter::makeSlide(1, 1, 1);
        slide.colour = slidewriter::scannerColour();
        slide.layers.clear();
        slide.layers.push_back(makeMosaicLayer(content.picture, cfg.contentSize));
        slide.layers.push_back(
            makeMosaicLayer(slidewriter::halveImage(content.picture), (cfg.contentSize + 1) / 2));
        slide.imageWidth = slide.imageHeight = uint32_t(cfg.contentSize);
        writeAtomically(files.colour, [&](const std::string &p) { slidewriter::writeSlide(p, slide); });
        slide.hasExtraInfo = false;
        writeAtomically(files.plain, [&](const std::string &p) { slidewriter::writeSlide(p, slide); });
        std::printf("  written in %.1f s\n", now() - t0);
    }
    return files;
}

// ---------------------------------------------------------------------------
// Stored tiles of a layer, read through the library.

struct LayerTiles {
    int xCount = 0, yCount = 0, boundWidth = 0, boundHeight = 0;
    std::vector<Bytes> tiles;  // row-major
    size_t bytes = 0;
};

LayerTiles readLayerTiles(VtPyraInfo *pyra, int layer)
{
    LayerTiles out;
    const VtPicInfo &info = *pyra->picInfos[layer];
    out.xCount = info.xCount;
    out.yCount = info.yCount;
    out.boundWidth = info.boundWidth;
    out.boundHeight = info.boundHeight;
    for (int row = 0; row < out.yCount; ++row)
        for (int col = 0; col < out.xCount; ++col) {
            unsigned char *data = nullptr;
            int length = 0;
            if (VtGetHevcSliceOfSpecifyLayer(pyra, &data, &length, layer, col, row) != VT_OK || !data)
                throw std::runtime_error("stored tile " + std::to_string(col) + "," + std::to_string(row) +
                                         " of layer " + std::to_string(layer) + " not readable");
            out.tiles.emplace_back(data, data + length);
            out.bytes += size_t(length);
            Dispose(data);
        }
    return out;
}

void printSummary(const Config &cfg, const SlideFiles &files)
{
    std::printf("\n== summary (%d cores, layer 0 %dx%d, %dx%d JPEG tiles at Q%d, %s) ==\n", availableCpus(),
                cfg.contentSize, cfg.contentSize, kTile, kTile, kQuality, files.content.c_str());
    std::printf("%-44s %-16s %-16s %8s %8s %5s\n", "figure", "ours", "anchor", "ratio", "goal", "met");
    for (const Row &r : g_rows) {
        std::string goal = r.goal > 0 ? fmt(">= %.2f", r.goal) : "-";
        std::string met = r.goal <= 0 ? "-" : r.ratio < 0 ? "n/a" : r.ratio >= r.goal ? "yes" : "NO";
        std::string ratio = r.ratio < 0 ? "-" : fmt("%.3f", r.ratio);
        std::printf("%-44s %-16s %-16s %8s %8s %5s\n", r.figure.c_str(), r.ours.c_str(), r.anchor.c_str(),
                    ratio.c_str(), goal.c_str(), met.c_str());
        if (!r.note.empty())
            std::printf("    %s\n", r.note.c_str());
    }
}

// ---------------------------------------------------------------------------
// Figures.

double megapixels(size_t pixels) { return double(pixels) / 1e6; }

// Plain decode of tiles [begin, end) into one scratch tile.
bool decodeRange(const std::vector<Bytes> &tiles, size_t begin, size_t end)
{
    std::vector<unsigned char> out(size_t(kTile) * kTile * 3);
    for (size_t i = begin; i < end; ++i)
        if (!decodePlain(tiles[i].data(), tiles[i].size(), out.data(), kTile, kTile))
            return false;
    return true;
}

// Seconds for plain libjpeg over `tiles` on `threads` threads, contiguous runs
// each (like the layer decode's division).
double timePlainDecode(const std::vector<Bytes> &tiles, int threads)
{
    const double t0 = now();
    if (threads == 1) {
        if (!decodeRange(tiles, 0, tiles.size()))
            throw std::runtime_error("plain libjpeg failed on a stored tile");
        return now() - t0;
    }
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(
            [&, t] { decodeRange(tiles, tiles.size() * t / threads, tiles.size() * (t + 1) / threads); });
    for (std::thread &th : pool)
        th.join();
    return now() - t0;
}

struct Pos {
    int x, y;
};

// Random unaligned 1024x1024 regions inside the content; every round its own positions.
std::vector<std::vector<Pos>> regionPositions(int content, int perRound, int rounds, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(1, content - kRegion - 1);
    std::vector<std::vector<Pos>> out(static_cast<size_t>(rounds));
    for (auto &round : out)
        while (int(round.size()) < perRound) {
            Pos p{d(rng), d(rng)};
            if (p.x % kTile && p.y % kTile)
                round.push_back(p);
        }
    return out;
}

// The region assembled from plain decodes of its tiles (for checking pixels).
std::vector<unsigned char> plainRegion(const LayerTiles &lt, Pos p)
{
    std::vector<unsigned char> region(size_t(kRegion) * kRegion * 3, 255);
    std::vector<unsigned char> tile(size_t(kTile) * kTile * 3);
    for (int row = p.y / kTile; row <= (p.y + kRegion - 1) / kTile; ++row)
        for (int col = p.x / kTile; col <= (p.x + kRegion - 1) / kTile; ++col) {
            const Bytes &b = lt.tiles[size_t(row) * lt.xCount + col];
            decodePlain(b.data(), b.size(), tile.data(), kTile, kTile);
            for (int ty = 0; ty < kTile; ++ty) {
                const int y = row * kTile + ty - p.y;
                if (y < 0 || y >= kRegion)
                    continue;
                for (int tx = 0; tx < kTile; ++tx) {
                    const int x = col * kTile + tx - p.x;
                    if (x >= 0 && x < kRegion)
                        std::memcpy(&region[(size_t(y) * kRegion + x) * 3],
                                    &tile[(size_t(ty) * kTile + tx) * 3], 3);
                }
            }
        }
    return region;
}

// The limit: decoding exactly the tiles each region touches, whole, with plain libjpeg.
Span timeLimit(const LayerTiles &lt, const std::vector<Pos> &round, size_t &tilesPerRegion)
{
    std::vector<unsigned char> tile(size_t(kTile) * kTile * 3);
    size_t touched = 0;
    const Stopwatch watch;
    for (Pos p : round)
        for (int row = p.y / kTile; row <= (p.y + kRegion - 1) / kTile; ++row)
            for (int col = p.x / kTile; col <= (p.x + kRegion - 1) / kTile; ++col) {
                const Bytes &b = lt.tiles[size_t(row) * lt.xCount + col];
                decodePlain(b.data(), b.size(), tile.data(), kTile, kTile);
                ++touched;
            }
    tilesPerRegion = touched / round.size();
    return watch.elapsed();
}

// Our region function: the round's time, or nothing when a region fails.
std::optional<Span> timeOurRegions(VtPyraInfo *pyra, const std::vector<Pos> &round)
{
    const Stopwatch watch;
    for (Pos p : round) {
        unsigned char *px = GetRoiSliceBgr(pyra, 0, p.x, p.y, kRegion, kRegion);
        if (!px)
            return std::nullopt;
        Dispose(px);
    }
    return watch.elapsed();
}

// An open OpenSlide slide, or the reason there is none.
struct OpenSlideSlide {
    OpenSlideApi api;
    void *osr = nullptr;
    std::string why;
    explicit OpenSlideSlide(const std::string &tiff)
    {
        if (tiff.empty()) {
            why = "no TIFF (libtiff.so.6 not loadable)";
            return;
        }
        if (!api.ok) {
            why = "libopenslide.so.0 not loadable: install libopenslide-dev (scripts/bench-deps.sh)";
            return;
        }
        osr = api.open(tiff.c_str());
        if (!osr || api.getError(osr)) {
            why = std::string("OpenSlide cannot open the TIFF: ") +
                  (osr && api.getError(osr) ? api.getError(osr) : "not recognised");
            if (osr)
                api.close(osr);
            osr = nullptr;
        }
    }
    ~OpenSlideSlide()
    {
        if (osr)
            api.close(osr);
    }
    OpenSlideSlide(const OpenSlideSlide &) = delete;
    OpenSlideSlide &operator=(const OpenSlideSlide &) = delete;
};

std::optional<Span> timeOpenSlide(OpenSlideSlide &os, const std::vector<Pos> &round,
                                  std::vector<uint32_t> &argb)
{
    const Stopwatch watch;
    for (Pos p : round)
        os.api.readRegion(os.osr, argb.data(), p.x, p.y, 0, kRegion, kRegion);
    const Span t = watch.elapsed();
    if (os.api.getError(os.osr))
        return std::nullopt;
    return t;
}

// Rounds alternate between the contenders, so a change of machine load hits all
// of them alike; ratios are taken per round and their median reported.
void regionFigures(const Config &cfg, const SlideFiles &files, VtPyraInfo *colour, VtPyraInfo *plain,
                   const LayerTiles &layer0)
{
    const int content = cfg.contentSize;
    const auto rounds = regionPositions(content, cfg.regionsPerRound, cfg.rounds, 20240501);
    std::printf("\n[regions] %d fresh unaligned %dx%d regions per round, %d rounds, one thread\n",
                cfg.regionsPerRound, kRegion, kRegion, cfg.rounds);
    const Pos first = rounds[0][0];
    const std::vector<unsigned char> ref = plainRegion(layer0, first);

    // Where no colour table applies our pixels must be the plain decode's.
    {
        unsigned char *px = GetRoiSliceBgr(plain, 0, first.x, first.y, kRegion, kRegion);
        if (!px) {
            skipRow("region 1024 unaligned, 1 thread", "GetRoiSliceBgr failed");
            return;
        }
        size_t differing = 0;
        for (size_t i = 0; i < ref.size(); ++i)
            differing += px[i] != ref[i];
        Dispose(px);
        std::printf("  pixel check, slide without colour table vs plain libjpeg: %s\n",
                    differing ? fmt("%.0f bytes differ", double(differing)).c_str() : "identical");
    }

    OpenSlideSlide os(files.tiff);
    std::vector<uint32_t> argb(size_t(kRegion) * kRegion);
    if (os.osr) {
        // The TIFF holds the very same tiles: OpenSlide's pixels match the plain decode.
        os.api.readRegion(os.osr, argb.data(), first.x, first.y, 0, kRegion, kRegion);
        int maxDiff = 0;
        for (size_t i = 0; i < argb.size(); ++i)
            for (int c = 0; c < 3; ++c)
                maxDiff = std::max(maxDiff, std::abs(int((argb[i] >> (8 * c)) & 255) - int(ref[i * 3 + c])));
        std::printf("  pixel check, OpenSlide vs plain libjpeg: max difference %d\n", maxDiff);
        // Warm its tile cache on other positions; the measured regions stay fresh.
        const auto warm = regionPositions(content, 16, 1, 7);
        for (Pos p : warm[0])
            os.api.readRegion(os.osr, argb.data(), p.x, p.y, 0, kRegion, kRegion);
    }

    const double mp = megapixels(size_t(cfg.regionsPerRound) * kRegion * kRegion);
    std::vector<double> limit, oursColour, oursPlain, openslide;
    std::vector<double> rColour, rPlain, rOsColour, rOsPlain;
    double wallSum = 0, cpuSum = 0;
    size_t tilesPerRegion = 0;
    {
        PinToOneCpu pin;
        for (const auto &round : rounds) {
            const Span sl = timeLimit(layer0, round, tilesPerRegion);
            const std::optional<Span> sc = timeOurRegions(colour, round);
            const std::optional<Span> sp = timeOurRegions(plain, round);
            if (!sc || !sp) {
                skipRow("region 1024 unaligned, 1 thread", "GetRoiSliceBgr failed");
                return;
            }
            wallSum += sl.wall + sc->wall + sp->wall;
            cpuSum += sl.cpu + sc->cpu + sp->cpu;
            const double tl = sl.cpu, tc = sc->cpu, tp = sp->cpu;
            limit.push_back(mp / tl);
            oursColour.push_back(mp / tc);
            oursPlain.push_back(mp / tp);
            rColour.push_back(tl / tc);
            rPlain.push_back(tl / tp);
            if (os.osr) {
                const std::optional<Span> so = timeOpenSlide(os, round, argb);
                if (!so) {
                    os.why = std::string("OpenSlide failed: ") + os.api.getError(os.osr);
                    os.api.close(os.osr);
                    os.osr = nullptr;
                } else {
                    const double to = so->cpu;
                    wallSum += so->wall;
                    cpuSum += so->cpu;
                    openslide.push_back(mp / to);
                    rOsColour.push_back(to / tc);
                    rOsPlain.push_back(to / tp);
                }
            }
        }
    }
    std::printf("  timed by the thread's CPU time; wall time / CPU time = %.2f%s\n", wallSum / cpuSum,
                wallSum > 1.1 * cpuSum ? " (busy machine: other processes took this core)" : "");
    std::printf("  limit, plain libjpeg on the %zu tiles each region touches: %.1f MP/s of region\n",
                tilesPerRegion, median(limit));
    std::printf("  ours: %.1f MP/s with the scanner colour table, %.1f MP/s without a table\n",
                median(oursColour), median(oursPlain));
    std::printf("  the colour table adds %.1f ns per region pixel\n",
                1e3 / median(oursColour) - 1e3 / median(oursPlain));
    const std::string limitText = fmt("%.1f MP/s", median(limit));
    addRow({"region 1024 unaligned, 1 thread, colour table", fmt("%.1f MP/s", median(oursColour)), limitText,
            median(rColour), 0.75, ""});
    addRow({"region 1024 unaligned, 1 thread, no table", fmt("%.1f MP/s", median(oursPlain)), limitText,
            median(rPlain), 0.75, ""});
    if (!os.osr) {
        skipRow("region 1024 vs OpenSlide", os.why);
        return;
    }
    std::printf("  OpenSlide, tile cache warm: %.1f MP/s\n", median(openslide));
    const std::string osText = fmt("%.1f MP/s", median(openslide));
    addRow({"region 1024 vs OpenSlide, colour table", fmt("%.1f MP/s", median(oursColour)), osText,
            median(rOsColour), 3.5, ""});
    addRow({"region 1024 vs OpenSlide, no table", fmt("%.1f MP/s", median(oursPlain)), osText,
            median(rOsPlain), 3.5, ""});
}

void layerFigures(const Config &cfg, VtPyraInfo *colour, VtPyraInfo *plain, const LayerTiles &layer1)
{
    const int threads = availableCpus();
    std::printf("\n[whole layer] layer 1, %dx%d tiles (%.1f KB per tile), %d rounds\n", layer1.xCount,
                layer1.yCount, double(layer1.bytes) / layer1.tiles.size() / 1024, cfg.rounds);
    const double mp = megapixels(layer1.tiles.size() * kTile * kTile);
    auto decodeLayer = [&](VtPyraInfo *pyra) {
        unsigned char *px = nullptr;
        int w = 0, h = 0;
        const double t0 = now();
        const int status = VtSpecifyLayerJpeg2Rgb(pyra, &px, &w, &h, 1);
        const double t = now() - t0;
        std::free(px);
        return status == VT_OK ? t : -1.0;
    };
    // Seconds per round: [0] plain libjpeg, [1] ours with the table, [2] ours without.
    struct Times {
        double one[3], all[3];
    };
    std::vector<Times> times;
    for (int r = 0; r < cfg.rounds; ++r) {
        Times t{};
        // All cores first, so that threads (OpenMP's pool too) are made without the pin.
        t.all[0] = timePlainDecode(layer1.tiles, threads);
        t.all[1] = decodeLayer(colour);
        t.all[2] = decodeLayer(plain);
        {
            PinToOneCpu pin;
            t.one[0] = timePlainDecode(layer1.tiles, 1);
            t.one[1] = decodeLayer(colour);
            t.one[2] = decodeLayer(plain);
        }
        for (int k = 1; k < 3; ++k)
            if (t.one[k] < 0 || t.all[k] < 0) {
                skipRow("whole layer", "VtSpecifyLayerJpeg2Rgb failed");
                return;
            }
        times.push_back(t);
    }
    auto med = [&](const std::function<double(const Times &)> &f) {
        std::vector<double> v;
        for (const Times &t : times)
            v.push_back(f(t));
        return median(v);
    };
    const double plain1 = med([&](const Times &t) { return mp / t.one[0]; });
    const double plainN = med([&](const Times &t) { return mp / t.all[0]; });
    const double plainSpeedup = med([&](const Times &t) { return t.one[0] / t.all[0]; });
    std::printf("  plain libjpeg: %.1f MP/s on 1 core, %.1f MP/s on %d threads (speedup %.2f)\n", plain1,
                plainN, threads, plainSpeedup);
    addRow({"tile decode, plain libjpeg, 1 core", fmt("%.1f MP/s", plain1), "325-345 (issue)", -1, 0, ""});
    addRow({"tile decode, plain libjpeg, 2 threads", fmt("%.1f MP/s", plainN), fmt("%.1f MP/s", plain1),
            plainSpeedup, 0, "ratio: libjpeg's own 2-thread speedup"});
    for (int k = 1; k < 3; ++k) {
        const char *which = k == 1 ? "colour table" : "no table";
        const double one = med([&](const Times &t) { return mp / t.one[k]; });
        const double all = med([&](const Times &t) { return mp / t.all[k]; });
        const double speedup = med([&](const Times &t) { return t.one[k] / t.all[k]; });
        const double relative =
            med([&](const Times &t) { return (t.one[k] / t.all[k]) / (t.one[0] / t.all[0]); });
        std::printf("  ours, %s: %.1f MP/s on 1 core, %.1f MP/s on %d cores (speedup %.2f)\n", which, one,
                    all, threads, speedup);
        addRow({std::string("whole layer, 1 core, ") + which, fmt("%.1f MP/s", one), fmt("%.1f MP/s", plain1),
                med([&](const Times &t) { return t.one[0] / t.one[k]; }), 0, ""});
        addRow({std::string("whole layer, 2 cores, ") + which, fmt("%.1f MP/s", all),
                fmt("%.1f MP/s", plainN), med([&](const Times &t) { return t.all[0] / t.all[k]; }), 0, ""});
        addRow({std::string("whole layer speedup vs libjpeg's, ") + which, fmt("%.2fx", speedup),
                fmt("%.2fx", plainSpeedup), relative, 0.9, ""});
    }
}

// Runs a command, returns its wall time in seconds, or -1 when it fails.
double runCommand(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const double t0 = now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double t = now() - t0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? t : -1;
}

size_t countFiles(const fs::path &dir)
{
    size_t n = 0;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        n += e.is_regular_file() && e.path().extension() != ".dzi" && e.path().extension() != ".xml";
    return n;
}

void exportFigure(const Config &cfg, const SlideFiles &files)
{
    const int per = (cfg.contentSize + kExportTile - 1) / kExportTile;
    std::printf("\n[export] layer 0 %dx%d as %dx%d JPEG tiles (%d files), all cores, %d rounds\n",
                cfg.contentSize, cfg.contentSize, kExportTile, kExportTile, per * per, cfg.exportRounds);
    const fs::path base = fs::temp_directory_path() / ("pyradec-bench-export-" + std::to_string(getpid()));
    fs::create_directories(base);
    // Seconds, best of the rounds: [0] ours with the table, [1] ours without, [2] vips.
    double best[3] = {1e30, 1e30, 1e30};
    std::string failure[3];
    if (files.tiff.empty())
        failure[2] = "no TIFF (libtiff.so.6 not loadable)";
    for (int r = 0; r < cfg.exportRounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            if (!failure[k].empty())
                continue;
            const fs::path dir = base / "ours";
            fs::create_directories(dir);
            std::string path = k == 0 ? files.colour : files.plain, out = dir.string();
            const double t0 = now();
            const int ok = GetAllSliceJpeg(path.data(), out.data(), kExportTile, kExportTile);
            const double t = now() - t0;
            const size_t n = countFiles(dir);
            fs::remove_all(dir);
            if (!ok || n != size_t(per) * per)
                failure[k] = fmt("GetAllSliceJpeg failed (%.0f files)", double(n));
            else
                best[k] = std::min(best[k], t);
        }
        if (failure[2].empty()) {
            const fs::path vdir = base / "vips";
            const double tv = runCommand({"vips", "dzsave", files.tiff, vdir.string(), "--tile-size",
                                          std::to_string(kExportTile), "--overlap", "0", "--suffix",
                                          ".jpg[Q=75]", "--depth", "one"});
            const fs::path tilesDir = base / "vips_files";
            const size_t vn = fs::exists(tilesDir) ? countFiles(tilesDir) : 0;
            fs::remove_all(tilesDir);
            fs::remove(base / "vips.dzi");
            if (tv < 0)
                failure[2] = "`vips dzsave` failed or is missing (libvips-tools, scripts/bench-deps.sh)";
            else if (vn != size_t(per) * per)
                failure[2] = fmt("`vips dzsave` wrote %.0f files", double(vn));
            else
                best[2] = std::min(best[2], tv);
        }
    }
    fs::remove_all(base);
    for (int k = 0; k < 3; ++k)
        if (failure[k].empty())
            std::printf("  %s: %.2f s (best of %d)\n",
                        k == 0   ? "ours, colour table"
                        : k == 1 ? "ours, no table"
                                 : "vips dzsave",
                        best[k], cfg.exportRounds);
    for (int k = 0; k < 2; ++k) {
        const std::string figure =
            std::string("export 512 Q75 vs vips dzsave, ") + (k == 0 ? "colour table" : "no table");
        if (!failure[k].empty())
            skipRow(figure, failure[k]);
        else if (!failure[2].empty())
            skipRow(figure, failure[2] + fmt("; ours took %.2f s", best[k]));
        else
            addRow({figure, fmt("%.2f s", best[k]), fmt("%.2f s", best[2]), best[2] / best[k], 1.0,
                    k == 0 ? "ratio = vips time / our time (> 1: ours faster)" : ""});
    }
}

struct HandleCloser {
    void operator()(VtPyraInfo *p) const { VtClosePyra(p); }
};
using Handle = std::unique_ptr<VtPyraInfo, HandleCloser>;

int run(const Config &cfg)
{
    const double start = now();
    printLoad("at start");
    SlideFiles files = prepareSlides(cfg);
    LayerTiles layer0, layer1;
    {
        Handle colour(VtOpenPyra(files.colour.c_str()));
        Handle plain(VtOpenPyra(files.plain.c_str()));
        if (!colour || !plain) {
            std::fprintf(stderr, "bench_tiles: cannot open %s\n", files.colour.c_str());
            return 1;
        }
        layer0 = readLayerTiles(colour.get(), 0);
        layer1 = readLayerTiles(colour.get(), 1);
        std::printf("slide %s: layer 0 %dx%d tiles, %.1f KB per tile (%.2f bits per pixel)\n",
                    files.colour.c_str(), layer0.xCount, layer0.yCount,
                    double(layer0.bytes) / layer0.tiles.size() / 1024,
                    8.0 * layer0.bytes / (double(layer0.tiles.size()) * kTile * kTile));

        files.tiff =
            files.colour.substr(0, files.colour.size() - std::string("-colour.pyra").size()) + ".tif";
        TiffApi tiff;
        if (!fs::exists(files.tiff) || cfg.fresh) {
            if (!tiff.ok) {
                std::printf("libtiff.so.6 not loadable: no OpenSlide or vips figures\n");
                files.tiff.clear();
            } else {
                bool ok = false;
                writeAtomically(files.tiff, [&](const std::string &p) {
                    ok = writeTiff(tiff, p, cfg.contentSize, layer0.tiles, layer0.xCount);
                });
                if (!ok) {
                    std::printf("writing the TIFF failed: no OpenSlide or vips figures\n");
                    fs::remove(files.tiff);
                    files.tiff.clear();
                }
            }
        }

        layerFigures(cfg, colour.get(), plain.get(), layer1);
        regionFigures(cfg, files, colour.get(), plain.get(), layer0);
    }
    // The export opens the slide itself (and builds its colour table) with no other handle open.
    exportFigure(cfg, files);
    printSummary(cfg, files);
    std::printf("\ntotal %.0f s; ", now() - start);
    printLoad("at the end");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Config cfg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            cfg.quick = true;
            cfg.contentSize = 6000;
            cfg.regionsPerRound = 16;
            cfg.rounds = 3;
            cfg.exportRounds = 1;
        } else if (a == "--fresh") {
            cfg.fresh = true;
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--fresh]\n", argv[0]);
            return 2;
        }
    }
    try {
        return run(cfg);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_tiles: %s\n", e.what());
        return 1;
    }
}
