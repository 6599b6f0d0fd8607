// pyra export: layer 0 as a grid of JPEG files, named and cut like the
// library's GetAllSliceJpeg, on every core, with a progress bar on a terminal.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "pyra.h"

namespace pyra {

namespace {

const char *const kDetails =
    "Cuts the image area of layer 0 into W x H rectangles (default 512 x 512) and\n"
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
    Handle slide = openSlide(path);

    const VtPicInfo *layer = slide->picInfos[0];
    const uint32_t tileW = slide->picHead->tileWidth, tileH = slide->picHead->tileHeight;
    const long gridW = static_cast<long>(layer->xCount) * tileW, gridH = static_cast<long>(layer->yCount) * tileH;
    if (w > gridW || h > gridH)
        throw Failure(path + ": export tiles of " + std::to_string(w) + " x " + std::to_string(h) +
                      " are larger than layer 0 (" + std::to_string(gridW) + " x " +
                      std::to_string(gridH) + ")");
    // The grid as the library computes it: content size in unsigned 32 bits,
    // quotient in single precision, rounded up.
    const uint32_t contentW = static_cast<uint32_t>(layer->xCount) * tileW - static_cast<uint32_t>(layer->boundWidth);
    const uint32_t contentH = static_cast<uint32_t>(layer->yCount) * tileH - static_cast<uint32_t>(layer->boundHeight);
    const int columns = static_cast<int>(std::ceil(static_cast<float>(contentW) / static_cast<float>(w)));
    const int rows = static_cast<int>(std::ceil(static_cast<float>(contentH) / static_cast<float>(h)));
    const long total = static_cast<long>(columns) * rows;

    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0777) != 0)
            throw Failure(dir + ": cannot create the directory: " + std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        throw Failure(dir + ": not a directory");
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        throw Failure(dir + ": permission denied (the directory is not writable)");

    std::atomic<long> next{0}, done{0};
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    std::string failure;
    auto fail = [&](const std::string &message) {
        std::lock_guard<std::mutex> lock(failureLock);
        if (!failed.exchange(true))
            failure = message;
    };
    // Region reads of one handle may run at once; each opens the file anew.
    auto worker = [&]() {
        for (long i; !failed && (i = next++) < total;) {
            const int col = static_cast<int>(i % columns), row = static_cast<int>(i / columns);
            int length = 0;
            Owned<unsigned char> jpeg(GetRoiSliceJpeg(slide.get(), 0, col * w, row * h, w, h, &length));
            if (!jpeg || length <= 0) {
                fail(path + ": export tile " + std::to_string(col) + ", " + std::to_string(row) +
                     " could not be read or encoded");
                return;
            }
            char name[4096];
            const int n = std::snprintf(name, sizeof name, "%s/%d_%d_%d_%d.jpeg", dir.c_str(), col, row, w, h);
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
