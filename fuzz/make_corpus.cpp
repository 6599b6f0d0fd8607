// Writes the seed corpora of the fuzzing harnesses:
//   <out>/slide/   small slide files (JPEG and HEVC tiles, every thumbnail format,
//                  damaged variants), each a few kilobytes
//   <out>/codecs/  inputs of fuzz_codecs: a JPEG, HEVC or BMP stream behind its
//                  selector bytes
// Usage: make_corpus <out>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "slidewriter/SlideWriter.h"

using namespace slidewriter;

namespace {

int g_written = 0;

void save(const std::string &path, const Bytes &bytes)
{
    writeFile(path, bytes);
    ++g_written;
}

// A slide of 16-pixel tiles with small associated images, so seeds stay small.
Slide smallSlide(int xCount, int yCount, int layers, uint8_t compression, uint32_t seed)
{
    Slide s = makeSlide(xCount, yCount, layers, compression, 16, 16, seed);
    s.associated[0].image = makePattern(24, 8, seed + 11);
    s.associated[1].image = makePattern(32, 12, seed + 12);
    s.thumbnail = makePattern(16, 12, seed + 13);
    return s;
}

void patchedSeeds(const std::string &dir);

void slideSeeds(const std::string &dir)
{
    std::vector<std::pair<std::string, std::function<Slide()>>> cases;
    auto add = [&](std::string name, std::function<Slide()> make) {
        cases.emplace_back(std::move(name), std::move(make));
    };
    add("jpeg", [] { return smallSlide(3, 2, 2, 0, 1); });
    add("jpeg_scanner_colour", [] {
        Slide s = smallSlide(2, 2, 2, 0, 2);
        s.colour = scannerColour();
        return s;
    });
    add("hevc", [] { return smallSlide(2, 2, 2, 4, 3); });
    add("hevc_one_tile", [] { return smallSlide(1, 1, 1, 4, 4); });
    add("thumb_bmp24", [] {
        Slide s = smallSlide(2, 1, 1, 0, 5);
        s.thumbFormat = 1;
        s.thumbBmpBits = 24;
        return s;
    });
    add("thumb_bmp32", [] {
        Slide s = smallSlide(2, 1, 1, 0, 6);
        s.thumbFormat = 1;
        s.thumbBmpBits = 32;
        return s;
    });
    add("thumb_other_format", [] {
        Slide s = smallSlide(2, 1, 1, 0, 7);
        s.thumbFormat = 2;
        s.thumbBytes = encodeJpeg(s.thumbnail);
        return s;
    });
    add("thumb_jpeg_as_bmp", [] {
        Slide s = smallSlide(1, 1, 1, 0, 8);
        s.thumbFormat = 1;
        s.thumbBytes = encodeJpeg(s.thumbnail);
        return s;
    });
    add("no_person_no_extra", [] {
        Slide s = smallSlide(2, 2, 1, 0, 9);
        s.hasPersonInfo = false;
        s.hasExtraInfo = false;
        s.associated.clear();
        return s;
    });
    add("no_associated", [] {
        Slide s = smallSlide(2, 2, 1, 0, 10);
        s.associated.clear();
        return s;
    });
    add("macro_count_1", [] {
        Slide s = smallSlide(2, 1, 1, 0, 11);
        s.macroImageCount = 1;
        return s;
    });
    add("macro_count_3", [] {
        Slide s = smallSlide(2, 1, 1, 0, 12);
        s.macroImageCount = 3;
        return s;
    });
    add("layer_count_more", [] {
        Slide s = smallSlide(2, 1, 1, 0, 13);
        s.layerCount = 3;
        return s;
    });
    add("tile_count_short", [] {
        Slide s = smallSlide(3, 2, 1, 0, 14);
        s.layers[0].tileCount = 2;
        return s;
    });
    add("tile_sizes_damaged", [] {
        Slide s = smallSlide(3, 2, 1, 0, 15);
        s.layers[0].tiles[0].storedSize = -5;
        s.layers[0].tiles[1].storedSize = 1 << 20;
        s.layers[0].tiles[2].bytes.clear();
        return s;
    });
    add("hevc_tile_sizes_damaged", [] {
        Slide s = smallSlide(2, 2, 1, 4, 16);
        s.layers[0].tiles[0].storedSize = -1;
        s.layers[0].tiles[1].bytes.clear();
        s.layers[0].tiles[2].storedSize = 3;
        return s;
    });
    add("tile_wrong_size", [] {
        Slide s = smallSlide(2, 1, 1, 0, 17);
        s.layers[0].tiles[1].bytes = encodeJpeg(makePattern(8, 24, 3));
        return s;
    });
    add("compression_unknown", [] {
        Slide s = smallSlide(2, 1, 1, 0, 18);
        s.compressionType = 7;
        return s;
    });
    add("bounds_odd", [] {
        Slide s = smallSlide(2, 2, 1, 0, 19);
        s.layers[0].boundWidth = -20;
        s.layers[0].boundHeight = 40;
        return s;
    });
    add("tile_garbage", [] {
        Slide s = smallSlide(2, 1, 1, 0, 20);
        s.layers[0].tiles[0].bytes = Bytes{0xff, 0xd8, 0xff, 0xe0, 1, 2, 3, 4, 5};
        return s;
    });
    const std::pair<const char *, Damage> damages[] = {
        {"head_magic", Damage::HeadMagic},
        {"person_magic", Damage::PersonMagic},
        {"extra_magic", Damage::ExtraMagic},
        {"label_magic", Damage::LabelMagic},
        {"macro_magic", Damage::MacroMagic},
        {"thumb_magic", Damage::ThumbMagic},
        {"layer_magic", Damage::LayerMagic},
        {"chain_past_end", Damage::ChainPastEnd},
        {"macro_chain_past_end", Damage::MacroChainPastEnd},
        {"truncate_tile_table", Damage::TruncateTileTable},
        {"truncate_tile_data", Damage::TruncateTileData},
    };
    for (const auto &[name, damage] : damages) {
        const Damage d = damage;
        add(std::string("damage_") + name, [d] {
            Slide s = smallSlide(2, 2, 2, 0, 30);
            s.damage = d;
            s.damageLayer = 1;
            return s;
        });
    }
    for (const auto &[name, make] : cases) {
        try {
            save(dir + "/" + name + ".pyra", serialise(make()));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "make_corpus: %s: %s\n", name.c_str(), e.what());
        }
    }
    save(dir + "/empty.pyra", Bytes{});
    save(dir + "/head_only.pyra", Bytes{'V', 'T'});
    patchedSeeds(dir);
}

