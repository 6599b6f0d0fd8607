// The shared decoded-tile cache.
#include "TileCache.h"

namespace pyradec {

size_t TileKeyHash::operator()(const TileKey &k) const noexcept
{
    uint64_t h = k.slide * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<uint64_t>(static_cast<uint32_t>(k.level)) << 48) ^
         (static_cast<uint64_t>(static_cast<uint32_t>(k.row)) << 24) ^ static_cast<uint32_t>(k.col);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 32));
}

TileCache::TileCache(size_t capacityBytes) : capacity_(capacityBytes) {}

TileCache::Value TileCache::get(const TileKey &key)
{
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end())
        return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->value;
}

void TileCache::put(const TileKey &key, Value value)
{
    if (!value)
        return;
    std::lock_guard lock(mutex_);
    if (auto it = index_.find(key); it != index_.end()) {
        bytes_ -= it->second->value->size();
        order_.erase(it->second);
        index_.erase(it);
    }
    if (value->size() > capacity_)
        return;
    bytes_ += value->size();
    order_.push_front({key, std::move(value)});
    index_[key] = order_.begin();
    trimLocked();
}

void TileCache::trimLocked()
{
    while (bytes_ > capacity_ && !order_.empty()) {
        const Entry &last = order_.back();
        bytes_ -= last.value->size();
        index_.erase(last.key);
        order_.pop_back();
    }
}

void TileCache::forgetSlide(uint64_t slide)
{
    std::lock_guard lock(mutex_);
    for (auto it = order_.begin(); it != order_.end();) {
        if (it->key.slide == slide) {
            bytes_ -= it->value->size();
            index_.erase(it->key);
            it = order_.erase(it);
        } else {
            ++it;
        }
    }
}

void TileCache::clear()
{
    std::lock_guard lock(mutex_);
    order_.clear();
    index_.clear();
    bytes_ = 0;
}

size_t TileCache::capacity() const
{
    std::lock_guard lock(mutex_);
    return capacity_;
}

void TileCache::setCapacity(size_t bytes)
{
    std::lock_guard lock(mutex_);
    capacity_ = bytes;
    trimLocked();
}

size_t TileCache::size() const
{
    std::lock_guard lock(mutex_);
    return bytes_;
}

size_t TileCache::count() const
{
    std::lock_guard lock(mutex_);
    return order_.size();
}

const std::shared_ptr<TileCache> &TileCache::shared()
{
    static const std::shared_ptr<TileCache> cache = std::make_shared<TileCache>(size_t{64} << 20);
    return cache;
}

}  // namespace pyradec
