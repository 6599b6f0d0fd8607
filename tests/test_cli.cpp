// The pyra command-line tool, run as installed (cmake --install into a scratch
// prefix) on writer-made slides; its outputs are checked against the library's
// own accessors.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <cjson/cJSON.h>

#include "Fixture.h"
#include "Owners.h"
#include "SlideTest.h"
#include "slidewriter/ImageFiles.h"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

Bytes readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const std::string &path)
{
    const Bytes b = readBytes(path);
    return std::string(b.begin(), b.end());
}

std::string quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// One prefix per test process, removed at exit.
class Installed {
public:
    static const std::string &pyra()
    {
        static Installed instance;
        return instance.pyra_;
    }

private:
    Installed()
    {
        const std::string cmd = "cmake --install " + quote(PYRADEC_BINARY_DIR) + " --prefix " +
                                quote(prefix_.path()) + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("cmake --install failed");
        pyra_ = prefix_.file("bin/pyra");
    }
    TempDir prefix_;
    std::string pyra_;
};

Outcome pyra(const std::vector<std::string> &args, const std::string &program = "")
{
    static TempDir capture;
    std::string cmd = quote(program.empty() ? Installed::pyra() : program);
    for (const std::string &a : args)
        cmd += " " + quote(a);
    cmd += " >" + quote(capture.file("out")) + " 2>" + quote(capture.file("err")) + " </dev/null";
    Outcome r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readText(capture.file("out"));
    r.err = readText(capture.file("err"));
    return r;
}

