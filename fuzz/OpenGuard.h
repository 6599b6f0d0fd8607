// What the slide harnesses share around VtOpenPyra:
// - colour parameters fixed to one set before the input is written, so that open
//   reuses one colour table instead of building 48 MB for every mutant (the table
//   build has its own exhaustive tests; the records around it are still parsed);
// - a memory guard: the bytes open allocates must stay within a fixed multiple of
//   the input's size, plus what the associated images its records declare decode
//   to. A file whose records make open allocate more (a layer chain that revisits
//   its records, counts that outgrow the file) stops the run with a report.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ColorCorrect/ColorCorrect.h"
#include "pyradec/pyradec.h"

namespace fuzzing {

// Bytes malloc'ed while armed (a running sum: what open allocates, freed or not).
inline std::atomic<bool> g_armed{false};
inline std::atomic<uint64_t> g_allocated{0};

inline void onMalloc(const volatile void *, size_t size)
{
    if (g_armed.load(std::memory_order_relaxed))
        g_allocated.fetch_add(size, std::memory_order_relaxed);
}
inline void onFree(const volatile void *) {}

inline void installAllocationCounter() { __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree); }

// Fixed allowance (the records of fixed size, libjpeg's own state) and the
// multiples of the input size and of the declared associated-image pixels.
constexpr uint64_t kFixedAllowance = uint64_t{4} << 20;
constexpr uint64_t kPerInputByte = 16;
constexpr uint64_t kPerDeclaredPixel = 16;  // 3 output bytes plus libjpeg's buffers

template <typename T>
bool readAt(const std::vector<uint8_t> &in, uint64_t offset, T &out)
{
    if (offset > in.size() || sizeof(T) > in.size() - offset)
        return false;
    std::memcpy(&out, in.data() + offset, sizeof(T));
    return true;
}

// The pixels the header and the associated-image records declare: what open may
// decode whatever the file's size (a small JPEG may legitimately be a large image).
inline uint64_t declaredPixels(const std::vector<uint8_t> &in)
{
    VtPicHead head;
    if (!readAt(in, 0, head))
        return 0;
    uint64_t pixels = uint64_t{head.thumbWidth} * head.thumbHeight;
    uint64_t offset = 7732;
    for (uint32_t i = 0; i < head.macroImageCount && i < 2; ++i) {
        VtMacrographInfo macro;
        if (!readAt(in, offset, macro))
            break;
        pixels += uint64_t{macro.width} * macro.height;
        offset = macro.nextOffset;
    }
    return pixels;
}

inline uint64_t allocationBudget(const std::vector<uint8_t> &in)
{
    return kFixedAllowance + kPerInputByte * in.size() + kPerDeclaredPixel * declaredPixels(in);
}

// One set of colour parameters for every input that has them.
inline void fixColourParameters(std::vector<uint8_t> &in)
{
    constexpr size_t kParams = 6964 + 34;  // gamma, gains, HSV scales, matrix: 16 floats
    if (in.size() < kParams + 16 * sizeof(float))
        return;
    const float fixed[16] = {1.8f,   1.05f, 0.95f, 1.0f, 1.0f, 1.1f, 1.0f,  1.1f,
                             -0.05f, 0.0f,  0.0f,  1.0f, 0.0f, 0.0f, 0.05f, 0.95f};
    std::memcpy(in.data() + kParams, fixed, sizeof fixed);
}

// Opens `path` (whose bytes are `in`) with the guard armed; aborts with a report
// when open allocated more than the budget.
inline VtPyraInfo *guardedOpen(const char *path, const std::vector<uint8_t> &in)
{
    g_allocated.store(0);
    g_armed.store(true);
    VtPyraInfo *pyra = VtOpenPyra(path);
    g_armed.store(false);
    const uint64_t used = g_allocated.load(), budget = allocationBudget(in);
    if (used > budget) {
        std::fprintf(stderr,
                     "==ERROR: open allocated %llu bytes for an input of %zu bytes "
                     "(budget %llu)\n",
                     static_cast<unsigned long long>(used), in.size(),
                     static_cast<unsigned long long>(budget));
        std::abort();
    }
    return pyra;
}

}  // namespace fuzzing
