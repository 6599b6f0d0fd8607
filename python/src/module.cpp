// The compiled part of the Python package: slides, the tile cache and Deep Zoom
// of the internal C++ layer, with numpy output. Everything that decodes runs
// with the GIL released; the pure-Python layer (pyradec/__init__.py) adds the
// field's familiar API on top.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "DeepZoom.h"
#include "Properties.h"
#include "Slide.h"
#include "TileCache.h"

namespace py = pybind11;
using namespace pyradec;

namespace {

// Locations beyond this cannot be turned into level pixels exactly.
constexpr int64_t kMaxLocation = int64_t{1} << 53;

// A size as the layer takes it: positive and within int; the byte count is
// checked again by Slide::regionBytes.
std::pair<int, int> checkedSize(int64_t width, int64_t height, int channels)
{
    if (width <= 0 || height <= 0)
        throw InvalidArgument("region size must be positive, got " + std::to_string(width) + " x " +
                              std::to_string(height));
    if (width > std::numeric_limits<int>::max() || height > std::numeric_limits<int>::max())
        throw InvalidArgument("region of " + std::to_string(width) + " x " + std::to_string(height) +
                              " pixels is too large");
    Slide::regionBytes(static_cast<int>(width), static_cast<int>(height), channels);
    return {static_cast<int>(width), static_cast<int>(height)};
}

void checkLocation(int64_t x, int64_t y)
{
    if (x > kMaxLocation || x < -kMaxLocation || y > kMaxLocation || y < -kMaxLocation)
        throw InvalidArgument("location (" + std::to_string(x) + ", " + std::to_string(y) +
                              ") is out of range");
}

// A numpy array that owns `pixels` without copying them.
py::array_t<uint8_t> toArray(Pixels &&pixels)
{
    auto *owned = new Pixels(std::move(pixels));
    py::capsule release(owned, [](void *p) { delete static_cast<Pixels *>(p); });
    const py::ssize_t h = owned->height, w = owned->width, c = owned->channels;
    return py::array_t<uint8_t>({h, w, c}, {w * c, c, py::ssize_t{1}}, owned->data.data(), release);
}

// Runs body(i) for i in [0, n) on `workers` threads; the first exception is rethrown.
template <typename Body>
void parallelFor(size_t n, unsigned workers, Body body)
{
    std::atomic<size_t> next{0};
    std::exception_ptr error;
    std::mutex lock;
    auto work = [&]() {
        try {
            for (size_t i; (i = next++) < n;)
                body(i);
        } catch (...) {
            std::lock_guard guard(lock);
            if (!error)
                error = std::current_exception();
            next = n;
        }
    };
    workers = static_cast<unsigned>(std::clamp<size_t>(workers, 1, std::max<size_t>(n, 1)));
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (unsigned t = 1; t < workers; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

// The cache as Python sees it: a handle on a TileCache shared with the slides using it.
struct PyCache {
    std::shared_ptr<TileCache> cache;
};

// An open slide with the cache its reads go through.
class PySlide {
public:
    explicit PySlide(const std::string &path) : slide_(Slide::open(path)), cache_(TileCache::shared()) {}

    ~PySlide()
    {
        // The tiles of a slide nobody can read any more only take room.
        if (auto cache = currentCache())
            cache->forgetSlide(slide_->id());
    }

    const std::string &path() const { return slide_->path(); }

    void close()
    {
        slide_->close();
        if (auto cache = currentCache())
            cache->forgetSlide(slide_->id());
    }
    bool closed() const { return slide_->closed(); }

    void setCache(const PyCache &cache)
    {
        live();
        std::shared_ptr<TileCache> old;
        {
            std::lock_guard guard(cacheMutex_);
            old = std::exchange(cache_, cache.cache);
        }
        if (old && old != cache.cache)
            old->forgetSlide(slide_->id());
    }

    // (width, height, downsample, tile width, tile height) per level.
    std::vector<std::tuple<int64_t, int64_t, double, int, int>> levels() const
    {
        live();
        std::vector<std::tuple<int64_t, int64_t, double, int, int>> out;
        for (const Level &l : slide_->levels())
            out.emplace_back(l.width, l.height, l.downsample, l.tileWidth, l.tileHeight);
        return out;
    }

    int bestLevelForDownsample(double downsample) const
    {
        live();
        return slide_->bestLevelForDownsample(downsample);
    }

    PropertyList properties() const
    {
        live();
        py::gil_scoped_release unlocked;
        return pyradec::properties(*slide_);
    }

    std::vector<std::string> associatedNames() const
    {
        std::vector<std::string> names;
        for (Associated a : slide_->associatedNames())
            names.emplace_back(nameOf(a));
        return names;
    }

    // RGB pixels of the named associated picture; KeyError when the slide has none.
    py::array_t<uint8_t> associated(const std::string &name) const
    {
        Associated which;
        if (name == "thumbnail")
            which = Associated::Thumbnail;
        else if (name == "label")
            which = Associated::Label;
        else if (name == "macro")
            which = Associated::Macro;
        else
            throw py::key_error(name);
        std::optional<Pixels> pixels;
        {
            py::gil_scoped_release unlocked;
            pixels = slide_->associated(which);
        }
        if (!pixels)
            throw py::key_error(name);
        return toArray(std::move(*pixels));
    }

    // The level pixel a level-0 coordinate falls in: floor(coordinate / downsample).
    int64_t toLevel(int level, int64_t coordinate) const
    {
        const double ds = slide_->level(level).downsample;
        return static_cast<int64_t>(std::floor(static_cast<double>(coordinate) / ds));
    }

    // read_region's pixels: level-0 location, size in level pixels; RGBA with
    // transparent black outside the layer, or RGB with white outside.
    py::array_t<uint8_t> readRegion(int64_t x0, int64_t y0, int level, int64_t width, int64_t height,
                                    bool rgba) const
    {
        live();
        slide_->level(level);
        checkLocation(x0, y0);
        const int channels = rgba ? 4 : 3;
        const auto [w, h] = checkedSize(width, height, channels);
        py::array_t<uint8_t> out({py::ssize_t{h}, py::ssize_t{w}, py::ssize_t{channels}});
        uint8_t *data = out.mutable_data();
        const auto cache = currentCache();
        {
            py::gil_scoped_release unlocked;
            slide_->readRegion(level, toLevel(level, x0), toLevel(level, y0), w, h,
                               rgba ? PixelFormat::Rgba : PixelFormat::Rgb, data, 0, Rgb8{}, cache.get());
        }
        return out;
    }

    // RGB pixels of a rectangle in level pixels, white outside, into `out` when given.
    py::array readLevelRegion(int level, int64_t x, int64_t y, int64_t width, int64_t height,
                              py::object out) const
    {
        live();
        slide_->level(level);
        checkLocation(x, y);
        const auto [w, h] = checkedSize(width, height, 3);
        py::array target;
        size_t stride = 0;
        if (out.is_none()) {
            target = py::array_t<uint8_t>({py::ssize_t{h}, py::ssize_t{w}, py::ssize_t{3}});
        } else {
            if (!py::isinstance<py::array>(out))
                throw py::type_error("out must be a numpy array");
            target = py::reinterpret_borrow<py::array>(out);
            if (!target.dtype().is(py::dtype::of<uint8_t>()))
                throw py::type_error("out must have dtype uint8");
            if (target.ndim() != 3 || target.shape(0) != h || target.shape(1) != w || target.shape(2) != 3)
                throw InvalidArgument("out must have shape (" + std::to_string(h) + ", " + std::to_string(w) +
                                      ", 3)");
            // Pixels packed in each row; rows may be further apart (a view into a larger array).
            if (target.strides(2) != 1 || target.strides(1) != 3 || target.strides(0) < py::ssize_t{w} * 3)
                throw InvalidArgument("out must hold each row's pixels packed (C-contiguous rows)");
            if (!target.writeable())
                throw InvalidArgument("out is read-only");
            stride = static_cast<size_t>(target.strides(0));
        }
        uint8_t *data = static_cast<uint8_t *>(target.mutable_data());
        const auto cache = currentCache();
        {
            py::gil_scoped_release unlocked;
            slide_->readRegion(level, x, y, w, h, PixelFormat::Rgb, data, stride, Rgb8{}, cache.get());
        }
        return target;
    }

    // Many rectangles of one size at level-0 locations (n × 2), on `workers` threads.
    py::array_t<uint8_t>
    readRegions(py::array_t<int64_t, py::array::c_style | py::array::forcecast> locations, int level,
                int64_t width, int64_t height, int workers) const
    {
        live();
        slide_->level(level);
        if (locations.ndim() != 2 || locations.shape(1) != 2)
            throw InvalidArgument("locations must be a sequence of (x, y) pairs");
        if (workers < 1)
            throw InvalidArgument("workers must be at least 1, got " + std::to_string(workers));
        const auto [w, h] = checkedSize(width, height, 3);
        const size_t n = static_cast<size_t>(locations.shape(0));
        const size_t each = static_cast<size_t>(w) * static_cast<size_t>(h) * 3;
        if (n > 0 && each > (size_t{1} << 48) / n)
            throw InvalidArgument("the regions together are too large");
        std::vector<std::pair<int64_t, int64_t>> at(n);
        const int64_t *xy = locations.data();
        for (size_t i = 0; i < n; ++i) {
            checkLocation(xy[2 * i], xy[2 * i + 1]);
            at[i] = {toLevel(level, xy[2 * i]), toLevel(level, xy[2 * i + 1])};
        }
        py::array_t<uint8_t> out({py::ssize_t(n), py::ssize_t{h}, py::ssize_t{w}, py::ssize_t{3}});
        uint8_t *data = out.mutable_data();
        const auto cache = currentCache();
        {
            py::gil_scoped_release unlocked;
            parallelFor(n, static_cast<unsigned>(workers), [&](size_t i) {
                slide_->readRegion(level, at[i].first, at[i].second, w, h, PixelFormat::Rgb, data + i * each,
                                   0, Rgb8{}, cache.get());
            });
        }
        return out;
    }

    std::shared_ptr<Slide> slide() const
    {
        live();
        return slide_;
    }
    std::shared_ptr<TileCache> currentCache() const
    {
        std::lock_guard guard(cacheMutex_);
        return cache_;
    }

private:
    // Members that need no file access still refuse a closed slide, as the reference does.
    void live() const
    {
        if (slide_->closed())
            throw SlideError(slide_->path() + ": the slide is closed");
    }

    std::shared_ptr<Slide> slide_;
    mutable std::mutex cacheMutex_;
    std::shared_ptr<TileCache> cache_;
};

// Deep Zoom over a slide, reading through the slide's cache at the time of each tile.
class PyDeepZoom {
public:
    PyDeepZoom(std::shared_ptr<PySlide> slide, int tileSize, int overlap, bool limitBounds)
        : owner_(std::move(slide)), dz_(owner_->slide(), DeepZoomOptions{tileSize, overlap, limitBounds})
    {}

    const DeepZoom &dz() const { return dz_; }

    py::array_t<uint8_t> tile(int level, int64_t col, int64_t row) const
    {
        const auto cache = owner_->currentCache();
        Pixels pixels;
        {
            py::gil_scoped_release unlocked;
            pixels = dz_.tile(level, col, row, cache.get());
        }
        return toArray(std::move(pixels));
    }

private:
    std::shared_ptr<PySlide> owner_;
    DeepZoom dz_;
};

std::vector<std::pair<int64_t, int64_t>> pairs(const std::vector<Size64> &sizes)
{
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const Size64 &s : sizes)
        out.emplace_back(s.width, s.height);
    return out;
}

}  // namespace

PYBIND11_MODULE(_pyradec, m)
{
    m.doc() = "Compiled core of pyradec: slides, the decoded-tile cache and Deep Zoom.";
#ifdef PYRADEC_VERSION
    m.attr("__version__") = PYRADEC_VERSION;
#endif

    static py::exception<SlideError> pyraError(m, "PyraError");
    static py::exception<UnsupportedFormatError> unsupported(m, "PyraUnsupportedFormatError",
                                                             pyraError.ptr());
    pyraError.doc() = "A slide call failed: the slide is closed, or a read or decode failed.";
    unsupported.doc() = "The file is not a usable slide; the message says why.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const UnsupportedFormatError &e) {
            unsupported(e.what());
        } catch (const SlideError &e) {
            pyraError(e.what());
        }
    });

    m.attr("PROPERTY_NAME_MPP_X") = kPropertyMppX;
    m.attr("PROPERTY_NAME_MPP_Y") = kPropertyMppY;
    m.attr("PROPERTY_NAME_OBJECTIVE_POWER") = kPropertyObjectivePower;
    m.attr("PROPERTY_NAME_BACKGROUND_COLOR") = kPropertyBackgroundColor;
    m.attr("PROPERTY_NAME_QUICKHASH1") = kPropertyQuickHash;
    m.attr("PROPERTY_NAME_BOUNDS_X") = kPropertyBoundsX;
    m.attr("PROPERTY_NAME_BOUNDS_Y") = kPropertyBoundsY;
    m.attr("PROPERTY_NAME_BOUNDS_WIDTH") = kPropertyBoundsWidth;
    m.attr("PROPERTY_NAME_BOUNDS_HEIGHT") = kPropertyBoundsHeight;

    py::class_<PyCache>(m, "Cache", "A decoded-tile cache bounded in bytes (least recently used out).")
        .def(py::init([](int64_t capacity) {
                 if (capacity < 0)
                     throw InvalidArgument("cache capacity must not be negative");
                 return PyCache{std::make_shared<TileCache>(static_cast<size_t>(capacity))};
             }),
             py::arg("capacity_bytes"))
        .def_static(
            "shared", [] { return PyCache{TileCache::shared()}; }, "The process-wide cache.")
        .def_property(
            "capacity", [](const PyCache &c) { return c.cache->capacity(); },
            [](PyCache &c, int64_t bytes) {
                if (bytes < 0)
                    throw InvalidArgument("cache capacity must not be negative");
                c.cache->setCapacity(static_cast<size_t>(bytes));
            })
        .def_property_readonly(
            "size", [](const PyCache &c) { return c.cache->size(); }, "Bytes held.")
        .def_property_readonly(
            "count", [](const PyCache &c) { return c.cache->count(); }, "Tiles held.")
        .def("clear", [](PyCache &c) { c.cache->clear(); })
        .def("__eq__", [](const PyCache &a, const PyCache &b) { return a.cache == b.cache; });

    py::class_<PySlide, std::shared_ptr<PySlide>>(m, "Slide", "An open slide (see pyradec.PyraSlide).")
        .def(py::init<const std::string &>(), py::arg("path"))
        .def_property_readonly("path", &PySlide::path)
        .def_property_readonly("closed", &PySlide::closed)
        .def("close", &PySlide::close)
        .def("set_cache", &PySlide::setCache, py::arg("cache"))
        .def("cache", [](const PySlide &s) { return PyCache{s.currentCache()}; })
        .def("levels", &PySlide::levels)
        .def("best_level_for_downsample", &PySlide::bestLevelForDownsample)
        .def("properties", &PySlide::properties)
        .def("associated_names", &PySlide::associatedNames)
        .def("associated", &PySlide::associated)
        .def("read_region", &PySlide::readRegion, py::arg("x"), py::arg("y"), py::arg("level"),
             py::arg("width"), py::arg("height"), py::arg("rgba"))
        .def("read_level_region", &PySlide::readLevelRegion, py::arg("level"), py::arg("x"), py::arg("y"),
             py::arg("width"), py::arg("height"), py::arg("out") = py::none())
        .def("read_regions", &PySlide::readRegions, py::arg("locations"), py::arg("level"), py::arg("width"),
             py::arg("height"), py::arg("workers"));

    py::class_<PyDeepZoom>(m, "DeepZoom", "Deep Zoom tiles of a slide (see pyradec.deepzoom).")
        .def(py::init<std::shared_ptr<PySlide>, int, int, bool>(), py::arg("slide"), py::arg("tile_size"),
             py::arg("overlap"), py::arg("limit_bounds"))
        .def_property_readonly("level_count", [](const PyDeepZoom &d) { return d.dz().levelCount(); })
        .def_property_readonly("level_dimensions",
                               [](const PyDeepZoom &d) { return pairs(d.dz().levelDimensions()); })
        .def_property_readonly("level_tiles", [](const PyDeepZoom &d) { return pairs(d.dz().levelTiles()); })
        .def_property_readonly("tile_count", [](const PyDeepZoom &d) { return d.dz().tileCount(); })
        .def("dzi", [](const PyDeepZoom &d, const std::string &format) { return d.dz().dzi(format); })
        .def("tile_coordinates",
             [](const PyDeepZoom &d, int level, int64_t col, int64_t row) {
                 const DeepZoomRead r = d.dz().tileCoordinates(level, col, row);
                 return py::make_tuple(py::make_tuple(r.x0, r.y0), r.slideLevel,
                                       py::make_tuple(r.width, r.height));
             })
        .def("tile_dimensions",
             [](const PyDeepZoom &d, int level, int64_t col, int64_t row) {
                 const Size64 s = d.dz().tileDimensions(level, col, row);
                 return py::make_tuple(s.width, s.height);
             })
        .def("tile", &PyDeepZoom::tile);
}
