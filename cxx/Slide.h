// The internal C++ layer: the one place where the flat interface becomes C++
// objects for the library's own hosts (the pyra tool, the tile server, the
// Python module). Never part of the library's export table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "DecodePyra/Compression.h"
#include "pyradec/pyradec.h"

namespace pyradec {

class TileCache;

// Any failure of a slide call: closed slide, bad level, a read or decode that failed.
struct SlideError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file is not a usable slide; the message names the path and the reason the
// library's open sequence found (missing, a directory, unreadable, empty, not a
// slide, or the damaged record and its offset).
struct UnsupportedFormatError : SlideError {
    using SlideError::SlideError;
};

// A request that can never succeed (level out of range, empty or overflowing size).
struct InvalidArgument : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// A heap block from the library, released with Dispose.
struct Disposer {
    void operator()(void *block) const { Dispose(block); }
};
template <typename T>
using Owned = std::unique_ptr<T, Disposer>;

// Bytes handed out by the library with their length.
struct OwnedBytes {
    Owned<unsigned char> data;
    size_t size = 0;
};

// Pixels in a std::vector: width × height × channels, top row first.
struct Pixels {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::vector<uint8_t> data;
};

// Compression, the header's codes: one definition with the library's.

// The byte order of pixels a read delivers.
enum class PixelFormat : uint8_t {
    Bgr,   // 3 bytes: blue, green, red (the library's own order)
    Rgb,   // 3 bytes: red, green, blue
    Rgba,  // 4 bytes: red, green, blue, alpha (255 inside the layer, 0 outside)
};

inline int channelsOf(PixelFormat format) { return format == PixelFormat::Rgba ? 4 : 3; }

// Colour of what lies outside a layer (RGB order); alpha 0 in Rgba reads.
struct Rgb8 {
    uint8_t r = 255, g = 255, b = 255;
};

// One pyramid layer's geometry.
struct Level {
    int index = 0;
    int64_t width = 0;       // content: the tile grid less its blank right margin
    int64_t height = 0;      // content: the tile grid less its blank bottom margin
    int64_t gridWidth = 0;   // columns × tileWidth
    int64_t gridHeight = 0;  // rows × tileHeight
    int tileWidth = 0;
    int tileHeight = 0;
    int columns = 0;
    int rows = 0;
    uint32_t indexedTiles = 0;  // entries in the tile index; fewer than columns × rows means a short index
    double downsample = 1.0;    // mean of the width and height ratios to level 0
};

// The scan's description as typed values, and the items as the library words them.
struct Description {
    Compression compression = Compression::Jpeg;
    int quality = 0;
    double mpp = 0;              // micrometres per pixel at level 0
    unsigned magnification = 0;  // objective power
    float ratio = 0;
    std::vector<std::pair<std::string, std::string>> items;  // "CompressionType" -> "Jpeg", ...
};

// The colour parameters stored in the slide, when it has them.
struct StoredColorParams {
    float gamma = 1;
    float channelGains[3] = {1, 1, 1};
    float hsvScales[3] = {1, 1, 1};
    float colorMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
};

enum class Associated : uint8_t { Thumbnail, Label, Macro };
const char *nameOf(Associated which);

// An open slide. Reads may run from many threads at once; close() may race
// with them: a read that started keeps the handle alive until it ends, and
// every call after close() throws SlideError.
class Slide {
public:
    // Throws UnsupportedFormatError with the reason when the file is not a usable slide.
    static std::shared_ptr<Slide> open(const std::string &path);
    ~Slide();
    Slide(const Slide &) = delete;
    Slide &operator=(const Slide &) = delete;

    const std::string &path() const { return path_; }
    // A process-unique number, the key of this slide's tiles in a TileCache.
    uint64_t id() const { return id_; }
    void close();
    bool closed() const;

    int levelCount() const { return static_cast<int>(levels_.size()); }
    const std::vector<Level> &levels() const { return levels_; }
    // Throws InvalidArgument for a level outside the slide.
    const Level &level(int index) const;
    // The largest level whose downsample is at most `downsample` (0 below every one).
    int bestLevelForDownsample(double downsample) const;

    const Description &description() const { return description_; }
    const std::optional<StoredColorParams> &colorParams() const { return colorParams_; }
    // The layer text of the library ("LayerWidth=...|...").
    std::string layerText(int level) const;

    // The associated picture as RGB pixels; nullopt when the slide holds none with pixels.
    std::optional<Pixels> associated(Associated which) const;
    // The associated picture's JPEG as the library hands it out; nullopt when absent.
    std::optional<OwnedBytes> associatedJpeg(Associated which) const;
    // Which associated pictures hold pixels.
    std::vector<Associated> associatedNames() const;

    // The tile's bytes as stored (JPEG or HEVC); empty when the tile is absent.
    std::vector<uint8_t> storedTile(int level, int col, int row) const;
    // A whole tile as pixels; absent tiles are white. Throws InvalidArgument
    // outside the grid, SlideError when the tile is damaged.
    Pixels tile(int level, int col, int row, PixelFormat format = PixelFormat::Bgr) const;

    // Any rectangle of a level, in that level's pixels: negative coordinates and
    // rectangles partly or wholly outside the content are allowed; what lies
    // outside is `background` (transparent in Rgba). Writes height rows of
    // width × channels bytes, `stride` bytes apart (0: packed), into `out`.
    // With a cache, decoded tiles are taken from and kept in it.
    void readRegion(int level, int64_t x, int64_t y, int width, int height, PixelFormat format, uint8_t *out,
                    size_t stride = 0, Rgb8 background = {}, TileCache *cache = nullptr) const;
    Pixels readRegion(int level, int64_t x, int64_t y, int width, int height,
                      PixelFormat format = PixelFormat::Bgr, Rgb8 background = {},
                      TileCache *cache = nullptr) const;

    // The library's handle, kept alive for as long as the returned pointer is
    // held; throws SlideError when closed.
    std::shared_ptr<VtPyraInfo> handle() const;

    // Checks a region's size before any allocation: throws InvalidArgument for
    // sizes of 0 or less, or whose byte count cannot be formed.
    static size_t regionBytes(int width, int height, int channels);

private:
    Slide(std::string path, VtPyraInfo *handle);
    // The level of a tile address; InvalidArgument outside the grid.
    const Level &tileLevel(int level, int col, int row) const;
    // One whole tile (absent: white) into `out`; SlideError when it does not decode.
    void decodeTile(const VtPyraInfo &h, const Level &l, int col, int row, uint8_t *out) const;
    void readTiles(const VtPyraInfo &h, const Level &l, int64_t x, int64_t y, int width, int height,
                   PixelFormat format, uint8_t *out, size_t stride, TileCache &cache) const;

    std::string path_;
    uint64_t id_;
    mutable std::mutex mutex_;
    std::shared_ptr<VtPyraInfo> handle_;
    std::vector<Level> levels_;
    Description description_;
    std::optional<StoredColorParams> colorParams_;
};

// "Key=value|Key=value" as the library formats its texts.
std::vector<std::pair<std::string, std::string>> parseItems(const char *text);

}  // namespace pyradec
