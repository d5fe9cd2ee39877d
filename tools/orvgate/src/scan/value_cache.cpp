#include "scan/value_cache.h"

#include <algorithm>

namespace orvgate {

ValueCache::ValueCache(const std::vector<std::int32_t> &blockSizes) {
    blocks_.resize(blockSizes.size());
    for (std::size_t b = 0; b < blockSizes.size(); ++b) {
        const auto n = static_cast<std::size_t>(std::max(blockSizes[b], 0));
        blocks_[b].values.assign(n, 0);
        blocks_[b].stamps.assign(n, Clock::time_point::min());
    }
}

bool ValueCache::Store(std::size_t block, std::span<const std::uint32_t> values, Clock::time_point when) {
    return Refresh(block, 0, values, when);
}

bool ValueCache::Refresh(std::size_t block, std::int32_t offset, std::span<const std::uint32_t> values,
                         Clock::time_point when) {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    if (block >= blocks_.size() || offset < 0) {
        return false;
    }
    Block &b = blocks_[block];
    bool changed = false;
    for (std::size_t i = 0; i < values.size() && static_cast<std::size_t>(offset) + i < b.values.size(); ++i) {
        const std::size_t at = static_cast<std::size_t>(offset) + i;
        changed = changed || b.values[at] != values[i] || b.stamps[at] == Clock::time_point::min();
        b.values[at] = values[i];
        b.stamps[at] = when;
    }
    return changed;
}

void ValueCache::Withdraw(std::size_t block, Availability why) {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    if (block < blocks_.size()) {
        std::fill(blocks_[block].stamps.begin(), blocks_[block].stamps.end(), Clock::time_point::min());
        blocks_[block].withdrawn = why == Availability::Refused ? Availability::Refused : Availability::Unavailable;
    }
}

ValueCache::View::View(const ValueCache &cache, Clock::time_point now)
    : lock_(cache.mutex_), cache_(cache), now_(now) {}

ValueCache::Reading ValueCache::View::Get(std::size_t block, std::int32_t offset, Clock::duration maxAge) const {
    Reading r;
    if (block >= cache_.blocks_.size() || offset < 0) {
        return r;
    }
    const Block &b = cache_.blocks_[block];
    const auto at = static_cast<std::size_t>(offset);
    if (at >= b.values.size()) {
        return r;
    }
    r.readAt = b.stamps[at];
    if (b.stamps[at] == Clock::time_point::min()) {
        r.availability = b.withdrawn;
        return r;
    }
    r.value = b.values[at];
    r.availability = b.stamps[at] < now_ - maxAge ? Availability::Unavailable : Availability::Fresh;
    return r;
}

ValueCache::View ValueCache::Look(Clock::time_point now) const {
    return View(*this, now);
}

} // namespace orvgate