size_t lines(const std::string &s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

Image abgrToImage(const unsigned char *abgr, int width, int height)
{
    Image img;
    img.width = width;
    img.height = height;
    img.bgr.resize(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i)
        for (int c = 0; c < 3; ++c)
            img.bgr[i * 3 + c] = abgr[i * 4 + c];
    return img;
}

// Mean and largest absolute difference of two pictures of one size.
void difference(const Image &a, const Image &b, double &mean, int &largest)
{
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    double sum = 0;
    largest = 0;
    for (size_t i = 0; i < a.bgr.size(); ++i) {
        const int d = std::abs(int(a.bgr[i]) - int(b.bgr[i]));
        sum += d;
        largest = std::max(largest, d);
    }
    mean = sum / static_cast<double>(a.bgr.size());
}

class Cli : public SlideTest {
protected:
    using SlideTest::open;
    // A JPEG slide of 3 x 2 tiles of 64 pixels with margins, two layers.
    std::string jpegSlide() { return writeSlide(dir.file("jpeg.pyra"), makeSlide(3, 2, 2, 0, 64, 64, 7)); }
    Handle open(const std::string &path) { return Handle(VtOpenPyra(path.c_str())); }
};

TEST_F(Cli, VersionAndHelpGoToStandardOutput)
{
    Outcome v = pyra({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "pyra 1.0.0\n");
    Outcome top = pyra({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char *cmd : {"info", "assoc", "tile", "region", "export", "hash", "make"}) {
        EXPECT_NE(top.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
        Outcome h = pyra({cmd, "--help"});
        EXPECT_EQ(h.status, 0) << cmd;
        EXPECT_EQ(h.out.rfind(std::string("usage: pyra ") + cmd + " ", 0), 0u) << cmd;
        EXPECT_EQ(h.err, "") << cmd;
    }
    Outcome none = pyra({});
    EXPECT_EQ(none.status, 1);
}

TEST_F(Cli, InfoTextAndJsonAgreeWithTheHandle)
{
    const std::string path = jpegSlide();
    Handle h = open(path);
    ASSERT_TRUE(h);
    Outcome text = pyra({"info", path});
    ASSERT_EQ(text.status, 0) << text.err;
    const std::string image =
        std::to_string(h->picHead->imageWidth) + " x " + std::to_string(h->picHead->imageHeight) + " pixels";
    EXPECT_NE(text.out.find(image), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("0.250000 um/pixel"), std::string::npos);

    Outcome json = pyra({"info", path, "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(json.out.c_str()), cJSON_Delete);
    ASSERT_TRUE(root) << json.out;
    auto num = [](const cJSON *o, const char *key) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, key);
        EXPECT_TRUE(cJSON_IsNumber(item)) << key;
        return item ? item->valuedouble : NAN;
    };
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(root.get(), "compressionType")->valuestring, "Jpeg");
    EXPECT_EQ(num(root.get(), "imageWidth"), +h->picHead->imageWidth);
    EXPECT_EQ(num(root.get(), "imageHeight"), +h->picHead->imageHeight);
    EXPECT_EQ(num(root.get(), "tileWidth"), 64);
    EXPECT_EQ(num(root.get(), "quality"), 80);
    EXPECT_DOUBLE_EQ(num(root.get(), "mpp"), 0.25);
    EXPECT_EQ(num(root.get(), "appMag"), 40);
    EXPECT_EQ(num(root.get(), "labelWidth"), +h->macroImages[0]->width);
    EXPECT_EQ(num(root.get(), "macroHeight"), +h->macroImages[1]->height);
    const cJSON *layers = cJSON_GetObjectItemCaseSensitive(root.get(), "layers");
    ASSERT_TRUE(cJSON_IsArray(layers));
    ASSERT_EQ(cJSON_GetArraySize(layers), 2);
    for (int i = 0; i < 2; ++i) {
        const cJSON *l = cJSON_GetArrayItem(layers, i);
        const VtPicInfo *p = h->picInfos[i];
        EXPECT_EQ(num(l, "index"), i);
        EXPECT_EQ(num(l, "xCount"), +p->xCount);
        EXPECT_EQ(num(l, "yCount"), +p->yCount);
        EXPECT_EQ(num(l, "boundWidth"), +p->boundWidth);
        EXPECT_EQ(num(l, "boundHeight"), +p->boundHeight);
        EXPECT_EQ(num(l, "layerWidth"), p->xCount * 64);
        EXPECT_EQ(num(l, "contentWidth"), p->xCount * 64 - p->boundWidth);
    }
    const cJSON *colour = cJSON_GetObjectItemCaseSensitive(root.get(), "colour");
    ASSERT_TRUE(cJSON_IsObject(colour));
    EXPECT_EQ(num(colour, "gamma"), 1.0);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(colour, "colorMatrix")), 9);
}

TEST_F(Cli, AssociatedPicturesEqualTheLibraryAccessors)
{
    Slide s = makeSlide(2, 1, 1, 0, 64, 64, 3);
    s.colour = scannerColour();  // decoded pixels then differ from the stored JPEG's
    const std::string path = writeSlide(dir.file("a.pyra"), s);
    Handle h = open(path);
    ASSERT_TRUE(h);
    struct Case {
        const char *name;
        unsigned char *(*jpeg)(VtPyraInfo *, int *, int *, int *);
        unsigned char *(*abgr)(VtPyraInfo *, int *, int *);
    };
    const Case cases[] = {{"thumbnail", GetThumbnailJpeg, GetThumbnailAbgr},
                          {"label", GetLabelJpeg, GetLabelAbgr},
                          {"macro", GetMacrographJpeg, GetMacrographAbgr}};
    for (const Case &c : cases) {
        int w = 0, hh = 0, len = 0;
        Owned<unsigned char> jpeg(c.jpeg(h.get(), &w, &hh, &len));
        ASSERT_TRUE(jpeg) << c.name;
        const std::string jpgOut = dir.file(std::string(c.name) + ".jpg");
        Outcome r = pyra({"assoc", path, c.name, "-o", jpgOut});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readBytes(jpgOut), Bytes(jpeg.get(), jpeg.get() + len)) << c.name;

        Owned<unsigned char> abgr(c.abgr(h.get(), &w, &hh));
        ASSERT_TRUE(abgr);
        const std::string pngOut = dir.file(std::string(c.name) + ".PNG");
        r = pyra({"assoc", path, c.name, "-o", pngOut});
        ASSERT_EQ(r.status, 0) << r.err;
        const Image got = decodePng(readBytes(pngOut));
        EXPECT_EQ(got.width, w);
        EXPECT_EQ(got.bgr, abgrToImage(abgr.get(), w, hh).bgr) << c.name;
    }
}

