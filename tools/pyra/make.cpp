// pyra make: a slide from an ordinary PNG or JPEG image, through the fixture
// writer that the tests and benchmarks use.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "pyra.h"
#include "slidewriter/ImageFiles.h"

namespace pyra {

namespace {

const char *const kDetails =
    "Builds a slide from a PNG or JPEG image: layer 0 at full size, then layers\n"
    "halved in size until one tile holds the whole picture; a thumbnail (within\n"
    "1024 x 1024), a label picture and a macrograph (an overview of the glass with\n"
    "the label and the specimen).\n"
    "\n"
    "--colour PARAMS, comma-separated (default neutral): gamma=G, gains=R:G:B (output\n"
    "gain of each channel), hsv=H:S:V (hue, saturation and value factors),\n"
    "matrix=a:b:c:d:e:f:g:h:i (3x3, row = output channel); or 'scanner' for a\n"
    "typical scanner set.";

struct MakeOptions {
    std::string input, output, colour, mosaic;
    int tile = 256, quality = 80;
    bool hevc = false;
    bool fullMosaic = false;
    double mpp = 0.25;
    int mag = 40;
};

// "WxH" of --mosaic, each 1 to 200000.
std::pair<int, int> mosaicSize(const std::string &text)
{
    const size_t x = text.find_first_of("xX");
    int w = 0, h = 0;
    const char *end = text.data() + text.size();
    const auto [wEnd, wErr] = std::from_chars(text.data(), text.data() + (x == std::string::npos ? 0 : x), w);
    const auto [hEnd, hErr] =
        x == std::string::npos ? std::from_chars(end, end, h) : std::from_chars(text.data() + x + 1, end, h);
    if (x == std::string::npos || wErr != std::errc() || hErr != std::errc() || wEnd != text.data() + x ||
        hEnd != end || w < 1 || h < 1 || w > 200000 || h > 200000)
        throw Failure("--mosaic must be WxH with each of 1 to 200000, got '" + text + "'");
    return {w, h};
}

std::vector<float> floats(const std::string &text, const std::string &what, size_t n)
{
    std::vector<float> out;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ':'))
        out.push_back(static_cast<float>(parseDouble(part, what)));
    if (out.size() != n)
        throw Failure("--colour " + what + " needs " + std::to_string(n) +
                      " numbers separated by ':', got '" + text + "'");
    return out;
}

slidewriter::ColorParams parseColour(const std::string &text)
{
    if (text == "scanner")
        return slidewriter::scannerColour();
    slidewriter::ColorParams c;
    if (text.empty() || text == "neutral")
        return c;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            throw Failure("--colour: expected NAME=VALUE, got '" + item + "'");
        const std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        if (name == "gamma") {
            c.gamma = static_cast<float>(parseDouble(value, "--colour gamma"));
            if (!(c.gamma > 0))
                throw Failure("--colour gamma must be above 0, got " + value);
        } else if (name == "gains") {
            auto v = floats(value, name, 3);
            std::copy(v.begin(), v.end(), c.channelGains);
        } else if (name == "hsv") {
            auto v = floats(value, name, 3);
            std::copy(v.begin(), v.end(), c.hsvScales);
        } else if (name == "matrix") {
            auto v = floats(value, name, 9);
            std::copy(v.begin(), v.end(), c.colorMatrix);
        } else {
            throw Failure("--colour: unknown parameter '" + name + "' (gamma, gains, hsv, matrix)");
        }
    }
    return c;
}

