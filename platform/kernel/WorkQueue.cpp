#include "WorkQueue.h"

#include "../host/Machine.h"

namespace host {

WorkQueues::WorkQueues(Machine& machine) : machine_(machine)
{
    KeInitializeEvent(&critical_.ready, SynchronizationEvent, FALSE);
    KeInitializeEvent(&delayed_.ready, SynchronizationEvent, FALSE);
    machine_.Sched().NameObject(&critical_.ready, "its queue's work-ready event (idle)");
    machine_.Sched().NameObject(&delayed_.ready, "its queue's work-ready event (idle)");
    critical_.thread = machine_.Sched().CreateThread("critical work queue",
                                                     [this] { Loop(critical_); }, PASSIVE_LEVEL,
                                                     true);
    delayed_.thread = machine_.Sched().CreateThread("delayed work queue",
                                                    [this] { Loop(delayed_); }, PASSIVE_LEVEL, true);
}

void WorkQueues::Queue(WORK_QUEUE_TYPE type, std::function<void()> work, const void* routine)
{
    QueueState& q = type == DelayedWorkQueue ? delayed_ : critical_;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        q.items.emplace_back(std::move(work), routine);
    }
    KeSetEvent(&q.ready, IO_NO_INCREMENT, FALSE);
}

size_t WorkQueues::Pending()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return critical_.items.size() + delayed_.items.size() + (critical_.running ? 1 : 0) +
           (delayed_.running ? 1 : 0);
}

void WorkQueues::Loop(QueueState& q)
{
    for (;;) {
        std::function<void()> work;
        const void* routine = nullptr;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (!q.items.empty()) {
                work = std::move(q.items.front().first);
                routine = q.items.front().second;
                q.items.pop_front();
                q.running = true;
            }
        }
        if (!work) {
            KeWaitForSingleObject(&q.ready, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        q.thread->routine = routine; // named in reports while it runs
        work();
        q.thread->routine = nullptr;
        std::lock_guard<std::mutex> lk(mutex_);
        q.running = false;
    }
}

} // namespace host
