#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bridge/OrderedPool.hpp"

using quillon::OrderedPool;

namespace {

// Counts how many items are between start and consumption, and how many compute at once.
struct Gauge {
    std::mutex mutex;
    int computing = 0;
    int maxComputing = 0;
    int open = 0;  // started, not yet consumed
    int maxOpen = 0;

    void start()
    {
        std::lock_guard lock(mutex);
        maxComputing = std::max(maxComputing, ++computing);
        maxOpen = std::max(maxOpen, ++open);
    }
    void stop()
    {
        std::lock_guard lock(mutex);
        --computing;
    }
    void consumed()
    {
        std::lock_guard lock(mutex);
        --open;
    }
};

}  // namespace

TEST(OrderedPool, ConsumesInInputOrderWithBoundedWork)
{
    OrderedPool pool(3);
    const std::size_t count = 200;
    std::vector<int> results(count, -1);
    std::vector<std::size_t> order;
    std::vector<int> delays(count);
    std::mt19937 random(7);
    for (int& d : delays)
        d = static_cast<int>(random() % 400);
    Gauge gauge;

    pool.run(
        count, 5,
        [&](std::size_t i) {
            gauge.start();
            std::this_thread::sleep_for(std::chrono::microseconds(delays[i]));
            results[i] = static_cast<int>(i * i);
            gauge.stop();
        },
        [&](std::size_t i) {
            EXPECT_EQ(results[i], static_cast<int>(i * i));  // compute(i) finished before
            order.push_back(i);
            gauge.consumed();
            return true;
        });

    ASSERT_EQ(order.size(), count);
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_LE(gauge.maxComputing, 3);
    EXPECT_GE(gauge.maxComputing, 2);  // the work really is shared
    EXPECT_LE(gauge.maxOpen, 5);
}

TEST(OrderedPool, StopsStartingAfterConsumeSaysStop)
{
    OrderedPool pool(2);
    std::atomic<int> started{0};
    std::vector<std::size_t> consumed;
    pool.run(
        1000, 4, [&](std::size_t) { ++started; },
        [&](std::size_t i) {
            consumed.push_back(i);
            return i < 9;
        });
    EXPECT_EQ(consumed.size(), 10u);
    EXPECT_LE(started.load(), 10 + 4);
}
