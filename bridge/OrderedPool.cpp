#include "bridge/OrderedPool.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon {

OrderedPool::OrderedPool(unsigned workers) : workers_(workers ? workers : defaultWorkers()) {}

unsigned OrderedPool::defaultWorkers() { return std::max(1u, std::thread::hardware_concurrency()); }

void OrderedPool::run(std::size_t count, std::size_t window, const std::function<void(std::size_t)>& compute,
                      const std::function<bool(std::size_t)>& consume)
{
    if (count == 0)
        return;
    window = std::max<std::size_t>(window, 1);

    std::mutex mutex;
    std::condition_variable canStart;  // workers wait here for a free place in the window
    std::condition_variable finished;  // the caller waits here for the item it consumes next
    std::vector<char> done(count, 0);
    std::size_t next = 0;      // the next item to start
    std::size_t consumed = 0;  // items consumed so far (0 .. consumed-1)
    bool stopping = false;

    auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            canStart.wait(lock, [&] { return stopping || next >= count || next < consumed + window; });
            if (stopping || next >= count)
                return;
            const std::size_t item = next++;
            lock.unlock();
            try {
                compute(item);
            } catch (...) {
            }
            lock.lock();
            done[item] = 1;
            finished.notify_all();
        }
    };

    const std::size_t threadCount = std::min<std::size_t>({workers_, count, window});
    std::vector<std::jthread> threads;
    threads.reserve(threadCount);
    for (std::size_t t = 0; t < threadCount; ++t)
        threads.emplace_back(work);

    // Declared after the threads, so on every way out (an exception from consume() included) the
    // workers are told to stop before the threads are joined; items already running finish first.
    struct StopWorkers {
        std::function<void()> stop;
        ~StopWorkers() { stop(); }
    } stopWorkers{[&] {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        canStart.notify_all();
    }};
    for (std::size_t item = 0; item < count; ++item) {
        {
            std::unique_lock lock(mutex);
            finished.wait(lock, [&] { return done[item] != 0; });
        }
        const bool goOn = consume(item);
        {
            std::lock_guard lock(mutex);
            consumed = item + 1;
        }
        canStart.notify_all();
        if (!goOn)
            break;
    }
}

}  // namespace quillon
