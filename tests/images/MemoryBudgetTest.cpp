#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/MemoryBudget.hpp"

using quillon::MemoryBudget;

// Workers with shares of 40, 30, 70 and 150 (larger than the whole budget of 100) run side by side
// for a moment each: what is held at once never passes 100, except the oversized share, which
// only ever runs alone; and every worker gets its turn.
TEST(MemoryBudget, SharesHeldAtOnceStayWithinTheBudgetAndAnOversizedOneRunsAlone)
{
    MemoryBudget budget(100);
    std::atomic<std::uint64_t> held{0}, most{0};
    std::atomic<int> running{0}, finished{0};
    std::atomic<bool> oversizedNotAlone{false};
    const std::vector<std::uint64_t> shares{40, 30, 70, 150, 40, 30, 70, 150, 60, 60};
    std::vector<std::thread> workers;
    for (std::uint64_t share : shares) {
        workers.emplace_back([&, share] {
            for (int round = 0; round < 20; ++round) {
                MemoryBudget::Share hold(budget, share);
                const std::uint64_t now = held += share;
                const int together = ++running;
                if (share > 100 && together > 1)
                    oversizedNotAlone = true;
                if (share <= 100) {
                    std::uint64_t seen = most;
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --running;
                held -= share;
            }
            ++finished;
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(finished, int(shares.size()));
    EXPECT_LE(most.load(), 100u);
    EXPECT_GT(most.load(), 70u);  // shares do run side by side when they fit
    EXPECT_FALSE(oversizedNotAlone);
}

TEST(MemoryBudget, DefaultIsAQuarterOfMemoryAtMostTwoGigabytes)
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    while (meminfo >> key >> kib && key != "MemTotal:")
        meminfo.ignore(64, '\n');
    ASSERT_EQ(key, "MemTotal:");
    const std::uint64_t expected = std::min<std::uint64_t>(2ULL << 30, kib * 1024 / 4);
    EXPECT_NEAR(double(MemoryBudget::defaultBytes()), double(expected), 1 << 20);
}
