// The tiles `pyra serve` must send, made straight from the C++ layer: for each
// LEVEL:COL:ROW, OUTDIR/L_C_R.rgb (the DeepZoom tile's RGB pixels) and
// OUTDIR/L_C_R.jpeg (those pixels through the library's encoder at QUALITY),
// and one line "L C R WIDTH HEIGHT" on standard output.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include <jpeglib.h>

#include "DeepZoom.h"
#include "Slide.h"

int main(int argc, char **argv)
{
    if (argc < 7) {
        std::fprintf(stderr, "usage: serve_tile_oracle SLIDE TILE OVERLAP QUALITY OUTDIR LEVEL:COL:ROW...\n");
        return 2;
    }
    try {
        auto slide = pyradec::Slide::open(argv[1]);
        pyradec::DeepZoom dz(slide, {std::atoi(argv[2]), std::atoi(argv[3]), false});
        const int quality = std::atoi(argv[4]);
        const std::string dir = argv[5];
        for (int i = 6; i < argc; ++i) {
            int level = 0;
            long long col = 0, row = 0;
            if (std::sscanf(argv[i], "%d:%lld:%lld", &level, &col, &row) != 3)
                throw std::runtime_error(std::string("bad address ") + argv[i]);
            const pyradec::Pixels p = dz.tile(level, col, row);
            const std::string stem =
                dir + "/" + std::to_string(level) + "_" + std::to_string(col) + "_" + std::to_string(row);
            std::ofstream(stem + ".rgb", std::ios::binary)
                .write(reinterpret_cast<const char *>(p.data.data()),
                       static_cast<std::streamsize>(p.data.size()));
            unsigned char *jpeg = nullptr;
            const int size = VtEncodeJpeg(p.data.data(), &jpeg, quality, p.width, p.height, JCS_RGB);
            if (size <= 0)
                throw std::runtime_error("encode failed");
            std::ofstream(stem + ".jpeg", std::ios::binary).write(reinterpret_cast<const char *>(jpeg), size);
            Dispose(jpeg);
            std::printf("%d %lld %lld %d %d\n", level, col, row, p.width, p.height);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "serve_tile_oracle: %s\n", e.what());
        return 1;
    }
    return 0;
}
