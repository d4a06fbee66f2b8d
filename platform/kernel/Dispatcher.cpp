// The executive and dispatcher routines drivers call: dispatcher objects and waits, timers and
// DPCs, spin locks and IRQL, interlocked operations, system threads, time, debug output and
// bug checks.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>

#include "../host/Machine.h"
#include "../io/ObjectManager.h"
#include "../pnp/Loader.h"
#include "../verifier/IrqlRules.h"
#include "Pool.h"
#include "Scheduler.h"

using host::M;
using host::Scheduler;

namespace {

enum ObjectType : UCHAR {
    kNotificationEvent = 0,
    kSynchronizationEvent = 1,
    kMutant = 2,
    kSemaphore = 5,
    kThread = 6,
    kNotificationTimer = 8,
    kSynchronizationTimer = 9,
    kDpc = 19,
};

// 2026-01-01 00:00:00 UTC in 100-ns units since 1601: the simulated machine's boot time.
constexpr int64_t kSimulatedBootSystemTime = 134116992000000000LL;

int64_t SystemTimeBase()
{
    static int64_t realBase = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return 116444736000000000LL + static_cast<int64_t>(ts.tv_sec) * 10000000 +
               ts.tv_nsec / 100;
    }();
    Scheduler& s = M().Sched();
    return s.Simulated() ? kSimulatedBootSystemTime : realBase - s.Now();
}

PKTHREAD Self(const char* routine)
{
    PKTHREAD self = Scheduler::Current();
    if (self == nullptr) {
        std::fprintf(stderr, "host platform: %s called from a thread that is not a platform thread\n",
                     routine);
        std::abort();
    }
    return self;
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state)
{
    h->Type = type;
    h->Absolute = 0;
    h->Size = 0;
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

// Interrupt-time deadline of a wait's time-out; false when the wait has no time-out.
bool Deadline(PLARGE_INTEGER timeout, int64_t* deadline)
{
    if (timeout == nullptr)
        return false;
    int64_t v = timeout->QuadPart;
    int64_t now = M().Sched().Now();
    *deadline = v <= 0 ? now - v : v - SystemTimeBase();
    return true;
}

NTSTATUS Wait(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout,
              const char* routine)
{
    PKTHREAD self = Self(routine);
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (self->irql > DISPATCH_LEVEL || (self->irql == DISPATCH_LEVEL && !poll)) {
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_WAIT_AT_RAISED_IRQL,
                       self->irql, reinterpret_cast<uintptr_t>(objects[0]), 0,
                       std::string(routine) + " at IRQL " + std::to_string(self->irql));
    }
    M().Sched().PreemptionPoint(routine);
    int64_t deadline = 0;
    bool timed = Deadline(timeout, &deadline);
    Scheduler& s = M().Sched();
    std::unique_lock<std::mutex> lk(s.Lock());
    self->waitObjects = objects;
    self->waitCount = count;
    self->waitType = type;
    self->waitTimed = timed;
    self->waitDeadline = deadline;
    self->waitReason = nullptr;
    self->waitSatisfied = false;
    self->waitSequence = s.NextWaitSequence();
    NTSTATUS status = STATUS_TIMEOUT;
    // Satisfied now, or by the signal that wakes this thread (which consumed what the wait
    // takes on its behalf): the objects are not looked at again after the wake-up.
    bool satisfied = s.TrySatisfy(self, &status);
    while (!satisfied && !poll && !(timed && s.Now() >= deadline)) {
        try {
            s.Block(lk, self);
        } catch (...) {
            self->waitObjects = nullptr;
            self->waitCount = 0;
            self->waitTimed = false;
            throw;
        }
        satisfied = self->waitSatisfied;
        if (satisfied)
            status = self->waitStatus;
        else if (self->waitTimedOut)
            break;
    }
    self->waitObjects = nullptr;
    self->waitCount = 0;
    self->waitTimed = false;
    self->waitSatisfied = false;
    return satisfied ? status : STATUS_TIMEOUT;
}

} // namespace

