// File layer, record readers and release functions on writer-made slide files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "DecodePyra/FileIO.h"
#include "DecodePyra/Records.h"
#include "Fixture.h"

using namespace fixture;

namespace {

struct FileCloser {
    void operator()(FILE *f) const { VtCloseFile(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File openFile(const std::string &path) { return File(VtOpenFile(path.c_str(), "rb")); }

// A small slide without tile content to speak of: readers only look at records.
Slide smallSlide() { return makeSlide(2, 1, 2, 0, 64, 64); }

template <typename T>
T recordAt(const Bytes &bytes, uint64_t offset)
{
    T record;
    std::memcpy(&record, bytes.data() + offset, sizeof record);
    return record;
}

// Offset of the thumbnail record as the layout places it: after the associated
// chain when there is person information and images, otherwise right after the header.
uint64_t expectedThumbnailOffset(const Bytes &bytes)
{
    auto head = recordAt<VtPicHead>(bytes, 0);
    if (head.macroImageCount == 0 || head.hasPersonInfo == 0)
        return 156;
    uint64_t at = 7732;
    for (uint32_t i = 0; i < head.macroImageCount; ++i)
        at += 123 + recordAt<VtMacrographInfo>(bytes, at).dataLength;
    return at;
}

class RecordReaders : public ::testing::Test {
protected:
    TempDir dir;
    std::string write(const Slide &slide, const std::string &name = "slide.pyra")
    {
        return writeSlide(dir.file(name), slide);
    }
};

// ---- file layer ----

TEST_F(RecordReaders, FileSizeRewindsAndReportsLength)
{
    auto path = writeFile(dir.file("ten"), Bytes(10, 7));
    File f = openFile(path);
    ASSERT_TRUE(f);
    VtFseeki64(f.get(), 4, SEEK_SET);
    EXPECT_EQ(VtGetFileSize(f.get()), 10);
    EXPECT_EQ(VtFtelli64(f.get()), 0);
    EXPECT_EQ(VtGetFileSize(nullptr), -1);
    EXPECT_EQ(VtGetFileSizeSystemCall(path.c_str()), 10);
    EXPECT_EQ(VtGetFileSizeSystemCall(dir.file("missing").c_str()), -1);

    auto empty = writeFile(dir.file("empty"), {});
    File e = openFile(empty);
    EXPECT_EQ(VtGetFileSize(e.get()), 0);
}

TEST_F(RecordReaders, ZeroByteReadsSucceedAndReadsPastTheEndFail)
{
    File f = openFile(writeFile(dir.file("ten"), Bytes(10, 7)));
    unsigned char buffer[16];
    EXPECT_TRUE(pyradec::readComplete(buffer, 0, 5, f.get()));
    EXPECT_TRUE(pyradec::readComplete(buffer, 5, 0, f.get()));
    VtFseeki64(f.get(), 10, SEEK_SET);
    EXPECT_EQ(VtReadData(buffer, 1, 1, f.get()), 0);
    EXPECT_FALSE(pyradec::readComplete(buffer, 1, 1, f.get()));
    VtRewind(f.get());
    EXPECT_FALSE(pyradec::readComplete(buffer, 11, 1, f.get()));
    // Null arguments of the release-like helpers do nothing.
    VtCloseFile(nullptr);
    VtFreeMemory(nullptr);
    EXPECT_EQ(VtOpenFile(dir.file("missing").c_str(), "rb"), nullptr);
}

// ---- header, person and extra information ----

TEST_F(RecordReaders, PicHeadStatuses)
{
    VtPicHead head;
    EXPECT_EQ(VtGetPicHead(nullptr, &head), VT_ERR_NO_FILE);
    File empty = openFile(writeFile(dir.file("empty"), {}));
    EXPECT_EQ(VtGetPicHead(empty.get(), nullptr), VT_ERR_NO_FILE);  // file test comes first
    EXPECT_EQ(VtGetPicHead(empty.get(), &head), VT_ERR_NO_FILE);

    File good = openFile(write(smallSlide()));
    EXPECT_EQ(VtGetPicHead(good.get(), nullptr), VT_ERR_NULL_ARG);
    VtFseeki64(good.get(), 1000, SEEK_SET);
    EXPECT_EQ(VtGetPicHead(good.get(), &head), VT_OK);
    EXPECT_EQ(VtFtelli64(good.get()), 156);
    EXPECT_EQ(+head.layerCount, 2u);
    EXPECT_EQ(+head.tileWidth, 64u);
}

TEST_F(RecordReaders, WrongHeaderMagicFailsEveryReader)
{
    Slide slide = smallSlide();
    slide.damage = Damage::HeadMagic;
    File f = openFile(write(slide));
    VtPicHead head;
    VtPersonInfo person;
    VtExtraInfo extra;
    VtPicInfo info;
    EXPECT_EQ(VtGetPicHead(f.get(), &head), VT_ERR_HEAD_MAGIC);
    EXPECT_EQ(VtGetPersonInfo(f.get(), &person), VT_ERR_HEAD_MAGIC);
    EXPECT_EQ(VtGetExtraInfo(f.get(), &extra), VT_ERR_HEAD_MAGIC);
    EXPECT_EQ(VtGetCurThumbnailOffset(f.get(), &head), VT_ERR_HEAD_MAGIC);
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 0), VT_ERR_HEAD_MAGIC);
    EXPECT_EQ(VtGetPicInfoOfSpecifyLayer(f.get(), &info, 0), VT_ERR_HEAD_MAGIC);
}

TEST_F(RecordReaders, PersonAndExtraInformationStatuses)
{
    struct Case {
        const char *name;
        bool hasPerson;
        bool hasExtra;
        Damage damage;
        int person;
        int extra;
    } cases[] = {
        {"both present", true, true, Damage::None, VT_OK, VT_OK},
        {"no extra information", true, false, Damage::None, VT_OK, VT_ERR_ABSENT},
        {"extra without person counts as absent", false, true, Damage::None, VT_ERR_ABSENT, VT_ERR_ABSENT},
        {"wrong person magic", true, true, Damage::PersonMagic, VT_ERR_PERSON_MAGIC, VT_OK},
        {"wrong extra magic", true, true, Damage::ExtraMagic, VT_OK, VT_ERR_EXTRA_MAGIC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = smallSlide();
        slide.hasPersonInfo = c.hasPerson;
        slide.hasExtraInfo = c.hasExtra;
        slide.damage = c.damage;
        if (!c.hasPerson) {
            slide.associated.clear();
        }
        slide.colour.gamma = 1.75f;
        File f = openFile(write(slide, std::string(c.name) + ".pyra"));
        VtPersonInfo person;
        VtExtraInfo extra;
        EXPECT_EQ(VtGetPersonInfo(f.get(), &person), c.person);
        EXPECT_EQ(VtGetExtraInfo(f.get(), &extra), c.extra);
        if (c.extra == VT_OK) {
            EXPECT_FLOAT_EQ(+extra.gamma, 1.75f);
        }
    }
    File f = openFile(write(smallSlide()));
    EXPECT_EQ(VtGetPersonInfo(f.get(), nullptr), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtGetExtraInfo(f.get(), nullptr), VT_ERR_NULL_ARG);
    EXPECT_EQ(VtGetPersonInfo(nullptr, nullptr), VT_ERR_NULL_ARG);  // before the file is touched
}

// ---- thumbnail and layer positions ----

TEST_F(RecordReaders, ThumbnailOffsetFollowsTheAssociatedChain)
{
    struct Case {
        const char *name;
        bool hasPerson;
        bool withImages;
    } cases[] = {
        {"person and images", true, true},
        {"no images", false, false},
        {"images without person information", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = smallSlide();
        slide.hasPersonInfo = c.hasPerson;
        if (!c.withImages)
            slide.associated.clear();
        if (!c.hasPerson)
            slide.thumbnail = makePattern(32, 24, 5);  // must fit between 156 and 7732
        Bytes bytes = serialise(slide);
        File f = openFile(writeFile(dir.file(std::string(c.name) + ".pyra"), bytes));
        VtPicHead head;
        const int64_t offset = VtGetCurThumbnailOffset(f.get(), &head);
        EXPECT_EQ(offset, static_cast<int64_t>(expectedThumbnailOffset(bytes)));
        EXPECT_EQ(+head.layerCount, 2u);  // header filled as a side effect
        if (c.withImages && !c.hasPerson) {
            EXPECT_EQ(offset, 156);
        }
    }
}

TEST_F(RecordReaders, ThumbnailLookupWithoutImagesLandsOnPersonInformation)
{
    Slide slide = smallSlide();
    slide.associated.clear();  // person information present, no chain
    File f = openFile(write(slide));
    VtPicHead head;
    EXPECT_EQ(VtGetCurThumbnailOffset(f.get(), &head), 156);
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 0), VT_ERR_PIC_INFO_MAGIC);  // "PI" is not "IF"
}

TEST_F(RecordReaders, LayerOffsetsWalkTheChain)
{
    Bytes bytes = serialise(smallSlide());
    File f = openFile(writeFile(dir.file("s.pyra"), bytes));
    VtPicHead head;
    const uint64_t thumb = expectedThumbnailOffset(bytes);
    const uint64_t layer0 = recordAt<VtPicInfo>(bytes, thumb).nextOffset;
    const uint64_t layer1 = recordAt<VtPicInfo>(bytes, layer0).nextOffset;
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 0), static_cast<int64_t>(layer0));
    EXPECT_EQ(VtFtelli64(f.get()), static_cast<int64_t>(layer0));
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 1), static_cast<int64_t>(layer1));
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 2), VT_ERR_LAYER);
    EXPECT_EQ(VtGetLayerOffset(f.get(), &head, -1), VT_ERR_LAYER);

    VtPicInfo info;
    EXPECT_EQ(VtGetPicInfoOfSpecifyLayer(f.get(), &info, 1), VT_OK);
    EXPECT_EQ(VtFtelli64(f.get()), static_cast<int64_t>(layer1 + 122));  // start of the tile table
    EXPECT_EQ(+info.tileCount, 1u);
    EXPECT_EQ(VtGetPicInfoOfSpecifyLayer(f.get(), &info, 0), VT_OK);
    EXPECT_EQ(+info.xCount, 2);
    EXPECT_EQ(+info.yCount, 1);
    EXPECT_EQ(VtGetPicInfoOfSpecifyLayer(f.get(), &info, 2), VT_ERR_LAYER);
}

