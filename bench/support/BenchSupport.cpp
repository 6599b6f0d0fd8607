// Timing, the plain libjpeg anchor, pinning, run-time peers and the report.
#include "BenchSupport.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <ctime>

#include <jpeglib.h>

namespace bench {

namespace {

struct JpegErr {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void jpegFail(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegErr *>(cinfo->err)->jump, 1); }
void jpegQuiet(j_common_ptr) {}

}  // namespace

double now()
{
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

double cpuNow()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Decodes one w x h tile into `out` (blue-green-red, rows of w*3 bytes).
bool decodePlain(const unsigned char *data, size_t length, unsigned char *out, int w, int h)
{
    jpeg_decompress_struct cinfo;
    JpegErr err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegFail;
    err.mgr.output_message = jpegQuiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(length));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    if (int(cinfo.output_width) != w || int(cinfo.output_height) != h) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        const int n = std::min<int>(16, int(cinfo.output_height - cinfo.output_scanline));
        for (int i = 0; i < n; ++i)
            rows[i] = out + size_t(cinfo.output_scanline + i) * w * 3;
        jpeg_read_scanlines(&cinfo, rows, n);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

int availableCpus()
{
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    return CPU_COUNT(&set);
}

std::vector<Row> g_rows;

std::string fmt(const char *f, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

void addRow(Row r)
{
    std::printf("  -> %s: ours %s, anchor %s%s%s\n", r.figure.c_str(), r.ours.c_str(), r.anchor.c_str(),
                r.ratio < 0 ? "" : fmt(", ratio %.3f", r.ratio).c_str(),
                r.goal > 0 ? fmt(" (goal >= %.2f)", r.goal).c_str() : "");
    g_rows.push_back(std::move(r));
}

void skipRow(const std::string &figure, const std::string &why)
{
    std::printf("  -> %s: not measured (%s)\n", figure.c_str(), why.c_str());
    g_rows.push_back({figure, "-", "-", -1, 0, why});
}

// Whole-layer and export figures use wall time: they need an idle machine.
void printLoad(const char *when)
{
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        char load[64] = {};
        if (std::fgets(load, sizeof load, f))
            std::printf("load average %s: %s", when, load);
        std::fclose(f);
    }
}

}  // namespace bench