namespace host {

[[noreturn]] void BugCheck(uint32_t code, uintptr_t p1, uintptr_t p2, uintptr_t p3, uintptr_t p4,
                           const std::string& detail)
{
    BugCheckInfo info;
    info.code = code;
    info.parameters[0] = p1;
    info.parameters[1] = p2;
    info.parameters[2] = p3;
    info.parameters[3] = p4;
    info.detail = detail;
    M().Sched().Crash(info);
}

} // namespace host

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitHeader(&Event->Header, Type == NotificationEvent ? kNotificationEvent : kSynchronizationEvent,
               State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    host::CheckCallerIrql("KeSetEvent");
    PKTHREAD self = Self("KeSetEvent");
    if (self->irql > DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<uintptr_t>(Event), self->irql,
                       0, 0, "KeSetEvent above DISPATCH_LEVEL");
    LONG old;
    {
        Scheduler& s = M().Sched();
        std::lock_guard<std::mutex> lk(s.Lock());
        old = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        s.SatisfyWaiters(Event);
    }
    M().Sched().PreemptionPoint("KeSetEvent");
    return old;
}

void NTAPI KeClearEvent(PRKEVENT Event)
{
    host::CheckCallerIrql("KeClearEvent");
    Scheduler& s = M().Sched();
    std::lock_guard<std::mutex> lk(s.Lock());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    host::CheckCallerIrql("KeResetEvent");
    Scheduler& s = M().Sched();
    std::lock_guard<std::mutex> lk(s.Lock());
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    host::CheckCallerIrql("KeReadStateEvent");
    return Event->Header.SignalState;
}

void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    host::CheckCallerIrql("KeInitializeSemaphore");
    InitHeader(&Semaphore->Header, kSemaphore, Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN)
{
    host::CheckCallerIrql("KeReleaseSemaphore");
    LONG old;
    {
        Scheduler& s = M().Sched();
        std::unique_lock<std::mutex> lk(s.Lock());
        old = Semaphore->Header.SignalState;
        if (Adjustment <= 0 || old + Adjustment > Semaphore->Limit || old + Adjustment < old) {
            lk.unlock();
            host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_SEMAPHORE_LIMIT,
                           reinterpret_cast<uintptr_t>(Semaphore), static_cast<uintptr_t>(old),
                           static_cast<uintptr_t>(Adjustment),
                           "semaphore released beyond its limit of " +
                               std::to_string(Semaphore->Limit));
        }
        Semaphore->Header.SignalState = old + Adjustment;
        s.SatisfyWaiters(Semaphore);
    }
    M().Sched().PreemptionPoint("KeReleaseSemaphore");
    return old;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    host::CheckCallerIrql("KeReadStateSemaphore");
    return Semaphore->Header.SignalState;
}

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    host::CheckCallerIrql("KeInitializeMutex");
    InitHeader(&Mutex->Header, kMutant, 1);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    host::CheckCallerIrql("KeReleaseMutex");
    PKTHREAD self = Self("KeReleaseMutex");
    LONG old;
    {
        Scheduler& s = M().Sched();
        std::unique_lock<std::mutex> lk(s.Lock());
        old = Mutex->Header.SignalState;
        if (Mutex->OwnerThread != self) {
            std::string owner = Mutex->OwnerThread != nullptr ? Mutex->OwnerThread->name : "nobody";
            lk.unlock();
            host::BugCheck(host::THREAD_NOT_MUTEX_OWNER, reinterpret_cast<uintptr_t>(Mutex),
                           reinterpret_cast<uintptr_t>(self), 0, 0,
                           "mutex released by \"" + self->name + "\" but owned by " + owner);
        }
        Mutex->Header.SignalState++;
        if (Mutex->Header.SignalState == 1) {
            Mutex->OwnerThread = nullptr;
            self->mutexesHeld--;
            s.SatisfyWaiters(Mutex);
        }
    }
    M().Sched().PreemptionPoint("KeReleaseMutex");
    return old;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex)
{
    host::CheckCallerIrql("KeReadStateMutex");
    return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout)
{
    PVOID objects[1] = {Object};
    return Wait(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                        PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray)
{
    if (Count == 0 || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr))
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                       host::VERIFIER_WAIT_BLOCKS_MISSING, Count, 0, 0,
                       "KeWaitForMultipleObjects without wait blocks for its objects");
    return Wait(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    host::CheckCallerIrql("KeDelayExecutionThread");
    PKTHREAD self = Self("KeDelayExecutionThread");
    if (self->irql > APC_LEVEL)
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_WAIT_AT_RAISED_IRQL,
                       self->irql, 0, 0, "KeDelayExecutionThread at raised IRQL");
    Scheduler& s = M().Sched();
    int64_t deadline = 0;
    Deadline(Interval, &deadline);
    std::unique_lock<std::mutex> lk(s.Lock());
    while (s.Now() < deadline) {
        self->waitObjects = nullptr;
        self->waitCount = 0;
        self->waitTimed = true;
        self->waitDeadline = deadline;
        self->waitReason = "delays execution";
        s.Block(lk, self);
        self->waitTimed = false;
        self->waitReason = nullptr;
    }
    return STATUS_SUCCESS;
}

