#include "bridge/MainQueue.hpp"

#include <glib.h>

namespace quillon {

MainQueue::MainQueue(GMainContext* context)
    : context_(context ? g_main_context_ref(context) : g_main_context_ref(g_main_context_default()))
{
}

MainQueue::~MainQueue()
{
    GSource* source = nullptr;
    {
        std::lock_guard lock(mutex_);
        source = scheduled_;
        scheduled_ = nullptr;
        tasks_.clear();
    }
    if (source) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    g_main_context_unref(context_);
}

void MainQueue::post(std::function<void()> task)
{
    GSource* toAttach = nullptr;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        if (!scheduled_) {
            scheduled_ = g_idle_source_new();
            g_source_set_priority(scheduled_, G_PRIORITY_DEFAULT);
            g_source_set_callback(scheduled_, &MainQueue::dispatch, this, nullptr);
            toAttach = scheduled_;
            g_source_ref(toAttach);  // the queue's own reference, released when it has run
        }
    }
    if (toAttach) {
        g_source_attach(toAttach, context_);
        g_source_unref(toAttach);  // the attach holds its own
    }
}

std::size_t MainQueue::pending() const
{
    std::lock_guard lock(mutex_);
    return tasks_.size() + running_;
}

int MainQueue::dispatch(void* self)
{
    static_cast<MainQueue*>(self)->drain();
    return G_SOURCE_REMOVE;
}

void MainQueue::drain()
{
    // Take the tasks that are there now; tasks posted while these run get a new idle source, so
    // other sources of the main loop (input, panels) are not starved by a long stream of events.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
        running_ = batch.size();
        if (scheduled_) {
            g_source_unref(scheduled_);
            scheduled_ = nullptr;
        }
    }
    while (!batch.empty()) {
        std::function<void()> task = std::move(batch.front());
        batch.pop_front();
        task();
        std::lock_guard lock(mutex_);
        --running_;
    }
}

}  // namespace quillon
