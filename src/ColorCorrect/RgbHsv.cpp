// One pixel between 8-bit RGB and single-precision HSV. The table build has its
// own vectorised form of these steps (ColorTable.cpp); both must agree bit for bit.
#include <cmath>

#include "ColorCorrect.h"

namespace {

// Every tolerance test widens the float operand and compares in double.
constexpr double kTolerance = 1e-6;

bool atLeastTol(float x) { return static_cast<double>(x) >= kTolerance; }
bool aboveTol(float x) { return static_cast<double>(x) > kTolerance; }
bool withinTol(float x) { return static_cast<double>(x) <= kTolerance; }

// Clamps from the top first, then from below; NaN stays NaN.
float clampUnitOr(float x, float top)
{
    if (aboveTol(x - top))
        return top;
    if (withinTol(x))
        return 0.0f;
    return x;
}

}  // namespace

float ReturnMax(float a, float b, float c)
{
    const float m = atLeastTol(a - b) ? a : b;
    return atLeastTol(m - c) ? m : c;
}

float ReturnMin(float a, float b, float c)
{
    const float m = atLeastTol(a - b) ? b : a;
    return atLeastTol(m - c) ? c : m;
}

unsigned char ScalarRgb(unsigned char value, float factor)
{
    const float x = static_cast<float>(value) * factor;
    // Truncation toward zero, then the clamp to 0..255. Values that do not fit an
    // int (and NaN) saturate instead of taking the undefined conversion.
    if (!(x > -1.0f))
        return 0;
    if (x >= 255.0f)
        return 255;
    return static_cast<unsigned char>(static_cast<int>(x));
}

void Rgb2Hsv(const unsigned char *rgb, const float *factors, float *hsv)
{
    if (!rgb || !factors || !hsv)
        return;
    const float r = rgb[0] / 255.0f;
    const float g = rgb[1] / 255.0f;
    const float b = rgb[2] / 255.0f;
    const float max = ReturnMax(r, g, b);
    const float min = ReturnMin(r, g, b);
    const float delta = max - min;

    float h = 0.0f;
    if (withinTol(delta)) {
        h = 0.0f;
    } else if (withinTol(std::fabs(r - max))) {
        const float k = (g - b) / delta;
        if (aboveTol(g - b))
            h = 60.0f * k;
        else if (aboveTol(b - g))
            h = 359.0f + 60.0f * k;
        else
            h = 0.0f;
    } else if (withinTol(std::fabs(g - max))) {
        h = 119.0f + 60.0f * ((b - r) / delta);
    } else if (withinTol(std::fabs(b - max))) {
        h = 239.0f + 60.0f * ((r - g) / delta);
    }
    float s = withinTol(max) ? 0.0f : delta / max;
    float v = max;

    h = factors[0] * h;
    s = factors[1] * s;
    v = factors[2] * v;
    hsv[0] = clampUnitOr(h, 359.0f);
    hsv[1] = clampUnitOr(s, 1.0f);
    hsv[2] = clampUnitOr(v, 1.0f);
}

void Hsv2Rgb(const float *hsv, const float *factors, unsigned char *rgb)
{
    if (!hsv || !factors || !rgb)
        return;
    const float hue = hsv[0];
    const float s = hsv[1];
    const float v = hsv[2];

    unsigned char unit[3] = {0, 0, 0};
    if (withinTol(std::fabs(s))) {
        const unsigned char grey = ScalarRgb(255, v);
        unit[0] = unit[1] = unit[2] = grey;
    } else {
        const float h = hue / 60.0f;
        const float fl = std::floor(h);
        // Hues outside 0..359 (or NaN) fall in no sector and give black.
        const int i = (fl >= 0.0f && fl <= 5.0f) ? static_cast<int>(fl) : -1;
        const float f = h - static_cast<float>(i);
        const float p = (1.0f - s) * v;
        const float q = (1.0f - s * f) * v;
        const float t = (1.0f - (1.0f - f) * s) * v;
        float red = 0.0f, green = 0.0f, blue = 0.0f;
        switch (i) {
        case 0:
            red = v;
            green = t;
            blue = p;
            break;
        case 1:
            red = q;
            green = v;
            blue = p;
            break;
        case 2:
            red = p;
            green = v;
            blue = t;
            break;
        case 3:
            red = p;
            green = q;
            blue = v;
            break;
        case 4:
            red = t;
            green = p;
            blue = v;
            break;
        case 5:
            red = v;
            green = p;
            blue = q;
            break;
        default: break;
        }
        if (i >= 0) {
            unit[0] = ScalarRgb(255, red);
            unit[1] = ScalarRgb(255, green);
            unit[2] = ScalarRgb(255, blue);
        }
    }
    rgb[0] = ScalarRgb(unit[0], factors[0]);
    rgb[1] = ScalarRgb(unit[1], factors[1]);
    rgb[2] = ScalarRgb(unit[2], factors[2]);
}
