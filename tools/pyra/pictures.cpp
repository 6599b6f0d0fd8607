// pyra assoc, tile and region: pictures out of a slide.
#include <cstdio>
#include <string>

#include "pyra.h"

namespace pyra {

namespace {

const char *const kAssocHelp =
    "usage: pyra assoc SLIDE thumbnail|label|macro -o FILE\n"
    "\n"
    "Writes an associated picture of the slide. FILE ending in .jpg or .jpeg gets\n"
    "JPEG bytes (the label and macrograph exactly as stored, the thumbnail\n"
    "re-encoded at quality 75); FILE ending in .png gets the decoded pixels.\n";

const char *const kTileHelp =
    "usage: pyra tile SLIDE LAYER COL ROW -o FILE [--raw]\n"
    "\n"
    "Writes tile COL, ROW (counted from 0 at the top left) of layer LAYER (0 is the\n"
    "full resolution). FILE ending in .jpg or .jpeg gets the tile as JPEG (the\n"
    "stored bytes of a JPEG slide); .png gets the decoded pixels.\n"
    "\n"
    "  --raw   write the tile's stored bytes (JPEG or HEVC), whatever the name\n";

const char *const kRegionHelp =
    "usage: pyra region SLIDE LAYER X Y W H -o FILE [--quality Q]\n"
    "\n"
    "Writes the W x H rectangle of layer LAYER whose top-left pixel is X, Y, in the\n"
    "layer's pixel grid. FILE ending in .png is lossless; .jpg or .jpeg is JPEG.\n"
    "\n"
    "  --quality Q   JPEG quality 1 to 100 (default 75)\n";

std::string output(const Args &args)
{
    const std::string out = args.value("output", "");
    if (out.empty())
        throw Failure("no output file (give -o FILE; see pyra " + args.command() + " --help)");
    return out;
}

// Blue, green, red from the 4-byte pixels of the Abgr accessors.
void writeAbgrPng(const std::string &path, const uint8_t *abgr, int width, int height)
{
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i)
        for (int c = 0; c < 3; ++c)
            bgr[i * 3 + c] = abgr[i * 4 + c];
    writePng(path, bgr.data(), width, height);
}

}  // namespace

int cmdAssoc(int argc, char **argv)
{
    Args args("assoc", argc, argv, {}, {{"output", 1}});
    if (args.help()) {
        std::fputs(kAssocHelp, stdout);
        return 0;
    }
    args.expect(2, "SLIDE and thumbnail, label or macro");
    const std::string path = args.positional()[0], which = args.positional()[1];
    enum { Thumb, Label, Macro } kind;
    if (which == "thumbnail" || which == "thumb")
        kind = Thumb;
    else if (which == "label")
        kind = Label;
    else if (which == "macro" || which == "macrograph")
        kind = Macro;
    else
        throw Failure("unknown picture '" + which + "' (thumbnail, label or macro)");
    const std::string out = output(args);
    const ImageKind format = imageKindOf(out);
    Handle slide = openSlide(path);

    const char *const names[] = {"thumbnail", "label", "macrograph"};
    // The handle says whether the picture exists and has pixels, which the accessors need.
    const VtImageInfo *image = kind == Thumb ? slide->thumbnail
                               : slide->macroImages ? slide->macroImages[kind == Label ? 0 : 1]
                                                    : nullptr;
    if (!image || image->width <= 0 || image->height <= 0)
        throw Failure(path + ": the slide has no " + names[kind]);
    int width = 0, height = 0, length = 0;
    if (format == ImageKind::Jpeg) {
        if (kind == Thumb && !image->pixels)
            throw Failure(path + ": the thumbnail does not decode");
        if (kind != Thumb && !image->encoded)
            throw Failure(path + ": the slide has no stored " + std::string(names[kind]));
        Owned<unsigned char> jpeg(kind == Thumb   ? GetThumbnailJpeg(slide.get(), &width, &height, &length)
                                  : kind == Label ? GetLabelJpeg(slide.get(), &width, &height, &length)
                                                  : GetMacrographJpeg(slide.get(), &width, &height, &length));
        if (!jpeg || length <= 0)
            throw Failure(path + ": could not read the " + names[kind]);
        writeBytes(out, jpeg.get(), static_cast<size_t>(length));
    } else {
        if (!image->pixels)
            throw Failure(path + ": the " + std::string(names[kind]) + " does not decode");
        Owned<unsigned char> abgr(kind == Thumb   ? GetThumbnailAbgr(slide.get(), &width, &height)
                                  : kind == Label ? GetLabelAbgr(slide.get(), &width, &height)
                                                  : GetMacrographAbgr(slide.get(), &width, &height));
        if (!abgr || width <= 0 || height <= 0)
            throw Failure(path + ": could not read the " + names[kind]);
        writeAbgrPng(out, abgr.get(), width, height);
    }
    return 0;
}