TEST_F(RecordReaders, DamagedChainsReportTheirRecord)
{
    struct Case {
        const char *name;
        Damage damage;
        int damageLayer;
        int64_t thumbnail;  // 0: a valid offset expected
        int64_t layer0;
        int64_t layer1;
        int picInfo1;
    } cases[] = {
        {"label magic", Damage::LabelMagic, 0, VT_ERR_MACRO_MAGIC, VT_ERR_MACRO_MAGIC, VT_ERR_MACRO_MAGIC,
         VT_ERR_MACRO_MAGIC},
        {"macro magic", Damage::MacroMagic, 0, VT_ERR_MACRO_MAGIC, VT_ERR_MACRO_MAGIC, VT_ERR_MACRO_MAGIC,
         VT_ERR_MACRO_MAGIC},
        {"associated chain past the end", Damage::MacroChainPastEnd, 0, VT_ERR_READ, VT_ERR_READ, VT_ERR_READ,
         VT_ERR_READ},
        {"thumbnail magic", Damage::ThumbMagic, 0, 0, VT_ERR_PIC_INFO_MAGIC, VT_ERR_PIC_INFO_MAGIC,
         VT_ERR_PIC_INFO_MAGIC},
        {"layer 0 magic", Damage::LayerMagic, 0, 0, 0, VT_ERR_PIC_INFO_MAGIC, VT_ERR_PIC_INFO_MAGIC},
        {"layer 1 magic", Damage::LayerMagic, 1, 0, 0, 0, VT_ERR_PIC_INFO_MAGIC},
        {"layer chain past the end", Damage::ChainPastEnd, 1, 0, 0, 0, VT_ERR_READ},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Slide slide = smallSlide();
        slide.damage = c.damage;
        slide.damageLayer = c.damageLayer;
        File f = openFile(write(slide, std::string(c.name) + ".pyra"));
        VtPicHead head;
        auto check = [](int64_t got, int64_t want) {
            if (want == 0) {
                EXPECT_GT(got, 0);
            } else
                EXPECT_EQ(got, want);
        };
        check(VtGetCurThumbnailOffset(f.get(), &head), c.thumbnail);
        check(VtGetLayerOffset(f.get(), &head, 0), c.layer0);
        check(VtGetLayerOffset(f.get(), &head, 1), c.layer1);
        // The associated chain is read before the layer index is tested.
        if (c.thumbnail < 0) {
            EXPECT_EQ(VtGetLayerOffset(f.get(), &head, 99), c.thumbnail);
        }
        VtPicInfo info;
        EXPECT_EQ(VtGetPicInfoOfSpecifyLayer(f.get(), &info, 1), c.picInfo1);
    }
}

