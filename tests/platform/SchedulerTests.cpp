// Threads, waits and time of the host machine, in simulated time.
#include <gtest/gtest.h>

#include <chrono>

#include "MachineChecks.h"
#include "host/Machine.h"

namespace {

using host::Machine;
using host::MachineOptions;

struct Shared {
    KEVENT go;
    KEVENT done;
    LONG counter = 0;
};

void NTAPI Worker(PVOID context)
{
    auto* s = static_cast<Shared*>(context);
    KeWaitForSingleObject(&s->go, Executive, KernelMode, FALSE, nullptr);
    for (int i = 0; i < 50; ++i)
        InterlockedIncrement(&s->counter);
    if (InterlockedIncrement(&s->counter) > 0)
        KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
}

TEST(Scheduler, ThreadsRunAndSignal)
{
    Machine machine;
    Shared s;
    KeInitializeEvent(&s.go, NotificationEvent, FALSE);
    KeInitializeEvent(&s.done, NotificationEvent, FALSE);
    HANDLE thread;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, Worker, &s));
    KeSetEvent(&s.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(51, s.counter);
    ZwClose(thread);
    machine.Shutdown();
}

TEST(Scheduler, TenSecondTimeoutPassesInSimulatedTime)
{
    Machine machine;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100000000LL; // 10 s
    auto wallStart = std::chrono::steady_clock::now();
    int64_t start = machine.Now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(100000000LL, machine.Now() - start);
    EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(1));
    machine.Shutdown();
}

TEST(Scheduler, DeadlockIsReportedWithEveryThread)
{
    Machine machine;
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    host::BugCheckInfo crash = rig::BugCheckOf(
        machine, [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_EQ(host::SIMULATION_DEADLOCK, crash.code);
    EXPECT_NE(std::string::npos, crash.detail.find("#1 \"owner\": blocked")) << crash.detail;
    EXPECT_NE(std::string::npos, crash.detail.find("synchronization event"));
    EXPECT_NE(std::string::npos, crash.detail.find("\"DPC\""));
}

TEST(Scheduler, WaitAtDispatchLevelIsABugCheck)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    host::BugCheckInfo crash = rig::BugCheckOf(
        machine, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, crash.code);
    EXPECT_EQ(host::VERIFIER_WAIT_AT_RAISED_IRQL, crash.parameters[0]);
}

std::vector<std::string> TraceOf(uint64_t seed)
{
    host::MachineOptions options;
    options.seed = seed;
    options.preemptProbability = 0.3;
    Machine machine(options);
    machine.Sched().EnableTrace(true);
    Shared s[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&s[i].go, NotificationEvent, TRUE);
        KeInitializeEvent(&s[i].done, NotificationEvent, FALSE);
        PsCreateSystemThread(&threads[i], 0, nullptr, nullptr, nullptr, Worker, &s[i]);
    }
    for (int i = 0; i < 3; ++i) {
        KeWaitForSingleObject(&s[i].done, Executive, KernelMode, FALSE, nullptr);
        ZwClose(threads[i]);
    }
    machine.Sleep(10000);
    std::vector<std::string> trace = rig::TraceLines(machine);
    machine.Shutdown();
    return trace;
}

TEST(Scheduler, TheSameSeedGivesTheSameTrace)
{
    auto first = TraceOf(7);
    EXPECT_GT(first.size(), 20u);
    EXPECT_EQ(first, TraceOf(7));
    EXPECT_NE(first, TraceOf(8)) << "another seed should interleave differently";
}

}  // namespace
