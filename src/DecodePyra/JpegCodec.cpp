// JPEG in memory on top of libjpeg(-turbo).
//
// libjpeg reports errors by calling error_exit, which must not return. Both
// directions install my_error_exit, which longjmps back. Every setjmp sits in a
// small function of its own that holds only plain data; all state that is read
// after a jump (the libjpeg object, the buffers) lives in the caller's frame, so
// nothing needs to be volatile and no destructor is skipped by the jump.
#include "DecodePyra/JpegCodec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ColorCorrect/ColorCorrect.h"

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    std::jmp_buf jump;
};

int channelsOf(int colorSpace)
{
    switch (colorSpace) {
    case JCS_RGB:
    case JCS_EXT_RGB:
    case JCS_EXT_BGR: return 3;
    case JCS_EXT_RGBA:
    case JCS_EXT_BGRA:
    case JCS_EXT_ABGR:
    case JCS_EXT_ARGB: return 4;
    default: return -1;
    }
}

// Where the colours lie in the pixels of an output colour space; false for the
// spaces whose pixels are not 3 or 4 bytes of red, green and blue (and a constant
// byte), which the colour correction cannot be applied to.
bool pixelOrderOf(int colorSpace, pyradec::PixelOrder &order)
{
    using pyradec::PixelOrder;
    switch (colorSpace) {
    case JCS_RGB:
    case JCS_EXT_RGB: order = PixelOrder::Rgb; return true;
    case JCS_EXT_BGR: order = PixelOrder::Bgr; return true;
    case JCS_EXT_RGBX:
    case JCS_EXT_RGBA: order = PixelOrder::Rgbx; return true;
    case JCS_EXT_BGRX:
    case JCS_EXT_BGRA: order = PixelOrder::Bgrx; return true;
    case JCS_EXT_XBGR:
    case JCS_EXT_ABGR: order = PixelOrder::Xbgr; return true;
    case JCS_EXT_XRGB:
    case JCS_EXT_ARGB: order = PixelOrder::Xrgb; return true;
    default: return false;
    }
}

// ---- encode ----

struct EncodeState {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    // What jpeg_mem_dest writes into; handed out only on success.
    unsigned char *out;
    unsigned long outSize;
    // The block the memory destination owns right now, tracked across its
    // growth so that an error at any point can release it.
    unsigned char *owned;
    size_t ownedSize;
    boolean (*memEmpty)(j_compress_ptr);
};

// Wraps the memory destination's growth step. It is called with the buffer
// full (ownedSize bytes written); afterwards those bytes sit at the start of the
// new block, right before next_output_byte.
boolean trackedEmpty(j_compress_ptr cinfo)
{
    auto *state = static_cast<EncodeState *>(cinfo->client_data);
    const boolean ok = state->memEmpty(cinfo);
    state->owned = cinfo->dest->next_output_byte - state->ownedSize;
    state->ownedSize += cinfo->dest->free_in_buffer;
    return ok;
}

bool compress(EncodeState &s, const unsigned char *pixels, int quality, int width, int height, int colorSpace,
              int bytesPerPixel)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_create_compress(&s.cinfo);
    s.cinfo.client_data = &s;
    jpeg_mem_dest(&s.cinfo, &s.out, &s.outSize);
    s.owned = s.out;
    s.ownedSize = s.outSize;
    s.memEmpty = s.cinfo.dest->empty_output_buffer;
    s.cinfo.dest->empty_output_buffer = trackedEmpty;

    s.cinfo.image_width = static_cast<JDIMENSION>(width);
    s.cinfo.image_height = static_cast<JDIMENSION>(height);
    s.cinfo.input_components = bytesPerPixel;
    s.cinfo.in_color_space = static_cast<J_COLOR_SPACE>(colorSpace);
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, quality, TRUE);
    jpeg_start_compress(&s.cinfo, TRUE);
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    while (s.cinfo.next_scanline < s.cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + s.cinfo.next_scanline * stride);
        jpeg_write_scanlines(&s.cinfo, &row, 1);
    }
    jpeg_finish_compress(&s.cinfo);
    return true;
}

// ---- decode ----

struct DecodeState {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    unsigned char *pixels;  // malloc block, owned until handed out
    size_t size;
};

// Rows handed to one jpeg_read_scanlines call: libjpeg returns as many as its
// upsampler has ready, which saves calls over one row at a time.
constexpr int kRowsPerRead = 16;

