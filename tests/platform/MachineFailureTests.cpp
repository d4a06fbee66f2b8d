// Nothing a machine finds is lost: a bug check on any platform thread, and a bug check or a
// verifier report during the machine's end, fail the test that owned the machine unless the
// test took it; a run that only fires timers while every thread waits for good is a hang.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "MachineChecks.h"
#include "host/Machine.h"
#include "kernel/WorkQueue.h"
#include "pnp/PnpManager.h"

namespace {

using host::Machine;
using host::MachineCrash;
using host::MachineOptions;

constexpr ULONG kTestCode = 0xE2; // the code a driver raises with KeBugCheckEx on purpose
constexpr int64_t kMinute = 60LL * 10000000;

std::atomic<bool> g_reached{false}; // the bug-checking routine has started

void BugCheckNow()
{
    g_reached = true;
    KeBugCheckEx(kTestCode, 1, 2, 3, 4);
}

void NTAPI BugCheckingDpc(PKDPC, PVOID, PVOID, PVOID) { BugCheckNow(); }
void NTAPI BugCheckingThread(PVOID) { BugCheckNow(); }
void NTAPI BugCheckingWorkRoutine(PVOID) { BugCheckNow(); }

enum class Source { Dpc, TimerDpc, WorkItem, SystemThread, PnpThread };
enum class Owner {
    ReturnsAtOnce,        // leaves the test body: the machine goes
    KeepsRunning,         // calls non-blocking platform routines only, swallowing the crash
    SwallowsTheCrash,     // blocks, and catches the crash it is handed
};

struct Provoked {
    KDPC dpc;
    KTIMER timer;
};

void Provoke(Machine& machine, Source source, Provoked& p)
{
    switch (source) {
    case Source::Dpc:
        KeInitializeDpc(&p.dpc, BugCheckingDpc, nullptr);
        KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
        break;
    case Source::TimerDpc: {
        KeInitializeDpc(&p.dpc, BugCheckingDpc, nullptr);
        KeInitializeTimer(&p.timer);
        LARGE_INTEGER due;
        due.QuadPart = -10000; // 1 ms
        KeSetTimer(&p.timer, due, &p.dpc);
        break;
    }
    case Source::WorkItem:
        machine.Work().Queue(DelayedWorkQueue, [] { BugCheckNow(); });
        break;
    case Source::SystemThread: {
        HANDLE thread;
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr,
                                                       BugCheckingThread, nullptr));
        ZwClose(thread);
        break;
    }
    case Source::PnpThread:
        try {
            machine.Pnp().RunOnPnpThread([] { BugCheckNow(); });
        } catch (const MachineCrash&) {
        }
        break;
    }
}

void Behave(Machine& machine, Owner owner)
{
    try {
        switch (owner) {
        case Owner::ReturnsAtOnce:
            break;
        case Owner::KeepsRunning: {
            LONG counter = 0;
            bool real = !machine.Sched().Simulated();
            for (int i = 0; i < 2000 || (real && !g_reached); ++i)
                InterlockedIncrement(&counter);
            break;
        }
        case Owner::SwallowsTheCrash:
            // In real time the routine may take a while to be scheduled: wait for it (bounded).
            for (int i = 0; i < 5000 && (i == 0 || !g_reached); ++i)
                machine.Sleep(10000);
            break;
        }
    } catch (const MachineCrash&) {
        // Catching the crash is not taking it.
    }
}

struct CrashCase {
    const char* what;
    Source source;
    Owner owner;
    host::TimeMode mode;
};