// Runs body(i) for i in [0, n) on every core; the first exception is rethrown.
template <typename Body>
void parallelFor(size_t n, Body body)
{
    std::atomic<size_t> next{0};
    std::exception_ptr error;
    std::mutex lock;
    auto worker = [&]() {
        try {
            for (size_t i; (i = next++) < n;)
                body(i);
        } catch (...) {
            std::lock_guard<std::mutex> g(lock);
            if (!error)
                error = std::current_exception();
            next = n;
        }
    };
    const unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

// Tiles of the picture, white beyond its edges, encoded on every core.
slidewriter::Layer buildLayer(const slidewriter::Image &picture, int tw, int th, bool hevc, int quality)
{
    slidewriter::Layer layer;
    layer.xCount = (picture.width + tw - 1) / tw;
    layer.yCount = (picture.height + th - 1) / th;
    layer.boundWidth = layer.xCount * tw - picture.width;
    layer.boundHeight = layer.yCount * th - picture.height;
    layer.tiles.resize(static_cast<size_t>(layer.xCount) * layer.yCount);
    parallelFor(layer.tiles.size(), [&](size_t i) {
        const int col = static_cast<int>(i % layer.xCount), row = static_cast<int>(i / layer.xCount);
        const slidewriter::Image tile = slidewriter::crop(picture, col * tw, row * th, tw, th, 255);
        layer.tiles[i].bytes = hevc ? slidewriter::encodeHevc(tile) : slidewriter::encodeJpeg(tile, quality);
    });
    return layer;
}

void fill(slidewriter::Image &img, int x0, int y0, int w, int h, uint8_t b, uint8_t g, uint8_t r)
{
    for (int y = std::max(0, y0); y < std::min(img.height, y0 + h); ++y)
        for (int x = std::max(0, x0); x < std::min(img.width, x0 + w); ++x) {
            uint8_t *p = &img.bgr[(static_cast<size_t>(y) * img.width + x) * 3];
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
}

void paste(slidewriter::Image &dst, const slidewriter::Image &src, int x0, int y0)
{
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const int dx = x0 + x, dy = y0 + y;
            if (dx < 0 || dy < 0 || dx >= dst.width || dy >= dst.height)
                continue;
            std::memcpy(&dst.bgr[(static_cast<size_t>(dy) * dst.width + dx) * 3],
                        &src.bgr[(static_cast<size_t>(y) * src.width + x) * 3], 3);
        }
}

// A label card: dark frame, a square code of cells taken from the picture's
// content (so different images get different labels), and a colour bar.
slidewriter::Image makeLabel(const slidewriter::Image &overview)
{
    slidewriter::Image label = slidewriter::makeFlat(480, 480, 250);
    fill(label, 0, 0, 480, 12, 40, 40, 40);
    fill(label, 0, 468, 480, 12, 40, 40, 40);
    fill(label, 0, 0, 12, 480, 40, 40, 40);
    fill(label, 468, 0, 12, 480, 40, 40, 40);
    uint64_t h = 1469598103934665603ull;
    for (uint8_t byte : overview.bgr)
        h = (h ^ byte) * 1099511628211ull;
    const int cells = 16, cell = 16, at = 40;
    fill(label, at - cell, at - cell, cell * (cells + 2), cell * (cells + 2), 255, 255, 255);
    for (int y = 0; y < cells; ++y)
        for (int x = 0; x < cells; ++x) {
            // Solid left and bottom edges, as a reader would find the code by.
            bool dark = x == 0 || y == cells - 1;
            if (!dark) {
                h = (h ^ static_cast<uint64_t>(y * cells + x)) * 1099511628211ull;
                dark = (h >> 33) & 1;
            }
            if (dark)
                fill(label, at + x * cell, at + y * cell, cell, cell, 20, 20, 20);
        }
    uint64_t sum[3] = {0, 0, 0};
    for (size_t i = 0; i < overview.bgr.size(); ++i)
        sum[i % 3] += overview.bgr[i];
    const uint64_t n = std::max<uint64_t>(1, overview.bgr.size() / 3);
    fill(label, 40, 340, 400, 90, static_cast<uint8_t>(sum[0] / n), static_cast<uint8_t>(sum[1] / n),
         static_cast<uint8_t>(sum[2] / n));
    for (int i = 0; i < 12; ++i)
        fill(label, 330 + (i % 3) * 36, 48 + (i / 3) * 64, 24, 40, 60, 60, 60);
    return label;
}

// The glass seen from above: label at the left, specimen in the middle.
slidewriter::Image makeMacrograph(const slidewriter::Image &overview, const slidewriter::Image &label)
{
    const int width = 1500, height = 500;
    slidewriter::Image macro = slidewriter::makeFlat(width, height, 236);
    paste(macro, slidewriter::resizeImage(label, 440, 440), 30, 30);
    int sw, sh;
    slidewriter::fitSize(overview.width, overview.height, 940, 440, sw, sh);
    fill(macro, 500, 20, 980, 460, 244, 244, 244);
    paste(macro, slidewriter::resizeImage(overview, sw, sh), 500 + (980 - sw) / 2, 20 + (460 - sh) / 2);
    return macro;
}

// The smallest pyramid picture at least as large as the target, resized to it.
slidewriter::Image fromPyramid(const std::vector<slidewriter::Image> &pyramid, int width, int height)
{
    const slidewriter::Image *best = &pyramid.front();
    for (const slidewriter::Image &p : pyramid)
        if (p.width >= width && p.height >= height)
            best = &p;
    return slidewriter::resizeImage(*best, width, height);
}

void runMake(const MakeOptions &options)
{
    const std::string &input = options.input, &out = options.output;
    const int tile = options.tile, quality = options.quality;
    const bool hevc = options.hevc;
    if (hevc && tile % 2)
        throw Failure("--tile must be even for HEVC tiles, got " + std::to_string(tile));
    const slidewriter::ColorParams colour = parseColour(options.colour);
    const double mpp = options.mpp;
    const long mag = options.mag;
    int mosaicW = 0, mosaicH = 0;
    if (!options.mosaic.empty())
        std::tie(mosaicW, mosaicH) = mosaicSize(options.mosaic);

    struct stat st;
    if (stat(input.c_str(), &st) != 0)
        throw Failure(input + (errno == ENOENT ? std::string(": no such file")
                                               : ": " + std::string(std::strerror(errno))));
    if (S_ISDIR(st.st_mode))
        throw Failure(input + ": is a directory, not an image");
    if (access(input.c_str(), R_OK) != 0)
        throw Failure(input + ": permission denied (the file is not readable)");
    slidewriter::Image picture;
    try {
        picture = slidewriter::loadImage(input);
    } catch (const std::exception &e) {
        throw Failure(e.what());
    }
    if (mosaicW) {
        picture = slidewriter::mosaic(picture, mosaicW, mosaicH);
        if (!options.fullMosaic)
            slidewriter::keepTissueIslands(picture);
    }
    const bool talk = isatty(STDERR_FILENO) == 1;

    slidewriter::Slide slide;
    slide.tileWidth = slide.tileHeight = static_cast<uint32_t>(tile);
    slide.quality = static_cast<uint8_t>(quality);
    slide.compressionType = hevc ? 4 : 0;
    slide.ratio = 2.0f;
    slide.mpp = mpp;
    slide.appMag = static_cast<uint32_t>(mag);
    slide.colour = colour;

    // Layers by halving until one tile holds the picture; the small pictures
    // stay for the overview images.
    std::vector<slidewriter::Image> pyramid;
    pyramid.push_back(std::move(picture));
    while (pyramid.back().width > tile || pyramid.back().height > tile)
        pyramid.push_back(slidewriter::halveImage(pyramid.back()));
    try {
        for (size_t i = 0; i < pyramid.size(); ++i) {
            if (talk)
                std::fprintf(stderr, "\rpyra make: layer %zu of %zu ", i + 1, pyramid.size());
            slide.layers.push_back(buildLayer(pyramid[i], tile, tile, hevc, quality));
        }
        if (talk)
            std::fputc('\n', stderr);
        const slidewriter::Image &full = pyramid.front();
        int thumbW, thumbH;
        slidewriter::fitSize(full.width, full.height, 1024, 1024, thumbW, thumbH);
        slide.thumbnail = fromPyramid(pyramid, thumbW, thumbH);
        int overW, overH;
        slidewriter::fitSize(full.width, full.height, 940, 440, overW, overH);
        const slidewriter::Image overview = fromPyramid(pyramid, overW, overH);
        slide.associated.resize(2);
        slide.associated[0].image = makeLabel(overview);
        slide.associated[1].image = makeMacrograph(overview, slide.associated[0].image);
        slidewriter::writeSlide(out, slide);
    } catch (const Failure &) {
        throw;
    } catch (const std::exception &e) {
        throw Failure(out + ": " + e.what());
    }

    size_t tiles = 0, bytes = 0;
    for (const slidewriter::Layer &l : slide.layers) {
        tiles += l.tiles.size();
        for (const slidewriter::Tile &t : l.tiles)
            bytes += t.bytes.size();
    }
    std::printf("%s: %d x %d pixels, %zu layers, %zu tiles of %d x %d (%s, %.1f MB of tiles)\n", out.c_str(),
                pyramid.front().width, pyramid.front().height, slide.layers.size(), tiles, tile, tile,
                hevc ? "HEVC" : "JPEG", bytes / 1e6);
}

}  // namespace

