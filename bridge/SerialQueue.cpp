#include "bridge/SerialQueue.hpp"

#include <pthread.h>

namespace quillon {

SerialQueue::SerialQueue(std::string name) : name_(std::move(name))
{
    worker_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::async(std::function<void()> task, std::function<void()> whenCancelled)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        tasks_.push_back({std::move(task), std::move(whenCancelled), generation_});
    }
    wake_.notify_one();
}

void SerialQueue::waitIdle()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return (tasks_.empty() && !running_) || stopping_; });
}

void SerialQueue::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !worker_.joinable())
            return;
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    idle_.notify_all();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
}

bool SerialQueue::stopRequested() const
{
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool SerialQueue::busy() const
{
    std::lock_guard lock(mutex_);
    return running_ || !tasks_.empty();
}

void SerialQueue::cancel()
{
    std::lock_guard lock(mutex_);
    ++generation_;
}

std::uint64_t SerialQueue::cancelGeneration() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

bool SerialQueue::cancelRequested() const
{
    std::lock_guard lock(mutex_);
    return stopping_ || runningGeneration_ != generation_;
}

void SerialQueue::run()
{
    // Linux limits thread names to 15 characters; "stills.io" fits.
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_)
            break;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        runningGeneration_ = task.generation;
        const bool cancelled = task.generation != generation_;
        lock.unlock();
        if (!cancelled)
            task.run();
        else if (task.whenCancelled)
            task.whenCancelled();
        task = {};  // release what the task captured before reporting idle
        lock.lock();
        running_ = false;
        if (tasks_.empty())
            idle_.notify_all();
    }
    running_ = false;
    idle_.notify_all();
}

}  // namespace quillon