class CliTiles : public Cli, public ::testing::WithParamInterface<int> {};

TEST_P(CliTiles, EveryTileFormEqualsTheLibraryAccessor)
{
    const uint8_t compression = static_cast<uint8_t>(GetParam());
    Slide s = makeSlide(3, 2, 2, compression, 64, 64, 11);
    s.colour = scannerColour();
    const std::string path = writeSlide(dir.file("t.pyra"), s);
    Handle h = open(path);
    ASSERT_TRUE(h);
    for (auto [layer, col, row] : {std::tuple{0, 2, 1}, std::tuple{1, 1, 0}}) {
        const std::string L = std::to_string(layer), C = std::to_string(col), R = std::to_string(row);
        int w, hh, len;
        Owned<unsigned char> jpeg(GetSliceJpeg(h.get(), layer, col, row, &w, &hh, &len));
        ASSERT_TRUE(jpeg);
        ASSERT_EQ(pyra({"tile", path, L, C, R, "-o", dir.file("t.jpg")}).status, 0);
        EXPECT_EQ(readBytes(dir.file("t.jpg")), Bytes(jpeg.get(), jpeg.get() + len));

        Owned<unsigned char> bgr(GetSliceBgr(h.get(), layer, col, row, &w, &hh));
        ASSERT_TRUE(bgr);
        ASSERT_EQ(pyra({"tile", path, L, C, R, "-o", dir.file("t.png")}).status, 0);
        const Image png = decodePng(readBytes(dir.file("t.png")));
        EXPECT_EQ(png.bgr, Bytes(bgr.get(), bgr.get() + size_t(w) * hh * 3));

        unsigned char *raw = nullptr;
        ASSERT_EQ(VtGetHevcSliceOfSpecifyLayer(h.get(), &raw, &len, layer, col, row), 0);
        Owned<unsigned char> stored(raw);
        ASSERT_EQ(pyra({"tile", path, L, C, R, "-o", dir.file("t.bin"), "--raw"}).status, 0);
        EXPECT_EQ(readBytes(dir.file("t.bin")), Bytes(stored.get(), stored.get() + len));
        EXPECT_EQ(readBytes(dir.file("t.bin")),
                  s.layers[layer].tiles[row * s.layers[layer].xCount + col].bytes);
    }
    Outcome outside = pyra({"tile", path, "0", "3", "0", "-o", dir.file("x.jpg")});
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(lines(outside.err), 1u);
    EXPECT_NE(outside.err.find("no tile 3, 0"), std::string::npos) << outside.err;
}

INSTANTIATE_TEST_SUITE_P(Compression, CliTiles, ::testing::Values(0, 4),
                         [](const auto &info) { return info.param ? "Hevc" : "Jpeg"; });

