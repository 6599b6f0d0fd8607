// Writes the Windows test data: slide and BMP files made by the fixture writer
// (its HEVC encoder exists on Linux only) and expected.txt, the probe lines of
// the Linux build over those files.
//   pyradec_golden <directory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "probes.h"
#include "slidewriter/SlideWriter.h"

namespace {

using slidewriter::Damage;
using slidewriter::Slide;

Slide withDamage(Slide slide, Damage damage, int layer = 0)
{
    slide.damage = damage;
    slide.damageLayer = layer;
    return slide;
}

void writeSlides(const std::string &dir)
{
    auto put = [&](const std::string &name, const Slide &slide) {
        slidewriter::writeSlide(dir + "/" + name, slide);
    };

    Slide jpeg = slidewriter::makeSlide(3, 2, 2, 0, 256, 256, 11);
    jpeg.colour = slidewriter::scannerColour();
    put("jpeg.pyra", jpeg);

    Slide hevc = slidewriter::makeSlide(2, 2, 2, 4, 128, 128, 12);
    hevc.colour = slidewriter::scannerColour();
    put("hevc.pyra", hevc);

    Slide plain = slidewriter::makeSlide(2, 1, 1, 0, 128, 64, 13);
    plain.hasExtraInfo = false;
    put("plain.pyra", plain);

    Slide bmp = slidewriter::makeSlide(2, 2, 1, 0, 64, 64, 14);
    bmp.thumbFormat = 1;
    bmp.thumbBmpBits = 24;
    put("bmp-thumb.pyra", bmp);

    // Margins, an absent tile and a tile that does not decode.
    Slide damaged = slidewriter::makeSlide(3, 2, 1, 0, 96, 80, 15);
    damaged.layers[0].boundWidth = 24;
    damaged.layers[0].boundHeight = 10;
    damaged.layers[0].tiles[1].bytes.clear();
    damaged.layers[0].tiles[4].bytes = slidewriter::Bytes(300, 0x5a);
    put("damaged-tiles.pyra", damaged);

    Slide noPerson = slidewriter::makeSlide(1, 1, 1, 0, 64, 64, 16);
    noPerson.hasPersonInfo = false;
    put("no-person.pyra", noPerson);

    Slide noAssociated = slidewriter::makeSlide(2, 1, 1, 0, 64, 64, 17);
    noAssociated.associated.clear();
    put("no-associated.pyra", noAssociated);

    const Slide small = slidewriter::makeSlide(2, 2, 2, 0, 64, 64, 18);
    put("head-magic.pyra", withDamage(small, Damage::HeadMagic));
    put("layer-magic.pyra", withDamage(small, Damage::LayerMagic, 1));
    put("truncated-data.pyra", withDamage(small, Damage::TruncateTileData));
    put("truncated-table.pyra", withDamage(small, Damage::TruncateTileTable));

    const slidewriter::Image picture = slidewriter::makePattern(29, 13, 19);
    slidewriter::writeFile(dir + "/pattern24.bmp", slidewriter::encodeBmp(picture, 24));
    slidewriter::writeFile(dir + "/pattern32.bmp", slidewriter::encodeBmp(picture, 32));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    writeSlides(dir);
    std::ofstream out(dir + "/expected.txt", std::ios::binary);
    size_t count = 0;
    for (const std::string &line : probes::run(dir)) {
        out << line << '\n';
        ++count;
    }
    out.close();
    if (!out) {
        std::fprintf(stderr, "golden: could not write %s/expected.txt\n", dir.c_str());
        return 1;
    }
    std::printf("golden: %zu expected results in %s\n", count, dir.c_str());
    return 0;
}
