#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quillon {

// A serial work queue: one worker thread of its own (named after the queue, e.g. "stills.io")
// runs the submitted tasks one at a time in submission order (FIFO).
// - async() may be called from any thread, also from a task on this queue.
// - waitIdle() blocks until no task is queued or running; never call it from a task on this queue.
// - Shutdown (the destructor, or stop()): tasks not yet started are abandoned, stopRequested()
//   turns true so a running task can end at its next item, then the worker is joined. Call it
//   before destroying anything a queued task refers to.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    void waitIdle();
    void stop();
    bool stopRequested() const;

private:
    void run();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;  // last: started after every other member exists
};

}  // namespace quillon
