// Pictures for the writer: pattern content, and JPEG, HEVC and BMP encoders.
#include "slidewriter/SlideWriter.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace slidewriter {

namespace {

uint32_t hash32(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint8_t clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

struct Shape {
    int kind;  // 0 rectangle, 1 disc, 2 ring
    int cx, cy, rx, ry;
    uint8_t b, g, r;
};

}  // namespace

Image makePattern(int width, int height, uint32_t seed)
{
    Image img;
    img.width = width;
    img.height = height;
    img.bgr.assign(static_cast<size_t>(width) * height * 3, 0);
    if (width <= 0 || height <= 0)
        return img;

    // A handful of hard-edged shapes in seed-chosen places and colours.
    std::vector<Shape> shapes;
    uint32_t state = hash32(seed * 2654435761U + 12345U);
    auto next = [&state]() { return state = hash32(state + 0x9e3779b9U); };
    int shapeCount = 4 + static_cast<int>(next() % 4);
    for (int i = 0; i < shapeCount; ++i) {
        Shape s;
        s.kind = static_cast<int>(next() % 3);
        s.cx = static_cast<int>(next() % static_cast<uint32_t>(width));
        s.cy = static_cast<int>(next() % static_cast<uint32_t>(height));
        s.rx = 4 + static_cast<int>(next() % static_cast<uint32_t>(std::max(1, width / 4)));
        s.ry = 4 + static_cast<int>(next() % static_cast<uint32_t>(std::max(1, height / 4)));
        s.b = static_cast<uint8_t>(next());
        s.g = static_cast<uint8_t>(next());
        s.r = static_cast<uint8_t>(next());
        shapes.push_back(s);
    }
    double phase = (seed % 97) * 0.1;

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // Global gradients: every part of the picture differs from every other.
            int r = 30 + 200 * x / std::max(1, width - 1);
            int g = 30 + 200 * y / std::max(1, height - 1);
            int b = 128 + static_cast<int>(90.0 * std::sin((x + 2 * y) * 0.03 + phase));
            for (const Shape &s : shapes) {
                long dx = x - s.cx, dy = y - s.cy;
                bool inside = false;
                if (s.kind == 0) {
                    inside = std::labs(dx) <= s.rx && std::labs(dy) <= s.ry;
                } else {
                    double d = static_cast<double>(dx * dx) / (s.rx * s.rx) +
                               static_cast<double>(dy * dy) / (s.ry * s.ry);
                    inside = s.kind == 1 ? d <= 1.0 : (d <= 1.0 && d >= 0.5);
                }
                if (inside) {
                    r = s.r;
                    g = s.g;
                    b = s.b;
                }
            }
            // Fine stripes in one band, mild noise everywhere.
            if (((y / 16) % 5) == static_cast<int>(seed % 5) && ((x / 3) & 1))
                r = g = b = (r + g + b) / 6;
            int n = static_cast<int>(hash32(static_cast<uint32_t>(x) * 73856093U ^
                                            static_cast<uint32_t>(y) * 19349663U ^ seed) &
                                     15) -
                    8;
            uint8_t *p = &img.bgr[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = clamp8(b + n);
            p[1] = clamp8(g + n);
            p[2] = clamp8(r + n);
        }
    }
    return img;
}

Image makeFlat(int width, int height, uint8_t value)
{
    Image img;
    img.width = width;
    img.height = height;
    img.bgr.assign(static_cast<size_t>(std::max(0, width)) * std::max(0, height) * 3, value);
    return img;
}

Image crop(const Image &src, int x, int y, int width, int height, uint8_t fill)
{
    Image out = makeFlat(width, height, fill);
    for (int row = 0; row < height; ++row) {
        int sy = y + row;
        if (sy < 0 || sy >= src.height)
            continue;
        int x0 = std::max(0, x), x1 = std::min(src.width, x + width);
        if (x1 <= x0)
            continue;
        std::memcpy(&out.bgr[(static_cast<size_t>(row) * width + (x0 - x)) * 3],
                    &src.bgr[(static_cast<size_t>(sy) * src.width + x0) * 3],
                    static_cast<size_t>(x1 - x0) * 3);
    }
    return out;
}

// ---- JPEG ----

namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<JpegError *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void jpegSilent(j_common_ptr) {}

}  // namespace

