// Owners for what the library hands out, and the colour lookup done the plain
// way, for tests and tools that compare pixels.
#pragma once

#include <memory>

#include "Fixture.h"
#include "pyradec/pyradec.h"

namespace fixture {

struct HandleCloser {
    void operator()(VtPyraInfo *pyra) const { VtClosePyra(pyra); }
};
// An open slide, closed when it goes.
using Handle = std::unique_ptr<VtPyraInfo, HandleCloser>;

struct Disposer {
    void operator()(void *buffer) const { Dispose(buffer); }
};
// A buffer from the library, released with Dispose.
template <typename T = unsigned char>
using Owned = std::unique_ptr<T, Disposer>;

// What `image` (blue-green-red) becomes through `table`, by the table's own
// pointer structure; unchanged for a null table.
inline Image throughTable(Image image, const ColorCorrectTable *table)
{
    if (!table)
        return image;
    for (size_t i = 0; i + 2 < image.bgr.size(); i += 3) {
        const uint8_t b = image.bgr[i], g = image.bgr[i + 1], r = image.bgr[i + 2];
        image.bgr[i] = table->blueTable[r][g][b];
        image.bgr[i + 1] = table->greenTable[r][g][b];
        image.bgr[i + 2] = table->redTable[r][g][b];
    }
    return image;
}

}  // namespace fixture
