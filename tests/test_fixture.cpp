// The slide writer's layout, checked at byte level without the library's readers.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Fixture.h"
#include "slidewriter/ImageFiles.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace fixture;

namespace {

template <typename T>
T at(const Bytes &b, uint64_t offset)
{
    T v;
    EXPECT_LE(offset + sizeof v, b.size());
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

bool magicAt(const Bytes &b, uint64_t offset, const char *letters)
{
    return offset + 2 <= b.size() && b[offset] == letters[0] && b[offset + 1] == letters[1];
}

// Follows the associated-image chain from 7732 and returns where its last hop lands.
uint64_t chainEnd(const Bytes &b, uint32_t count)
{
    uint64_t pos = 7732;
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_TRUE(magicAt(b, pos, "MI")) << "record " << i;
        pos = at<uint64_t>(b, pos + offsetof(VtMacrographInfo, nextOffset));
    }
    return pos;
}

// Small JPEG slide: 2x2 tiles of 64 on layer 0.
Slide smallSlide() { return makeSlide(2, 2, 2, 0, 64, 64, 7); }

}  // namespace

TEST(Fixture, HeaderFieldsSitAtTheirOffsets)
{
    Slide s = smallSlide();
    s.mpp = 0.5;
    s.appMag = 20;
    s.quality = 77;
    s.ratio = 2.5f;
    Bytes b = serialise(s);
    EXPECT_TRUE(magicAt(b, 0, "VT"));
    EXPECT_EQ(at<uint32_t>(b, 30), 2u);
    EXPECT_EQ(at<uint32_t>(b, 34), 1u);
    EXPECT_EQ(at<uint32_t>(b, 38), 2u);
    EXPECT_EQ(at<uint32_t>(b, 42), 2u * 64 - s.layers[0].boundWidth);
    EXPECT_EQ(at<uint32_t>(b, 46), 2u * 64 - s.layers[0].boundHeight);
    EXPECT_EQ(at<uint32_t>(b, 50), 64u);
    EXPECT_EQ(at<uint32_t>(b, 54), 64u);
    EXPECT_EQ(at<uint32_t>(b, 58), 160u);
    EXPECT_EQ(at<uint32_t>(b, 62), 120u);
    EXPECT_EQ(b[67], 77);
    EXPECT_EQ(at<float>(b, 72), 2.5f);
    EXPECT_EQ(at<double>(b, 76), 0.5);
    EXPECT_EQ(at<uint32_t>(b, 84), 20u);
    EXPECT_EQ(at<uint64_t>(b, 88), 1u);
    EXPECT_EQ(b[104], 0);
    EXPECT_TRUE(magicAt(b, 156, "PI"));
    EXPECT_TRUE(magicAt(b, 6964, "EI"));
    EXPECT_EQ(at<float>(b, 6964 + 34), 1.0f);
}

TEST(Fixture, ThumbnailFollowsTheChainWithPersonInfoAndSitsAt156Without)
{
    Slide s = smallSlide();
    Bytes with = serialise(s);
    uint64_t thumb = chainEnd(with, 2);
    EXPECT_GT(thumb, 7732u);
    EXPECT_TRUE(magicAt(with, thumb, "IF"));
    uint64_t length = at<uint64_t>(with, thumb + offsetof(VtPicInfo, dataLength));
    Image decoded = decodeJpegPlain(Bytes(with.begin() + thumb + 122, with.begin() + thumb + 122 + length));
    EXPECT_EQ(decoded.width, 160);
    EXPECT_EQ(decoded.height, 120);
    uint64_t layer0 = at<uint64_t>(with, thumb + offsetof(VtPicInfo, nextOffset));
    EXPECT_EQ(layer0, thumb + 122 + length);
    EXPECT_TRUE(magicAt(with, layer0, "IF"));

    // Without person information: thumbnail at 156, associated images still at 7732.
    s.hasPersonInfo = false;
    Bytes without = serialise(s);
    EXPECT_TRUE(magicAt(without, 156, "IF"));
    EXPECT_EQ(chainEnd(without, 2), 156u);
    uint64_t firstLayer = at<uint64_t>(without, 156 + offsetof(VtPicInfo, nextOffset));
    EXPECT_GT(firstLayer, 7732u);
    EXPECT_TRUE(magicAt(without, firstLayer, "IF"));

    // A thumbnail that would run into the chain at 7732 is refused.
    Slide big = s;
    big.thumbnail = makePattern(600, 400, 1);
    EXPECT_THROW(serialise(big), std::runtime_error);

    // Neither: everything follows the header directly.
    s.associated.clear();
    Bytes bare = serialise(s);
    EXPECT_TRUE(magicAt(bare, 156, "IF"));
    EXPECT_EQ(at<uint32_t>(bare, 30), 0u);
    EXPECT_LT(at<uint64_t>(bare, 156 + offsetof(VtPicInfo, nextOffset)), 7732u);
}

