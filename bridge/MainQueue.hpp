#pragma once

#include <deque>
#include <functional>
#include <mutex>

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace quillon {

// Runs posted tasks on a GLib main context, one at a time, in the order they were posted.
// - post() may be called from any thread, including the main thread itself: the task never runs
//   inside post(), always later from the main loop (unlike g_main_context_invoke, which runs at
//   once when called on the context's owner thread and would overtake earlier tasks).
// - Tasks run on whichever thread iterates the context (the main thread in both hosts).
// - Destroying the queue drops tasks that have not run; destroy it on the main thread, after
//   every thread that posts to it has stopped.
class MainQueue {
public:
    explicit MainQueue(GMainContext* context = nullptr);  // nullptr: the default main context
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    void post(std::function<void()> task);

    // Number of tasks posted and not yet run (a task counts until it has returned).
    std::size_t pending() const;

private:
    static int dispatch(void* self);
    void drain();

    GMainContext* context_;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::size_t running_ = 0;
    GSource* scheduled_ = nullptr;  // the idle source that will drain the queue, when one is pending
};

}  // namespace quillon