void addMakeCommand(CLI::App &app)
{
    auto options = std::make_shared<MakeOptions>();
    CLI::App *cmd = addCommand(app, "make", "build a slide from a PNG or JPEG image", kDetails);
    cmd->add_option("IMAGE", options->input, "the PNG or JPEG image")->required();
    cmd->add_option("OUT", options->output, "the slide file to write (OUT.pyra)")->required();
    cmd->add_option("--tile", options->tile, "tile width and height in pixels (default 256)")
        ->check(CLI::Range(16, 4096));
    cmd->add_option("--quality", options->quality, "JPEG quality of the tiles (default 80)")
        ->check(CLI::Range(1, 100));
    cmd->add_flag("--hevc", options->hevc, "store the tiles as HEVC pictures instead of JPEG (even --tile)");
    cmd->add_option("--colour,--color", options->colour, "colour parameters (see above)")
        ->type_name("PARAMS");
    cmd->add_option("--mosaic", options->mosaic,
                    "first repeat the image, mirrored, to W x H pixels, and keep a few "
                    "irregular tissue islands of it on white glass")
        ->type_name("WxH");
    cmd->add_flag("--full-mosaic", options->fullMosaic,
                  "with --mosaic: keep the whole mosaic, no glass (for benchmarks)");
    cmd->add_option("--mpp", options->mpp, "micrometres per pixel of layer 0 (default 0.25)")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--mag", options->mag, "magnification (default 40)")->check(CLI::Range(1, 1000));
    cmd->callback([options] { runMake(*options); });
}

}  // namespace pyra
