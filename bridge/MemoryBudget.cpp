#include "bridge/MemoryBudget.hpp"

#include <algorithm>

#include <unistd.h>

namespace quillon {

void MemoryBudget::take(std::uint64_t share)
{
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return held_ == 0 || (share <= total_ && held_ <= total_ - share); });
    held_ += share;
}

void MemoryBudget::giveBack(std::uint64_t share)
{
    {
        std::lock_guard lock(mutex_);
        held_ -= std::min(held_, share);
    }
    released_.notify_all();
}

std::uint64_t MemoryBudget::defaultBytes()
{
    constexpr std::uint64_t kMost = 2ULL << 30;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return kMost / 4;  // unknown: assume a small machine
    return std::min(kMost, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 4);
}

}  // namespace quillon
