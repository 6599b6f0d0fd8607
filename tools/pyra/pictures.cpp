// pyra assoc, tile and region: pictures out of a slide.
#include <cstdio>
#include <string>

#include "pyra.h"

namespace pyra {

namespace {

const char *const kAssocDetails =
    "Writes an associated picture of the slide. FILE ending in .jpg or .jpeg gets\n"
    "JPEG bytes (the label and macrograph exactly as stored, the thumbnail\n"
    "re-encoded at quality 75); FILE ending in .png gets the decoded pixels.";

const char *const kTileDetails =
    "Writes tile COL, ROW (counted from 0 at the top left) of layer LAYER (0 is the\n"
    "full resolution). FILE ending in .jpg or .jpeg gets the tile as JPEG (the\n"
    "stored bytes of a JPEG slide); .png gets the decoded pixels.";

const char *const kRegionDetails =
    "Writes the W x H rectangle of layer LAYER whose top-left pixel is X, Y, in the\n"
    "layer's pixel grid. FILE ending in .png is lossless; .jpg or .jpeg is JPEG.";

struct AssocOptions {
    std::string path, which, output;
};

struct TileOptions {
    std::string path, output;
    int layer = 0, col = 0, row = 0;
    bool raw = false;
};

struct RegionOptions {
    std::string path, output;
    int layer = 0, quality = 75;
    long x = 0, y = 0, width = 0, height = 0;
};

// The positional SLIDE and LAYER, and -o FILE, which every picture command takes.
void addSlideLayer(CLI::App *cmd, std::string &path, int *layer)
{
    cmd->add_option("SLIDE", path, "the slide file")->required();
    if (layer)
        cmd->add_option("LAYER", *layer, "layer index, 0 for the full resolution")
            ->required()
            ->check(CLI::NonNegativeNumber);
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

void runAssoc(const AssocOptions &options)
{
    const std::string &path = options.path, &which = options.which;
    enum { Thumb, Label, Macro } kind;
    if (which == "thumbnail" || which == "thumb")
        kind = Thumb;
    else if (which == "label")
        kind = Label;
    else if (which == "macro" || which == "macrograph")
        kind = Macro;
    else
        throw Failure("unknown picture '" + which + "' (thumbnail, label or macro)");
    const std::string &out = options.output;
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
}

void runTile(const TileOptions &options)
{
    const std::string &path = options.path, &out = options.output;
    const long layer = options.layer, col = options.col, row = options.row;
    const bool raw = options.raw;
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
        return;
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
}

void runRegion(const RegionOptions &options)
{
    const std::string &path = options.path, &out = options.output;
    const long layer = options.layer, x = options.x, y = options.y, w = options.width, h = options.height;
    const int quality = options.quality;
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
}

}  // namespace

void addAssocCommand(CLI::App &app)
{
    auto options = std::make_shared<AssocOptions>();
    CLI::App *cmd = addCommand(app, "assoc", "associated picture (.jpg or .png)", kAssocDetails);
    addSlideLayer(cmd, options->path, nullptr);
    cmd->add_option("PICTURE", options->which, "thumbnail, label or macro")->required();
    cmd->add_option("-o,--output", options->output, "the output file (.jpg, .jpeg or .png)")->required();
    cmd->callback([options] { runAssoc(*options); });
}

void addTileCommand(CLI::App &app)
{
    auto options = std::make_shared<TileOptions>();
    CLI::App *cmd = addCommand(app, "tile", "one tile (.jpg, .png, or stored bytes)", kTileDetails);
    addSlideLayer(cmd, options->path, &options->layer);
    cmd->add_option("COL", options->col, "tile column, from 0 at the left")->required()->check(CLI::NonNegativeNumber);
    cmd->add_option("ROW", options->row, "tile row, from 0 at the top")->required()->check(CLI::NonNegativeNumber);
    cmd->add_option("-o,--output", options->output, "the output file (.jpg, .jpeg or .png)")->required();
    cmd->add_flag("--raw", options->raw, "write the tile's stored bytes (JPEG or HEVC), whatever the name");
    cmd->callback([options] { runTile(*options); });
}

void addRegionCommand(CLI::App &app)
{
    auto options = std::make_shared<RegionOptions>();
    CLI::App *cmd = addCommand(app, "region", "a rectangle of a layer (.png or .jpg)", kRegionDetails);
    addSlideLayer(cmd, options->path, &options->layer);
    cmd->add_option("X", options->x, "left edge in layer pixels")->required()->check(CLI::Range(0L, 1L << 30));
    cmd->add_option("Y", options->y, "top edge in layer pixels")->required()->check(CLI::Range(0L, 1L << 30));
    cmd->add_option("W", options->width, "width in pixels")->required()->check(CLI::Range(1L, 1L << 16));
    cmd->add_option("H", options->height, "height in pixels")->required()->check(CLI::Range(1L, 1L << 16));
    cmd->add_option("-o,--output", options->output, "the output file (.png, .jpg or .jpeg)")->required();
    cmd->add_option("--quality", options->quality, "JPEG quality (default 75)")->check(CLI::Range(1, 100));
    cmd->callback([options] { runRegion(*options); });
}

}  // namespace pyra