int cmdTile(int argc, char **argv)
{
    Args args("tile", argc, argv, {"raw"}, {{"output", 1}});
    if (args.help()) {
        std::fputs(kTileHelp, stdout);
        return 0;
    }
    args.expect(4, "SLIDE LAYER COL ROW");
    const auto &p = args.positional();
    const std::string path = p[0];
    const long layer = parseInt(p[1], "LAYER", 0, 1L << 30);
    const long col = parseInt(p[2], "COL", 0, 1L << 30);
    const long row = parseInt(p[3], "ROW", 0, 1L << 30);
    const std::string out = output(args);
    const bool raw = args.has("raw");
    const ImageKind format = raw ? ImageKind::Jpeg : imageKindOf(out);
    Handle slide = openSlide(path);
    checkLayer(slide.get(), path, layer);
    const VtPicInfo *info = slide->picInfos[layer];
    if (col >= info->xCount || row >= info->yCount)
        throw Failure(path + ": no tile " + std::to_string(col) + ", " + std::to_string(row) +
                      " in layer " + std::to_string(layer) + " (" + std::to_string(info->xCount) +
                      " columns, " + std::to_string(info->yCount) + " rows)");
    const std::string where = "tile " + std::to_string(col) + ", " + std::to_string(row) +
                              " of layer " + std::to_string(layer);
    const int l = static_cast<int>(layer), c = static_cast<int>(col), r = static_cast<int>(row);

    if (raw) {
        unsigned char *bytes = nullptr;
        int length = 0;
        const int status = VtGetHevcSliceOfSpecifyLayer(slide.get(), &bytes, &length, l, c, r);
        Owned<unsigned char> owned(bytes);
        if (status != VT_OK)
            throw Failure(path + ": " + where + " could not be read (status " + std::to_string(status) + ")");
        if (!owned || length <= 0)
            throw Failure(path + ": " + where + " has no stored bytes (an absent tile)");
        writeBytes(out, owned.get(), static_cast<size_t>(length));
        return 0;
    }
    int width = 0, height = 0, length = 0;
    if (format == ImageKind::Jpeg) {
        Owned<unsigned char> jpeg(GetSliceJpeg(slide.get(), l, c, r, &width, &height, &length));
        if (!jpeg || length <= 0)
            throw Failure(path + ": " + where + " could not be read or decoded");
        writeBytes(out, jpeg.get(), static_cast<size_t>(length));
    } else {
        Owned<unsigned char> bgr(GetSliceBgr(slide.get(), l, c, r, &width, &height));
        if (!bgr)
            throw Failure(path + ": " + where + " could not be read or decoded");
        writePng(out, bgr.get(), width, height);
    }
    return 0;
}

int cmdRegion(int argc, char **argv)
{
    Args args("region", argc, argv, {}, {{"output", 1}, {"quality", 1}});
    if (args.help()) {
        std::fputs(kRegionHelp, stdout);
        return 0;
    }
    args.expect(6, "SLIDE LAYER X Y W H");
    const auto &p = args.positional();
    const std::string path = p[0];
    const long layer = parseInt(p[1], "LAYER", 0, 1L << 30);
    const long x = parseInt(p[2], "X", 0, 1L << 30);
    const long y = parseInt(p[3], "Y", 0, 1L << 30);
    const long w = parseInt(p[4], "W", 1, 1L << 16);
    const long h = parseInt(p[5], "H", 1, 1L << 16);
    const int quality = static_cast<int>(parseInt(args.value("quality", "75"), "--quality", 1, 100));
    const std::string out = output(args);
    const ImageKind format = imageKindOf(out);
    Handle slide = openSlide(path);
    checkLayer(slide.get(), path, layer);
    const VtPicInfo *info = slide->picInfos[layer];
    const long layerW = static_cast<long>(info->xCount) * slide->picHead->tileWidth;
    const long layerH = static_cast<long>(info->yCount) * slide->picHead->tileHeight;
    // Requests stay inside the tile grid, where every pixel comes from a tile.
    if (x + w > layerW || y + h > layerH)
        throw Failure(path + ": region " + std::to_string(w) + " x " + std::to_string(h) + " at " +
                      std::to_string(x) + ", " + std::to_string(y) + " reaches outside layer " +
                      std::to_string(layer) + " (" + std::to_string(layerW) + " x " +
                      std::to_string(layerH) + ")");
    Owned<unsigned char> bgr(GetRoiSliceBgr(slide.get(), static_cast<int>(layer), static_cast<int>(x),
                                            static_cast<int>(y), static_cast<int>(w), static_cast<int>(h)));
    if (!bgr)
        throw Failure(path + ": the region could not be read or decoded");
    if (format == ImageKind::Png)
        writePng(out, bgr.get(), static_cast<int>(w), static_cast<int>(h));
    else
        writeJpeg(out, bgr.get(), static_cast<int>(w), static_cast<int>(h), quality);
    return 0;
}

}  // namespace pyra