// Reads scanlines up to `endRow` into their places in `out` (rows of `stride`
// bytes), correcting each batch while it is still in cache. False when libjpeg
// stops delivering rows.
bool readRows(jpeg_decompress_struct &cinfo, unsigned char *out, size_t stride, JDIMENSION endRow,
              const ColorCorrectTable *table, pyradec::PixelOrder order)
{
    JSAMPROW rows[kRowsPerRead];
    while (cinfo.output_scanline < endRow) {
        const JDIMENSION first = cinfo.output_scanline;
        JDIMENSION want = endRow - first;
        if (want > kRowsPerRead)
            want = kRowsPerRead;
        for (JDIMENSION i = 0; i < want; ++i)
            rows[i] = out + (first + i) * stride;
        const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows, want);
        if (got == 0)
            return false;
        const size_t rowPixels = cinfo.output_width;
        if (stride == rowPixels * static_cast<size_t>(cinfo.output_components)) {
            pyradec::applyColorTable(table, out + first * stride, got * rowPixels, order);
        } else {  // a column window: rows are not contiguous
            for (JDIMENSION i = 0; i < got; ++i)
                pyradec::applyColorTable(table, rows[i], rowPixels, order);
        }
    }
    return true;
}

bool decompress(DecodeState &s, const unsigned char *jpeg, size_t length, int colorSpace,
                pyradec::PixelOrder order, const ColorCorrectTable *table)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_create_decompress(&s.cinfo);
    jpeg_mem_src(&s.cinfo, jpeg, static_cast<unsigned long>(length));
    jpeg_read_header(&s.cinfo, TRUE);
    s.cinfo.out_color_space = static_cast<J_COLOR_SPACE>(colorSpace);
    jpeg_start_decompress(&s.cinfo);
    const int step = s.cinfo.output_components;
    if (step != 3 && step != 4)
        return false;
    const size_t stride = static_cast<size_t>(s.cinfo.output_width) * static_cast<size_t>(step);
    if (stride != 0 && s.cinfo.output_height > std::numeric_limits<size_t>::max() / stride)
        return false;
    s.size = stride * s.cinfo.output_height;
    s.pixels = static_cast<unsigned char *>(std::malloc(s.size));
    if (s.pixels == nullptr)
        return false;
    if (!readRows(s.cinfo, s.pixels, stride, s.cinfo.output_height, table, order))
        return false;
    jpeg_finish_decompress(&s.cinfo);
    return true;
}

// Rows [firstRow, endRow) of a tile of exactly width x height: rows above are
// skipped without being output and decoding stops after the last row wanted
// (libjpeg-turbo's skip gives the rows that follow exactly as a whole decode does).
bool decompressTile(DecodeState &s, const unsigned char *jpeg, size_t length, unsigned char *out, int width,
                    int height, int firstRow, int endRow, int firstCol, int endCol,
                    const ColorCorrectTable *table)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_create_decompress(&s.cinfo);
    jpeg_mem_src(&s.cinfo, jpeg, static_cast<unsigned long>(length));
    jpeg_read_header(&s.cinfo, TRUE);
    // No scaling is set, so the output size is the stored size: refuse before
    // anything is written.
    if (s.cinfo.image_width != static_cast<JDIMENSION>(width) ||
        s.cinfo.image_height != static_cast<JDIMENSION>(height))
        return false;
    s.cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&s.cinfo);
    if (s.cinfo.output_components != 3 || s.cinfo.output_width != static_cast<JDIMENSION>(width) ||
        s.cinfo.output_height != static_cast<JDIMENSION>(height))
        return false;
    // Columns outside [firstCol, endCol) are not decoded when whole iMCU columns lie
    // outside it. The upsampler treats a window's edges as the picture's, so the
    // window keeps a margin beyond the columns wanted: one column on the left
    // (the decoder widens it to an iMCU boundary), two on the right.
    JDIMENSION cropLeft = 0;
    if (firstCol > 0 || endCol < width) {
        JDIMENSION left = static_cast<JDIMENSION>(firstCol > 0 ? firstCol - 1 : 0);
        JDIMENSION cropWidth = static_cast<JDIMENSION>(std::min(endCol + 2, width)) - left;
        jpeg_crop_scanline(&s.cinfo, &left, &cropWidth);
        if (left > static_cast<JDIMENSION>(firstCol) || left + cropWidth < static_cast<JDIMENSION>(endCol) ||
            s.cinfo.output_width != cropWidth)
            return false;
        cropLeft = left;
    }
    if (firstRow > 0 &&
        jpeg_skip_scanlines(&s.cinfo, static_cast<JDIMENSION>(firstRow)) != static_cast<JDIMENSION>(firstRow))
        return false;
    if (!readRows(s.cinfo, out + size_t{cropLeft} * 3, static_cast<size_t>(width) * 3,
                  static_cast<JDIMENSION>(endRow), table, pyradec::PixelOrder::Bgr))
        return false;
    if (endRow == height)
        jpeg_finish_decompress(&s.cinfo);
    else
        jpeg_abort_decompress(&s.cinfo);  // the rows below are not needed
    return true;
}

void initErrors(ErrorManager &err, jpeg_error_mgr *&slot)
{
    slot = jpeg_std_error(&err.pub);
    err.pub.error_exit = my_error_exit;
}

