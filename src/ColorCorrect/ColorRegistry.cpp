// Table memory, the registry that shares tables between slides with identical
// colour parameters, and the process-wide ColorTable.
//
// A table is one slab: a header (the public record first, then the bookkeeping),
// the pointer arrays, the three channel planes, each indexed
// (R << 16) | (G << 8) | B, which the pointer arrays point into, and the packed
// plane of the same entries that the library's own lookups use.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "ColorCorrect.h"
#include "Platform/Platform.h"

ColorCorrectTable *ColorTable = nullptr;

namespace pyradec {
namespace {

constexpr size_t kPlaneBytes = size_t{1} << 24;
constexpr size_t kPageAlign = size_t{2} << 20;  // planes start on a huge-page boundary

struct TableBlock {
    ColorCorrectTable table;  // must stay first: hosts hold &table
    int refs;
    bool registered;
    ColorParams key;
    unsigned char *planes;  // red, green, blue planes, contiguous
    uint32_t *packed;       // blue | green << 8 | red << 16 per entry
    bool packedValid;       // set by a build; a table filled by hand has none
    TableBlock *next;       // next registered table
    TableBlock *nextAlive;  // next table with refs > 0, registered or not
};

struct SlabLayout {
    size_t topOffset;
    size_t secondOffset;
    size_t planesOffset;
    size_t packedOffset;
    size_t totalBytes;
};

constexpr size_t alignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

constexpr SlabLayout kLayout = [] {
    SlabLayout l{};
    l.topOffset = alignUp(sizeof(TableBlock), 64);
    l.secondOffset = l.topOffset + 3 * 256 * sizeof(unsigned char **);
    l.planesOffset = alignUp(l.secondOffset + 3 * 65536 * sizeof(unsigned char *), kPageAlign);
    l.packedOffset = l.planesOffset + 3 * kPlaneBytes;
    l.totalBytes = l.packedOffset + 4 * kPlaneBytes;
    return l;
}();

void *allocSlab() { return platform::mapLarge(kLayout.totalBytes); }

void freeSlab(void *p) { platform::unmapLarge(p, kLayout.totalBytes); }

// Lays the header and pointer arrays out over a slab; entries stay as they are.
TableBlock *formatSlab(void *slab)
{
    auto *base = static_cast<unsigned char *>(slab);
    auto *block = new (base) TableBlock{};
    block->refs = 1;
    block->registered = false;
    block->planes = base + kLayout.planesOffset;
    block->packed = reinterpret_cast<uint32_t *>(base + kLayout.packedOffset);
    block->packedValid = false;
    auto **top = reinterpret_cast<unsigned char ***>(base + kLayout.topOffset);
    auto **second = reinterpret_cast<unsigned char **>(base + kLayout.secondOffset);
    unsigned char ***tops[3];
    for (size_t c = 0; c < 3; ++c) {
        tops[c] = top + c * 256;
        unsigned char *plane = block->planes + c * kPlaneBytes;
        for (size_t r = 0; r < 256; ++r) {
            unsigned char **rows = second + (c * 256 + r) * 256;
            tops[c][r] = rows;
            for (size_t g = 0; g < 256; ++g)
                rows[g] = plane + (r << 16) + (g << 8);
        }
    }
    block->table.redTable = tops[0];
    block->table.greenTable = tops[1];
    block->table.blueTable = tops[2];
    return block;
}

TableBlock *blockOf(const ColorCorrectTable *table)
{
    return reinterpret_cast<TableBlock *>(const_cast<ColorCorrectTable *>(table));
}

// All registry, reference and ColorTable state, under one mutex. Never destroyed,
// so that releases from other static destructors stay safe.
struct Registry {
    std::mutex mutex;
    TableBlock *live = nullptr;   // registered tables with refs > 0
    TableBlock *alive = nullptr;  // every table with refs > 0
    int liveCount = 0;            // every table with refs > 0
    void *spare = nullptr;        // memory of the most recently freed table
    // The table whose reference the registry holds on ColorTable's behalf. Hosts
    // may write ColorTable themselves, so this is what gets released, never
    // whatever ColorTable holds by then.
    TableBlock *current = nullptr;
};

Registry &registry()
{
    static Registry *r = new Registry;
    return *r;
}

// Called with the mutex held.
TableBlock *newBlockLocked(Registry &reg)
{
    void *slab = reg.spare;
    reg.spare = nullptr;
    if (!slab)
        slab = allocSlab();
    if (!slab)
        return nullptr;
    ++reg.liveCount;
    TableBlock *block = formatSlab(slab);
    block->nextAlive = reg.alive;
    reg.alive = block;
    return block;
}

// The block of `table` when it is a table the library made and still alive; null
// for anything else (a freed table, a host's own structure).
TableBlock *aliveBlockLocked(Registry &reg, const ColorCorrectTable *table)
{
    if (!table)
        return nullptr;
    for (TableBlock *block = reg.alive; block; block = block->nextAlive)
        if (&block->table == table)
            return block;
    return nullptr;
}

void dropLocked(Registry &reg, TableBlock *block)
{
    if (!block || block->refs <= 0)
        return;
    if (--block->refs > 0)
        return;
    --reg.liveCount;
    for (TableBlock **link = &reg.alive; *link; link = &(*link)->nextAlive) {
        if (*link == block) {
            *link = block->nextAlive;
            break;
        }
    }
    if (reg.current == block)
        reg.current = nullptr;
    // ColorTable must never be left pointing at freed memory.
    if (ColorTable == &block->table)
        ColorTable = nullptr;
    if (block->registered) {
        for (TableBlock **link = &reg.live; *link; link = &(*link)->next) {
            if (*link == block) {
                *link = block->next;
                break;
            }
        }
    }
    // Keep this table's memory, already faulted in, for the next build; one only.
    block->~TableBlock();
    freeSlab(reg.spare);
    reg.spare = block;
}

bool sameParams(const ColorParams &a, const ColorParams &b)
{
    return std::memcmp(&a, &b, sizeof(ColorParams)) == 0;
}

}  // namespace

ColorParams colorParamsOf(const VtExtraInfo &extra)
{
    ColorParams p{};
    std::memcpy(&p.gamma, &extra.gamma, sizeof p.gamma);
    std::memcpy(p.channelGains, extra.channelGains, sizeof p.channelGains);
    std::memcpy(p.hsvScales, extra.hsvScales, sizeof p.hsvScales);
    std::memcpy(p.colorMatrix, extra.colorMatrix, sizeof p.colorMatrix);
    return p;
}

ColorCorrectTable *acquireColorTable(const ColorParams &params)
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (TableBlock *block = reg.live; block; block = block->next) {
        if (sameParams(block->key, params)) {
            ++block->refs;
            return &block->table;
        }
    }
    TableBlock *block = newBlockLocked(reg);
    if (!block)
        return nullptr;
    // Built under the lock: a concurrent open with the same parameters waits for
    // this table instead of building its own.
    InitColorRangeTable(block->table.rangeTable);
    buildColorTable(&block->table, params);
    block->key = params;
    block->registered = true;
    block->next = reg.live;
    reg.live = block;
    return &block->table;
}