// ---- release functions ----

template <typename T>
T *block()
{
    return static_cast<T *>(std::calloc(1, sizeof(T)));
}

VtImageInfo *imageWithBuffers(bool encoded, bool pixels)
{
    auto *image = block<VtImageInfo>();
    if (encoded)
        image->encoded = static_cast<unsigned char *>(std::malloc(16));
    if (pixels)
        image->pixels = static_cast<unsigned char *>(std::malloc(16));
    return image;
}

// These run clean under the sanitizers: no leak, no double free.
TEST(ReleaseFunctions, AcceptNull)
{
    DisposePicHead(nullptr);
    DisposePersonInfo(nullptr);
    DisposeExtraInfo(nullptr);
    DisposeMacrographInfo(nullptr, nullptr);
    DisposeMacroImageInfo(nullptr);
    DisposeThumbImageInfo(nullptr);
    DisposeThumbnailInfo(nullptr, nullptr);
    DisposeSliceLayerInfo(nullptr, nullptr, 5);
    DisposeTileImageInfo(nullptr);
    DisposeClassifyRoot(nullptr);
}

TEST(ReleaseFunctions, ReleasePartlyFilledRecords)
{
    // Layer arrays of an open that failed half-way: later entries none.
    auto **infos = static_cast<VtPicInfo **>(std::calloc(3, sizeof(VtPicInfo *)));
    auto **slices = static_cast<VtSliceInfo **>(std::calloc(3, sizeof(VtSliceInfo *)));
    infos[0] = block<VtPicInfo>();
    slices[0] = block<VtSliceInfo>();
    slices[0]->tileOffsets = static_cast<int64_t *>(std::malloc(8));
    slices[0]->tileSizes = static_cast<int32_t *>(std::malloc(4));
    infos[1] = block<VtPicInfo>();
    slices[1] = block<VtSliceInfo>();  // index without tables
    DisposeSliceLayerInfo(infos, slices, 3);
    DisposeSliceLayerInfo(nullptr, static_cast<VtSliceInfo **>(std::calloc(2, sizeof(VtSliceInfo *))), 2);

    // Two-slot image arrays: both none, one filled, both filled.
    DisposeMacroImageInfo(static_cast<VtImageInfo **>(std::calloc(2, sizeof(VtImageInfo *))));
    auto **images = static_cast<VtImageInfo **>(std::calloc(2, sizeof(VtImageInfo *)));
    images[1] = imageWithBuffers(true, false);
    DisposeMacroImageInfo(images);
    DisposeThumbImageInfo(imageWithBuffers(true, true));
    DisposeThumbnailInfo(block<VtPicInfo>(), static_cast<unsigned char *>(std::malloc(4)));

    auto **headers = static_cast<VtMacrographInfo **>(std::calloc(2, sizeof(VtMacrographInfo *)));
    headers[0] = block<VtMacrographInfo>();
    auto **data = static_cast<unsigned char **>(std::calloc(2, sizeof(unsigned char *)));
    data[0] = static_cast<unsigned char *>(std::malloc(8));
    DisposeMacrographInfo(headers, data);

    auto *tile = block<VtTileImageInfo>();
    tile->tileData = static_cast<unsigned char *>(std::malloc(8));
    tile->tileImage = imageWithBuffers(true, true);
    DisposeTileImageInfo(tile);
}

