// The slide's properties as the field names them ("pyradec.mpp-x", ...), the
// description items under "pyra.", and the quick hash that identifies a
// slide's content. The tile server and the Python package show the same map.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Slide.h"

namespace pyradec {

inline constexpr const char *kPropertyMppX = "pyradec.mpp-x";
inline constexpr const char *kPropertyMppY = "pyradec.mpp-y";
inline constexpr const char *kPropertyObjectivePower = "pyradec.objective-power";
inline constexpr const char *kPropertyBackgroundColor = "pyradec.background-color";
inline constexpr const char *kPropertyQuickHash = "pyradec.quickhash-1";
inline constexpr const char *kPropertyBoundsX = "pyradec.bounds-x";
inline constexpr const char *kPropertyBoundsY = "pyradec.bounds-y";
inline constexpr const char *kPropertyBoundsWidth = "pyradec.bounds-width";
inline constexpr const char *kPropertyBoundsHeight = "pyradec.bounds-height";

using PropertyList = std::vector<std::pair<std::string, std::string>>;

// Every property, sorted by name. Reads the tiles of the smallest level for the hash.
PropertyList properties(const Slide &slide);

// SHA-256 (hex) over the header, person and extra information, every layer
// record and tile-size table, the stored label, macrograph and thumbnail, and
// the stored bytes of every tile of the smallest level: copies hash alike.
std::string quickHash(const Slide &slide);

// The shortest text that reads back as the same double ("0.25", "2", "1e-07").
std::string formatNumber(double value);

}  // namespace pyradec
