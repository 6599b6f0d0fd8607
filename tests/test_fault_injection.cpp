// Slide files that change under an open handle: every read path fails cleanly
// (a negative status or null, no crash, no partial result), and reads work again
// once the file is back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ColorCorrect/ColorCorrect.h"
#include "DecodePyra/JpegCodec.h"
#include "Fixture.h"
#include "Owners.h"

using namespace fixture;

namespace {

constexpr int kTile = 64;

// Every read path that touches stored bytes, on tile (2, 1) or a region over it.
// Returns how many of them succeeded.
int readEverything(VtPyraInfo *pyra)
{
    int served = 0;
    int w = 0, h = 0, length = 0;
    served += Owned<>(GetSliceJpeg(pyra, 0, 2, 1, &w, &h, &length)) != nullptr;
    served += Owned<>(GetSliceBgr(pyra, 0, 2, 1, &w, &h)) != nullptr;
    served += Owned<>(GetRoiSliceBgr(pyra, 0, 100, 50, 80, 60)) != nullptr;
    served += Owned<>(GetRoiSliceJpeg(pyra, 0, 100, 50, 80, 60, &length)) != nullptr;
    unsigned char *data = nullptr;
    if (VtGetHevcSliceOfSpecifyLayer(pyra, &data, &length, 0, 2, 1) == VT_OK) {
        ++served;
        Dispose(data);
    }
    unsigned char *layer = reinterpret_cast<unsigned char *>(1);
    const int status = VtSpecifyLayerJpeg2Rgb(pyra, &layer, &w, &h, 0);
    if (status == VT_OK) {
        ++served;
        Dispose(layer);
    } else {
        EXPECT_EQ(layer, nullptr);  // a failed layer hands out nothing
    }
    VtImageInfo blocks[4] = {};
    if (VtGetBlockJpegFromPyra(pyra, blocks, 75, 2, 2, 0, JCS_EXT_BGR) == VT_OK)
        ++served;
    for (VtImageInfo &b : blocks)
        Dispose(b.encoded);
    return served;
}
constexpr int kReadPaths = 7;

class FaultInjection : public ::testing::Test {
protected:
    void TearDown() override { pyradec::setCurrentColorTable(nullptr); }
    TempDir dir;
};

TEST_F(FaultInjection, FileChangedAfterOpen)
{
    Slide slide = makeSlide(3, 2, 1, 0, kTile, kTile, 1);
    const Bytes original = serialise(slide);
    Slide other = makeSlide(2, 2, 2, 0, kTile, kTile, 9);  // another slide entirely
    struct Case {
        const char *name;
        void (*change)(const std::string &path, const Bytes &original, const Bytes &other);
    } cases[] = {
        {"deleted",
         [](const std::string &path, const Bytes &, const Bytes &) { std::filesystem::remove(path); }},
        {"truncated to its header",
         [](const std::string &path, const Bytes &original, const Bytes &) {
             writeFile(path, Bytes(original.begin(), original.begin() + 156));
         }},
        {"truncated inside the tiles",
         [](const std::string &path, const Bytes &original, const Bytes &) {
             writeFile(path, Bytes(original.begin(), original.end() - 300));
         }},
        {"emptied", [](const std::string &path, const Bytes &, const Bytes &) { writeFile(path, {}); }},
        {"replaced by another slide",
         [](const std::string &path, const Bytes &, const Bytes &other) { writeFile(path, other); }},
        {"replaced by noise", [](const std::string &path, const Bytes &original,
                                 const Bytes &) { writeFile(path, Bytes(original.size(), 0xA5)); }},
        {"replaced by a directory",
         [](const std::string &path, const Bytes &, const Bytes &) {
             std::filesystem::remove(path);
             std::filesystem::create_directory(path);
         }},
    };
    const Bytes otherBytes = serialise(other);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = writeFile(dir.file("slide.pyra"), original);
        Handle pyra(VtOpenPyra(path.c_str()));
        ASSERT_TRUE(pyra);
        ASSERT_EQ(readEverything(pyra.get()), kReadPaths);
        c.change(path, original, otherBytes);
        // Whatever the reads give now, they give it cleanly; the handle's own
        // records still answer.
        readEverything(pyra.get());
        Owned<char> text(GetDescription(pyra.get()));
        EXPECT_TRUE(text);
        // The file comes back: every read works again on the same handle.
        std::filesystem::remove_all(path);
        writeFile(path, original);
        EXPECT_EQ(readEverything(pyra.get()), kReadPaths);
    }
}

TEST_F(FaultInjection, TileTablePromisingMoreThanTheFileHolds)
{
    Slide slide = makeSlide(3, 2, 1, 0, kTile, kTile, 1);
    slide.layers[0].tiles[5].storedSize = 0x7FFFFFFF;  // the last tile, far past the end
    Handle pyra(VtOpenPyra(writeSlide(dir.file("slide.pyra"), slide).c_str()));
    ASSERT_TRUE(pyra);
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    int length = 0;
    EXPECT_EQ(VtGetHevcSliceOfSpecifyLayer(pyra.get(), &out, &length, 0, 2, 1), VT_ERR_READ);
    EXPECT_EQ(VtGetRoiRgbOfSpecifyLayer(pyra.get(), &out, 80, 60, 100, 50, 0), VT_ERR_READ);
    EXPECT_EQ(out, nullptr);
    // The other tiles still serve.
    EXPECT_TRUE(Owned<>(GetRoiSliceBgr(pyra.get(), 0, 0, 0, 128, 64)));
}

}  // namespace
