// Threads, the clock, timers and the DPC context of the host platform, in two modes.
//
// Simulated time: every platform thread is an OS thread, but only the one holding the baton
// runs. The baton changes hands when the running thread blocks, ends, or passes a preemption
// point and the seeded generator says so. The clock is virtual (100-ns units) and jumps to the
// next due timer or time-out when every thread is blocked; when nothing is due either, the run
// has deadlocked and the report names every thread and what it waits on. When only the DPC
// context runs (periodic timers, re-armed DPCs) while every other thread waits without a
// time-out, the clock would run on forever: after a bounded stretch of simulated time with no
// other thread running the run is reported as hung. The same seed gives the same interleaving
// and the same trace.
//
// Real time: platform threads run freely, waits and timers use the monotonic clock, and a clock
// thread expires timers. Preemption points do nothing.
//
// The scheduler's mutex is the dispatcher lock: every dispatcher object's state (signal state,
// waiters) changes under it, in both modes. A signal satisfies waits at once, in the order the
// waits began: the woken thread does not look at the object again, so a reset that follows the
// signal cannot take the wake-up back, and an object that is consumed by a wait (synchronization
// event or timer, semaphore, mutex) is consumed by the waiter it released.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../host/BugCheck.h"

namespace host {

enum class TimeMode { Simulated, Real };

enum class ThreadState { Ready, Running, Blocked, Terminated };

// Thrown through a platform thread's stack to end it when the machine is torn down or has
// crashed. Never caught by anything but the thread's entry.
struct ThreadKill {};

// Thrown to the machine's owner (the test or corv) when the machine bug-checks or deadlocks.
struct MachineCrash : std::exception {
    BugCheckInfo info;
    std::string text;
    explicit MachineCrash(BugCheckInfo i);
    const char* what() const noexcept override { return text.c_str(); }
};

class Scheduler;

// Names a code address as a person finds it: "module!symbol" where the module exports the
// symbol, else "module+0xoffset" (for addr2line), else the bare address.
std::string SymbolOf(const void* address);

} // namespace host

// The platform's thread object. Drivers see only pointers to it; the dispatcher header comes
// first so that a thread can be waited on like any dispatcher object (signalled when it ends).
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::string name;
    uint64_t id = 0;                       // creation number, from 1 (the owner)
    const void* startRoutine = nullptr;    // a system thread's start routine
    const void* routine = nullptr;         // the DPC or work routine running now
    KIRQL irql = PASSIVE_LEVEL;
    KPRIORITY priority = 8;
    host::ThreadState state = host::ThreadState::Ready;
    bool isOwner = false;   // the machine owner's thread (test body or corv)
    bool isService = false; // a platform service thread (DPC, work queue, PnP)
    std::condition_variable cv;
    // The wait in progress.
    PVOID* waitObjects = nullptr;
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    bool waitTimed = false;
    int64_t waitDeadline = 0; // interrupt time
    bool waitTimedOut = false;
    uint64_t waitSequence = 0;    // when the wait began: waiters are satisfied in this order
    bool waitSatisfied = false;   // a signal satisfied the wait (and consumed what it takes)
    NTSTATUS waitStatus = 0;      // STATUS_WAIT_0 + the index of the object that satisfied it
    const char* waitReason = nullptr; // for reports when not waiting on objects
    int spinLocksHeld = 0;
    int mutexesHeld = 0;
    std::function<void()> body;
    std::thread os;
    LONG references = 1; // object manager references (the handle of a system thread)
    NTSTATUS exitStatus = STATUS_SUCCESS;
};

namespace host {

// A timer queue entry: a kernel timer, or a platform callback run in the DPC context.
struct TimerEntry {
    int64_t due = 0;
    uint64_t sequence = 0;
    PKTIMER timer = nullptr;
    std::function<void()> callback;
};

struct TraceEvent {
    int64_t time;
    std::string text;
};

class Scheduler {
public:
    Scheduler(TimeMode mode, uint64_t seed, double preemptProbability);
    ~Scheduler();

    TimeMode Mode() const { return mode_; }
    bool Simulated() const { return mode_ == TimeMode::Simulated; }
    uint64_t Seed() const { return seed_; }
    std::mutex& Lock() { return mutex_; }

    // Interrupt time in 100-ns units since the machine started.
    int64_t Now();
    static PKTHREAD Current();

    // The calling OS thread becomes a platform thread (the owner's thread) and takes the baton.
    PKTHREAD AdoptOwner(const std::string& name);
    // A new platform thread; it runs when the scheduler gives it the baton.
    PKTHREAD CreateThread(const std::string& name, std::function<void()> body, KIRQL irql,
                          bool service, const void* startRoutine = nullptr);
    // Drop a reference to a thread object (the creator's or a handle's).
    void ReleaseThread(PKTHREAD thread);

    // Blocking: the caller holds `lk` on Lock(), has filled its wait fields and calls Block,
    // which returns when another thread wakes it or its deadline passes (waitTimedOut).
    void Block(std::unique_lock<std::mutex>& lk, PKTHREAD self);
    // Makes a blocked thread ready. Lock() must be held.
    void Wake(PKTHREAD thread);
    // Satisfies, in the order their waits began, every wait that `object` (just signalled) now
    // satisfies: each such waiter consumes what its wait takes and is made ready with its
    // status. Lock() must be held.
    void SatisfyWaiters(PVOID object);
    // Satisfies the wait described by `thread`'s wait fields if its objects allow it now,
    // consuming them; the status goes to `status`. Lock() must be held.
    bool TrySatisfy(PKTHREAD thread, NTSTATUS* status);
    // The order of waits: the caller stamps its wait with it before blocking. Lock() held.
    uint64_t NextWaitSequence() { return ++waitSequence_; }
    // Hand the baton to another ready thread (simulated mode, with the seeded probability).
    void PreemptionPoint(const char* where);
    // Give the baton away unconditionally if any other thread is ready (spinning on a lock).
    void Yield();
    // Simulated time: the owner lets every ready thread run until none is (bounded), so what
    // was queued before an orderly end runs; the clock does not move. Real time: nothing.
    void Settle();
    // Simulated time: a run in which no thread but the DPC context has run for this long
    // (100-ns units), with every thread waiting without a time-out, is reported as hung.
    // Zero turns the check off.
    void SetHangLimit(int64_t limit) { hangLimit_ = limit; }

