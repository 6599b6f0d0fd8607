// PNG through libpng's simplified interface, JPEG through the writer's codec,
// and plain resampling for pyramid layers and overview pictures.
#include "slidewriter/ImageFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include <png.h>

namespace slidewriter {

namespace {

struct PngImage {
    png_image image;
    PngImage()
    {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage &) = delete;
    PngImage &operator=(const PngImage &) = delete;
};

Image readPng(PngImage &png, const std::string &what)
{
    png.image.format = PNG_FORMAT_BGR;
    Image img;
    img.width = static_cast<int>(png.image.width);
    img.height = static_cast<int>(png.image.height);
    if (img.width <= 0 || img.height <= 0 || png.image.width > 1u << 16 || png.image.height > 1u << 16)
        throw std::runtime_error(what + ": PNG of unsupported size");
    img.bgr.resize(PNG_IMAGE_SIZE(png.image));
    const png_color white = {255, 255, 255};
    if (!png_image_finish_read(&png.image, &white, img.bgr.data(), 0, nullptr))
        throw std::runtime_error(what + ": " + png.image.message);
    return img;
}

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(path + ": cannot open");
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error(path + ": read error");
    return bytes;
}

}  // namespace

Image decodePng(const Bytes &png)
{
    PngImage p;
    if (!png_image_begin_read_from_memory(&p.image, png.data(), png.size()))
        throw std::runtime_error(std::string("PNG: ") + p.image.message);
    return readPng(p, "PNG");
}

Image loadImage(const std::string &path)
{
    Bytes bytes = readFile(path);
    static const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), pngSignature, 8) == 0) {
        PngImage p;
        if (!png_image_begin_read_from_memory(&p.image, bytes.data(), bytes.size()))
            throw std::runtime_error(path + ": " + p.image.message);
        return readPng(p, path);
    }
    if (bytes.size() >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff) {
        try {
            return decodeJpegPlain(bytes);
        } catch (const std::exception &e) {
            throw std::runtime_error(path + ": " + e.what());
        }
    }
    throw std::runtime_error(path + ": not a PNG or JPEG image");
}

Bytes encodePng(const Image &img)
{
    if (img.width <= 0 || img.height <= 0 || img.bgr.size() < static_cast<size_t>(img.width) * img.height * 3)
        throw std::runtime_error("encodePng: empty or short image");
    PngImage p;
    p.image.width = static_cast<png_uint_32>(img.width);
    p.image.height = static_cast<png_uint_32>(img.height);
    p.image.format = PNG_FORMAT_BGR;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&p.image, nullptr, &size, 0, img.bgr.data(), 0, nullptr))
        throw std::runtime_error(std::string("encodePng: ") + p.image.message);
    Bytes out(size);
    if (!png_image_write_to_memory(&p.image, out.data(), &size, 0, img.bgr.data(), 0, nullptr))
        throw std::runtime_error(std::string("encodePng: ") + p.image.message);
    out.resize(size);
    return out;
}

Image halveImage(const Image &src)
{
    Image out;
    out.width = std::max(1, (src.width + 1) / 2);
    out.height = std::max(1, (src.height + 1) / 2);
    out.bgr.resize(static_cast<size_t>(out.width) * out.height * 3);
    for (int y = 0; y < out.height; ++y) {
        const int y0 = 2 * y, y1 = std::min(2 * y + 1, src.height - 1);
        const uint8_t *r0 = &src.bgr[static_cast<size_t>(y0) * src.width * 3];
        const uint8_t *r1 = &src.bgr[static_cast<size_t>(y1) * src.width * 3];
        uint8_t *dst = &out.bgr[static_cast<size_t>(y) * out.width * 3];
        for (int x = 0; x < out.width; ++x) {
            const int x0 = 2 * x, x1 = std::min(2 * x + 1, src.width - 1);
            // A missing row or column repeats the last one, which is the mean of what is there.
            for (int c = 0; c < 3; ++c) {
                const int sum = r0[x0 * 3 + c] + r0[x1 * 3 + c] + r1[x0 * 3 + c] + r1[x1 * 3 + c];
                dst[x * 3 + c] = static_cast<uint8_t>((sum + 2) / 4);
            }
        }
    }
    return out;
}

