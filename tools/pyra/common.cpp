// Slide checks and file output shared by the commands.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "slidewriter/ImageFiles.h"
#include "pyra.h"

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

void checkSlideFile(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            throw Failure(path + ": no such file");
        throw Failure(path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode))
        throw Failure(path + ": is a directory, not a slide file");
    if (!S_ISREG(st.st_mode))
        throw Failure(path + ": not a regular file");
    if (access(path.c_str(), R_OK) != 0)
        throw Failure(path + ": permission denied (the file is not readable)");
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f)
        throw Failure(path + ": cannot open: " + std::strerror(errno));
    unsigned char magic[2] = {0, 0};
    const size_t got = std::fread(magic, 1, 2, f.get());
    if (got == 0)
        throw Failure(path + ": empty file, not a slide");
    if (got < 2 || magic[0] != 'V' || magic[1] != 'T')
        throw Failure(path + ": not a slide file (it does not start with \"VT\")");
}

Handle openSlide(const std::string &path)
{
    checkSlideFile(path);
    Handle h(VtOpenPyra(path.c_str()));
    if (!h)
        throw Failure(path + ": not a readable slide (damaged or unsupported)");
    if (!h->picHead || !h->picInfos || !h->sliceInfos)
        throw Failure(path + ": not a readable slide (incomplete records)");
    return h;
}

void checkLayer(const VtPyraInfo *slide, const std::string &path, long layer)
{
    const uint32_t count = slide->picHead->layerCount;
    if (layer < 0 || static_cast<unsigned long>(layer) >= count)
        throw Failure(path + ": no layer " + std::to_string(layer) + " (the slide has " +
                      std::to_string(count) + (count == 1 ? " layer" : " layers, 0 to ") +
                      (count == 1 ? "" : std::to_string(count - 1)) + ")");
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
