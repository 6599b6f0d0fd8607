// Internal helpers of the convenience accessors.
#pragma once

// Expands packed 3-byte pixels to 4 bytes each, in the same byte order; the
// fourth byte is 255 (opaque).
void Bgr2Argb(unsigned char *source, int width, int height, unsigned char *destination);