    // Timers: kernel timers and platform callbacks. Lock() must be held.
    void InsertTimer(PKTIMER timer, int64_t due);
    bool RemoveTimer(PKTIMER timer);
    bool TimerQueued(PKTIMER timer) const;
    void ScheduleCallback(int64_t delay, std::function<void()> callback);
    // DPCs. Lock() must be held for the two queue calls.
    bool QueueDpc(PKDPC dpc);
    bool DequeueDpc(PKDPC dpc);
    bool DpcQueued(PKDPC dpc) const;
    void QueueDpcCallback(std::function<void()> callback);
    // Timers and DPCs whose memory lies in [start, end): for the pool's free check.
    bool TimerOrDpcIn(uintptr_t start, uintptr_t end, std::string* what) const;
    // Timers or DPCs whose routine lies in a driver image being unloaded.
    bool RoutineIn(uintptr_t start, uintptr_t end, std::string* what) const;

    // Crash handling: record the crash, stop every other thread, and unwind the caller.
    [[noreturn]] void Crash(BugCheckInfo info);
    // Whether the machine has crashed (any thread may be crashing it now). Takes Lock().
    bool Crashed()
    {
        std::lock_guard<std::mutex> lk(mutex_);
        return crashed_;
    }
    const BugCheckInfo& CrashInfo() const { return crashInfo_; }
    // The crash, which the caller (a test that expects it) takes over: the machine no longer
    // reports it as a failure when it goes. Empty when the machine has not crashed.
    std::optional<BugCheckInfo> TakeCrash();
    // The crash if nobody took it.
    std::optional<BugCheckInfo> UntakenCrash();
    // End every platform thread but the owner's (teardown).
    void Shutdown();

    // Trace of scheduling decisions in simulated mode (for replay checks).
    void EnableTrace(bool on) { traceOn_ = on; }
    std::vector<TraceEvent> Trace();
    std::string DescribeThreads();
    // "#3 \"name\"" with the routine it runs now, for the thread line of a report.
    std::string Label(PKTHREAD thread);
    // Tells the scheduler how to name an object address in reports.
    void SetObjectNamer(std::function<std::string(const void*)> namer) { namer_ = std::move(namer); }
    // Names one of the platform's own objects in reports ("the PnP manager's work-ready event").
    void NameObject(const void* object, std::string name);
    // The name given to `object`, or empty.
    std::string NameOf(const void* object);
    std::vector<PKTHREAD> Threads();

private:
    void ThreadMain(PKTHREAD thread);
    void SwitchAway(std::unique_lock<std::mutex>& lk, PKTHREAD self);
    void HandOff(std::unique_lock<std::mutex>& lk, PKTHREAD self, const char* where);
    PKTHREAD PickNext(std::unique_lock<std::mutex>& lk);
    bool AdvanceClock();
    void ExpireDue();
    void ExpireTimer(const TimerEntry& entry);
    void WaitForBaton(std::unique_lock<std::mutex>& lk, PKTHREAD self);
    void RealClockLoop();
    void DpcLoop();
    void Note(const std::string& text);
    void Ran(PKTHREAD thread);
    bool Hung(int64_t next);
    std::string DescribeWait(PKTHREAD thread);
    std::string DescribeTimers();
    [[noreturn]] void Park(std::unique_lock<std::mutex>& lk, PKTHREAD self);

    TimeMode mode_;
    uint64_t seed_;
    double preemptProbability_;
    std::mt19937_64 rng_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<_KTHREAD>> threads_;
    std::vector<PKTHREAD> ready_;
    PKTHREAD running_ = nullptr;
    PKTHREAD owner_ = nullptr;
    uint64_t nextThreadId_ = 1;
    int64_t virtualNow_ = 0;
    std::chrono::steady_clock::time_point realStart_;
    std::multimap<std::pair<int64_t, uint64_t>, TimerEntry> timers_;
    uint64_t timerSequence_ = 0;
    std::vector<PKDPC> dpcQueue_;
    std::vector<std::function<void()>> dpcCallbacks_;
    PKTHREAD dpcThread_ = nullptr;
    std::condition_variable clockCv_;
    std::thread clockThread_;
    uint64_t waitSequence_ = 0;
    int64_t hangLimit_ = 0;
    int64_t lastProgress_ = 0; // virtual time a thread other than the DPC context last ran
    uint64_t timersSinceProgress_ = 0;
    bool hung_ = false;
    bool crashed_ = false;
    bool crashTaken_ = false;
    bool killing_ = false;
    BugCheckInfo crashInfo_;
    bool traceOn_ = false;
    std::vector<TraceEvent> trace_;
    std::function<std::string(const void*)> namer_;
    std::mutex namesMutex_; // the names have their own lock: reports read them under Lock()
    std::map<const void*, std::string> names_;
};

} // namespace host