TEST_F(Cli, RegionPngIsExactAndJpegFollowsQuality)
{
    Slide s = makeSlide(3, 2, 2, 0, 64, 64, 5);
    s.colour = scannerColour();
    const std::string path = writeSlide(dir.file("r.pyra"), s);
    Handle h = open(path);
    ASSERT_TRUE(h);
    const int x = 37, y = 21, w = 101, hh = 70;  // crosses tile borders both ways
    Owned<unsigned char> bgr(GetRoiSliceBgr(h.get(), 0, x, y, w, hh));
    ASSERT_TRUE(bgr);
    const auto args = [&](const std::string &out) {
        return std::vector<std::string>{
            "region",           path, "0", std::to_string(x), std::to_string(y), std::to_string(w),
            std::to_string(hh), "-o", out};
    };
    ASSERT_EQ(pyra(args(dir.file("r.png"))).status, 0);
    const Image png = decodePng(readBytes(dir.file("r.png")));
    ASSERT_EQ(png.width, w);
    ASSERT_EQ(png.height, hh);
    EXPECT_EQ(png.bgr, Bytes(bgr.get(), bgr.get() + size_t(w) * hh * 3));

    // The default quality is the library's own region JPEG, byte for byte.
    int len = 0;
    Owned<unsigned char> jpeg(GetRoiSliceJpeg(h.get(), 0, x, y, w, hh, &len));
    ASSERT_TRUE(jpeg);
    ASSERT_EQ(pyra(args(dir.file("r.jpg"))).status, 0);
    EXPECT_EQ(readBytes(dir.file("r.jpg")), Bytes(jpeg.get(), jpeg.get() + len));

    auto q = args(dir.file("q.jpeg"));
    q.insert(q.end(), {"--quality", "97"});
    ASSERT_EQ(pyra(q).status, 0);
    const Bytes high = readBytes(dir.file("q.jpeg"));
    EXPECT_GT(high.size(), size_t(len));
    double mean75, mean97;
    int big75, big97;
    difference(decodeJpegPlain(readBytes(dir.file("r.jpg"))), png, mean75, big75);
    difference(decodeJpegPlain(high), png, mean97, big97);
    EXPECT_LT(mean97, mean75);
}

// Any rectangle is taken: what lies outside the layer's content (176 x 120 of a
// 192 x 128 grid here) is white, the rest is the library's region.
TEST_F(Cli, RegionReachingOutsideTheLayerIsWhiteThere)
{
    Slide s = makeSlide(3, 2, 1, 0, 64, 64, 5);
    const std::string path = writeSlide(dir.file("r.pyra"), s);
    Handle h = open(path);
    ASSERT_TRUE(h);
    const int contentW = 3 * 64 - s.layers[0].boundWidth, contentH = 2 * 64 - s.layers[0].boundHeight;
    struct Case {
        int x, y, w, h;
    };
    const Case cases[] = {{150, 0, 50, 10},                       // past the right edge
                          {100, 100, 30, 40},                     // past the bottom edge
                          {-10, -5, 30, 20},                      // before the left and top
                          {300, 10, 20, 20},                      // wholly outside
                          {-4, -4, contentW + 8, contentH + 8}};  // around the whole layer
    for (const Case &c : cases) {
        const std::string out = dir.file("o.png");
        Outcome r = pyra({"region", path, "0", std::to_string(c.x), std::to_string(c.y), std::to_string(c.w),
                          std::to_string(c.h), "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const Image png = decodePng(readBytes(out));
        ASSERT_EQ(png.width, c.w);
        ASSERT_EQ(png.height, c.h);
        // The part on the content, as the library assembles it.
        const int x0 = std::max(c.x, 0), y0 = std::max(c.y, 0);
        const int x1 = std::min(c.x + c.w, contentW), y1 = std::min(c.y + c.h, contentH);
        Owned<unsigned char> inside;
        if (x1 > x0 && y1 > y0) {
            inside.reset(GetRoiSliceBgr(h.get(), 0, x0, y0, x1 - x0, y1 - y0));
            ASSERT_TRUE(inside);
        }
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const int lx = c.x + x, ly = c.y + y;
                const bool on = lx >= x0 && lx < x1 && ly >= y0 && ly < y1;
                for (int k = 0; k < 3; ++k) {
                    const uint8_t want =
                        on ? inside.get()[((size_t(ly - y0) * (x1 - x0)) + (lx - x0)) * 3 + k] : 255;
                    ASSERT_EQ(png.bgr[(size_t(y) * c.w + x) * 3 + k], want)
                        << "region " << c.x << "," << c.y << " pixel " << x << "," << y;
                }
            }
    }
}

// Sizes that cannot be held are refused with a message before anything is allocated.
TEST_F(Cli, RegionTooLargeIsRefusedBeforeAllocating)
{
    const std::string path = jpegSlide();
    struct Case {
        std::string w, h, file, expect;
    };
    const Case cases[] = {{"2000000", "2000000", "x.png", "more than this machine's"},
                          {"70000", "10", "x.jpg", "a JPEG is at most 65500 pixels"},
                          {"3000000000", "1", "x.png", "W: Value 3000000000 not in range"}};
    for (const Case &c : cases) {
        Outcome r = pyra({"region", path, "0", "0", "0", c.w, c.h, "-o", dir.file(c.file)});
        EXPECT_EQ(r.status, 1) << c.w;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file(c.file)));
    }
}