Bytes encodeJpeg(const Image &img, int quality)
{
    if (img.width <= 0 || img.height <= 0 || img.bgr.size() < static_cast<size_t>(img.width) * img.height * 3)
        throw std::runtime_error("encodeJpeg: empty or short image");
    jpeg_compress_struct cinfo;
    JpegError err;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.output_message = jpegSilent;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        throw std::runtime_error(std::string("encodeJpeg: ") + err.message);
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(img.width);
    cinfo.image_height = static_cast<JDIMENSION>(img.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(&img.bgr[static_cast<size_t>(cinfo.next_scanline) * img.width * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

Image decodeJpegPlain(const Bytes &jpeg)
{
    jpeg_decompress_struct cinfo;
    JpegError err;
    // Made before setjmp and never reassigned, so it is intact after a jump.
    auto result = std::make_unique<Image>();
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.output_message = jpegSilent;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        throw std::runtime_error(std::string("decodeJpegPlain: ") + err.message);
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    result->width = static_cast<int>(cinfo.output_width);
    result->height = static_cast<int>(cinfo.output_height);
    result->bgr.resize(static_cast<size_t>(result->width) * result->height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &result->bgr[static_cast<size_t>(cinfo.output_scanline) * result->width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return std::move(*result);
}

// ---- HEVC ----

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

// BT.601 limited range, chroma from the mean of each 2x2 block.
void bgrToYuv420p(const Image &img, AVFrame *frame)
{
    const int w = img.width, h = img.height;
    auto px = [&](int x, int y) { return &img.bgr[(static_cast<size_t>(y) * w + x) * 3]; };
    for (int y = 0; y < h; ++y) {
        uint8_t *dst = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < w; ++x) {
            const uint8_t *p = px(x, y);
            int b = p[0], g = p[1], r = p[2];
            dst[x] = clamp8(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        }
    }
    for (int cy = 0; cy < (h + 1) / 2; ++cy) {
        uint8_t *du = frame->data[1] + static_cast<ptrdiff_t>(cy) * frame->linesize[1];
        uint8_t *dv = frame->data[2] + static_cast<ptrdiff_t>(cy) * frame->linesize[2];
        for (int cx = 0; cx < (w + 1) / 2; ++cx) {
            int sb = 0, sg = 0, sr = 0, n = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    int x = 2 * cx + dx, y = 2 * cy + dy;
                    if (x >= w || y >= h)
                        continue;
                    const uint8_t *p = px(x, y);
                    sb += p[0];
                    sg += p[1];
                    sr += p[2];
                    ++n;
                }
            int b = (sb + n / 2) / n, g = (sg + n / 2) / n, r = (sr + n / 2) / n;
            du[cx] = clamp8(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            dv[cx] = clamp8(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
}

}  // namespace

Bytes encodeHevc(const Image &img)
{
    if (img.width <= 0 || img.height <= 0 || img.bgr.size() < static_cast<size_t>(img.width) * img.height * 3)
        throw std::runtime_error("encodeHevc: empty or short image");
    // 4:2:0 pictures must have even sides for the encoder.
    if (img.width % 2 || img.height % 2)
        throw std::runtime_error("encodeHevc: width and height must be even");
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec *codec = avcodec_find_encoder_by_name("libx265");
    if (!codec)
        throw std::runtime_error("encodeHevc: libx265 encoder not available");
    std::unique_ptr<AVCodecContext, CodecContextDeleter> ctx(avcodec_alloc_context3(codec));
    ctx->width = img.width;
    ctx->height = img.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 25};
    ctx->framerate = AVRational{25, 1};
    ctx->gop_size = 1;
    ctx->max_b_frames = 0;
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    // No global header: parameter sets go in-band, so the packet stands alone.
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "crf", "18", 0);  // close to the source, so pixel checks stay tight
    av_opt_set(ctx->priv_data, "x265-params", "log-level=none:keyint=1:frame-threads=1:pools=none:info=0", 0);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        throw std::runtime_error("encodeHevc: cannot open libx265");

    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = img.width;
    frame->height = img.height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        throw std::runtime_error("encodeHevc: no frame buffer");
    bgrToYuv420p(img, frame.get());
    frame->pts = 0;
    frame->pict_type = AV_PICTURE_TYPE_I;

    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    Bytes out;
    auto drain = [&]() {
        for (;;) {
            int rc = avcodec_receive_packet(ctx.get(), packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return;
            if (rc < 0)
                throw std::runtime_error("encodeHevc: encoding failed");
            out.insert(out.end(), packet->data, packet->data + packet->size);
            av_packet_unref(packet.get());
        }
    };
    if (avcodec_send_frame(ctx.get(), frame.get()) < 0)
        throw std::runtime_error("encodeHevc: cannot send frame");
    drain();
    avcodec_send_frame(ctx.get(), nullptr);
    drain();
    if (out.empty())
        throw std::runtime_error("encodeHevc: no packet");
    return out;
}

// ---- BMP ----

Bytes encodeBmp(const Image &img, int bitsPerPixel)
{
    if (bitsPerPixel != 24 && bitsPerPixel != 32)
        throw std::runtime_error("encodeBmp: 24 or 32 bits per pixel");
    const int bpp = bitsPerPixel / 8;
    const size_t stride = (static_cast<size_t>(bpp) * img.width + 3) & ~static_cast<size_t>(3);
    const size_t pixelBytes = stride * img.height;
    Bytes out(54 + pixelBytes, 0);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&out[at], &v, 4); };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, static_cast<uint32_t>(out.size()));
    put32(10, 54);
    BmpInfo info{};
    info.headerSize = 40;
    info.width = img.width;
    info.height = img.height;
    info.planes = 1;
    info.bitCount = static_cast<uint16_t>(bitsPerPixel);
    info.compression = 0;
    info.imageSize = static_cast<uint32_t>(pixelBytes);
    info.xPelsPerMeter = 2835;
    info.yPelsPerMeter = 2835;
    std::memcpy(&out[14], &info, sizeof info);
    for (int y = 0; y < img.height; ++y) {
        // Bottom row first.
        uint8_t *dst = &out[54 + stride * (img.height - 1 - y)];
        for (int x = 0; x < img.width; ++x) {
            const uint8_t *p = &img.bgr[(static_cast<size_t>(y) * img.width + x) * 3];
            dst[x * bpp + 0] = p[0];
            dst[x * bpp + 1] = p[1];
            dst[x * bpp + 2] = p[2];
            if (bpp == 4)
                dst[x * bpp + 3] = 255;
        }
    }
    return out;
}

}  // namespace slidewriter
