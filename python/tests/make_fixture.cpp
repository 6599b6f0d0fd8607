// Writes the slides the Python tests need that `pyra make` cannot make: slides
// with absent tiles, and slides damaged in each record the open sequence reads.
// usage: pyradec_py_fixture DIR
#include <cstdio>
#include <string>

#include "slidewriter/SlideWriter.h"

namespace {

// Layer 0 of 3 x 2 tiles with margins; tiles (1, 0) and (0, 1) of layer 0 and
// (0, 0) of layer 1 are absent (stored with size 0). The JPEG slide has no
// colour parameters at all (no extra-information record), the HEVC one a scanner set.
slidewriter::Slide withAbsentTiles(uint8_t compression, uint32_t tile)
{
    slidewriter::Slide slide = slidewriter::makeSlide(3, 2, 3, compression, tile, tile, 7);
    if (compression == 4)
        slide.colour = slidewriter::scannerColour();
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
        slidewriter::writeSlide(dir + "/absent-jpeg.pyra", withAbsentTiles(0, 256));
        slidewriter::writeSlide(dir + "/absent-hevc.pyra", withAbsentTiles(4, 128));
        const struct {
            const char *name;
            slidewriter::Damage damage;
            int layer;
        } damaged[] = {
            {"damaged-person", slidewriter::Damage::PersonMagic, 0},
            {"damaged-extra", slidewriter::Damage::ExtraMagic, 0},
            {"damaged-label", slidewriter::Damage::LabelMagic, 0},
            {"damaged-thumbnail", slidewriter::Damage::ThumbMagic, 0},
            {"damaged-layer", slidewriter::Damage::LayerMagic, 1},
            {"damaged-chain", slidewriter::Damage::ChainPastEnd, 1},
            {"damaged-table", slidewriter::Damage::TruncateTileTable, 1},
        };
        for (const auto &d : damaged) {
            slidewriter::Slide slide = slidewriter::makeSlide(2, 2, 2);
            slide.damage = d.damage;
            slide.damageLayer = d.layer;
            slidewriter::writeSlide(dir + "/" + d.name + ".pyra", slide);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
