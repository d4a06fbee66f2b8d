// Scheduler scenarios run on every seed of the sweep (Seeds.h): whatever interleaving a seed
// draws, a spin lock excludes, a wake-up is never lost, timers keep virtual time exactly, and
// the same seed replays the same run.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "MachineChecks.h"
#include "Seeds.h"
#include "host/Machine.h"

namespace {

host::MachineOptions Options(uint64_t seed)
{
    host::MachineOptions options;
    options.seed = seed;
    options.preemptProbability = 0.3;
    return options;
}

void Start(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE thread;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, routine, context));
    ZwClose(thread);
}

class SeedSweep : public ::testing::TestWithParam<uint64_t> {
protected:
    void SetUp() override { trace_.emplace(__FILE__, __LINE__, rig::SeedTrace(GetParam())); }
    std::optional<::testing::ScopedTrace> trace_;
};

// Threads that update a plain counter under a spin lock, with a preemption point inside the
// critical section: an update is lost if the lock ever lets two in.
struct Counting {
    KSPIN_LOCK lock;
    LONG counter = 0;
    LONG spare = 0;
    KSEMAPHORE finished;
};
constexpr int kThreads = 3;
constexpr int kRounds = 40;

void NTAPI CountUnderLock(PVOID context)
{
    auto* c = static_cast<Counting*>(context);
    for (int i = 0; i < kRounds; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&c->lock, &old);
        LONG seen = c->counter;
        InterlockedIncrement(&c->spare); // a preemption point while holding the lock
        c->counter = seen + 1;
        KeReleaseSpinLock(&c->lock, old);
    }
    KeReleaseSemaphore(&c->finished, IO_NO_INCREMENT, 1, FALSE);
}

std::vector<std::string> CountingRun(uint64_t seed, LONG* counter)
{
    host::Machine machine(Options(seed));
    machine.Sched().EnableTrace(true);
    Counting c;
    KeInitializeSpinLock(&c.lock);
    KeInitializeSemaphore(&c.finished, 0, kThreads);
    for (int i = 0; i < kThreads; ++i)
        Start(CountUnderLock, &c);
    for (int i = 0; i < kThreads; ++i)
        KeWaitForSingleObject(&c.finished, Executive, KernelMode, FALSE, nullptr);
    machine.Sleep(10000);
    *counter = c.counter;
    std::vector<std::string> trace = rig::TraceLines(machine);
    machine.Shutdown();
    return trace;
}

TEST_P(SeedSweep, ASpinLockExcludesAndTheSeedReplaysTheRun)
{
    LONG first = 0;
    LONG second = 0;
    auto trace = CountingRun(GetParam(), &first);
    EXPECT_EQ(kThreads * kRounds, first);
    EXPECT_EQ(trace, CountingRun(GetParam(), &second));
    EXPECT_EQ(first, second);
}

// Two threads hand a turn back and forth through synchronization events: a lost or doubled
// wake-up ends in a deadlock report or a wrong count.
struct PingPong {
    KEVENT ping;
    KEVENT pong;
    LONG turns = 0;
    KEVENT done;
};
constexpr int kTurns = 50;

void NTAPI Ponger(PVOID context)
{
    auto* p = static_cast<PingPong*>(context);
    for (int i = 0; i < kTurns; ++i) {
        KeWaitForSingleObject(&p->ping, Executive, KernelMode, FALSE, nullptr);
        InterlockedIncrement(&p->turns);
        KeSetEvent(&p->pong, IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&p->done, IO_NO_INCREMENT, FALSE);
}

TEST_P(SeedSweep, SynchronizationEventsHandEveryTurnOver)
{
    host::Machine machine(Options(GetParam()));
    PingPong p;
    KeInitializeEvent(&p.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.pong, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.done, NotificationEvent, FALSE);
    Start(Ponger, &p);
    for (int i = 0; i < kTurns; ++i) {
        KeSetEvent(&p.ping, IO_NO_INCREMENT, FALSE);
        ASSERT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&p.pong, Executive, KernelMode, FALSE, nullptr));
        ASSERT_EQ(i + 1, p.turns);
    }
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(0, KeReadStateEvent(&p.pong)) << "a synchronization event stays consumed";
    machine.Shutdown();
}

// A periodic timer's DPC releases a semaphore each period; the owner sees every period at its
// exact virtual time, whatever else the seed schedules.
struct Ticking {
    KTIMER timer;
    KDPC dpc;
    KSEMAPHORE ticks;
};

void NTAPI Tick(PKDPC, PVOID context, PVOID, PVOID)
{
    KeReleaseSemaphore(&static_cast<Ticking*>(context)->ticks, IO_NO_INCREMENT, 1, FALSE);
}

TEST_P(SeedSweep, APeriodicTimerKeepsVirtualTime)
{
    host::Machine machine(Options(GetParam()));
    Ticking t;
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, Tick, &t);
    KeInitializeSemaphore(&t.ticks, 0, 100);
    int64_t start = machine.Now();
    LARGE_INTEGER due;
    due.QuadPart = -100000; // 10 ms, then every 10 ms
    KeSetTimerEx(&t.timer, due, 10, &t.dpc);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&t.ticks, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(i * 100000LL, machine.Now() - start);
    }
    KeCancelTimer(&t.timer);
    KeFlushQueuedDpcs();
    machine.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeedSweep, ::testing::ValuesIn(rig::Seeds()),
                         [](const auto& info) { return "seed" + std::to_string(info.param); });

} // namespace
