// Dispatcher objects as documented: a signal satisfies waits at once, so a reset that follows
// cannot take a wake-up back, and what a wait consumes (a synchronization event or timer, a
// semaphore's count, a mutex) goes to exactly the waiters it released. Each case runs over
// several seeds, with the waiters blocked before the signal.
#include <gtest/gtest.h>

#include <functional>

#include "MachineChecks.h"
#include "host/Machine.h"

namespace {

using host::Machine;
using host::MachineOptions;

constexpr int kWaiters = 4;

struct Object {
    union {
        KEVENT event;
        KSEMAPHORE semaphore;
        KMUTEX mutex;
        KTIMER timer;
    };
    bool isMutex = false;
    LONG released = 0;  // waits that returned STATUS_WAIT_0
    LONG inside = 0;    // waiters holding the mutex now
    LONG crowded = 0;   // times two waiters held the mutex at once
    LONG canGo = 0;     // a mutex holder leaves once this is set
};

void NTAPI WaitOnce(PVOID context)
{
    auto* o = static_cast<Object*>(context);
    if (KeWaitForSingleObject(&o->event, Executive, KernelMode, FALSE, nullptr) != STATUS_WAIT_0)
        return;
    InterlockedIncrement(&o->released);
    if (!o->isMutex)
        return;
    if (InterlockedIncrement(&o->inside) > 1)
        InterlockedIncrement(&o->crowded);
    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // hold it for 1 ms
    while (InterlockedCompareExchange(&o->canGo, 0, 0) == 0)
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    InterlockedDecrement(&o->inside);
    KeReleaseMutex(&o->mutex, FALSE);
}

struct SemanticsCase {
    const char* what;
    std::function<void(Object&)> init;   // before the waiters start
    std::function<void(Object&)> signal; // with every waiter blocked
    LONG released;                       // waiters released by the signal
    LONG stateAfter;                     // the object's signal state right after the signal
    std::function<void(Object&)> rest;   // releases the waiters still blocked
};

LARGE_INTEGER Soon()
{
    LARGE_INTEGER due;
    due.QuadPart = -10000; // 1 ms
    return due;
}

const SemanticsCase kCases[] = {
    {"notification event set then reset at once",
     [](Object& o) { KeInitializeEvent(&o.event, NotificationEvent, FALSE); },
     [](Object& o) {
         KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE);
         KeResetEvent(&o.event);
     },
     kWaiters, 0, [](Object&) {}},
    {"notification event set then cleared at once",
     [](Object& o) { KeInitializeEvent(&o.event, NotificationEvent, FALSE); },
     [](Object& o) {
         KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE);
         KeClearEvent(&o.event);
     },
     kWaiters, 0, [](Object&) {}},
    {"synchronization event set once",
     [](Object& o) { KeInitializeEvent(&o.event, SynchronizationEvent, FALSE); },
     [](Object& o) { KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE); }, 1, 0,
     [](Object& o) {
         for (int i = 1; i < kWaiters; ++i)
             KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE);
     }},
    {"synchronization event set then reset",
     [](Object& o) { KeInitializeEvent(&o.event, SynchronizationEvent, FALSE); },
     [](Object& o) {
         KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE);
         KeResetEvent(&o.event);
     },
     1, 0,
     [](Object& o) {
         for (int i = 1; i < kWaiters; ++i)
             KeSetEvent(&o.event, IO_NO_INCREMENT, FALSE);
     }},
    {"semaphore released by two",
     [](Object& o) { KeInitializeSemaphore(&o.semaphore, 0, kWaiters); },
     [](Object& o) { KeReleaseSemaphore(&o.semaphore, IO_NO_INCREMENT, 2, FALSE); }, 2, 0,
     [](Object& o) { KeReleaseSemaphore(&o.semaphore, IO_NO_INCREMENT, kWaiters - 2, FALSE); }},
    {"semaphore released by more than wait",
     [](Object& o) { KeInitializeSemaphore(&o.semaphore, 0, kWaiters + 2); },
     [](Object& o) { KeReleaseSemaphore(&o.semaphore, IO_NO_INCREMENT, kWaiters + 1, FALSE); },
     kWaiters, 1, [](Object&) {}},
    {"mutex handed to one waiter",
     [](Object& o) {
         o.isMutex = true;
         KeInitializeMutex(&o.mutex, 0);
         KeWaitForSingleObject(&o.mutex, Executive, KernelMode, FALSE, nullptr);
     },
     [](Object& o) { KeReleaseMutex(&o.mutex, FALSE); }, 1, 0,
     [](Object& o) { InterlockedExchange(&o.canGo, 1); }},
    {"notification timer",
     [](Object& o) { KeInitializeTimerEx(&o.timer, NotificationTimer); },
     [](Object& o) {
         KeSetTimer(&o.timer, Soon(), nullptr);
         LARGE_INTEGER wait;
         wait.QuadPart = -20000;
         KeDelayExecutionThread(KernelMode, FALSE, &wait); // the timer expires meanwhile
     },
     kWaiters, 1, [](Object&) {}},
    {"synchronization timer",
     [](Object& o) { KeInitializeTimerEx(&o.timer, SynchronizationTimer); },
     [](Object& o) {
         KeSetTimer(&o.timer, Soon(), nullptr);
         LARGE_INTEGER wait;
         wait.QuadPart = -20000;
         KeDelayExecutionThread(KernelMode, FALSE, &wait);
     },
     1, 0,
     [](Object& o) {
         for (int i = 1; i < kWaiters; ++i) {
             KeSetTimer(&o.timer, Soon(), nullptr);
             LARGE_INTEGER wait;
             wait.QuadPart = -20000;
             KeDelayExecutionThread(KernelMode, FALSE, &wait);
         }
     }},
};

