// pyra assoc, tile and region: pictures out of a slide.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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
    "stored bytes of a JPEG slide); .png gets the decoded pixels. A tile the slide\n"
    "does not store is white in both.";

const char *const kRegionDetails =
    "Writes the W x H rectangle of layer LAYER whose top-left pixel is X, Y, in the\n"
    "layer's pixel grid. Any rectangle is taken: what lies outside the layer's\n"
    "image content is white. FILE ending in .png is lossless; .jpg or .jpeg is JPEG.";

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
    int64_t x = 0, y = 0;
    int width = 0, height = 0;
};

// The library encodes tiles it has to make up (absent, or decoded HEVC) at this quality.
constexpr int kTileJpegQuality = 75;
// libjpeg's largest image side.
constexpr int kJpegMaxSide = 65500;

// Fails unless a region's pixels and its encoded file (at most about as large
// again) fit in this machine's memory.
void checkRegionFits(int width, int height)
{
    const uint64_t pixelBytes = uint64_t(width) * uint64_t(height) * 3;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    const uint64_t memory = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    if (memory && 2 * pixelBytes > memory)
        throw Failure("a region of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels needs " + std::to_string(2 * pixelBytes >> 20) +
                      " MB (its pixels and the encoded file), more than " + "this machine's " +
                      std::to_string(memory >> 20) + " MB of memory");
}

// The positional SLIDE and LAYER, and -o FILE, which every picture command takes.
void addSlideLayer(CLI::App *cmd, std::string &path, int *layer)
{
    cmd->add_option("SLIDE", path, "the slide file")->required();
    if (layer)
        cmd->add_option("LAYER", *layer, "layer index, 0 for the full resolution")
            ->required()
            ->check(CLI::NonNegativeNumber);
}

void runAssoc(const AssocOptions &options)
{
    const std::string &path = options.path, &which = options.which;
    pyradec::Associated kind;
    if (which == "thumbnail" || which == "thumb")
        kind = pyradec::Associated::Thumbnail;
    else if (which == "label")
        kind = pyradec::Associated::Label;
    else if (which == "macro" || which == "macrograph")
        kind = pyradec::Associated::Macro;
    else
        throw Failure("unknown picture '" + which + "' (thumbnail, label or macro)");
    const std::string &out = options.output;
    const ImageKind format = imageKindOf(out);
    const auto slide = openSlide(path);
    const std::string name = kind == pyradec::Associated::Macro ? "macrograph" : pyradec::nameOf(kind);
    if (format == ImageKind::Jpeg) {
        const std::optional<pyradec::OwnedBytes> jpeg = slide->associatedJpeg(kind);
        if (!jpeg)
            throw Failure(path + ": the slide has no " + name + " to write as JPEG");
        writeBytes(out, jpeg->data.get(), jpeg->size);
    } else {
        const std::optional<pyradec::Pixels> rgb = slide->associated(kind);
        if (!rgb)
            throw Failure(path + ": the slide has no " + name + " with pixels");
        writePng(out, *rgb, pyradec::PixelFormat::Rgb);
    }
}