TEST(MachineFailure, ABugCheckOnAnyThreadFailsTheTest)
{
    const CrashCase cases[] = {
        {"DPC, owner returns", Source::Dpc, Owner::ReturnsAtOnce, host::TimeMode::Simulated},
        {"DPC, owner keeps running", Source::Dpc, Owner::KeepsRunning, host::TimeMode::Simulated},
        {"timer DPC, owner swallows", Source::TimerDpc, Owner::SwallowsTheCrash,
         host::TimeMode::Simulated},
        {"work item, owner returns", Source::WorkItem, Owner::ReturnsAtOnce,
         host::TimeMode::Simulated},
        {"work item, owner keeps running", Source::WorkItem, Owner::KeepsRunning,
         host::TimeMode::Simulated},
        {"system thread, owner returns", Source::SystemThread, Owner::ReturnsAtOnce,
         host::TimeMode::Simulated},
        {"system thread, owner keeps running", Source::SystemThread, Owner::KeepsRunning,
         host::TimeMode::Simulated},
        {"PnP thread, owner swallows", Source::PnpThread, Owner::SwallowsTheCrash,
         host::TimeMode::Simulated},
        {"real time: DPC, owner keeps running", Source::Dpc, Owner::KeepsRunning,
         host::TimeMode::Real},
        {"real time: system thread, owner keeps running", Source::SystemThread,
         Owner::KeepsRunning, host::TimeMode::Real},
        {"real time: work item, owner swallows", Source::WorkItem, Owner::SwallowsTheCrash,
         host::TimeMode::Real},
    };
    for (const CrashCase& c : cases) {
        for (uint64_t seed : {1, 2, 3}) {
            SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
            g_reached = false;
            auto failures = rig::FailuresOf([&] {
                MachineOptions options;
                options.seed = seed;
                options.mode = c.mode;
                options.preemptProbability = 0.3;
                Provoked p; // outlives the machine, which may still hold its DPC or timer
                Machine machine(options);
                try {
                    Provoke(machine, c.source, p); // may already hand the baton over
                } catch (const MachineCrash&) {
                }
                Behave(machine, c.owner);
            });
            ASSERT_EQ(1u, failures.size()) << rig::Joined(failures);
            EXPECT_NE(std::string::npos, failures[0].find("*** STOP 0x000000E2 (0x1, 0x2"))
                << failures[0];
        }
    }
}

// The thread line of a report names a system thread by its creation number and start routine,
// a DPC or work routine by its symbol.
TEST(MachineFailure, TheReportNamesTheThreadAndTheRoutine)
{
    const struct {
        std::function<void(Machine&)> provoke;
        const char* line;
    } cases[] = {
        {[](Machine& m) {
             static Provoked p;
             Provoke(m, Source::Dpc, p);
             m.Shutdown();
         },
         "on thread #2 \"DPC\", running platform_tests!(anonymous namespace)::BugCheckingDpc:"},
        {[](Machine& m) {
             Provoked p;
             Provoke(m, Source::SystemThread, p);
         },
         "on thread #6 \"system thread\" started at "
         "platform_tests!(anonymous namespace)::BugCheckingThread:"},
        {[](Machine&) {
             static WORK_QUEUE_ITEM item;
             ExInitializeWorkItem(&item, BugCheckingWorkRoutine, nullptr);
             ExQueueWorkItem(&item, DelayedWorkQueue);
         },
         "on thread #4 \"delayed work queue\", running "
         "platform_tests!(anonymous namespace)::BugCheckingWorkRoutine:"},
    };
    for (auto& c : cases) {
        auto failures = rig::FailuresOf([&] {
            Machine machine;
            try {
                c.provoke(machine);
            } catch (const MachineCrash&) {
            }
        });
        ASSERT_EQ(1u, failures.size());
        EXPECT_NE(std::string::npos, failures[0].find(c.line)) << failures[0];
    }
}

TEST(MachineFailure, AFailureAtTheMachinesEndFailsTheTest)
{
    // A driver that keeps pool past its unload bug-checks when the machine unloads it.
    auto failures = rig::FailuresOf([] {
        Machine machine;
        machine.Pnp().InstallPackage({"ROOT\\LEAKY", "LEAKY", CV_LEAKY_DRIVER_PATH});
        PDRIVER_OBJECT driver = nullptr;
        machine.Pnp().RunOnPnpThread([&] { machine.Pnp().LoadDriver("LEAKY", &driver); });
    });
    ASSERT_EQ(1u, failures.size()) << rig::Joined(failures);
    EXPECT_NE(std::string::npos, failures[0].find("DRIVER_VERIFIER_DETECTED_VIOLATION"));

    // An MDL nobody freed is a verifier report at the end.
    static char buffer[64];
    failures = rig::FailuresOf([] {
        Machine machine;
        IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    });
    ASSERT_EQ(1u, failures.size()) << rig::Joined(failures);
    EXPECT_NE(std::string::npos, failures[0].find("verifier: at shutdown")) << failures[0];
}

