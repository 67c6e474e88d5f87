#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quillon {

// Bytes that work running side by side may hold at once. A worker takes its share before it starts
// and gives it back when done; it waits while the shares taken so far and its own would exceed the
// budget. A share larger than the whole budget is still granted once nothing else is held, so it
// runs alone rather than never. Any thread.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t bytes) : total_(bytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    std::uint64_t total() const { return total_; }

    // Blocks until the share fits, then holds it.
    void take(std::uint64_t share);
    void giveBack(std::uint64_t share);

    // A quarter of physical memory, at most 2 GiB: what conversions may hold together.
    static std::uint64_t defaultBytes();

    // A share held for the lifetime of this object.
    class Share {
    public:
        Share(MemoryBudget& budget, std::uint64_t bytes) : budget_(budget), bytes_(bytes)
        {
            budget_.take(bytes_);
        }
        ~Share() { budget_.giveBack(bytes_); }
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

    private:
        MemoryBudget& budget_;
        std::uint64_t bytes_;
    };

private:
    const std::uint64_t total_;
    std::mutex mutex_;
    std::condition_variable released_;
    std::uint64_t held_ = 0;
};

}  // namespace quillon
