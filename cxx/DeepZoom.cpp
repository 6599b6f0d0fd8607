// Deep Zoom tile arithmetic and the Lanczos resize of tiles read from a level
// whose resolution differs from the Deep Zoom level's.
#include "DeepZoom.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "TileCache.h"

namespace pyradec {

namespace {

// ---- resampling, with the fixed-point rounding of the common imaging library ----

constexpr int kPrecisionBits = 32 - 8 - 2;
constexpr double kLanczosSupport = 3.0;

double sinc(double x)
{
    if (x == 0.0)
        return 1.0;
    x *= std::numbers::pi;
    return std::sin(x) / x;
}

double lanczos(double x) { return (-3.0 <= x && x < 3.0) ? sinc(x) * sinc(x / 3) : 0.0; }

uint8_t clip8(int64_t value)
{
    const int64_t v = value >> kPrecisionBits;
    return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
}

// Per output position: first input index, input count and fixed-point weights.
struct Coefficients {
    int ksize = 0;
    std::vector<int> bounds;  // xmin, count per output
    std::vector<int32_t> kk;  // ksize per output
};

Coefficients precompute(int inSize, float in0, float in1, int outSize)
{
    Coefficients c;
    double scale = static_cast<double>(in1 - in0) / outSize;
    double filterscale = scale < 1.0 ? 1.0 : scale;
    const double support = kLanczosSupport * filterscale;
    c.ksize = static_cast<int>(std::ceil(support)) * 2 + 1;
    c.bounds.resize(static_cast<size_t>(outSize) * 2);
    c.kk.assign(static_cast<size_t>(outSize) * c.ksize, 0);
    std::vector<double> k(static_cast<size_t>(c.ksize));
    for (int xx = 0; xx < outSize; ++xx) {
        const double center = in0 + (xx + 0.5) * scale;
        double ww = 0.0;
        const double ss = 1.0 / filterscale;
        int xmin = static_cast<int>(center - support + 0.5);
        if (xmin < 0)
            xmin = 0;
        int xmax = static_cast<int>(center + support + 0.5);
        if (xmax > inSize)
            xmax = inSize;
        xmax -= xmin;
        int x = 0;
        for (; x < xmax; ++x) {
            const double w = lanczos((x + xmin - center + 0.5) * ss);
            k[static_cast<size_t>(x)] = w;
            ww += w;
        }
        for (x = 0; x < xmax; ++x)
            if (ww != 0.0)
                k[static_cast<size_t>(x)] /= ww;
        for (; x < c.ksize; ++x)
            k[static_cast<size_t>(x)] = 0;
        for (x = 0; x < c.ksize; ++x) {
            const double v = k[static_cast<size_t>(x)] * (1 << kPrecisionBits);
            c.kk[static_cast<size_t>(xx) * c.ksize + x] = static_cast<int32_t>(v < 0 ? -0.5 + v : 0.5 + v);
        }
        c.bounds[static_cast<size_t>(xx) * 2] = xmin;
        c.bounds[static_cast<size_t>(xx) * 2 + 1] = xmax;
    }
    return c;
}

// Box-averages blocks of fx × fy pixels (partial blocks at the right and
// bottom over the pixels they have), as the reducing step before a large resize.
Pixels reduce(const Pixels &in, int fx, int fy)
{
    Pixels out;
    out.width = (in.width + fx - 1) / fx;
    out.height = (in.height + fy - 1) / fy;
    out.channels = 3;
    out.data.resize(static_cast<size_t>(out.width) * out.height * 3);
    for (int y = 0; y < out.height; ++y) {
        const int ys = y * fy, ye = std::min(in.height, ys + fy);
        for (int x = 0; x < out.width; ++x) {
            const int xs = x * fx, xe = std::min(in.width, xs + fx);
            const uint32_t count = static_cast<uint32_t>((ye - ys) * (xe - xs));
            const float maxInt = static_cast<float>(uint64_t{1} << 32);
            const uint32_t multiplier = static_cast<uint32_t>(maxInt / static_cast<float>(count * 256u));
            for (int ch = 0; ch < 3; ++ch) {
                uint32_t ss = count / 2;
                for (int yy = ys; yy < ye; ++yy)
                    for (int xx = xs; xx < xe; ++xx)
                        ss += in.data[(static_cast<size_t>(yy) * in.width + xx) * 3 + ch];
                out.data[(static_cast<size_t>(y) * out.width + x) * 3 + ch] =
                    static_cast<uint8_t>((uint64_t{ss} * multiplier) >> 24);
            }
        }
    }
    return out;
}

Pixels resample(const Pixels &in, int width, int height, const float box[4])
{
    const bool horizontal = width != in.width || box[0] != 0 || box[2] != static_cast<float>(width);
    const bool vertical = height != in.height || box[1] != 0 || box[3] != static_cast<float>(height);
    const Coefficients ch = precompute(in.width, box[0], box[2], width);
    Coefficients cv = precompute(in.height, box[1], box[3], height);
    const int yFirst = cv.bounds[0];
    const int yLast =
        cv.bounds[static_cast<size_t>(height) * 2 - 2] + cv.bounds[static_cast<size_t>(height) * 2 - 1];

    Pixels cur = in;
    if (horizontal) {
        for (int i = 0; i < height; ++i)
            cv.bounds[static_cast<size_t>(i) * 2] -= yFirst;
        Pixels tmp;
        tmp.width = width;
        tmp.height = yLast - yFirst;
        tmp.data.resize(static_cast<size_t>(tmp.width) * tmp.height * 3);
        for (int y = 0; y < tmp.height; ++y) {
            const uint8_t *src = in.data.data() + static_cast<size_t>(y + yFirst) * in.width * 3;
            uint8_t *dst = tmp.data.data() + static_cast<size_t>(y) * width * 3;
            for (int x = 0; x < width; ++x) {
                const int xmin = ch.bounds[static_cast<size_t>(x) * 2],
                          xmax = ch.bounds[static_cast<size_t>(x) * 2 + 1];
                const int32_t *k = &ch.kk[static_cast<size_t>(x) * ch.ksize];
                for (int c = 0; c < 3; ++c) {
                    int64_t ss = int64_t{1} << (kPrecisionBits - 1);
                    for (int i = 0; i < xmax; ++i)
                        ss += int64_t{src[(xmin + i) * 3 + c]} * k[i];
                    dst[x * 3 + c] = clip8(ss);
                }
            }
        }
        cur = std::move(tmp);
    }
    if (vertical) {
        Pixels out;
        out.width = cur.width;
        out.height = height;
        out.data.resize(static_cast<size_t>(out.width) * height * 3);
        for (int y = 0; y < height; ++y) {
            const int ymin = cv.bounds[static_cast<size_t>(y) * 2],
                      ymax = cv.bounds[static_cast<size_t>(y) * 2 + 1];
            const int32_t *k = &cv.kk[static_cast<size_t>(y) * cv.ksize];
            for (int x = 0; x < out.width * 3; ++x) {
                int64_t ss = int64_t{1} << (kPrecisionBits - 1);
                for (int i = 0; i < ymax; ++i)
                    ss += int64_t{cur.data[static_cast<size_t>(ymin + i) * cur.width * 3 + x]} * k[i];
                out.data[static_cast<size_t>(y) * out.width * 3 + x] = clip8(ss);
            }
        }
        cur = std::move(out);
    }
    cur.channels = 3;
    return cur;
}

}  // namespace

Size64 fitKeepingAspect(int64_t inWidth, int64_t inHeight, int64_t x, int64_t y)
{
    if (x >= inWidth && y >= inHeight)
        return {inWidth, inHeight};
    const double aspect = static_cast<double>(inWidth) / static_cast<double>(inHeight);
    // Of floor and ceil, the one whose aspect is closer (floor on a tie), at least 1.
    auto roundAspect = [](double number, auto key) {
        const double lo = std::floor(number), hi = std::ceil(number);
        return std::max<int64_t>(static_cast<int64_t>(key(hi) < key(lo) ? hi : lo), 1);
    };
    if (static_cast<double>(x) / static_cast<double>(y) >= aspect)
        x = roundAspect(static_cast<double>(y) * aspect,
                        [&](double n) { return std::abs(aspect - n / static_cast<double>(y)); });
    else
        y = roundAspect(static_cast<double>(x) / aspect, [&](double n) {
            return n == 0 ? 0.0 : std::abs(aspect - static_cast<double>(x) / n);
        });
    return {x, y};
}

Pixels resizeLanczos(const Pixels &in, int width, int height)
{
    if (width == in.width && height == in.height)
        return in;
    float box[4] = {0, 0, static_cast<float>(in.width), static_cast<float>(in.height)};
    // A large reduction first averages whole blocks, then filters what is left.
    const int fx = std::max(1, static_cast<int>(static_cast<double>(in.width) / width / 2.0));
    const int fy = std::max(1, static_cast<int>(static_cast<double>(in.height) / height / 2.0));
    if (fx > 1 || fy > 1) {
        const Pixels reduced = reduce(in, fx, fy);
        box[2] = static_cast<float>(static_cast<double>(in.width) / fx);
        box[3] = static_cast<float>(static_cast<double>(in.height) / fy);
        return resample(reduced, width, height, box);
    }
    return resample(in, width, height, box);
}

DeepZoom::DeepZoom(std::shared_ptr<const Slide> slide, DeepZoomOptions options)
    : slide_(std::move(slide)), options_(options)
{
    if (options_.tileSize < 1)
        throw InvalidArgument("tile size must be at least 1");
    if (options_.overlap < 0)
        throw InvalidArgument("overlap must not be negative");
    if (slide_->levelCount() == 0)
        throw InvalidArgument(slide_->path() + ": the slide has no levels");
    // The slide's bounds cover its whole content, so limiting to them changes nothing.
    for (const Level &l : slide_->levels())
        slideLevelSizes_.push_back({l.width, l.height});

    Size64 z = slideLevelSizes_[0];
    std::vector<Size64> sizes{z};
    while (z.width > 1 || z.height > 1) {
        z = {std::max<int64_t>(1, (z.width + 1) / 2), std::max<int64_t>(1, (z.height + 1) / 2)};
        sizes.push_back(z);
    }
    levelSizes_.assign(sizes.rbegin(), sizes.rend());
    const int64_t t = options_.tileSize;
    for (const Size64 &s : levelSizes_)
        levelTiles_.push_back({(s.width + t - 1) / t, (s.height + t - 1) / t});
    const int count = levelCount();
    for (int level = 0; level < count; ++level) {
        const double l0Downsample = std::ldexp(1.0, count - level - 1);
        const int best = slide_->bestLevelForDownsample(l0Downsample);
        slideFromLevel_.push_back(best);
        levelDownsamples_.push_back(l0Downsample / slide_->level(best).downsample);
    }
}

int64_t DeepZoom::tileCount() const
{
    int64_t n = 0;
    for (const Size64 &t : levelTiles_)
        n += t.width * t.height;
    return n;
}

std::string DeepZoom::dzi(const std::string &format) const
{
    const Size64 full = levelSizes_.back();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\" Format=\"" +
           format + "\" Overlap=\"" + std::to_string(options_.overlap) + "\" TileSize=\"" +
           std::to_string(options_.tileSize) + "\"><Size Height=\"" + std::to_string(full.height) +
           "\" Width=\"" + std::to_string(full.width) + "\"/></Image>";
}

DeepZoom::Info DeepZoom::tileInfo(int level, int64_t col, int64_t row) const
{
    if (level < 0 || level >= levelCount())
        throw InvalidArgument("invalid level " + std::to_string(level));
    const Size64 tiles = levelTiles_[static_cast<size_t>(level)];
    if (col < 0 || row < 0 || col >= tiles.width || row >= tiles.height)
        throw InvalidArgument("invalid address (" + std::to_string(col) + ", " + std::to_string(row) + ")");
    const int slideLevel = slideFromLevel_[static_cast<size_t>(level)];
    const int64_t t = options_.tileSize, overlap = options_.overlap;
    const Size64 z = levelSizes_[static_cast<size_t>(level)];
    const Size64 lLimit = slideLevelSizes_[static_cast<size_t>(slideLevel)];
    const double lz = levelDownsamples_[static_cast<size_t>(level)];
    const double l0l = slide_->level(slideLevel).downsample;

    Info info;
    info.read.slideLevel = slideLevel;
    auto axis = [&](int64_t tIndex, int64_t tLimit, int64_t zLimit, int64_t lLim, int64_t l0Offset,
                    int64_t &zSize, int64_t &l0, int &lSize) {
        const int64_t tl = tIndex != 0 ? overlap : 0;
        const int64_t br = tIndex != tLimit - 1 ? overlap : 0;
        zSize = std::min(t, zLimit - t * tIndex) + tl + br;
        const double l = lz * static_cast<double>(t * tIndex - tl);
        l0 = static_cast<int64_t>(l0l * l + static_cast<double>(l0Offset));
        const double size =
            std::min(std::ceil(lz * static_cast<double>(zSize)), static_cast<double>(lLim) - std::ceil(l));
        lSize = static_cast<int>(size);
    };
    axis(col, tiles.width, z.width, lLimit.width, l0Offset_.width, info.size.width, info.read.x0,
         info.read.width);
    axis(row, tiles.height, z.height, lLimit.height, l0Offset_.height, info.size.height, info.read.y0,
         info.read.height);
    return info;
}

DeepZoomRead DeepZoom::tileCoordinates(int level, int64_t col, int64_t row) const
{
    return tileInfo(level, col, row).read;
}

Size64 DeepZoom::tileDimensions(int level, int64_t col, int64_t row) const
{
    return tileInfo(level, col, row).size;
}

Pixels DeepZoom::tile(int level, int64_t col, int64_t row, TileCache *cache) const
{
    const Info info = tileInfo(level, col, row);
    const DeepZoomRead &r = info.read;
    const double ds = slide_->level(r.slideLevel).downsample;
    // Level-0 location to level pixels, as read_region does.
    const int64_t lx = static_cast<int64_t>(std::floor(static_cast<double>(r.x0) / ds));
    const int64_t ly = static_cast<int64_t>(std::floor(static_cast<double>(r.y0) / ds));
    Pixels pixels = slide_->readRegion(r.slideLevel, lx, ly, std::max(r.width, 1), std::max(r.height, 1),
                                       PixelFormat::Rgb, Rgb8{}, cache);
    if (pixels.width == info.size.width && pixels.height == info.size.height)
        return pixels;
    const Size64 fit = fitKeepingAspect(pixels.width, pixels.height, info.size.width, info.size.height);
    if (fit.width == pixels.width && fit.height == pixels.height)
        return pixels;
    return resizeLanczos(pixels, static_cast<int>(fit.width), static_cast<int>(fit.height));
}

}  // namespace pyradec