// A test that provokes a bug check says so, and then the bug check is no failure; the wrong
// bug check, or none, is.
TEST(MachineFailure, AnExpectedBugCheckIsTakenAndAnythingElseFails)
{
    struct {
        const char* what;
        bool provoke;
        uint32_t expected; // 0: the test takes the crash afterwards
        size_t failures;
    } cases[] = {
        {"expected and raised", true, kTestCode, 0},
        {"taken afterwards", true, 0, 0},
        {"another code expected", true, host::BAD_POOL_CALLER, 1},
        {"expected but never raised", false, kTestCode, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto failures = rig::FailuresOf([&] {
            Machine machine;
            if (c.expected != 0)
                machine.ExpectCrash(c.expected);
            Provoked p;
            if (c.provoke)
                Provoke(machine, Source::SystemThread, p);
            Behave(machine, Owner::SwallowsTheCrash);
            if (c.expected == 0) {
                auto crash = machine.TakeCrash();
                ASSERT_TRUE(crash.has_value());
                EXPECT_EQ(kTestCode, crash->code);
            }
        });
        EXPECT_EQ(c.failures, failures.size()) << rig::Joined(failures);
    }
    auto failures = rig::FailuresOf([] {
        Machine machine;
        static char buffer[64];
        IoFreeMdl(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr));
        IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        machine.Shutdown();
        EXPECT_EQ(1u, machine.TakeReports().size());
    });
    EXPECT_TRUE(failures.empty()) << rig::Joined(failures);
}

// Hangs: every thread waits without a time-out while only the DPC context runs.
struct Ticker {
    KTIMER timer;
    KDPC dpc;
    LONG ticks = 0;
};

void NTAPI Tick(PKDPC, PVOID context, PVOID, PVOID)
{
    InterlockedIncrement(&static_cast<Ticker*>(context)->ticks);
}

void NTAPI TickAndRearm(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* t = static_cast<Ticker*>(context);
    InterlockedIncrement(&t->ticks);
    LARGE_INTEGER due;
    due.QuadPart = -10000000; // 1 s
    KeSetTimer(&t->timer, due, &t->dpc);
}

enum class Timers { PeriodicWithDpc, PeriodicWithoutDpc, RearmingDpc };

void StartTicking(Ticker& t, Timers kind)
{
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, kind == Timers::RearmingDpc ? TickAndRearm : Tick, &t);
    LARGE_INTEGER due;
    due.QuadPart = -10000000;
    KeSetTimerEx(&t.timer, due, kind == Timers::RearmingDpc ? 0 : 1000,
                 kind == Timers::PeriodicWithoutDpc ? nullptr : &t.dpc);
}

TEST(MachineFailure, OnlyTimersFiringWhileEveryThreadWaitsForGoodIsAHang)
{
    const struct {
        const char* what;
        Timers timers;
        int64_t hangAfter;
    } cases[] = {
        {"periodic timer with a DPC", Timers::PeriodicWithDpc, 0},
        {"periodic timer without a DPC", Timers::PeriodicWithoutDpc, 0},
        {"DPC that sets its timer again", Timers::RearmingDpc, 0},
        {"a limit of one minute", Timers::PeriodicWithDpc, kMinute},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        MachineOptions options;
        if (c.hangAfter != 0)
            options.hangAfter = c.hangAfter;
        Machine machine(options);
        Ticker t;
        StartTicking(t, c.timers);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        host::BugCheckInfo crash = rig::BugCheckOf(machine, [&] {
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        });
        EXPECT_EQ(host::SIMULATION_HANG, crash.code) << host::Describe(crash);
        int64_t limit = c.hangAfter != 0 ? c.hangAfter : 10 * kMinute;
        EXPECT_GE(machine.Now(), limit - 2 * 10000000);
        EXPECT_LE(machine.Now(), limit + 2 * 10000000);
        EXPECT_NE(std::string::npos,
                  crash.detail.find("#1 \"owner\": blocked at IRQL 0, waits for notification "
                                    "event at"))
            << crash.detail;
        EXPECT_NE(std::string::npos, crash.detail.find("(no time-out)"));
        EXPECT_NE(std::string::npos, crash.detail.find("timer due at")) << crash.detail;
        KeCancelTimer(&t.timer);
    }
}

struct Patient {
    int rounds;
    LONG done = 0;
};

void NTAPI WaitsWithATimeOut(PVOID context)
{
    auto* p = static_cast<Patient*>(context);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000000LL; // 20 s
    for (int i = 0; i < p->rounds; ++i)
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    InterlockedIncrement(&p->done);
}

TEST(MachineFailure, WaitsWithATimeOutAndTheOwnersSleepAreNoHang)
{
    Machine machine;
    Ticker t;
    StartTicking(t, Timers::PeriodicWithDpc);
    machine.Sleep(20 * kMinute); // the owner sleeping with a ticker running
    EXPECT_GE(t.ticks, 20 * 60 - 1);

    // Twenty minutes of a thread waiting with time-outs, while the owner waits for good.
    Patient p{60};
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                                   WaitsWithATimeOut, &p));
    PVOID thread;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread,
                                                        nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, p.done);
    ObDereferenceObject(thread);
    ZwClose(handle);
    KeCancelTimer(&t.timer);
}

} // namespace