LONG StateOf(Object& o) { return o.event.Header.SignalState; }

TEST(Dispatcher, ASignalReleasesExactlyTheWaitersItSatisfies)
{
    for (const SemanticsCase& c : kCases) {
        for (uint64_t seed : {1, 2, 3, 4, 5}) {
            SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
            MachineOptions options;
            options.seed = seed;
            options.preemptProbability = 0.3;
            Machine machine(options);
            Object o;
            c.init(o);
            HANDLE threads[kWaiters];
            for (HANDLE& thread : threads)
                ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, 0, nullptr, nullptr,
                                                               nullptr, WaitOnce, &o));
            machine.Sleep(10000); // every waiter runs and blocks
            ASSERT_EQ(0, o.released);
            c.signal(o);
            EXPECT_EQ(c.stateAfter, StateOf(o)) << "right after the signal";
            machine.Sleep(100000);
            EXPECT_EQ(c.released, o.released);
            EXPECT_EQ(c.stateAfter, StateOf(o)) << "after the released waiters ran";
            c.rest(o);
            machine.Sleep(10 * 10000000LL);
            EXPECT_EQ(kWaiters, o.released) << "every waiter is released in the end";
            EXPECT_EQ(0, o.crowded) << "two waiters held the mutex at once";
            for (HANDLE thread : threads)
                ZwClose(thread);
        }
    }
}

// A waiter that a set releases sees STATUS_WAIT_0 of the object that released it, also in a
// wait for several objects.
TEST(Dispatcher, AWaitForAnyReturnsTheObjectThatReleasedIt)
{
    for (uint64_t seed : {1, 2, 3}) {
        MachineOptions options;
        options.seed = seed;
        options.preemptProbability = 0.3;
        Machine machine(options);
        static KEVENT events[2];
        static NTSTATUS status;
        KeInitializeEvent(&events[0], SynchronizationEvent, FALSE);
        KeInitializeEvent(&events[1], SynchronizationEvent, FALSE);
        status = -1;
        HANDLE thread;
        ASSERT_EQ(STATUS_SUCCESS,
                  PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr,
                                       [](PVOID) {
                                           PVOID objects[2] = {&events[0], &events[1]};
                                           status = KeWaitForMultipleObjects(
                                               2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
                                       },
                                       nullptr));
        machine.Sleep(10000);
        KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
        KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
        machine.Sleep(10000);
        EXPECT_EQ(STATUS_WAIT_0 + 1, status);
        EXPECT_EQ(1, KeReadStateEvent(&events[0])) << "the second set found no waiter";
        EXPECT_EQ(0, KeReadStateEvent(&events[1])) << "consumed by the waiter";
        ZwClose(thread);
    }
}

// Misuse of dispatcher objects is a bug check, each violation with its own code or sub-code.
TEST(Dispatcher, MisuseIsABugCheckWithItsOwnCode)
{
    const struct {
        const char* what;
        std::function<void()> misuse;
        uint32_t code;
        uintptr_t subCode; // parameter 1, where the code has sub-codes
    } cases[] = {
        {"semaphore released beyond its limit",
         [] {
             static KSEMAPHORE semaphore;
             KeInitializeSemaphore(&semaphore, 1, 1);
             KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
         },
         host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_SEMAPHORE_LIMIT},
        {"wait for many objects without wait blocks",
         [] {
             static KEVENT events[THREAD_WAIT_OBJECTS + 1];
             PVOID objects[THREAD_WAIT_OBJECTS + 1];
             for (int i = 0; i <= THREAD_WAIT_OBJECTS; ++i) {
                 KeInitializeEvent(&events[i], NotificationEvent, TRUE);
                 objects[i] = &events[i];
             }
             KeWaitForMultipleObjects(THREAD_WAIT_OBJECTS + 1, objects, WaitAll, Executive,
                                      KernelMode, FALSE, nullptr, nullptr);
         },
         host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_WAIT_BLOCKS_MISSING},
        {"floating-point state restored without a save",
         [] {
             KFLOATING_SAVE save{};
             KeRestoreFloatingPointState(&save);
         },
         host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_FLOAT_STATE_NOT_SAVED},
        {"mutex released by a thread that does not own it",
         [] {
             static KMUTEX mutex;
             KeInitializeMutex(&mutex, 0);
             KeReleaseMutex(&mutex, FALSE);
         },
         host::THREAD_NOT_MUTEX_OWNER, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        host::BugCheckInfo crash = rig::BugCheckOf(machine, c.misuse);
        EXPECT_EQ(c.code, crash.code) << host::Describe(crash);
        if (c.subCode != 0) {
            EXPECT_EQ(c.subCode, crash.parameters[0]) << host::Describe(crash);
        }
    }
}

} // namespace