bool readSize(DecodeState &s, const unsigned char *jpeg, size_t length, int *width, int *height)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_create_decompress(&s.cinfo);
    jpeg_mem_src(&s.cinfo, jpeg, static_cast<unsigned long>(length));
    jpeg_read_header(&s.cinfo, TRUE);
    *width = static_cast<int>(s.cinfo.image_width);
    *height = static_cast<int>(s.cinfo.image_height);
    return true;
}

}  // namespace

int GetColorChannel(J_COLOR_SPACE colorSpace) { return channelsOf(static_cast<int>(colorSpace)); }

void my_error_exit(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1);
}

extern "C" PYRADEC_API int VtEncodeJpeg(const unsigned char *pixels, unsigned char **jpeg, int quality,
                                        int width, int height, int colorSpace)
{
    if (jpeg == nullptr)
        return VT_ERR_NULL_ARG;
    const int bytesPerPixel = channelsOf(colorSpace);
    if (bytesPerPixel < 0)
        return -1;

    EncodeState s;
    std::memset(&s, 0, sizeof s);  // jpeg_destroy is then safe whatever failed
    initErrors(s.err, s.cinfo.err);
    const bool ok = compress(s, pixels, quality, width, height, colorSpace, bytesPerPixel);
    jpeg_destroy_compress(&s.cinfo);
    if (!ok || s.outSize > static_cast<unsigned long>(std::numeric_limits<int>::max())) {
        // On success the stream is s.out; on an error it is the block being filled.
        std::free(ok ? s.out : s.owned);
        return 0;
    }
    *jpeg = s.out;
    return static_cast<int>(s.outSize);
}

namespace pyradec {

int64_t decodeJpeg(const unsigned char *jpeg, size_t length, unsigned char **pixels, int colorSpace,
                   const ColorCorrectTable *table, int *width, int *height)
{
    PixelOrder order;
    if (!pixelOrderOf(colorSpace, order))
        return 0;
    DecodeState s;
    std::memset(&s, 0, sizeof s);
    initErrors(s.err, s.cinfo.err);
    const bool ok = decompress(s, jpeg, length, colorSpace, order, table);
    const JDIMENSION outWidth = s.cinfo.output_width;
    const JDIMENSION outHeight = s.cinfo.output_height;
    jpeg_destroy_decompress(&s.cinfo);
    if (!ok || s.size > static_cast<size_t>(std::numeric_limits<int64_t>::max())) {
        std::free(s.pixels);
        return 0;
    }
    *pixels = s.pixels;
    if (width != nullptr)
        *width = static_cast<int>(outWidth);
    if (height != nullptr)
        *height = static_cast<int>(outHeight);
    return static_cast<int64_t>(s.size);
}

bool jpegSize(const unsigned char *jpeg, size_t length, int *width, int *height)
{
    DecodeState s;
    std::memset(&s, 0, sizeof s);
    initErrors(s.err, s.cinfo.err);
    const bool ok = readSize(s, jpeg, length, width, height);
    jpeg_destroy_decompress(&s.cinfo);
    return ok;
}

bool decodeJpegTile(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                    const ColorCorrectTable *table)
{
    return decodeJpegTileRows(jpeg, length, out, width, height, 0, height, table);
}

bool decodeJpegTileRows(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                        int firstRow, int endRow, const ColorCorrectTable *table)
{
    return decodeJpegTileWindow(jpeg, length, out, width, height, firstRow, endRow, 0, width, table);
}

bool decodeJpegTileWindow(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                          int firstRow, int endRow, int firstCol, int endCol, const ColorCorrectTable *table)
{
    if (width <= 0 || height <= 0 || firstRow < 0 || endRow > height || firstRow >= endRow || firstCol < 0 ||
        endCol > width || firstCol >= endCol)
        return false;
    DecodeState s;
    std::memset(&s, 0, sizeof s);
    initErrors(s.err, s.cinfo.err);
    const bool ok =
        decompressTile(s, jpeg, length, out, width, height, firstRow, endRow, firstCol, endCol, table);
    jpeg_destroy_decompress(&s.cinfo);
    return ok;
}

}  // namespace pyradec

extern "C" PYRADEC_API int64_t VtDecodeJpeg(const unsigned char *jpeg, unsigned long length,
                                            unsigned char **pixels, int colorSpace)
{
    if (pixels == nullptr)
        return 0;
    // Held for the whole decode: a close on another thread cannot free it meanwhile.
    const pyradec::CurrentColorTable current;
    const ColorCorrectTable *table = current.get();
    unsigned char *decoded = nullptr;
    const int64_t size = pyradec::decodeJpeg(jpeg, length, &decoded, colorSpace, table);
    if (size == 0)
        return 0;
    if (table == nullptr) {
        // Without a table there is no corrected image to hand out; the length stands.
        std::free(decoded);
        decoded = nullptr;
    }
    *pixels = decoded;
    return size;
}
