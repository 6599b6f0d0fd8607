// JPEG in memory on top of libjpeg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include "pyradec/pyradec.h"

// Bytes per pixel of the colour spaces the encoder accepts; -1 for any other.
int GetColorChannel(J_COLOR_SPACE colorSpace);
// libjpeg error exit: prints the message and jumps back into the decoder.
void my_error_exit(j_common_ptr cinfo);

namespace pyradec {

// Decodes `jpeg` to packed pixels of `colorSpace` (3 or 4 bytes per pixel) corrected
// through `table` (null: colours unchanged). On success *pixels receives a new malloc
// block and the decoded size is stored in width/height when given; returns the byte
// count. On a libjpeg error returns 0 and leaves *pixels untouched.
int64_t decodeJpeg(const unsigned char *jpeg, size_t length, unsigned char **pixels, int colorSpace,
                   const ColorCorrectTable *table, int *width = nullptr, int *height = nullptr);

// The size a JPEG stream's header declares, without decoding it; false when the
// header does not read.
bool jpegSize(const unsigned char *jpeg, size_t length, int *width, int *height);

// Decodes a tile of exactly width x height into `out` (width*height*3 bytes, BGR)
// corrected through `table`. False when the stream fails to decode or has another size;
// `out` may then be partly written.
bool decodeJpegTile(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                    const ColorCorrectTable *table);

// Decodes only rows [firstRow, endRow) of such a tile into their places in `out`;
// the other rows of `out` are not written. The rows equal those of a whole decode.
bool decodeJpegTileRows(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                        int firstRow, int endRow, const ColorCorrectTable *table);

// As decodeJpegTileRows, and of those rows only columns [firstCol, endCol) are
// sure to be written (with the values of a whole decode); the decoder skips
// whole iMCU columns outside them. Other columns of `out` may be written.
bool decodeJpegTileWindow(const unsigned char *jpeg, size_t length, unsigned char *out, int width, int height,
                          int firstRow, int endRow, int firstCol, int endCol, const ColorCorrectTable *table);

}  // namespace pyradec