TEST_F(Cli, ExportEqualsLibraryExport)
{
    // Margins on layer 0, and sizes that do and do not divide the grid.
    const std::string path = writeSlide(dir.file("e.pyra"), makeSlide(5, 3, 1, 0, 64, 64, 9));
    for (auto [w, h] : {std::pair{64, 64}, std::pair{100, 70}, std::pair{320, 192}}) {
        const std::string mine = dir.file("mine" + std::to_string(w)),
                          lib = dir.file("lib" + std::to_string(w));
        fs::create_directory(lib);
        std::string p = path, l = lib;
        ASSERT_EQ(GetAllSliceJpeg(p.data(), l.data(), w, h), 1);
        Outcome r = pyra({"export", path, mine, "--size", std::to_string(w), std::to_string(h)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // not a terminal: quiet
        std::map<std::string, Bytes> a, b;
        for (const auto &e : fs::directory_iterator(lib))
            a[e.path().filename()] = readBytes(e.path());
        for (const auto &e : fs::directory_iterator(mine))
            b[e.path().filename()] = readBytes(e.path());
        EXPECT_FALSE(a.empty());
        EXPECT_EQ(a, b) << w << " x " << h;
    }
    Outcome big = pyra({"export", path, dir.file("big"), "--size", "321", "64"});
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(lines(big.err), 1u);
}

// A slide without layers, and a grid whose count does not fit in 32 bits (a
// layer 0 of 2,147,483,646 x 2 pixels, all absent tiles, cut into single
// pixels), end with a message instead of a crash or a silent success.
TEST_F(Cli, ExportRefusesWhatItCannotCut)
{
    Slide none = makeSlide(2, 1, 0, 0, 64, 64, 3);
    ASSERT_TRUE(none.layers.empty());
    Slide wide = makeSlide(1, 1, 1, 0, 64, 64, 3);
    wide.tileWidth = 1549411;  // x 1386 columns = 2^31 - 2
    wide.tileHeight = 1;
    wide.layers.assign(1, Layer{});
    wide.layers[0].xCount = 1386;
    wide.layers[0].yCount = 2;
    wide.layers[0].tiles.resize(1386 * 2);  // all absent
    struct Case {
        const Slide *slide;
        std::vector<std::string> size;
        std::string expect;
    };
    const Case cases[] = {{&none, {}, "the slide has no layers"},
                          {&wide, {"--size", "1", "1"}, "2147483646 x 2 export tiles, more than 2147483647"}};
    for (const Case &c : cases) {
        const std::string path = writeSlide(dir.file("x.pyra"), *c.slide);
        ASSERT_TRUE(open(path)) << c.expect;
        std::vector<std::string> args = {"export", path, dir.file("out")};
        args.insert(args.end(), c.size.begin(), c.size.end());
        Outcome r = pyra(args);
        EXPECT_EQ(r.status, 1) << c.expect;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    }
}

// A tile the slide does not store is white in every form: absent on a JPEG and
// on an HEVC slide, and past the end of a short tile index; hash and info
// cope with the short index, and info says it is short.
TEST_F(Cli, AbsentTilesAreWhiteInEveryForm)
{
    Slide jpeg = makeSlide(3, 2, 1, 0, 64, 64, 8);
    jpeg.layers[0].tiles[1].bytes.clear();
    Slide hevc = makeSlide(3, 2, 1, 4, 64, 64, 8);
    hevc.layers[0].tiles[1].bytes.clear();
    Slide shortIndex = makeSlide(3, 2, 1, 0, 64, 64, 8);
    shortIndex.layers[0].tiles.resize(4);  // tiles (1, 1) and (2, 1) have no entry
    struct Case {
        const char *name;
        const Slide *slide;
        int col, row;
    };
    const Case cases[] = {{"jpeg", &jpeg, 1, 0}, {"hevc", &hevc, 1, 0}, {"short index", &shortIndex, 2, 1}};
    for (const Case &c : cases) {
        const std::string path = writeSlide(dir.file("w.pyra"), *c.slide);
        const std::string C = std::to_string(c.col), R = std::to_string(c.row);
        Outcome png = pyra({"tile", path, "0", C, R, "-o", dir.file("w.png")});
        ASSERT_EQ(png.status, 0) << c.name << ": " << png.err;
        const Image white = decodePng(readBytes(dir.file("w.png")));
        EXPECT_EQ(white.width, 64);
        EXPECT_EQ(white.bgr, Bytes(64 * 64 * 3, 255)) << c.name;

        Outcome jpg = pyra({"tile", path, "0", C, R, "-o", dir.file("w.jpg")});
        ASSERT_EQ(jpg.status, 0) << c.name << ": " << jpg.err;
        const Image decoded = decodeJpegPlain(readBytes(dir.file("w.jpg")));
        EXPECT_EQ(decoded.width, 64);
        EXPECT_GE(*std::min_element(decoded.bgr.begin(), decoded.bgr.end()), 250) << c.name;

        Outcome hash = pyra({"hash", path});
        EXPECT_EQ(hash.status, 0) << c.name << ": " << hash.err;
        Outcome info = pyra({"info", path});
        ASSERT_EQ(info.status, 0) << c.name << ": " << info.err;
        const bool isShort = c.slide == &shortIndex;
        EXPECT_EQ(info.out.find("layer 0: the tile index holds 4 of 6 tiles") != std::string::npos, isShort)
            << info.out;
    }
}

TEST_F(Cli, HashIsStableAndSeesChanges)
{
    Slide s = makeSlide(3, 2, 3, 0, 64, 64, 4);
    const std::string a = writeSlide(dir.file("a.pyra"), s);
    fs::copy_file(a, dir.file("copy.pyra"));
    Outcome ra = pyra({"hash", a}), rc = pyra({"hash", dir.file("copy.pyra")});
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(ra.out.size(), 64 + 2 + a.size() + 1);
    EXPECT_EQ(ra.out.substr(64), "  " + a + "\n");
    EXPECT_EQ(ra.out.substr(0, 64), rc.out.substr(0, 64));
    EXPECT_EQ(ra.out, pyra({"hash", a}).out);

    // A changed lowest-resolution tile, a changed header field, changed colour.
    Slide tile = s;
    tile.layers.back().tiles[0].bytes = encodeJpeg(makePattern(64, 64, 99), 80);
    Slide head = s;
    head.mpp = 0.5;
    Slide colour = s;
    colour.colour = scannerColour();
    for (const Slide *changed : {&tile, &head, &colour}) {
        const std::string p = writeSlide(dir.file("changed.pyra"), *changed);
        Outcome r = pyra({"hash", p});
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.out.substr(0, 64), ra.out.substr(0, 64));
    }
}

TEST_F(Cli, MakeBuildsSlideFromImage)
{
    const Image input = makePattern(700, 500, 21);
    writeFile(dir.file("in.png"), encodePng(input));
    writeFile(dir.file("in.jpg"), encodeJpeg(input, 95));
    struct Case {
        std::string image;
        std::vector<std::string> options;
        int tile;
        uint8_t compression;
        int quality;  // of a plain JPEG round trip of the input, the yardstick
    };
    const Case cases[] = {{"in.png", {}, 256, 0, 80},
                          {"in.jpg", {"--tile", "128", "--quality", "90"}, 128, 0, 90},
                          {"in.png", {"--hevc", "--tile", "512"}, 512, 4, 80}};
    for (const Case &c : cases) {
        const std::string out = dir.file("made.pyra");
        std::vector<std::string> args = {"make", dir.file(c.image), out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Outcome r = pyra(args);
        ASSERT_EQ(r.status, 0) << r.err;
        Handle h = open(out);
        ASSERT_TRUE(h);
        EXPECT_EQ(+h->picHead->imageWidth, 700u);
        EXPECT_EQ(+h->picHead->imageHeight, 500u);
        EXPECT_EQ(+h->picHead->tileWidth, uint32_t(c.tile));
        EXPECT_EQ(+h->picHead->compressionType, c.compression);
        // Halved until one tile holds the layer.
        const VtPicInfo *last = h->picInfos[h->picHead->layerCount - 1];
        EXPECT_EQ(+last->xCount, 1);
        EXPECT_EQ(+last->yCount, 1);
        if (h->picHead->layerCount > 1) {
            EXPECT_GT(+h->picInfos[h->picHead->layerCount - 2]->xCount, 1);
        }
        EXPECT_EQ(h->picInfos[0]->xCount * c.tile - h->picInfos[0]->boundWidth, 700);
        Owned<unsigned char> region(GetRoiSliceBgr(h.get(), 0, 0, 0, 700, 500));
        ASSERT_TRUE(region);
        Image got{700, 500, Bytes(region.get(), region.get() + 700 * 500 * 3)};
        double mean;
        int largest;
        difference(got, input, mean, largest);
        double plainMean;
        int plainLargest;
        difference(decodeJpegPlain(encodeJpeg(input, c.quality)), input, plainMean, plainLargest);
        EXPECT_LT(mean, plainMean * 1.3 + 0.5) << c.image << " " << plainMean;
        ASSERT_TRUE(h->thumbnail && h->thumbnail->pixels);
        EXPECT_EQ(+h->thumbnail->width, 700);
        ASSERT_TRUE(h->macroImages && h->macroImages[0] && h->macroImages[1]);
        EXPECT_GT(+h->macroImages[0]->encodedLength, 0);
        EXPECT_GT(+h->macroImages[1]->width, +h->macroImages[1]->height);
    }

    // Colour parameters and the mosaic.
    const std::string out = dir.file("colour.pyra");
    Outcome r = pyra({"make", dir.file("in.png"), out, "--colour",
                      "gamma=1.8,gains=1.08:0.94:1.02,hsv=1:1.1:1.05,matrix=1.1:-0.1:0:0:1:0:0:0.05:0.95",
                      "--mosaic", "1500x1100"});
    ASSERT_EQ(r.status, 0) << r.err;
    Handle h = open(out);
    ASSERT_TRUE(h && h->extraInfo);
    EXPECT_EQ(+h->picHead->imageWidth, 1500u);
    EXPECT_EQ(+h->picHead->imageHeight, 1100u);
    VtExtraInfo e;
    std::memcpy(&e, h->extraInfo, sizeof e);
    EXPECT_FLOAT_EQ(e.gamma, 1.8f);
    float gains[3], matrix[9];
    std::memcpy(gains, reinterpret_cast<char *>(&e) + offsetof(VtExtraInfo, channelGains), sizeof gains);
    std::memcpy(matrix, reinterpret_cast<char *>(&e) + offsetof(VtExtraInfo, colorMatrix), sizeof matrix);
    EXPECT_FLOAT_EQ(gains[1], 0.94f);
    EXPECT_FLOAT_EQ(matrix[1], -0.1f);
    EXPECT_FLOAT_EQ(matrix[8], 0.95f);
    EXPECT_LE(+h->thumbnail->width, 1024);
}

// Every command that reads a slide names the reason the library's open sequence
// found, one case per kind of bad file.
TEST_F(Cli, BadSlideFilesSayWhy)
{
    const std::string text = writeFile(dir.file("notes.txt"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string empty = writeFile(dir.file("empty.pyra"), Bytes{});
    const std::string missing = dir.file("missing.pyra");
    auto damaged = [&](Damage damage, int layer, const std::string &name) {
        Slide s = makeSlide(3, 2, 2, 0, 64, 64, 7);
        s.damage = damage;
        s.damageLayer = layer;
        return writeSlide(dir.file(name), s);
    };
    struct Case {
        std::string path;
        std::string reason;  // the message after "PATH: "
    };
    const Case cases[] = {
        {missing, "no such file"},
        {dir.path(), "is a directory"},
        {empty, "empty file"},
        {text, "not a slide file"},
        {damaged(Damage::PersonMagic, 0, "person.pyra"), "damaged slide: person information at offset 156"},
        {damaged(Damage::LayerMagic, 1, "layer.pyra"), "damaged slide: layer 1 record"},
        {damaged(Damage::TruncateTileTable, 0, "table.pyra"), "damaged slide: layer 1 tile table"},
    };
    for (const Case &c : cases) {
        const std::vector<std::vector<std::string>> commands = {
            {"info", c.path},
            {"hash", c.path},
            {"assoc", c.path, "label", "-o", dir.file("x.jpg")},
            {"tile", c.path, "0", "0", "0", "-o", dir.file("x.jpg")},
            {"region", c.path, "0", "0", "0", "8", "8", "-o", dir.file("x.png")},
            {"export", c.path, dir.file("out")},
        };
        for (const auto &args : commands) {
            Outcome r = pyra(args);
            EXPECT_EQ(r.status, 1) << args[0] << " " << c.reason;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("pyra " + args[0] + ": " + c.path + ": " + c.reason, 0), 0u) << r.err;
            EXPECT_EQ(lines(r.err), 1u) << r.err;
        }
    }
}

TEST_F(Cli, FailuresAreOneLineNamingTheFile)
{
    const std::string good = jpegSlide();
    const std::string text = writeFile(dir.file("notes.txt"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string missing = dir.file("missing.pyra");
    struct Case {
        std::vector<std::string> args;
        std::string expect;  // part of the message
    };
    const Case cases[] = {
        {{"region", good, "2", "0", "0", "1", "1", "-o", dir.file("x.png")}, "no layer 2"},
        {{"region", good, "0", "0", "0", "1", "1", "-o", dir.file("x.tif")}, "unknown image type '.tif'"},
        {{"region", good, "0", "0", "0", "0", "1", "-o", dir.file("x.png")}, "W: Value 0 not in range 1"},
        {{"assoc", good, "slide", "-o", dir.file("x.png")}, "unknown picture 'slide'"},
        {{"tile", good, "0", "0", "0", "-o", dir.file("no/such/dir/x.jpg")}, "cannot create"},
        {{"info", good, "--colour"}, "argument was not expected: --colour"},
        {{"info"}, "SLIDE is required"},
        {{"make", missing, dir.file("m.pyra")}, missing + ": no such file"},
        {{"make", text, dir.file("m.pyra")}, text + ": not a PNG or JPEG image"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const Case &c : cases) {
        Outcome r = pyra(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.expect;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    }
}

TEST_F(Cli, UnreadableFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string path = jpegSlide();
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    Outcome r = pyra({"info", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pyra info: " + path + ": cannot be read: Permission denied\n");
}

}  // namespace