template <typename T>
T fieldAt(const Bytes &file, uint64_t offset)
{
    T value{};  // zero when the file is too short
    if (offset <= file.size() && sizeof(T) <= file.size() - offset)
        std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

// Offsets of the layer records, walking the chain the way open does.
std::vector<uint64_t> layerRecords(const Bytes &file)
{
    const auto head = fieldAt<VtPicHead>(file, 0);
    uint64_t offset = 7732;
    for (uint32_t i = 0; i < head.macroImageCount; ++i)
        offset = fieldAt<VtMacrographInfo>(file, offset).nextOffset;
    std::vector<uint64_t> layers;
    offset = fieldAt<VtPicInfo>(file, offset).nextOffset;  // past the thumbnail record
    for (uint32_t i = 0; i < head.layerCount; ++i) {
        layers.push_back(offset);
        offset = fieldAt<VtPicInfo>(file, offset).nextOffset;
    }
    return layers;
}

// Files that a writer of slides cannot make: chains and counts changed in place.
void patchedSeeds(const std::string &dir)
{
    // A layer of 16 000 absent tiles whose record points back at itself, under a
    // header that declares as many layers as the file could hold records: each
    // declared layer would re-read the same 64 KB tile table.
    Slide looping = smallSlide(2, 1, 1, 0, 50);
    Layer wide;
    wide.xCount = 160;
    wide.yCount = 100;
    wide.tiles.resize(16000);
    looping.layers.push_back(wide);
    Bytes file = serialise(looping);
    const std::vector<uint64_t> at = layerRecords(file);
    const uint64_t self = at.back();
    std::memcpy(&file[self + offsetof(VtPicInfo, nextOffset)], &self, sizeof self);
    const uint32_t declared = static_cast<uint32_t>(file.size() / sizeof(VtPicInfo)) - 1;
    std::memcpy(&file[offsetof(VtPicHead, layerCount)], &declared, sizeof declared);
    save(dir + "/layer_chain_loop.pyra", file);

    // A tile count far above the layer's grid.
    Slide counted = smallSlide(2, 1, 1, 0, 51);
    counted.layers[0].tileCount = 4000;
    save(dir + "/tile_count_over_grid.pyra", serialise(counted));

    // A BMP thumbnail with a V5 information header: rows at byte 138.
    Slide v5 = smallSlide(2, 1, 1, 0, 52);
    v5.thumbFormat = 1;
    const Bytes plain = encodeBmp(v5.thumbnail, 24);
    Bytes bmp(plain.begin(), plain.begin() + 54);
    bmp.resize(138, 0);
    const uint32_t headerSize = 124, rowsAt = 138;
    std::memcpy(&bmp[14], &headerSize, 4);
    std::memcpy(&bmp[10], &rowsAt, 4);
    bmp.insert(bmp.end(), plain.begin() + 54, plain.end());
    v5.thumbBytes = bmp;
    save(dir + "/thumb_bmp_v5.pyra", serialise(v5));
}

Bytes withPrefix(std::initializer_list<uint8_t> prefix, const Bytes &stream)
{
    Bytes out(prefix);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

void codecSeeds(const std::string &dir)
{
    const Image picture = makePattern(16, 16, 40);
    const Bytes jpeg = encodeJpeg(picture);
    save(dir + "/jpeg_bgr", withPrefix({0, 0}, jpeg));
    save(dir + "/jpeg_bgr_no_table", withPrefix({0, 1}, jpeg));
    save(dir + "/jpeg_rgba", withPrefix({0, 3 << 1}, jpeg));
    save(dir + "/jpeg_grey", withPrefix({0, 7 << 1}, encodeJpeg(makePattern(9, 5, 41), 50)));
    try {
        const Bytes hevc = encodeHevc(picture);
        save(dir + "/hevc_bgr", withPrefix({1, 0, 15, 0, 15, 0}, hevc));
        save(dir + "/hevc_abgr", withPrefix({1, 4 << 1, 15, 0, 15, 0}, hevc));
        save(dir + "/hevc_wrong_size", withPrefix({1, 0, 31, 0, 15, 0}, hevc));
        save(dir + "/hevc_rgb_wide",
             withPrefix({1, 2 << 1, 31, 0, 15, 0}, encodeHevc(makePattern(32, 16, 42))));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_corpus: hevc: %s\n", e.what());
    }
    save(dir + "/bmp24", withPrefix({2, 0}, encodeBmp(makePattern(7, 5, 43), 24)));
    save(dir + "/bmp32", withPrefix({2, 0}, encodeBmp(makePattern(6, 4, 44), 32)));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <out>\n");
        return 2;
    }
    const std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    mkdir((out + "/slide").c_str(), 0755);
    mkdir((out + "/codecs").c_str(), 0755);
    try {
        slideSeeds(out + "/slide");
        codecSeeds(out + "/codecs");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_corpus: %s\n", e.what());
        return 1;
    }
    std::printf("make_corpus: %d seeds in %s\n", g_written, out.c_str());
    return 0;
}
