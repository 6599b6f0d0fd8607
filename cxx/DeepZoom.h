// Deep Zoom: the pyramid of a slide as the browser viewers address it, with
// the field's tile arithmetic (levels halving from the full size down to one
// pixel, tiles of tile_size plus overlap on every side that has a neighbour,
// each read from the best slide level and resized with a Lanczos filter when
// that level's resolution differs). The tile server and the Python package's
// DeepZoomGenerator both serve these tiles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Slide.h"

namespace pyradec {

class TileCache;

struct DeepZoomOptions {
    int tileSize = 254;
    int overlap = 1;
    bool limitBounds = false;
};

// What get_tile_coordinates gives: the read_region arguments of one tile.
struct DeepZoomRead {
    int64_t x0 = 0, y0 = 0;  // level-0 location
    int slideLevel = 0;
    int width = 0, height = 0;  // size at the slide level
};

struct Size64 {
    int64_t width = 0;
    int64_t height = 0;
};

class DeepZoom {
public:
    // Throws InvalidArgument for a tile size below 1 or a negative overlap.
    DeepZoom(std::shared_ptr<const Slide> slide, DeepZoomOptions options = {});

    int levelCount() const { return static_cast<int>(levelSizes_.size()); }
    const std::vector<Size64> &levelDimensions() const { return levelSizes_; }
    const std::vector<Size64> &levelTiles() const { return levelTiles_; }
    int64_t tileCount() const;
    const DeepZoomOptions &options() const { return options_; }
    const Slide &slide() const { return *slide_; }

    // The descriptor, `format` "jpeg" or "png".
    std::string dzi(const std::string &format = "jpeg") const;

    // Throw InvalidArgument for a level or address outside the pyramid.
    DeepZoomRead tileCoordinates(int level, int64_t col, int64_t row) const;
    Size64 tileDimensions(int level, int64_t col, int64_t row) const;
    // The tile as RGB pixels: read, composited on white, resized to the tile's
    // dimensions (aspect kept, as the reference's thumbnail step does).
    Pixels tile(int level, int64_t col, int64_t row, TileCache *cache = nullptr) const;

private:
    struct Info {
        DeepZoomRead read;
        Size64 size;  // the tile's final dimensions before the aspect-keeping resize
    };
    Info tileInfo(int level, int64_t col, int64_t row) const;

    std::shared_ptr<const Slide> slide_;
    DeepZoomOptions options_;
    std::vector<Size64> slideLevelSizes_;  // active-area size of each slide level
    Size64 l0Offset_{};
    std::vector<Size64> levelSizes_;
    std::vector<Size64> levelTiles_;
    std::vector<int> slideFromLevel_;
    std::vector<double> levelDownsamples_;  // Deep Zoom level to its slide level
};

// Resizes RGB pixels with a Lanczos (a = 3) filter, in fixed-point arithmetic
// with the rounding of the field's common imaging library, horizontal pass first.
Pixels resizeLanczos(const Pixels &in, int width, int height);

// The size a thumbnail of `in` gets when it must fit in width × height with its
// aspect kept (never larger than the source, at least 1 pixel a side).
Size64 fitKeepingAspect(int64_t inWidth, int64_t inHeight, int64_t width, int64_t height);

}  // namespace pyradec
