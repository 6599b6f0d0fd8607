// The colour parameters of a slide, as its extra-information record stores them.
// Shared with the slide writer, which stores them.
#pragma once

namespace pyradec {

// Defaults are the neutral set: gamma 1, unit gains and factors, identity matrix.
struct ColorParams {
    float gamma = 1.0f;
    float channelGains[3] = {1, 1, 1};                   // red, green, blue output gain
    float hsvScales[3] = {1, 1, 1};                      // hue, saturation, value factor
    float colorMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row = output channel
};

}  // namespace pyradec
