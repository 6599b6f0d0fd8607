// A cache of decoded tiles, bounded in bytes and shared by every slide of the
// process (least recently used out). Region reads of the Python package and the
// tile server take their decoded tiles from it; the flat calls stay uncached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace pyradec {

struct TileKey {
    uint64_t slide;  // Slide::id()
    int level;
    int col;
    int row;
    bool operator==(const TileKey &) const = default;
};

struct TileKeyHash {
    size_t operator()(const TileKey &k) const noexcept;
};

class TileCache {
public:
    using Value = std::shared_ptr<const std::vector<uint8_t>>;

    explicit TileCache(size_t capacityBytes);
    TileCache(const TileCache &) = delete;
    TileCache &operator=(const TileCache &) = delete;

    // The tile, or null when it is not held; a hit becomes the most recent.
    Value get(const TileKey &key);
    // Keeps the tile (replacing an older copy), then drops the least recently
    // used tiles until the total fits. A tile larger than the capacity is not kept.
    void put(const TileKey &key, Value value);
    // Drops every tile of one slide (when it closes) or all of them.
    void forgetSlide(uint64_t slide);
    void clear();

    size_t capacity() const;
    void setCapacity(size_t bytes);
    size_t size() const;   // bytes held
    size_t count() const;  // tiles held

    // The process-wide cache (64 MiB unless changed).
    static const std::shared_ptr<TileCache> &shared();

private:
    void trimLocked();

    struct Entry {
        TileKey key;
        Value value;
    };
    mutable std::mutex mutex_;
    size_t capacity_;
    size_t bytes_ = 0;
    std::list<Entry> order_;  // most recent first
    std::unordered_map<TileKey, std::list<Entry>::iterator, TileKeyHash> index_;
};

}  // namespace pyradec
