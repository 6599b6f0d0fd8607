// The compression codes of the header's compressionType, in one place for the
// library and its C++ layer.
#pragma once

#include <cstdint>

namespace pyradec {

// How a slide's tiles are stored; any other value of the header's byte gives
// tiles that cannot be decoded.
enum class Compression : uint8_t { Jpeg = 0, Hevc = 4 };

}  // namespace pyradec