Image resizeImage(const Image &src, int width, int height)
{
    if (width <= 0 || height <= 0 || src.width <= 0 || src.height <= 0)
        throw std::runtime_error("resizeImage: empty size");
    Image out;
    out.width = width;
    out.height = height;
    out.bgr.resize(static_cast<size_t>(width) * height * 3);
    // Each output pixel averages the source pixels whose centres fall inside it
    // (at least the nearest one when enlarging).
    auto span = [](int i, int outN, int inN, int &lo, int &hi) {
        lo = static_cast<int>(static_cast<int64_t>(i) * inN / outN);
        hi = static_cast<int>(static_cast<int64_t>(i + 1) * inN / outN);
        hi = std::max(hi, lo + 1);
    };
    for (int y = 0; y < height; ++y) {
        int ylo, yhi;
        span(y, height, src.height, ylo, yhi);
        for (int x = 0; x < width; ++x) {
            int xlo, xhi;
            span(x, width, src.width, xlo, xhi);
            uint64_t sum[3] = {0, 0, 0};
            for (int sy = ylo; sy < yhi; ++sy) {
                const uint8_t *p = &src.bgr[(static_cast<size_t>(sy) * src.width + xlo) * 3];
                for (int sx = xlo; sx < xhi; ++sx, p += 3)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += p[c];
            }
            const uint64_t n = static_cast<uint64_t>(yhi - ylo) * (xhi - xlo);
            for (int c = 0; c < 3; ++c)
                out.bgr[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    static_cast<uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return out;
}

void fitSize(int width, int height, int maxWidth, int maxHeight, int &outWidth, int &outHeight)
{
    const double scale = std::min(1.0, std::min(static_cast<double>(maxWidth) / std::max(1, width),
                                                static_cast<double>(maxHeight) / std::max(1, height)));
    outWidth = std::max(1, static_cast<int>(width * scale + 0.5));
    outHeight = std::max(1, static_cast<int>(height * scale + 0.5));
    outWidth = std::min(outWidth, maxWidth);
    outHeight = std::min(outHeight, maxHeight);
}

Image mosaic(const Image &tile, int width, int height)
{
    if (tile.width <= 0 || tile.height <= 0 || width <= 0 || height <= 0)
        throw std::runtime_error("mosaic: empty size");
    Image out;
    out.width = width;
    out.height = height;
    out.bgr.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int copyRow = y / tile.height, ty = y % tile.height;
        const int sy = copyRow % 2 ? tile.height - 1 - ty : ty;
        const uint8_t *srcRow = &tile.bgr[static_cast<size_t>(sy) * tile.width * 3];
        uint8_t *dst = &out.bgr[static_cast<size_t>(y) * width * 3];
        for (int x = 0; x < width; ++x) {
            const int copyCol = x / tile.width, tx = x % tile.width;
            const int sx = copyCol % 2 ? tile.width - 1 - tx : tx;
            std::memcpy(dst + static_cast<size_t>(x) * 3, srcRow + static_cast<size_t>(sx) * 3, 3);
        }
    }
    return out;
}

namespace {

// One irregular island: an ellipse whose rim wobbles with two harmonics.
struct Island {
    double cx, cy, rx, ry, a3, p3, a7, p7;
};

}  // namespace

void keepTissueIslands(Image &img)
{
    if (img.width <= 0 || img.height <= 0)
        return;
    // A small linear congruential generator seeded by the size: the same size
    // gives the same islands on every machine.
    uint64_t state =
        0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(img.width) << 32) ^ static_cast<uint64_t>(img.height);
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / static_cast<double>(uint64_t{1} << 53);
    };
    const double w = img.width, h = img.height, side = std::min(w, h);
    std::vector<Island> islands;
    const int count = 3 + static_cast<int>(next() * 3);  // 3 to 5 islands
    for (int i = 0; i < count; ++i) {
        Island is;
        is.rx = side * (0.10 + 0.12 * next());
        is.ry = side * (0.08 + 0.12 * next());
        is.cx = is.rx + (w - 2 * is.rx) * next();
        is.cy = is.ry + (h - 2 * is.ry) * next();
        is.a3 = 0.08 + 0.10 * next();
        is.p3 = 6.283185307179586 * next();
        is.a7 = 0.03 + 0.06 * next();
        is.p7 = 6.283185307179586 * next();
        islands.push_back(is);
    }
    constexpr uint8_t kGlass = 245;
    for (int y = 0; y < img.height; ++y) {
        uint8_t *row = &img.bgr[static_cast<size_t>(y) * img.width * 3];
        // The columns each island may cover on this row, so that the rim test
        // runs only near islands.
        std::vector<uint8_t> keep(static_cast<size_t>(img.width), 0);
        for (const Island &is : islands) {
            const double dy = (y + 0.5 - is.cy) / is.ry;
            const double reach = 1 + is.a3 + is.a7;
            if (std::abs(dy) > reach)
                continue;
            const int x0 = std::max(0, static_cast<int>(is.cx - is.rx * reach));
            const int x1 = std::min(img.width, static_cast<int>(is.cx + is.rx * reach) + 1);
            for (int x = x0; x < x1; ++x) {
                if (keep[static_cast<size_t>(x)])
                    continue;
                const double dx = (x + 0.5 - is.cx) / is.rx;
                const double theta = std::atan2(dy, dx);
                const double rim =
                    1 + is.a3 * std::sin(3 * theta + is.p3) + is.a7 * std::sin(7 * theta + is.p7);
                if (dx * dx + dy * dy <= rim * rim)
                    keep[static_cast<size_t>(x)] = 1;
            }
        }
        for (int x = 0; x < img.width; ++x)
            if (!keep[static_cast<size_t>(x)])
                std::memset(row + static_cast<size_t>(x) * 3, kGlass, 3);
    }
}

}  // namespace slidewriter
