// Threads, the clock, timers and the DPC context of the host platform, in two modes.
//
// Simulated time: every platform thread is an OS thread, but only the one holding the baton
// runs. The baton changes hands when the running thread blocks, ends, or passes a preemption
// point and the seeded generator says so. The clock is virtual (100-ns units) and jumps to the
// next due timer or time-out when every thread is blocked; when nothing is due either, the run
// has deadlocked and the report names every thread and what it waits on. The same seed gives
// the same interleaving and the same trace.
//
// Real time: platform threads run freely, waits and timers use the monotonic clock, and a clock
// thread expires timers. Preemption points do nothing.
//
// The scheduler's mutex is the dispatcher lock: every dispatcher object's state (signal state,
// waiters) changes under it, in both modes.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

} // namespace host

// The platform's thread object. Drivers see only pointers to it; the dispatcher header comes
// first so that a thread can be waited on like any dispatcher object (signalled when it ends).
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::string name;
    uint64_t id = 0;
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
                          bool service);
    // Drop a reference to a thread object (the creator's or a handle's).
    void ReleaseThread(PKTHREAD thread);

    // Blocking: the caller holds `lk` on Lock(), has filled its wait fields and calls Block,
    // which returns when another thread wakes it or its deadline passes (waitTimedOut).
    void Block(std::unique_lock<std::mutex>& lk, PKTHREAD self);
    // Makes a blocked thread ready. Lock() must be held.
    void Wake(PKTHREAD thread);
    // Wake every thread waiting on `object`. Lock() must be held.
    void WakeWaitersOf(PVOID object);
    // Hand the baton to another ready thread (simulated mode, with the seeded probability).
    void PreemptionPoint(const char* where);
    // Give the baton away unconditionally if any other thread is ready (spinning on a lock).
    void Yield();

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
    bool Crashed() const { return crashed_; }
    const BugCheckInfo& CrashInfo() const { return crashInfo_; }
    // End every platform thread but the owner's (teardown).
    void Shutdown();

    // Trace of scheduling decisions in simulated mode (for replay checks).
    void EnableTrace(bool on) { traceOn_ = on; }
    std::vector<TraceEvent> Trace();
    std::string DescribeThreads();
    // Tells the scheduler how to name an object address in reports.
    void SetObjectNamer(std::function<std::string(const void*)> namer) { namer_ = std::move(namer); }
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
    std::string DescribeWait(PKTHREAD thread);
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
    bool crashed_ = false;
    bool killing_ = false;
    BugCheckInfo crashInfo_;
    bool traceOn_ = false;
    std::vector<TraceEvent> trace_;
    std::function<std::string(const void*)> namer_;
};

} // namespace host
