// Slide checks and file output shared by the commands.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pyra.h"
#include "slidewriter/ImageFiles.h"
#include "slidewriter/SlideWriter.h"

namespace pyra {

double parseDouble(const std::string &text, const std::string &what)
{
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        throw Failure(what + " must be a number, got '" + text + "'");
    return v;
}

std::shared_ptr<pyradec::Slide> openSlide(const std::string &path)
{
    try {
        return pyradec::Slide::open(path);
    } catch (const pyradec::UnsupportedFormatError &e) {
        throw Failure(e.what());
    }
}

const pyradec::Level &checkLayer(const pyradec::Slide &slide, long layer)
{
    const int count = slide.levelCount();
    if (layer < 0 || layer >= count)
        throw Failure(slide.path() + ": no layer " + std::to_string(layer) + " (the slide has " +
                      (count == 0   ? std::string("no layers")
                       : count == 1 ? std::string("1 layer")
                                    : std::to_string(count) + " layers, 0 to " + std::to_string(count - 1)) +
                      ")");
    return slide.level(static_cast<int>(layer));
}

std::string extension(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

ImageKind imageKindOf(const std::string &path)
{
    const std::string ext = extension(path);
    if (ext == "png")
        return ImageKind::Png;
    if (ext == "jpg" || ext == "jpeg")
        return ImageKind::Jpeg;
    throw Failure(path + ": unknown image type '" + (ext.empty() ? "" : "." + ext) +
                  "' (name the output .png, .jpg or .jpeg)");
}

void writeBytes(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw Failure(path + ": cannot create: " + std::strerror(errno));
    const bool wrote = size == 0 || std::fwrite(data, size, 1, f) == 1;
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!wrote || !closed) {
        const int e = !wrote ? writeErrno : errno;
        std::remove(path.c_str());
        throw Failure(path + ": write failed: " + std::strerror(e));
    }
}

void writePng(const std::string &path, const pyradec::Pixels &pixels, pyradec::PixelFormat format)
{
    if (format == pyradec::PixelFormat::Bgr) {
        writePng(path, pixels.data.data(), pixels.width, pixels.height);
        return;
    }
    std::vector<uint8_t> bgr(pixels.data.size());
    for (size_t i = 0; i + 2 < bgr.size(); i += 3) {
        bgr[i] = pixels.data[i + 2];
        bgr[i + 1] = pixels.data[i + 1];
        bgr[i + 2] = pixels.data[i];
    }
    writePng(path, bgr.data(), pixels.width, pixels.height);
}

void writePng(const std::string &path, const uint8_t *bgr, int width, int height)
{
    slidewriter::Image img;
    img.width = width;
    img.height = height;
    img.bgr.assign(bgr, bgr + static_cast<size_t>(width) * height * 3);
    slidewriter::Bytes png;
    try {
        png = slidewriter::encodePng(img);
    } catch (const std::exception &e) {
        throw Failure(path + ": " + e.what());
    }
    writeBytes(path, png.data(), png.size());
}

void writeJpeg(const std::string &path, const uint8_t *bgr, int width, int height, int quality)
{
    unsigned char *raw = nullptr;
    const int length = VtEncodeJpeg(bgr, &raw, quality, width, height, 8 /* JCS_EXT_BGR */);
    Owned<unsigned char> jpeg(raw);
    if (length <= 0 || !jpeg)
        throw Failure(path + ": JPEG encoding failed");
    writeBytes(path, jpeg.get(), static_cast<size_t>(length));
}

}  // namespace pyra