void runTile(const TileOptions &options)
{
    const std::string &path = options.path, &out = options.output;
    const int layer = options.layer, col = options.col, row = options.row;
    const ImageKind format = options.raw ? ImageKind::Jpeg : imageKindOf(out);
    const auto slide = openSlide(path);
    const pyradec::Level &level = checkLayer(*slide, layer);
    if (col >= level.columns || row >= level.rows)
        throw Failure(path + ": no tile " + std::to_string(col) + ", " + std::to_string(row) + " in layer " +
                      std::to_string(layer) + " (" + std::to_string(level.columns) + " columns, " +
                      std::to_string(level.rows) + " rows)");
    const std::string where =
        "tile " + std::to_string(col) + ", " + std::to_string(row) + " of layer " + std::to_string(layer);
    // Empty for an absent tile, also one past the end of a short tile index.
    const std::vector<uint8_t> stored = slide->storedTile(layer, col, row);
    if (options.raw) {
        if (stored.empty())
            throw Failure(path + ": " + where + " has no stored bytes (an absent tile)");
        writeBytes(out, stored.data(), stored.size());
        return;
    }
    if (format == ImageKind::Png) {
        // Absent tiles are white, on JPEG and HEVC slides alike.
        writePng(out, slide->tile(layer, col, row), pyradec::PixelFormat::Bgr);
        return;
    }
    if (stored.empty()) {
        // The white tile the library encodes for an absent tile, at its quality.
        const pyradec::Pixels white = slide->tile(layer, col, row);
        writeJpeg(out, white.data.data(), white.width, white.height, kTileJpegQuality);
        return;
    }
    // The stored JPEG as it is, or an HEVC tile re-encoded, as the library hands them out.
    unsigned char *raw = nullptr;
    int length = 0;
    const int status = VtGetJpegSliceOfSpecifyLayer(slide->handle().get(), &raw, &length, layer, col, row);
    Owned<unsigned char> jpeg(raw);
    if (status != VT_OK || !jpeg || length <= 0)
        throw Failure(path + ": " + where + " could not be read or decoded (status " +
                      std::to_string(status) + ")");
    writeBytes(out, jpeg.get(), static_cast<size_t>(length));
}

void runRegion(const RegionOptions &options)
{
    const std::string &path = options.path, &out = options.output;
    const int w = options.width, h = options.height;
    const ImageKind format = imageKindOf(out);
    if (format == ImageKind::Jpeg && (w > kJpegMaxSide || h > kJpegMaxSide))
        throw Failure("a JPEG is at most " + std::to_string(kJpegMaxSide) + " pixels wide and high, got " +
                      std::to_string(w) + " x " + std::to_string(h) + " (write a .png)");
    // The pixels and the encoded file are both held at once: refuse before allocating
    // what this machine cannot hold.
    checkRegionFits(w, h);
    const auto slide = openSlide(path);
    checkLayer(*slide, options.layer);
    const pyradec::Pixels bgr = slide->readRegion(options.layer, options.x, options.y, w, h);
    if (format == ImageKind::Png)
        writePng(out, bgr, pyradec::PixelFormat::Bgr);
    else
        writeJpeg(out, bgr.data.data(), w, h, options.quality);
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
    cmd->add_option("COL", options->col, "tile column, from 0 at the left")
        ->required()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("ROW", options->row, "tile row, from 0 at the top")
        ->required()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("-o,--output", options->output, "the output file (.jpg, .jpeg or .png)")->required();
    cmd->add_flag("--raw", options->raw, "write the tile's stored bytes (JPEG or HEVC), whatever the name");
    cmd->callback([options] { runTile(*options); });
}

void addRegionCommand(CLI::App &app)
{
    auto options = std::make_shared<RegionOptions>();
    CLI::App *cmd = addCommand(app, "region", "a rectangle of a layer (.png or .jpg)", kRegionDetails);
    addSlideLayer(cmd, options->path, &options->layer);
    // Any rectangle: what lies outside the layer's content is white.
    const int64_t far = int64_t{1} << 40;
    cmd->add_option("X", options->x, "left edge in layer pixels (may be negative)")
        ->required()
        ->check(CLI::Range(-far, far));
    cmd->add_option("Y", options->y, "top edge in layer pixels (may be negative)")
        ->required()
        ->check(CLI::Range(-far, far));
    cmd->add_option("W", options->width, "width in pixels")->required()->check(CLI::Range(1, INT32_MAX));
    cmd->add_option("H", options->height, "height in pixels")->required()->check(CLI::Range(1, INT32_MAX));
    cmd->add_option("-o,--output", options->output, "the output file (.png, .jpg or .jpeg)")->required();
    cmd->add_option("--quality", options->quality, "JPEG quality (default 75)")->check(CLI::Range(1, 100));
    cmd->callback([options] { runRegion(*options); });
}

}  // namespace pyra