void retainColorTable(ColorCorrectTable *table)
{
    if (!table)
        return;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (TableBlock *block = aliveBlockLocked(reg, table))
        ++block->refs;
}

void releaseColorTable(ColorCorrectTable *table)
{
    if (!table)
        return;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    dropLocked(reg, aliveBlockLocked(reg, table));
}

void setCurrentColorTable(ColorCorrectTable *table)
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    TableBlock *block = aliveBlockLocked(reg, table);
    if (block)
        ++block->refs;
    TableBlock *previous = reg.current;
    reg.current = block;
    ColorTable = block ? &block->table : nullptr;
    dropLocked(reg, previous);
}

CurrentColorTable::CurrentColorTable()
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    // Only tables the library made can be counted (and looked up through their
    // planes); anything else a host stored in ColorTable counts as no table.
    TableBlock *block = aliveBlockLocked(reg, ColorTable);
    if (block) {
        ++block->refs;
        table_ = &block->table;
    }
}

CurrentColorTable::~CurrentColorTable()
{
    if (table_)
        releaseColorTable(table_);
}

int liveColorTableCount()
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.liveCount;
}

ColorPlanes colorPlanesOf(const ColorCorrectTable *table)
{
    if (!table)
        return {nullptr, nullptr, nullptr, nullptr};
    const TableBlock *block = blockOf(table);
    const unsigned char *planes = block->planes;
    return {planes, planes + kPlaneBytes, planes + 2 * kPlaneBytes,
            block->packedValid ? block->packed : nullptr};
}

uint32_t *packedPlaneOf(ColorCorrectTable *table) { return table ? blockOf(table)->packed : nullptr; }

void markPackedPlane(ColorCorrectTable *table, bool valid)
{
    if (table)
        blockOf(table)->packedValid = valid;
}

}  // namespace pyradec

using namespace pyradec;

ColorCorrectTable *MallocColorCorrectTable()
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    TableBlock *block = newBlockLocked(reg);
    return block ? &block->table : nullptr;
}

void DisposeColorCorrectTable(ColorCorrectTable *table)
{
    if (!table)
        return;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    TableBlock *block = aliveBlockLocked(reg, table);
    if (!block)
        return;  // not a live table of the library's: nothing of ours to release
    // Releasing the table that ColorTable holds on the registry's reference drops
    // that reference (a table a host stored there itself is the host's own).
    if (block == reg.current && ColorTable == table) {
        ColorTable = nullptr;
        reg.current = nullptr;
    }
    dropLocked(reg, block);
}

int InitColorCollectTable(VtPyraInfo *pyra)
{
    if (!pyra || !pyra->extraInfo)
        return -1;
    ColorCorrectTable *table = acquireColorTable(colorParamsOf(*pyra->extraInfo));
    if (!table)
        return -1;
    setCurrentColorTable(table);
    releaseColorTable(table);
    return 0;
}
