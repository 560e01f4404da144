// Work on many items in parallel with the results handed over in item order:
// what a batch needs to compute images on several threads and still write
// its table rows in input order, holding only a bounded number of results.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "TempFiles.h"

namespace regionfeat {

// Runs work(worker, item) for every item in [0, count) on `jobs` threads
// (worker in [0, jobs) names the thread, so the caller can keep per-thread
// state such as node instances; jobs is clamped to [1, count]; jobs == 1 runs
// on the calling thread with no thread created), and hands each result to
// deliver(item, Result&&) on the calling thread, strictly in the order of
// item. At most `window` items (raised to jobs when smaller) are started from
// the next one to deliver on, and a result is destroyed (or moved away by
// deliver) before the item `window` places after it may start, so at most
// `window` results exist at once, whatever the scheduling.
//
// If work throws for an item, failed(item, std::exception_ptr) is called on
// the calling thread at that item's turn in the order; it returns true to go
// on (skip the item) or false to stop: then no further item is started,
// running items finish and are dropped, and RunOrdered returns after every
// thread has joined. An exception thrown by deliver or failed stops the run
// the same way and is rethrown once every thread has joined. A thread that
// cannot be created (std::system_error) stops the run the same way, unless
// at least one worker is already running: the run then goes on with those.
// Never leaves a thread running, never calls std::terminate. The workers keep
// the signals of TempFiles.h blocked; the calling thread handles them (a
// worker's write to a closed pipe fails with EPIPE instead). Result must be
// movable; it need not be copyable or default-constructible.
template <class Result, class Work, class Deliver, class Failed>
void RunOrdered(std::size_t count, unsigned jobs, std::size_t window, Work&& work, Deliver&& deliver,
                Failed&& failed) {
    if (count == 0) return;
    const std::size_t threads = std::clamp<std::size_t>(jobs, 1, count);
    window = std::max(window, threads);

    if (threads == 1) {
        for (std::size_t item = 0; item < count; ++item) {
            std::exception_ptr error;
            bool delivering = false;
            try {
                Result result = work(0u, item);
                delivering = true;
                deliver(item, std::move(result));
            } catch (...) {
                if (delivering) throw;
                error = std::current_exception();
            }
            if (error && !failed(item, error)) return;
        }
        return;
    }

    // One slot per item in flight, item i in slot i % window: the window bound
    // guarantees that no two items in flight share a slot.
    struct Slot {
        std::optional<Result> result;
        std::exception_ptr error;
        bool ready = false;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Slot> slots(window);
    std::size_t nextToStart = 0;    // guarded by mutex
    std::size_t nextToDeliver = 0;  // guarded by mutex; advanced once a delivery is over
    bool stop = false;              // guarded by mutex

    auto worker = [&](unsigned id) {
        for (;;) {
            std::size_t item;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || nextToStart >= count || nextToStart < nextToDeliver + window; });
                if (stop || nextToStart >= count) return;
                item = nextToStart++;
            }
            std::exception_ptr error;
            try {
                Result result = work(id, item);
                std::lock_guard lock(mutex);
                if (!stop) slots[item % window].result.emplace(std::move(result));
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(mutex);
                if (!stop) {
                    Slot& slot = slots[item % window];
                    // Moved, so that the exception is released by the thread
                    // that reads it (its count is invisible to race checkers).
                    slot.error = std::move(error);
                    slot.ready = true;
                }
            }
            changed.notify_all();
        }
    };

    // Stops the workers and joins them on every way out of this function,
    // exceptions included.
    std::vector<std::thread> pool;
    struct Joiner {
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stop;
        std::vector<std::thread>& pool;
        ~Joiner() {
            {
                std::lock_guard lock(mutex);
                stop = true;
            }
            changed.notify_all();
            for (std::thread& t : pool) t.join();
        }
    } joiner{mutex, changed, stop, pool};

    pool.reserve(threads);
    {
        // Workers start with SIGINT, SIGTERM, SIGHUP and SIGPIPE blocked (a thread
        // inherits its creator's mask), so those signals are always handled
        // on the calling thread. That thread registers and renames temporary
        // outputs under a SignalBlock, which blocks the signals for itself
        // only: a worker taking the signal meanwhile would run the cleanup
        // over a list of temporary files half changed.
        SignalBlock block;
        for (std::size_t id = 0; id < threads; ++id) {
            try {
                pool.emplace_back(worker, static_cast<unsigned>(id));
            } catch (const std::system_error&) {
                if (pool.empty()) throw;
                break;
            }
        }
    }

    for (std::size_t item = 0; item < count; ++item) {
        Slot& slot = slots[item % window];
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slot.ready; });
        }
        // The slot is the caller's alone from here on: no worker may start the
        // item that shares it before nextToDeliver has passed this one. So the
        // result is delivered from where it lies, and it still counts against
        // the window until the delivery is over and it is gone.
        if (slot.error) {
            if (!failed(item, slot.error)) return;
        } else {
            deliver(item, std::move(*slot.result));
        }
        slot.result.reset();
        {
            std::lock_guard lock(mutex);
            slot.error = nullptr;
            slot.ready = false;
            nextToDeliver = item + 1;
        }
        changed.notify_all();
    }
}

// Number of hardware threads this process may run on (its CPU affinity,
// which a container or taskset may narrow), at least 1.
unsigned DefaultJobs();

}  // namespace regionfeat
