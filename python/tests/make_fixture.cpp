// Writes the slides the Python tests need that `pyra make` cannot make: slides
// with absent tiles, and slides damaged in each record the open sequence reads.
// usage: pyradec_py_fixture DIR
#include <cstdio>
#include <string>

#include "SlideWriter.h"

namespace {

// Layer 0 of 3 x 2 tiles with margins; tiles (1, 0) and (0, 1) of layer 0 and
// (0, 0) of layer 1 are absent (stored with size 0). The JPEG slide has no
// colour parameters at all (no extra-information record), the HEVC one a scanner set.
fixture::Slide withAbsentTiles(uint8_t compression, uint32_t tile)
{
    fixture::Slide slide = fixture::makeSlide(3, 2, 3, compression, tile, tile, 7);
    if (compression == 4)
        slide.colour = fixture::scannerColour();
    else
        slide.hasExtraInfo = false;
    slide.layers[0].tiles[1].bytes.clear();
    slide.layers[0].tiles[3].bytes.clear();
    slide.layers[1].tiles[0].bytes.clear();
    return slide;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        fixture::writeSlide(dir + "/absent-jpeg.pyra", withAbsentTiles(0, 256));
        fixture::writeSlide(dir + "/absent-hevc.pyra", withAbsentTiles(4, 128));
        const struct {
            const char *name;
            fixture::Damage damage;
            int layer;
        } damaged[] = {
            {"damaged-person", fixture::Damage::PersonMagic, 0},
            {"damaged-extra", fixture::Damage::ExtraMagic, 0},
            {"damaged-label", fixture::Damage::LabelMagic, 0},
            {"damaged-thumbnail", fixture::Damage::ThumbMagic, 0},
            {"damaged-layer", fixture::Damage::LayerMagic, 1},
            {"damaged-chain", fixture::Damage::ChainPastEnd, 1},
            {"damaged-table", fixture::Damage::TruncateTileTable, 1},
        };
        for (const auto &d : damaged) {
            fixture::Slide slide = fixture::makeSlide(2, 2, 2);
            slide.damage = d.damage;
            slide.damageLayer = d.layer;
            fixture::writeSlide(dir + "/" + d.name + ".pyra", slide);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