TEST(Fixture, TilesFollowTheirTableInOrder)
{
    Slide s = smallSlide();
    s.layers[0].tiles[1].bytes.clear();  // absent tile takes no room
    Bytes b = serialise(s);
    uint64_t thumb = chainEnd(b, 2);
    uint64_t layer = at<uint64_t>(b, thumb + offsetof(VtPicInfo, nextOffset));
    for (size_t i = 0; i < s.layers.size(); ++i) {
        const Layer &l = s.layers[i];
        ASSERT_TRUE(magicAt(b, layer, "IF"));
        EXPECT_EQ(at<uint32_t>(b, layer + 10), l.tiles.size());
        EXPECT_EQ(at<int32_t>(b, layer + 14), l.xCount);
        EXPECT_EQ(at<int32_t>(b, layer + 18), l.yCount);
        EXPECT_EQ(at<int32_t>(b, layer + 50), l.boundWidth);
        EXPECT_EQ(at<int32_t>(b, layer + 54), l.boundHeight);
        uint64_t offset = layer + 122 + 4 * l.tiles.size();
        for (size_t j = 0; j < l.tiles.size(); ++j) {
            int32_t size = at<int32_t>(b, layer + 122 + 4 * j);
            ASSERT_EQ(static_cast<size_t>(size), l.tiles[j].bytes.size());
            EXPECT_EQ(0, std::memcmp(b.data() + offset, l.tiles[j].bytes.data(), size));
            offset += size;
        }
        uint64_t next = at<uint64_t>(b, layer + offsetof(VtPicInfo, nextOffset));
        if (i + 1 < s.layers.size())
            EXPECT_EQ(next, offset);
        else
            EXPECT_EQ(offset, b.size());
        layer = next;
    }
}

TEST(Fixture, LayersHalveAndTilesDiffer)
{
    Slide s = makeSlide(3, 2, 3, 0, 64, 64, 3);
    ASSERT_EQ(s.layers.size(), 3u);
    EXPECT_EQ(s.layers[0].xCount, 3);
    EXPECT_EQ(s.layers[1].xCount, 2);
    EXPECT_EQ(s.layers[2].xCount, 1);
    EXPECT_EQ(s.layers[2].yCount, 1);
    const Layer &l = s.layers[0];
    for (size_t i = 0; i < l.tiles.size(); ++i)
        for (size_t j = i + 1; j < l.tiles.size(); ++j)
            EXPECT_NE(decodeJpegPlain(l.tiles[i].bytes).bgr, decodeJpegPlain(l.tiles[j].bytes).bgr);
    // Beyond the image the grid is white.
    const Image &src = l.source;
    EXPECT_EQ(src.width, 3 * 64);
    size_t corner = (static_cast<size_t>(src.height - 1) * src.width + src.width - 1) * 3;
    EXPECT_EQ(src.bgr[corner], 255);
    EXPECT_EQ(makePattern(50, 40, 9).bgr, makePattern(50, 40, 9).bgr);
    EXPECT_NE(makePattern(50, 40, 9).bgr, makePattern(50, 40, 10).bgr);
}

TEST(Fixture, JpegRoundTripsCloseToTheSource)
{
    Image img = makePattern(70, 45, 4);
    Image back = decodeJpegPlain(encodeJpeg(img, 95));
    ASSERT_EQ(back.width, 70);
    ASSERT_EQ(back.height, 45);
    double err = 0;
    for (size_t i = 0; i < img.bgr.size(); ++i)
        err += std::abs(int(img.bgr[i]) - int(back.bgr[i]));
    EXPECT_LT(err / img.bgr.size(), 6.0);
    EXPECT_THROW(decodeJpegPlain(Bytes{1, 2, 3, 4}), std::runtime_error);
}

