// pyra export: layer 0 as a grid of JPEG files, named and cut like the
// library's GetAllSliceJpeg, on every core, with a progress bar on a terminal.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "pyra.h"

namespace pyra {

namespace {

const char *const kDetails = "Cuts the image area of layer 0 into W x H rectangles (default 512 x 512) and\n"
                             "writes each as DIR/COL_ROW_W_H.jpeg (JPEG quality 75), row by row. The last\n"
                             "column and row reach past the image area and keep the full size. DIR is\n"
                             "created when missing. Shows progress on standard error when it is a terminal.\n"
                             "The files are the same as those of the library's GetAllSliceJpeg.";

struct ExportOptions {
    std::string path, dir;
    std::pair<int, int> size{512, 512};
};

std::string clock(double seconds)
{
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

void drawBar(long done, long total, double elapsed)
{
    const int width = 30;
    const int filled = total ? static_cast<int>(width * done / total) : width;
    const double rate = elapsed > 0 ? done / elapsed : 0;
    const std::string left = rate > 0 ? clock((total - done) / rate) : "?";
    std::fprintf(stderr, "\r[%.*s%*s] %ld/%ld tiles  %.0f tiles/s  %s left   ", filled,
                 "##############################", width - filled, "", done, total, rate, left.c_str());
    std::fflush(stderr);
}

void runExport(const ExportOptions &options)
{
    const std::string &path = options.path, &dir = options.dir;
    const int w = options.size.first, h = options.size.second;
    const auto slide = openSlide(path);
    if (slide->levelCount() == 0)
        throw Failure(path + ": the slide has no layers, nothing to export");
    const pyradec::Level &layer = slide->level(0);
    if (w > layer.gridWidth || h > layer.gridHeight)
        throw Failure(path + ": export tiles of " + std::to_string(w) + " x " + std::to_string(h) +
                      " are larger than layer 0 (" + std::to_string(layer.gridWidth) + " x " +
                      std::to_string(layer.gridHeight) + ")");
    // The grid over the image content, rounded up, in 64 bits. Counts, tile
    // positions and names are ints (as the library's region call and file names
    // take them): a grid beyond them is refused.
    const int64_t columns = (layer.width + w - 1) / w, rows = (layer.height + h - 1) / h;
    const int64_t intMax = std::numeric_limits<int>::max();
    if (columns * rows > intMax || (columns > 0 && (columns - 1) * w > intMax) ||
        (rows > 0 && (rows - 1) * h > intMax))
        throw Failure(path + ": layer 0 (" + std::to_string(layer.width) + " x " +
                      std::to_string(layer.height) + ") in tiles of " + std::to_string(w) + " x " +
                      std::to_string(h) + " makes " + std::to_string(columns) + " x " + std::to_string(rows) +
                      " export tiles, more than " + std::to_string(intMax) + " (export larger tiles)");
    const int64_t total = columns * rows;

    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0777) != 0)
            throw Failure(dir + ": cannot create the directory: " + std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        throw Failure(dir + ": not a directory");
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        throw Failure(dir + ": permission denied (the directory is not writable)");

    std::atomic<int64_t> next{0}, done{0};
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    std::string failure;
    auto fail = [&](const std::string &message) {
        std::lock_guard<std::mutex> lock(failureLock);
        if (!failed.exchange(true))
            failure = message;
    };
    // Region reads of one handle may run at once; each opens the file anew.
    const std::shared_ptr<VtPyraInfo> handle = slide->handle();
    auto worker = [&]() {
        for (int64_t i; !failed && (i = next++) < total;) {
            const int col = static_cast<int>(i % columns), row = static_cast<int>(i / columns);
            int length = 0;
            Owned<unsigned char> jpeg(GetRoiSliceJpeg(handle.get(), 0, col * w, row * h, w, h, &length));
            if (!jpeg || length <= 0) {
                fail(path + ": export tile " + std::to_string(col) + ", " + std::to_string(row) +
                     " could not be read or encoded");
                return;
            }
            char name[4096];
            const int n =
                std::snprintf(name, sizeof name, "%s/%d_%d_%d_%d.jpeg", dir.c_str(), col, row, w, h);
            if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
                fail(dir + ": path too long");
                return;
            }
            try {
                writeBytes(name, jpeg.get(), static_cast<size_t>(length));
            } catch (const Failure &e) {
                fail(e.what());
                return;
            }
            ++done;
        }
    };
    const unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
    const bool progress = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(worker);
    auto elapsed = [&]() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (progress) {
        while (done < total && !failed) {
            drawBar(done, total, elapsed());
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    for (std::thread &t : pool)
        t.join();
    if (progress) {
        drawBar(done, total, elapsed());
        std::fputc('\n', stderr);
    }
    if (failed)
        throw Failure(failure);
    if (progress)
        std::fprintf(stderr, "%ld tiles of %d x %d in %s (%s)\n", total, w, h, dir.c_str(),
                     clock(elapsed()).c_str());
}

}  // namespace

void addExportCommand(CLI::App &app)
{
    auto options = std::make_shared<ExportOptions>();
    CLI::App *cmd = addCommand(app, "export", "layer 0 as a grid of JPEG files", kDetails);
    cmd->add_option("SLIDE", options->path, "the slide file")->required();
    cmd->add_option("DIR", options->dir, "the output directory (made when missing)")->required();
    cmd->add_option("--size", options->size, "width and height of the export tiles (default 512 512)")
        ->type_name("W H")
        ->check(CLI::Range(1, 1 << 16));
    cmd->callback([options] { runExport(*options); });
}

}  // namespace pyra
