// HEVC tiles: one self-contained picture per tile, decoded with libavcodec and
// converted from YUV 4:2:0 to packed pixels through a colour table.
#include "DecodeHevc/DecodeHevc.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "ColorCorrect/ColorCorrect.h"
#include "DecodeHevc/YuvConvert.h"

namespace {

void writeMessage(const char *text)
{
#if defined(_WIN32)
    std::fprintf(stderr, "%s", text);
#else
    std::fwrite(text, 1, std::strlen(text), stderr);
#endif
}

struct ContextDeleter {
    void operator()(AVCodecContext *ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

// Decodes one picture and hands its planes to `convert` when it is an 8-bit
// 4:2:0 picture of exactly width x height; -1 otherwise.
template <typename Convert>
int decodePicture(const unsigned char *data, int width, int height, int length, Convert &&convert)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec) {
        writeMessage("Codec not found AV_CODEC_ID_H265\n");
        return -1;
    }
    std::unique_ptr<AVCodecContext, ContextDeleter> ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        writeMessage("Could not allocate audio codec context\n");
        return -1;
    }
    // Callers parallelise over tiles; each tile decodes on the calling thread.
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        writeMessage("Could not open codec\n");
        return -1;
    }
    // Declared so that the packet goes first, then the frame, then the context.
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!packet || !frame)
        return -1;

    // libavcodec reads past the end of packet data; av_new_packet zeroes the padding.
    if (av_new_packet(packet.get(), length) < 0)
        return -1;
    std::memcpy(packet->data, data, static_cast<size_t>(length));

    if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
        return -1;
    int status = avcodec_receive_frame(ctx.get(), frame.get());
    if (status == AVERROR(EAGAIN)) {
        // A stream that declares reordering holds its only picture back until
        // the end of the stream is signalled.
        if (avcodec_send_packet(ctx.get(), nullptr) < 0)
            return -1;
        status = avcodec_receive_frame(ctx.get(), frame.get());
    }
    if (status < 0)
        return -1;

    const AVFrame &pic = *frame;
    if (pic.width != width || pic.height != height)
        return -1;
    if (pic.format != AV_PIX_FMT_YUV420P && pic.format != AV_PIX_FMT_YUVJ420P)
        return -1;
    if (!pic.data[0] || !pic.data[1] || !pic.data[2])
        return -1;

    const pyradec::YuvPlanes planes{pic.data[0],     pic.data[1],     pic.data[2],
                                    pic.linesize[0], pic.linesize[1], pic.linesize[2]};
    return convert(planes);
}

bool validPictureArgs(const void *in, const void *out, int width, int height, int layout)
{
    if (!in || !out || width <= 0 || height <= 0)
        return false;
    const int64_t bytes = int64_t(width) * height * pyradec::bytesPerPixelOf(layout);
    return bytes <= std::numeric_limits<int>::max();
}

// Planes of the contiguous planar buffer: Y, then U and V of (w+1)/2 x (h+1)/2.
pyradec::YuvPlanes planarBufferPlanes(const unsigned char *yuv, int width, int height)
{
    const size_t cw = (size_t(width) + 1) / 2;
    const size_t ch = (size_t(height) + 1) / 2;
    const unsigned char *u = yuv + size_t(width) * height;
    const unsigned char *v = u + cw * ch;
    return {yuv, u, v, ptrdiff_t(width), ptrdiff_t(cw), ptrdiff_t(cw)};
}

}  // namespace

namespace pyradec {

int decodeHevc(const unsigned char *data, int width, int height, int length, unsigned char *out, int layout,
               const ColorCorrectTable *table)
{
    if (!validPictureArgs(data, out, width, height, layout) || length <= 0)
        return -1;
    return decodePicture(data, width, height, length, [&](const YuvPlanes &planes) {
        return convertYuv420(planes, out, width, height, layout, table);
    });
}

int yuv420pToPixels(const unsigned char *yuv, unsigned char *out, int width, int height, int layout,
                    const ColorCorrectTable *table)
{
    if (!validPictureArgs(yuv, out, width, height, layout))
        return -1;
    return convertYuv420(planarBufferPlanes(yuv, width, height), out, width, height, layout, table);
}

}  // namespace pyradec

int Yuv420pRgb(const unsigned char *yuv, unsigned char *out, int width, int height, _ColorSpace layout)
{
    const pyradec::CurrentColorTable table;
    if (!table.get())
        return -1;
    return pyradec::yuv420pToPixels(yuv, out, width, height, static_cast<int>(layout), table.get());
}

int DecodeHevc(const unsigned char *data, int width, int height, int length, unsigned char *out, int layout)
{
    if (!validPictureArgs(data, out, width, height, layout) || length <= 0)
        return -1;
    // Held for the whole call: a close on another thread cannot free it meanwhile.
    const pyradec::CurrentColorTable table;
    return decodePicture(data, width, height, length, [&](const pyradec::YuvPlanes &planes) {
        // Without a table the tile still decodes, and the call fails with the
        // output untouched.
        if (!table.get())
            return -1;
        return pyradec::convertYuv420(planes, out, width, height, layout, table.get());
    });
}
