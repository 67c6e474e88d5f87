#pragma once

#include <condition_variable>
#include <cstdint>
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
// - cancel() may be called from any thread. Every task submitted before it is cancelled: the one
//   running sees cancelRequested() turn true and ends at its next item as it chooses; each one
//   still queued runs its `whenCancelled` instead of itself, in FIFO order on the worker (nothing
//   when it has none). Tasks submitted after cancel() run normally.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task, std::function<void()> whenCancelled = {});
    void waitIdle();
    void stop();
    bool stopRequested() const;

    // Any thread. Whether a task is queued or running.
    bool busy() const;

    void cancel();
    // Any thread. How many times cancel() has been called: a caller that notes it can tell later
    // whether a cancel came in between.
    std::uint64_t cancelGeneration() const;
    // From a task on this queue: whether cancel() (or stop()) was called since it was submitted.
    bool cancelRequested() const;

private:
    struct Task {
        std::function<void()> run;
        std::function<void()> whenCancelled;
        std::uint64_t generation = 0;  // the value of generation_ when it was submitted
    };

    void run();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    std::uint64_t generation_ = 0;         // advanced by every cancel()
    std::uint64_t runningGeneration_ = 0;  // generation of the task running now
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;  // last: started after every other member exists
};

}  // namespace quillon
