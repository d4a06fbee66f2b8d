#include "WorkQueue.h"

#include "../host/Machine.h"
#include "../pnp/Loader.h"

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
    LoadedModule* image = routine != nullptr ? machine_.Modules().HoldCode(routine) : nullptr;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        q.items.push_back(Item{std::move(work), routine, image});
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
        Item item;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (!q.items.empty()) {
                item = std::move(q.items.front());
                q.items.pop_front();
                q.running = true;
            }
        }
        if (!item.work) {
            KeWaitForSingleObject(&q.ready, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        q.thread->routine = item.routine; // named in reports while it runs
        item.work();
        q.thread->routine = nullptr;
        machine_.Modules().Release(item.image);
        std::lock_guard<std::mutex> lk(mutex_);
        q.running = false;
    }
}

} // namespace host
