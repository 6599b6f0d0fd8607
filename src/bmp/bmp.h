// BMP file images in memory to packed 3-byte pixels.
#pragma once

#include <cstddef>

#include "pyradec/pyradec.h"

namespace pyradec {

// As GetRgb24FromBmp, reading nothing beyond `length` bytes: null for images it
// cannot convert (shorter than their header says, below 24 bits per pixel,
// width or height of 0 or less, compressed).
unsigned char *rgb24FromBmp(const unsigned char *bmp, size_t length, BmpInfo *info);

}  // namespace pyradec
