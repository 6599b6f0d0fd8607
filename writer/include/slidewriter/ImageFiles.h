// Ordinary image files for the slide writer and the command-line tool: PNG and
// JPEG reading and writing, and the resampling that makes pyramid layers and
// overview pictures. Pixels are slidewriter::Image (blue, green, red).
#pragma once

#include <string>

#include "SlideWriter.h"

namespace slidewriter {

// Reads a PNG (any bit depth or colour type; alpha is composed on white) or a
// JPEG file, chosen by the file's signature. Throws std::runtime_error with a
// message naming the file.
Image loadImage(const std::string &path);
// Decodes a PNG held in memory.
Image decodePng(const Bytes &png);
// 8-bit RGB PNG of the picture (libpng), lossless.
Bytes encodePng(const Image &img);

// 2x2 mean; odd edges take what is there.
Image halveImage(const Image &src);
// Area-average resampling to exactly width x height.
Image resizeImage(const Image &src, int width, int height);
// The largest size of the same aspect ratio within maxWidth x maxHeight (at least 1 x 1).
void fitSize(int width, int height, int maxWidth, int maxHeight, int &outWidth, int &outHeight);
// `tile` repeated to width x height; copies in odd columns are mirrored left to
// right and in odd rows top to bottom, so that the seams continue the picture.
Image mosaic(const Image &tile, int width, int height);
// Keeps a few irregular islands of the picture (3 to 5, deterministic for a
// given size) and turns everything else into flat, nearly white glass, so that
// a slide made of it has tissue and background to tell apart.
void keepTissueIslands(Image &img);

}  // namespace slidewriter