void NTAPI KeInitializeTimer(PKTIMER Timer)
{
    host::CheckCallerIrql("KeInitializeTimer");
    KeInitializeTimerEx(Timer, NotificationTimer);
}

void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    host::CheckCallerIrql("KeInitializeTimerEx");
    InitHeader(&Timer->Header, Type == NotificationTimer ? kNotificationTimer : kSynchronizationTimer,
               0);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    host::CheckCallerIrql("KeSetTimer");
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    host::CheckCallerIrql("KeSetTimerEx");
    Scheduler& s = M().Sched();
    int64_t due = DueTime.QuadPart < 0 ? s.Now() - DueTime.QuadPart
                                       : DueTime.QuadPart - SystemTimeBase();
    std::lock_guard<std::mutex> lk(s.Lock());
    bool was = s.RemoveTimer(Timer);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    Timer->Header.SignalState = 0;
    s.InsertTimer(Timer, due);
    return was ? TRUE : FALSE;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    host::CheckCallerIrql("KeCancelTimer");
    Scheduler& s = M().Sched();
    std::lock_guard<std::mutex> lk(s.Lock());
    return s.RemoveTimer(Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    host::CheckCallerIrql("KeReadStateTimer");
    return Timer->Header.SignalState != 0;
}

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = kDpc;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    Scheduler& s = M().Sched();
    std::lock_guard<std::mutex> lk(s.Lock());
    if (!s.QueueDpc(Dpc))
        return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    Scheduler& s = M().Sched();
    std::lock_guard<std::mutex> lk(s.Lock());
    return s.DequeueDpc(Dpc) ? TRUE : FALSE;
}

void NTAPI KeFlushQueuedDpcs(void)
{
    host::CheckCallerIrql("KeFlushQueuedDpcs");
    // Let the DPC context drain what is queued now: a marker callback queued behind it.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    {
        Scheduler& s = M().Sched();
        std::lock_guard<std::mutex> lk(s.Lock());
        s.QueueDpcCallback([&done] { KeSetEvent(&done, 0, FALSE); });
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

KIRQL NTAPI KeGetCurrentIrql(void) { return Self("KeGetCurrentIrql")->irql; }

void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    PKTHREAD self = Self("KeRaiseIrql");
    if (NewIrql < self->irql)
        host::BugCheck(host::IRQL_NOT_GREATER_OR_EQUAL, self->irql, NewIrql, 0, 0,
                       "KeRaiseIrql to a lower IRQL");
    *OldIrql = self->irql;
    self->irql = NewIrql;
}

