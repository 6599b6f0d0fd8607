// What the figure programs of bench/ share beyond Google Benchmark: wall and
// CPU timing, the plain libjpeg decode that anchors the tile figures, pinning to
// one processor, the peers loaded at run time (OpenSlide, libtiff), and the
// table of figures a run reports.
#pragma once

#include <dlfcn.h>
#include <sched.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Seconds on the steady clock.
double now();
// CPU time of the calling thread: on a busy machine it leaves out the time other
// processes took, which wall time would charge to whatever ran then.
double cpuNow();

struct Span {
    double wall = 0, cpu = 0;
};

// Wall and CPU time since construction.
class Stopwatch {
public:
    Stopwatch() : wall_(now()), cpu_(cpuNow()) {}
    Span elapsed() const { return {now() - wall_, cpuNow() - cpu_}; }

private:
    double wall_, cpu_;
};

double median(std::vector<double> v);

// Decodes one w x h JPEG tile with plain libjpeg into `out` (blue-green-red,
// rows of w*3 bytes): the anchor the library's tile figures are compared with.
bool decodePlain(const unsigned char *data, size_t length, unsigned char *out, int w, int h);

// Pins the calling thread to one processor while it lives. omp_get_num_procs()
// follows the calling thread's affinity, so the whole-layer decode then runs a
// team of one.
class PinToOneCpu {
public:
    PinToOneCpu()
    {
        sched_getaffinity(0, sizeof old_, &old_);
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &old_)) {
                CPU_SET(c, &one);
                break;
            }
        sched_setaffinity(0, sizeof one, &one);
    }
    ~PinToOneCpu() { sched_setaffinity(0, sizeof old_, &old_); }
    PinToOneCpu(const PinToOneCpu &) = delete;
    PinToOneCpu &operator=(const PinToOneCpu &) = delete;

private:
    cpu_set_t old_;
};

int availableCpus();

// A shared library loaded at run time, so that the benchmarks build without it.
class Library {
public:
    explicit Library(const char *name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library()
    {
        if (handle_)
            dlclose(handle_);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    explicit operator bool() const { return handle_ != nullptr; }
    template <class F>
    bool get(F &fn, const char *symbol)
    {
        fn = handle_ ? reinterpret_cast<F>(dlsym(handle_, symbol)) : nullptr;
        return fn != nullptr;
    }

private:
    void *handle_;
};

// OpenSlide's region reads, the peer of the region figures.
struct OpenSlideApi {
    Library lib{"libopenslide.so.0"};
    void *(*open)(const char *) = nullptr;
    void (*close)(void *) = nullptr;
    const char *(*getError)(void *) = nullptr;
    void (*readRegion)(void *, uint32_t *, int64_t, int64_t, int32_t, int64_t, int64_t) = nullptr;
    bool ok = false;
    OpenSlideApi()
    {
        ok = lib.get(open, "openslide_open") && lib.get(close, "openslide_close") &&
             lib.get(getError, "openslide_get_error") && lib.get(readRegion, "openslide_read_region");
    }
};

// libtiff's writer, for the tiled TIFF that OpenSlide reads.
struct TiffApi {
    Library lib{"libtiff.so.6"};
    void *(*open)(const char *, const char *) = nullptr;
    int (*setField)(void *, uint32_t, ...) = nullptr;
    long (*writeRawTile)(void *, uint32_t, void *, long) = nullptr;
    int (*writeDirectory)(void *) = nullptr;
    void (*close)(void *) = nullptr;
    bool ok = false;
    TiffApi()
    {
        ok = lib.get(open, "TIFFOpen") && lib.get(setField, "TIFFSetField") &&
             lib.get(writeRawTile, "TIFFWriteRawTile") && lib.get(writeDirectory, "TIFFWriteDirectory") &&
             lib.get(close, "TIFFClose");
    }
};

// The TIFF tags and values used (tiff.h), so no header is needed at build time.
enum : uint32_t {
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagSamplesPerPixel = 277,
    kTagPlanarConfig = 284,
    kTagTileWidth = 322,
    kTagTileLength = 323,
    kTagYCbCrSubsampling = 530,
    kCompressionJpeg = 7,
    kPhotometricYCbCr = 6,
    kPlanarContig = 1,
};

// One line of the report: our figure against its anchor.
struct Row {
    std::string figure;
    std::string ours;
    std::string anchor;
    double ratio = 0;
    double goal = 0;  // ratio must be >= goal; 0: no goal
    std::string note;
};

// Every row reported so far, in order.
extern std::vector<Row> g_rows;

// printf of one number.
std::string fmt(const char *f, double v);
// Prints the row and keeps it for the summary.
void addRow(Row r);
// A figure that could not be measured, and why.
void skipRow(const std::string &figure, const std::string &why);
// Prints the load average: whole-layer and export figures need an idle machine.
void printLoad(const char *when);

}  // namespace bench
