// Opening slides: with a colour table to build, with a table another open slide
// already shares (identical colour parameters), and without colour parameters.
// The slide has a realistic tile index (a 79 x 79 layer 0 and its pyramid) and
// associated pictures of the given sizes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "ColorCorrect/ColorCorrect.h"
#include "Fixture.h"
#include "Owners.h"

using namespace fixture;

namespace {

// A pyramid whose tiles all hold one small stored JPEG: opening reads the index,
// never the tiles.
Slide indexedSlide(int thumbSide, const ColorParams &colour)
{
    Slide slide;
    slide.colour = colour;
    slide.associated.resize(2);
    slide.associated[0].image = makePattern(thumbSide / 2, thumbSide / 2, 1);
    slide.associated[1].image = makePattern(thumbSide * 3 / 2, thumbSide / 2, 2);
    slide.thumbnail = makePattern(thumbSide, thumbSide, 3);
    const Bytes tile = encodeJpeg(makePattern(256, 256, 4), 80);
    for (int cols = 79; cols >= 1; cols = cols == 1 ? 0 : (cols + 1) / 2) {
        Layer layer;
        layer.xCount = layer.yCount = cols;
        layer.tiles.assign(size_t(cols) * cols, Tile{tile, std::nullopt});
        slide.layers.push_back(std::move(layer));
    }
    return slide;
}

const std::string &slidePath(int thumbSide, bool withColour, int variant)
{
    static std::map<std::string, std::string> paths;
    static TempDir dir;
    const std::string key = std::to_string(thumbSide) + (withColour ? "c" : "n") + std::to_string(variant);
    auto found = paths.find(key);
    if (found != paths.end())
        return found->second;
    ColorParams colour = scannerColour();
    colour.gamma += 0.01f * float(variant);  // another variant: other parameters, another table
    Slide slide = indexedSlide(thumbSide, colour);
    slide.hasExtraInfo = withColour;
    return paths[key] = writeSlide(dir.file(key + ".pyra"), slide);
}

// Each open builds a table: the colour parameters change every time.
void BM_OpenBuildingItsTable(benchmark::State &state)
{
    const int side = int(state.range(0));
    int variant = 0;
    for (int i = 0; i < 8; ++i)
        slidePath(side, true, i);
    for (auto _ : state) {
        Handle slide(VtOpenPyra(slidePath(side, true, variant++ % 8).c_str()));
        benchmark::DoNotOptimize(slide.get());
    }
}
BENCHMARK(BM_OpenBuildingItsTable)
    ->ArgName("thumbnail")
    ->Arg(160)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A second slide with the colour parameters of one that is open: no build.
void BM_OpenSharingAnOpenTable(benchmark::State &state)
{
    const int side = int(state.range(0));
    Handle first(VtOpenPyra(slidePath(side, true, 0).c_str()));
    const std::string &path = slidePath(side, true, 0);
    for (auto _ : state) {
        Handle second(VtOpenPyra(path.c_str()));
        benchmark::DoNotOptimize(second.get());
    }
}
BENCHMARK(BM_OpenSharingAnOpenTable)
    ->ArgName("thumbnail")
    ->Arg(160)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_OpenWithoutColourParameters(benchmark::State &state)
{
    const std::string &path = slidePath(int(state.range(0)), false, 0);
    for (auto _ : state) {
        Handle slide(VtOpenPyra(path.c_str()));
        benchmark::DoNotOptimize(slide.get());
    }
}
BENCHMARK(BM_OpenWithoutColourParameters)
    ->ArgName("thumbnail")
    ->Arg(160)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    // The first open of the process pays for fresh table memory; report it apart.
    const std::string &path = slidePath(160, true, 99);
    const auto start = std::chrono::steady_clock::now();
    VtClosePyra(VtOpenPyra(path.c_str()));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("first open of the process (table build into fresh memory): %.1f ms\n", ms);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
