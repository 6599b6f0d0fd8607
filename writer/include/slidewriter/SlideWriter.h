// The slide writer: makes slide files byte for byte in the on-disk layout the
// library reads, plus the images that go into them. Used by `pyra make`, the
// tests, the benchmarks and the fuzzing corpus; the library itself never writes
// slides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ColorCorrect/ColorParams.h"
#include "pyradec/pyradec.h"

namespace slidewriter {

using Bytes = std::vector<uint8_t>;

// A packed picture, 3 bytes per pixel in blue, green, red order, top row first.
struct Image {
    int width = 0;
    int height = 0;
    Bytes bgr;
};

// Image-like content: gradients, edges, texture and several colours, varied by seed,
// so that decoding, clipping and colour faults show.
Image makePattern(int width, int height, uint32_t seed);
// Every byte `value` (e.g. 255 for white).
Image makeFlat(int width, int height, uint8_t value);
// The w x h rectangle of `src` at (x, y); pixels outside `src` become `fill`.
Image crop(const Image &src, int x, int y, int width, int height, uint8_t fill = 255);

// Baseline JPEG of the picture (libjpeg, JCS_EXT_BGR input).
Bytes encodeJpeg(const Image &img, int quality = 80);
// One intra HEVC picture, 8-bit yuv420p, through libavcodec's libx265 encoder.
Bytes encodeHevc(const Image &img);
// A BMP file image, bottom-up rows, 24 or 32 bits per pixel.
Bytes encodeBmp(const Image &img, int bitsPerPixel = 24);
// Decodes JPEG with libjpeg alone into blue-green-red (no colour correction).
Image decodeJpegPlain(const Bytes &jpeg);

// Colour parameters of the extra-information record, the library's own type
// (neutral when default-constructed).
using ColorParams = pyradec::ColorParams;
ColorParams scannerColour();

// One stored tile. `bytes` empty means absent (size 0). `storedSize`, when set,
// is written into the tile-size table instead of bytes.size() (for damage:
// negative sizes, sizes that run past the end of the file).
struct Tile {
    Bytes bytes;
    std::optional<int32_t> storedSize;
};

struct Layer {
    int32_t xCount = 1;
    int32_t yCount = 1;
    int32_t boundWidth = 0;
    int32_t boundHeight = 0;
    std::vector<Tile> tiles;            // row-major; tileCount = tiles.size()
    std::optional<uint32_t> tileCount;  // written instead of tiles.size() when set
    // The picture this layer's tiles were cut from (xCount*tileWidth x yCount*tileHeight),
    // kept for tests that compare pixels. Empty when tiles were given directly.
    Image source;
};

struct AssociatedImage {
    Image image;
    Bytes jpeg;  // stored bytes; made from image when empty
    uint32_t channels = 3;
};

enum class Damage {
    None,
    HeadMagic,          // "VT" replaced
    PersonMagic,        // "PI" replaced
    ExtraMagic,         // "EI" replaced
    LabelMagic,         // first associated-image header's "MI" replaced
    MacroMagic,         // second associated-image header's "MI" replaced
    ThumbMagic,         // thumbnail record's "IF" replaced
    LayerMagic,         // magic of layer `damageLayer` replaced
    ChainPastEnd,       // nextOffset of layer `damageLayer - 1` (or of the thumbnail for 0) past EOF
    MacroChainPastEnd,  // first associated-image nextOffset past EOF
    TruncateTileTable,  // file cut inside the tile-size table of the last layer
    TruncateTileData,   // file cut inside the tile data of the last layer (table complete)
};

struct Slide {
    // Header fields.
    uint32_t imageWidth = 0;  // 0: derived from layer 0
    uint32_t imageHeight = 0;
    uint32_t tileWidth = 256;
    uint32_t tileHeight = 256;
    uint8_t quality = 80;
    float ratio = 2.0f;
    double mpp = 0.25;
    uint32_t appMag = 40;
    uint8_t compressionType = 0;  // 0 JPEG, 4 HEVC
    bool hasPersonInfo = true;
    bool hasExtraInfo = true;
    std::optional<uint32_t> macroImageCount;  // written instead of the number of images when set
    std::optional<uint32_t> layerCount;       // written instead of layers.size() when set
    uint32_t thumbWidth = 0;                  // 0: taken from the thumbnail image
    uint32_t thumbHeight = 0;

    ColorParams colour;
    // Label (index 0) and macrograph (index 1); empty: no associated images.
    std::vector<AssociatedImage> associated;
    Image thumbnail;
    uint8_t thumbFormat = 0;  // 0 JPEG, 1 BMP, anything else: stored bytes as given
    int thumbBmpBits = 24;
    Bytes thumbBytes;  // stored thumbnail bytes; made from `thumbnail` when empty
    std::vector<Layer> layers;

    Damage damage = Damage::None;
    int damageLayer = 0;
};

// A slide with sensible defaults: person and extra information, label and
// macrograph, JPEG thumbnail, `layers` layers of pattern content, halving in
// size, layer 0 of xCount x yCount tiles (with the given bounds on layer 0).
// compressionType 4 makes HEVC tiles.
Slide makeSlide(int xCount = 3, int yCount = 2, int layers = 2, uint8_t compressionType = 0,
                uint32_t tileWidth = 256, uint32_t tileHeight = 256, uint32_t seed = 1);

// Cuts `picture` into tiles of the slide's tile size (white beyond its edges) and
// encodes them with the slide's compression; fills layer.source.
Layer makeLayer(const Slide &slide, const Image &picture, int32_t boundWidth = 0, int32_t boundHeight = 0,
                int quality = 80);

// Serialises the slide into the file's bytes.
Bytes serialise(const Slide &slide);
// Writes the bytes to path; returns path.
std::string writeFile(const std::string &path, const Bytes &bytes);
// Writes the slide to path; returns path.
std::string writeSlide(const std::string &path, const Slide &slide);

}  // namespace slidewriter
