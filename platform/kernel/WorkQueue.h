// The executive's work queues: a critical and a delayed worker thread, each running queued
// items one after the other at PASSIVE_LEVEL. A queued item whose routine is in a driver image
// keeps that image mapped until the routine has returned.
#pragma once

#include <wdm.h>

#include <deque>
#include <functional>
#include <mutex>

namespace host {

class Machine;
struct LoadedModule;

class WorkQueues {
public:
    explicit WorkQueues(Machine& machine);
    // `routine` is the driver routine the item runs, for reports (null for platform work).
    void Queue(WORK_QUEUE_TYPE type, std::function<void()> work, const void* routine = nullptr);
    // Items queued or running now, on both queues.
    size_t Pending();

private:
    struct Item {
        std::function<void()> work;
        const void* routine = nullptr; // the driver routine it runs, for reports
        LoadedModule* image = nullptr; // held while the item is queued or running
    };
    struct QueueState {
        std::deque<Item> items;
        PKTHREAD thread = nullptr;
        KEVENT ready;
        bool running = false;
    };
    void Loop(QueueState& q);
    Machine& machine_;
    std::mutex mutex_;
    QueueState critical_;
    QueueState delayed_;
};

} // namespace host