TEST(Fixture, HevcTileIsOneSelfContainedPicture)
{
    Image img = makePattern(64, 48, 5);
    Bytes packet = encodeHevc(img);
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(packet[0], 0);
    EXPECT_EQ(packet[1], 0);

    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    ASSERT_NE(codec, nullptr);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    Bytes padded = packet;
    padded.resize(packet.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = static_cast<int>(packet.size());
    EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
    avcodec_send_packet(ctx, nullptr);
    ASSERT_EQ(avcodec_receive_frame(ctx, frame), 0);
    EXPECT_EQ(frame->width, 64);
    EXPECT_EQ(frame->height, 48);
    EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
    // Luma agrees with BT.601 of the source, up to coding loss.
    double lumaError = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const uint8_t *p = &img.bgr[(y * 64 + x) * 3];
            int expectY = ((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16;
            lumaError += std::abs(frame->data[0][y * frame->linesize[0] + x] - expectY);
        }
    lumaError /= 64 * 48;
    EXPECT_LT(lumaError, 2.0);
    RecordProperty("meanLumaError", std::to_string(lumaError));
    printf("mean luma error %.2f, packet %zu bytes\n", lumaError, packet.size());
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);

    Slide s = makeSlide(2, 1, 1, 4, 64, 64, 2);
    EXPECT_EQ(s.layers[0].tiles.size(), 2u);
    EXPECT_EQ(serialise(s)[104], 4);
}

TEST(Fixture, BmpRowsAreBottomUpAndPadded)
{
    Image img = makePattern(5, 3, 6);  // 15 bytes per row at 24 bits: padded to 16
    for (int bits : {24, 32}) {
        Bytes bmp = encodeBmp(img, bits);
        const size_t bpp = bits / 8, stride = (bpp * 5 + 3) & ~size_t(3);
        ASSERT_EQ(bmp.size(), 54 + stride * 3);
        EXPECT_TRUE(magicAt(bmp, 0, "BM"));
        EXPECT_EQ(at<uint32_t>(bmp, 10), 54u);
        EXPECT_EQ(at<uint32_t>(bmp, 14), 40u);
        EXPECT_EQ(at<int32_t>(bmp, 18), 5);
        EXPECT_EQ(at<int32_t>(bmp, 22), 3);
        EXPECT_EQ(at<uint16_t>(bmp, 28), bits);
        // Top-left source pixel is the first pixel of the last stored row.
        EXPECT_EQ(0, std::memcmp(&bmp[54 + 2 * stride], &img.bgr[0], 3));
        EXPECT_EQ(0, std::memcmp(&bmp[54], &img.bgr[2 * 5 * 3], 3));
    }
}

TEST(Fixture, EachDamageBreaksExactlyItsRecord)
{
    Slide s = smallSlide();
    Bytes clean = serialise(s);
    uint64_t thumb = chainEnd(clean, 2);
    uint64_t layer0 = at<uint64_t>(clean, thumb + offsetof(VtPicInfo, nextOffset));
    uint64_t layer1 = at<uint64_t>(clean, layer0 + offsetof(VtPicInfo, nextOffset));

    struct Case {
        Damage damage;
        int layer;
        uint64_t magic;
    } cases[] = {{Damage::HeadMagic, 0, 0},
                 {Damage::PersonMagic, 0, 156},
                 {Damage::ExtraMagic, 0, 6964},
                 {Damage::LabelMagic, 0, 7732},
                 {Damage::MacroMagic, 0, at<uint64_t>(clean, 7732 + 43)},
                 {Damage::ThumbMagic, 0, thumb},
                 {Damage::LayerMagic, 1, layer1}};
    for (const Case &c : cases) {
        s.damage = c.damage;
        s.damageLayer = c.layer;
        Bytes b = serialise(s);
        ASSERT_EQ(b.size(), clean.size());
        EXPECT_NE(0, std::memcmp(&b[c.magic], &clean[c.magic], 2)) << int(c.damage);
        b[c.magic] = clean[c.magic];
        b[c.magic + 1] = clean[c.magic + 1];
        EXPECT_EQ(b, clean) << int(c.damage);
    }

    s.damage = Damage::ChainPastEnd;
    s.damageLayer = 1;
    Bytes b = serialise(s);
    EXPECT_GT(at<uint64_t>(b, layer0 + offsetof(VtPicInfo, nextOffset)), b.size());

    s.damage = Damage::TruncateTileTable;
    b = serialise(s);
    EXPECT_GT(b.size(), layer1 + 122);
    EXPECT_LT(b.size(), layer1 + 122 + 4 * s.layers[1].tiles.size());

    s.damage = Damage::TruncateTileData;
    b = serialise(s);
    EXPECT_GT(b.size(), layer1 + 122 + 4 * s.layers[1].tiles.size());
    EXPECT_LT(b.size(), clean.size());

    s.damage = Damage::None;
    s.macroImageCount = 3;
    s.layerCount = 5;
    s.layers[0].tileCount = 2;
    s.layers[0].tiles[0].storedSize = -100;
    b = serialise(s);
    EXPECT_EQ(at<uint32_t>(b, 30), 3u);
    EXPECT_EQ(at<uint32_t>(b, 38), 5u);
    EXPECT_EQ(at<uint32_t>(b, layer0 + 10), 2u);
    EXPECT_EQ(at<int32_t>(b, layer0 + 122), -100);
    // Two table entries, then those two tiles' bytes; the next layer follows them.
    uint64_t expectNext =
        layer0 + 122 + 8 + s.layers[0].tiles[0].bytes.size() + s.layers[0].tiles[1].bytes.size();
    EXPECT_EQ(at<uint64_t>(b, layer0 + offsetof(VtPicInfo, nextOffset)), expectNext);
}

TEST(Fixture, ThumbnailRecordNamesItsFormatAndHoldsItsBytes)
{
    Slide s = smallSlide();
    s.thumbFormat = 1;
    s.thumbBmpBits = 32;
    Bytes b = serialise(s);
    uint64_t thumb = chainEnd(b, 2);
    EXPECT_EQ(b[thumb + 58], 1);
    EXPECT_EQ(at<uint64_t>(b, thumb + 22), 54u + 160 * 120 * 4);
    EXPECT_TRUE(magicAt(b, thumb + 122, "BM"));

    s.thumbFormat = 2;
    s.thumbBytes = {9, 8, 7};
    b = serialise(s);
    EXPECT_EQ(b[thumb + 58], 2);
    EXPECT_EQ(at<uint64_t>(b, thumb + 22), 3u);
    EXPECT_EQ(b[thumb + 122], 9);
}

TEST(Fixture, WrittenFileHoldsTheSerialisedBytes)
{
    TempDir dir;
    std::string path = writeSlide(dir.file("a.pyra"), smallSlide());
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 0, SEEK_END);
    EXPECT_EQ(static_cast<size_t>(ftell(f)), serialise(smallSlide()).size());
    fclose(f);
    writeFile(dir.file("empty"), {});
}

TEST(Fixture, TissueIslandsLeaveGlassAroundTissueAlikeForOneSize)
{
    const Image source = mosaic(makePattern(97, 61, 3), 900, 700);
    Image a = source, b = source;
    keepTissueIslands(a);
    keepTissueIslands(b);
    EXPECT_EQ(a.bgr, b.bgr);
    size_t glass = 0, kept = 0;
    for (size_t i = 0; i < a.bgr.size(); i += 3) {
        if (a.bgr[i] == 245 && a.bgr[i + 1] == 245 && a.bgr[i + 2] == 245)
            ++glass;
        else if (std::memcmp(&a.bgr[i], &source.bgr[i], 3) == 0)
            ++kept;
    }
    const size_t pixels = a.bgr.size() / 3;
    // Every pixel is either glass or the picture; both take a real share.
    EXPECT_EQ(glass + kept, pixels);
    EXPECT_GT(glass, pixels / 4);
    EXPECT_GT(kept, pixels / 10);
    // The corners are glass: islands keep away from the edges.
    EXPECT_EQ(a.bgr[0], 245);
    EXPECT_EQ(a.bgr[a.bgr.size() - 1], 245);
}
