#pragma once

#include <cstddef>
#include <functional>

namespace quillon {

// Runs independent per-item work on a few worker threads while the calling thread consumes the
// results strictly in input order, so whatever the caller makes visible (ids, names, writes,
// events) never depends on which worker finished first.
// - run() blocks the calling thread until every item is consumed or consume() asked to stop.
// - compute(i) runs on a worker thread, at most `workers` at once; it must store its result where
//   consume(i) finds it (typically slot i of a vector the caller owns) and must not throw (an
//   exception is swallowed and leaves the slot as compute left it).
// - consume(i) runs on the calling thread for i = 0, 1, ... after compute(i) has returned, and
//   returns false to stop: no further item is started and run() returns once the ones already
//   running have finished.
// - Memory stays bounded: an item is started only when fewer than `window` items are started
//   but not yet consumed.
// Each run() starts its own worker threads and joins them before returning, so an idle pool holds
// no threads; run() may be called from any thread.
class OrderedPool {
public:
    // workers 0 means one per core.
    explicit OrderedPool(unsigned workers = 0);
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;

    unsigned workers() const { return workers_; }

    void run(std::size_t count, std::size_t window, const std::function<void(std::size_t)>& compute,
             const std::function<bool(std::size_t)>& consume);

    // One per core as the system reports it, at least 1.
    static unsigned defaultWorkers();

private:
    unsigned workers_;
};

}  // namespace quillon