void NTAPI KeLowerIrql(KIRQL NewIrql)
{
    PKTHREAD self = Self("KeLowerIrql");
    if (NewIrql > self->irql)
        host::BugCheck(host::IRQL_NOT_LESS_OR_EQUAL, self->irql, NewIrql, 0, 0,
                       "KeLowerIrql to a higher IRQL");
    self->irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void)
{
    host::CheckCallerIrql("KeRaiseIrqlToDpcLevel");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    PKTHREAD self = Self("KeAcquireSpinLockAtDpcLevel");
    if (self->irql < DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<uintptr_t>(SpinLock),
                       self->irql, 0, 0, "spin lock taken at DPC level while below DISPATCH_LEVEL");
    Scheduler& s = M().Sched();
    s.PreemptionPoint("spin lock acquire");
    auto mine = reinterpret_cast<KSPIN_LOCK>(self);
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, mine, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        if (expected == mine)
            host::BugCheck(host::SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<uintptr_t>(SpinLock), 0,
                           0, 0, "spin lock acquired again by its owner \"" + self->name + "\"");
        s.Yield();
    }
    self->spinLocksHeld++;
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    PKTHREAD self = Self("KeReleaseSpinLockFromDpcLevel");
    auto mine = reinterpret_cast<KSPIN_LOCK>(self);
    if (*SpinLock != mine)
        host::BugCheck(host::SPIN_LOCK_NOT_OWNED, reinterpret_cast<uintptr_t>(SpinLock), *SpinLock,
                       0, 0, "spin lock released by \"" + self->name + "\", which does not hold it");
    if (self->irql != DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<uintptr_t>(SpinLock),
                       self->irql, 0, 0, "spin lock released below DISPATCH_LEVEL");
    self->spinLocksHeld--;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    M().Sched().PreemptionPoint("spin lock release");
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    host::CheckCallerIrql("KeAcquireSpinLock");
    PKTHREAD self = Self("KeAcquireSpinLock");
    if (self->irql > DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<uintptr_t>(SpinLock),
                       self->irql, 0, 0, "spin lock acquired above DISPATCH_LEVEL");
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    PKTHREAD self = Self("KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<uintptr_t>(SpinLock),
                       NewIrql, 0, 0, "spin lock released to an IRQL above DISPATCH_LEVEL");
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    self->irql = NewIrql;
}

LONG NTAPI InterlockedIncrement(LONG volatile* Addend)
{
    M().Sched().PreemptionPoint("interlocked");
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedDecrement(LONG volatile* Addend)
{
    M().Sched().PreemptionPoint("interlocked");
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value)
{
    M().Sched().PreemptionPoint("interlocked");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    M().Sched().PreemptionPoint("interlocked");
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    M().Sched().PreemptionPoint("interlocked");
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    M().Sched().PreemptionPoint("interlocked");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comparand)
{
    M().Sched().PreemptionPoint("interlocked");
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

PKTHREAD NTAPI KeGetCurrentThread(void) { return Self("KeGetCurrentThread"); }

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    host::CheckCallerIrql("KeSetPriorityThread");
    KPRIORITY old = Thread->priority;
    Thread->priority = Priority;
    return old;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTimeBase() + M().Sched().Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(M().Sched().Now()); }

void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = M().Sched().Now() / KeQueryTimeIncrement();
}

ULONG NTAPI KeQueryTimeIncrement(void) { return 156250; }

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = M().Sched().Now();
    return now;
}

NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    host::CheckCallerIrql("KeSaveFloatingPointState");
    PKTHREAD self = Self("KeSaveFloatingPointState");
    if (self->irql > DISPATCH_LEVEL)
        host::BugCheck(host::IRQL_NOT_LESS_OR_EQUAL, self->irql, 0, 0, 0,
                       "KeSaveFloatingPointState above DISPATCH_LEVEL");
    std::memset(FloatSave, 0, sizeof(*FloatSave));
    FloatSave->Reserved[0] = 0x46505553; // marks a save that must be restored
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    host::CheckCallerIrql("KeRestoreFloatingPointState");
    if (FloatSave->Reserved[0] != 0x46505553)
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                       host::VERIFIER_FLOAT_STATE_NOT_SAVED,
                       reinterpret_cast<uintptr_t>(FloatSave), 0, 0,
                       "floating-point state restored without a matching save");
    FloatSave->Reserved[0] = 0;
    return STATUS_SUCCESS;
}

void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    host::BugCheck(BugCheckCode, P1, P2, P3, P4, "raised by KeBugCheckEx");
}

void NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

ULONG DbgPrint(PCSTR Format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(buffer, sizeof buffer, Format, args);
    va_end(args);
    M().AppendDebugLog(buffer);
    return 0;
}

void NTAPI CvCheckPagedCode(const char* Routine)
{
    PKTHREAD self = Self(Routine);
    if (self->irql > APC_LEVEL)
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                       host::VERIFIER_PAGED_CODE_AT_DISPATCH, self->irql, 0, 0,
                       std::string("pageable routine ") + Routine + " entered at IRQL " +
                           std::to_string(self->irql));
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    host::CheckCallerIrql("ExAllocatePoolWithTag");
    return M().PoolManager().Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    host::CheckCallerIrql("ExAllocatePool");
    return M().PoolManager().Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */,
                                      __builtin_return_address(0));
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    host::CheckCallerIrql("ExFreePoolWithTag");
    M().PoolManager().Free(P, Tag, true, __builtin_return_address(0));
}

void NTAPI ExFreePool(PVOID P)
{
    host::CheckCallerIrql("ExFreePool");
    M().PoolManager().Free(P, 0, false, __builtin_return_address(0));
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    host::CheckCallerIrql("PsCreateSystemThread");
    host::Machine& m = M();
    std::string name = "system thread";
    if (host::LoadedModule* module = m.Modules().ModuleOf(reinterpret_cast<void*>(StartRoutine)))
        name = module->name + " thread";
    // The thread keeps its driver's image mapped until it has left the image's code.
    host::LoadedModule* image = m.Modules().HoldCode(reinterpret_cast<void*>(StartRoutine));
    // The thread enters the driver only once the object manager counts it, so a reference it
    // takes on itself at once is not lost (on the real clock it may run before this returns;
    // in simulated time it cannot run before the creator gives the baton up).
    auto counted = std::make_shared<std::promise<void>>();
    PKTHREAD thread = m.Sched().CreateThread(
        name,
        [StartRoutine, StartContext, image, started = counted->get_future().share()] {
            struct Hold {
                host::LoadedModule* image;
                ~Hold() { M().Modules().Release(image); }
            } hold{image};
            started.wait();
            PKTHREAD self = Scheduler::Current();
            StartRoutine(StartContext);
            if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0 || self->mutexesHeld != 0)
                host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                               host::VERIFIER_IRQL_CHANGED_BY_ROUTINE, self->irql,
                               static_cast<uintptr_t>(self->mutexesHeld), 0,
                               "system thread ended at raised IRQL or holding a lock");
        },
        PASSIVE_LEVEL, false, reinterpret_cast<const void*>(StartRoutine));
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread->id * 4));
    }
    // The handle holds the one reference the creator gets.
    m.Objects().Track(thread, host::ObjectKind::Thread, 1, nullptr);
    counted->set_value();
    *ThreadHandle = m.Objects().CreateHandle(thread, host::ObjectKind::Thread);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    host::CheckCallerIrql("PsTerminateSystemThread");
    PKTHREAD self = Self("PsTerminateSystemThread");
    self->exitStatus = ExitStatus;
    throw host::ThreadKill{};
}

} // extern "C"