TEST(ReleaseFunctions, ClassifyRootWalksTheCountsInItsHeaders)
{
    // Root without header: only the root goes (its entries are not looked at).
    auto *bare = block<ClassifyRoot>();
    DisposeClassifyRoot(bare);

    auto *root = block<ClassifyRoot>();
    root->header = static_cast<unsigned char *>(std::calloc(1, 146));
    const int32_t entryCount = 3;
    std::memcpy(root->header + 142, &entryCount, 4);
    root->entries = static_cast<ClassifyEntry **>(std::calloc(3, sizeof(ClassifyEntry *)));
    // Entry 0: two items; entry 1: none (passed over); entry 2: header without items.
    auto *first = block<ClassifyEntry>();
    first->header = static_cast<unsigned char *>(std::calloc(1, 14));
    const uint32_t itemCount = 2;
    std::memcpy(first->header + 10, &itemCount, 4);
    first->items = static_cast<unsigned char **>(std::calloc(2, sizeof(unsigned char *)));
    first->items[0] = static_cast<unsigned char *>(std::malloc(4));
    root->entries[0] = first;
    auto *third = block<ClassifyEntry>();
    third->header = static_cast<unsigned char *>(std::calloc(1, 14));
    root->entries[2] = third;
    DisposeClassifyRoot(root);
}

}  // namespace
