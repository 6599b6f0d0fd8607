// Tile decode speed: the library's tile decoder (no table, and through a colour
// table) against a plain libjpeg decode of the same 256x256 quality-80 tile.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodePyra/JpegCodec.h"
#include "slidewriter/SlideWriter.h"

namespace {

constexpr int kSize = 256;

const slidewriter::Bytes &tile()
{
    static const slidewriter::Bytes jpeg =
        slidewriter::encodeJpeg(slidewriter::makePattern(kSize, kSize, 3), 80);
    return jpeg;
}

void setPixels(benchmark::State &state)
{
    state.counters["MP/s"] =
        benchmark::Counter(double(kSize) * kSize * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Anchor: libjpeg alone, one row per call, straight into the buffer.
void BM_PlainLibjpeg(benchmark::State &state)
{
    const slidewriter::Bytes &jpeg = tile();
    std::vector<unsigned char> out(kSize * kSize * 3);
    for (auto _ : state) {
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr err;
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = out.data() + size_t(cinfo.output_scanline) * kSize * 3;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        benchmark::DoNotOptimize(out.data());
    }
    setPixels(state);
}
BENCHMARK(BM_PlainLibjpeg);

void BM_DecodeJpegTile(benchmark::State &state)
{
    const slidewriter::Bytes &jpeg = tile();
    std::vector<unsigned char> out(kSize * kSize * 3);
    for (auto _ : state) {
        if (!pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), out.data(), kSize, kSize, nullptr))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    setPixels(state);
}
BENCHMARK(BM_DecodeJpegTile);

void BM_DecodeJpegTileWithTable(benchmark::State &state)
{
    static ColorCorrectTable *table = [] {
        pyradec::ColorParams params{};
        params.gamma = 1.8f;
        params.channelGains[0] = params.channelGains[1] = params.channelGains[2] = 1.0f;
        params.hsvScales[0] = params.hsvScales[1] = params.hsvScales[2] = 1.0f;
        params.colorMatrix[0] = params.colorMatrix[4] = params.colorMatrix[8] = 1.0f;
        return pyradec::acquireColorTable(params);
    }();
    const slidewriter::Bytes &jpeg = tile();
    std::vector<unsigned char> out(kSize * kSize * 3);
    for (auto _ : state) {
        if (!pyradec::decodeJpegTile(jpeg.data(), jpeg.size(), out.data(), kSize, kSize, table))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    setPixels(state);
}
BENCHMARK(BM_DecodeJpegTileWithTable);

}  // namespace

BENCHMARK_MAIN();
