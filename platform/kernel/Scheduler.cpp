#include "Scheduler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host {

namespace {
thread_local PKTHREAD tlsCurrent = nullptr;

constexpr int64_t kNever = INT64_MAX;

const char* StateName(ThreadState s)
{
    switch (s) {
    case ThreadState::Ready: return "ready";
    case ThreadState::Running: return "running";
    case ThreadState::Blocked: return "blocked";
    case ThreadState::Terminated: return "ended";
    }
    return "?";
}

// Dispatcher object types as the header's Type says.
enum ObjectType : UCHAR {
    kNotificationEvent = 0,
    kSynchronizationEvent = 1,
    kMutant = 2,
    kSemaphore = 5,
    kSynchronizationTimer = 9,
};

// Whether `object` would satisfy a wait of `thread` now. A mutex its waiter owns satisfies it
// again (it is recursive).
bool Satisfiable(PVOID object, PKTHREAD thread)
{
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    if (h->Type == kMutant)
        return h->SignalState > 0 || static_cast<PKMUTEX>(object)->OwnerThread == thread;
    return h->SignalState > 0;
}

// What a satisfied wait takes from its object: a synchronization event or timer goes back to
// not signalled, a semaphore's count drops, a mutex becomes the waiter's. Notification events
// and timers and thread objects stay signalled.
void Consume(PVOID object, PKTHREAD thread)
{
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    switch (h->Type) {
    case kSynchronizationEvent:
    case kSynchronizationTimer:
        h->SignalState = 0;
        break;
    case kSemaphore:
        h->SignalState--;
        break;
    case kMutant: {
        auto* m = static_cast<PKMUTEX>(object);
        if (h->SignalState == 1)
            thread->mutexesHeld++;
        h->SignalState--;
        m->OwnerThread = thread;
        break;
    }
    default:
        break;
    }
}

std::string Seconds(int64_t hundredNanoseconds)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(hundredNanoseconds) / 1e7);
    return text;
}

void InitThreadHeader(PKTHREAD t)
{
    t->Header.Type = 6; // thread object
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
}
} // namespace

MachineCrash::MachineCrash(BugCheckInfo i) : info(std::move(i)), text(Describe(info)) {}

Scheduler::Scheduler(TimeMode mode, uint64_t seed, double preemptProbability)
    : mode_(mode), seed_(seed), preemptProbability_(preemptProbability), rng_(seed),
      realStart_(std::chrono::steady_clock::now())
{
}

Scheduler::~Scheduler()
{
    if (!killing_)
        Shutdown();
}

PKTHREAD Scheduler::Current() { return tlsCurrent; }

int64_t Scheduler::Now()
{
    if (Simulated())
        return __atomic_load_n(&virtualNow_, __ATOMIC_SEQ_CST);
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

PKTHREAD Scheduler::AdoptOwner(const std::string& name)
{
    auto t = std::make_unique<_KTHREAD>();
    InitThreadHeader(t.get());
    t->name = name;
    t->isOwner = true;
    t->state = ThreadState::Running;
    PKTHREAD raw = t.get();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        raw->id = nextThreadId_++;
        threads_.push_back(std::move(t));
        owner_ = raw;
        running_ = raw;
    }
    tlsCurrent = raw;
    dpcThread_ = CreateThread("DPC", [this] { DpcLoop(); }, DISPATCH_LEVEL, true);
    if (!Simulated())
        clockThread_ = std::thread([this] { RealClockLoop(); });
    return raw;
}

PKTHREAD Scheduler::CreateThread(const std::string& name, std::function<void()> body, KIRQL irql,
                                 bool service, const void* startRoutine)
{
    auto t = std::make_unique<_KTHREAD>();
    InitThreadHeader(t.get());
    t->name = name;
    t->startRoutine = startRoutine;
    t->irql = irql;
    t->isService = service;
    t->body = std::move(body);
    t->state = Simulated() ? ThreadState::Ready : ThreadState::Running;
    PKTHREAD raw = t.get();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        raw->id = nextThreadId_++;
        threads_.push_back(std::move(t));
        if (Simulated())
            ready_.push_back(raw);
        Note("create " + name);
    }
    raw->os = std::thread([this, raw] { ThreadMain(raw); });
    return raw;
}

void Scheduler::ReleaseThread(PKTHREAD thread)
{
    __atomic_sub_fetch(&thread->references, 1, __ATOMIC_SEQ_CST);
}

void Scheduler::ThreadMain(PKTHREAD self)
{
    tlsCurrent = self;
    bool run = true;
    {
        std::unique_lock<std::mutex> lk(mutex_);
        if (Simulated()) {
            while (running_ != self && !killing_)
                self->cv.wait(lk);
        }
        run = !killing_ && !crashed_;
    }
    if (run) {
        try {
            self->body();
        } catch (ThreadKill&) {
        } catch (MachineCrash&) {
        }
    }
    std::unique_lock<std::mutex> lk(mutex_);
    self->state = ThreadState::Terminated;
    self->Header.SignalState = 1;
    SatisfyWaiters(self);
    Note("end " + self->name);
    if (Simulated() && !killing_ && running_ == self) {
        running_ = nullptr;
        PKTHREAD next = PickNext(lk);
        if (next != nullptr) {
            Ran(next);
            running_ = next;
            next->state = ThreadState::Running;
            next->cv.notify_all();
        }
    }
}

void Scheduler::WaitForBaton(std::unique_lock<std::mutex>& lk, PKTHREAD self)
{
    while (running_ != self && !killing_)
        self->cv.wait(lk);
    if (killing_ && !self->isOwner)
        throw ThreadKill{};
}

[[noreturn]] void Scheduler::Park(std::unique_lock<std::mutex>& lk, PKTHREAD self)
{
    self->state = ThreadState::Blocked;
    self->waitObjects = nullptr;
    self->waitCount = 0;
    self->waitReason = "halted by the crash";
    while (!killing_)
        self->cv.wait(lk);
    throw ThreadKill{};
}

void Scheduler::Block(std::unique_lock<std::mutex>& lk, PKTHREAD self)
{
    if (crashed_) {
        if (self->isOwner)
            throw MachineCrash(crashInfo_);
        Park(lk, self);
    }
    self->waitTimedOut = false;
    self->state = ThreadState::Blocked;
    if (Simulated()) {
        SwitchAway(lk, self);
    } else {
        auto deadline = realStart_ + std::chrono::nanoseconds(self->waitDeadline * 100);
        while (self->state == ThreadState::Blocked && !killing_ && !crashed_) {
            if (!self->waitTimed) {
                self->cv.wait(lk);
            } else if (self->cv.wait_until(lk, deadline) == std::cv_status::timeout) {
                if (self->state == ThreadState::Blocked) {
                    self->waitTimedOut = true;
                    break;
                }
            }
        }
        self->state = ThreadState::Running;
    }
    if (killing_ && !self->isOwner)
        throw ThreadKill{};
    if (crashed_) {
        if (self->isOwner)
            throw MachineCrash(crashInfo_);
        Park(lk, self);
    }
}

void Scheduler::Wake(PKTHREAD thread)
{
    if (thread->state != ThreadState::Blocked)
        return;
    thread->state = ThreadState::Ready;
    if (Simulated())
        ready_.push_back(thread);
    else
        thread->cv.notify_all();
}

bool Scheduler::TrySatisfy(PKTHREAD t, NTSTATUS* status)
{
    if (t->waitType == WaitAny) {
        for (ULONG i = 0; i < t->waitCount; ++i) {
            if (Satisfiable(t->waitObjects[i], t)) {
                Consume(t->waitObjects[i], t);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < t->waitCount; ++i) {
        if (!Satisfiable(t->waitObjects[i], t))
            return false;
    }
    for (ULONG i = 0; i < t->waitCount; ++i)
        Consume(t->waitObjects[i], t);
    *status = STATUS_WAIT_0;
    return true;
}

void Scheduler::SatisfyWaiters(PVOID object)
{
    std::vector<PKTHREAD> waiters;
    for (auto& t : threads_) {
        if (t->state != ThreadState::Blocked || t->waitObjects == nullptr || t->waitSatisfied)
            continue;
        for (ULONG i = 0; i < t->waitCount; ++i) {
            if (t->waitObjects[i] == object) {
                waiters.push_back(t.get());
                break;
            }
        }
    }
    std::sort(waiters.begin(), waiters.end(),
              [](PKTHREAD a, PKTHREAD b) { return a->waitSequence < b->waitSequence; });
    for (PKTHREAD t : waiters) {
        if (static_cast<DISPATCHER_HEADER*>(object)->SignalState <= 0)
            break;
        NTSTATUS status;
        if (TrySatisfy(t, &status)) {
            t->waitSatisfied = true;
            t->waitStatus = status;
            Wake(t);
        }
    }
}

void Scheduler::SwitchAway(std::unique_lock<std::mutex>& lk, PKTHREAD self)
{
    PKTHREAD next = PickNext(lk);
    if (next == self) {
        Ran(self);
        self->state = ThreadState::Running;
        running_ = self;
        return;
    }
    running_ = next;
    if (next != nullptr) {
        Ran(next);
        next->state = ThreadState::Running;
        if (traceOn_)
            Note("run " + next->name);
        next->cv.notify_all();
    }
    WaitForBaton(lk, self);
    self->state = ThreadState::Running;
}

PKTHREAD Scheduler::PickNext(std::unique_lock<std::mutex>&)
{
    for (;;) {
        if (crashed_)
            return owner_;
        ExpireDue();
        if (!ready_.empty()) {
            size_t index = ready_.size() == 1 ? 0 : rng_() % ready_.size();
            PKTHREAD t = ready_[index];
            ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
            return t;
        }
        if (!AdvanceClock()) {
            PKTHREAD here = running_;
            crashed_ = true;
            crashInfo_ = BugCheckInfo{};
            if (hung_) {
                crashInfo_.code = SIMULATION_HANG;
                crashInfo_.detail = "no thread but the DPC context has run for " +
                                    Seconds(virtualNow_ - lastProgress_) +
                                    " of simulated time, and every thread waits without a "
                                    "time-out:\n" +
                                    DescribeThreads() + DescribeTimers();
            } else {
                crashInfo_.code = SIMULATION_DEADLOCK;
                crashInfo_.detail = "every thread is blocked and nothing is due:\n" +
                                    DescribeThreads();
            }
            if (here != nullptr) {
                crashInfo_.thread = here->name;
                crashInfo_.threadId = here->id;
            }
            return owner_;
        }
    }
}

void Scheduler::Ran(PKTHREAD thread)
{
    if (thread != dpcThread_) {
        lastProgress_ = virtualNow_;
        timersSinceProgress_ = 0;
    }
}

// The clock is about to move to `next` with every thread blocked: it is a hang when timers
// have fired since any thread but the DPC context last ran, no thread waits with a time-out
// (its time will come), and the stretch without progress would pass the limit.
bool Scheduler::Hung(int64_t next)
{
    if (hangLimit_ <= 0 || timersSinceProgress_ == 0 || next - lastProgress_ <= hangLimit_)
        return false;
    for (auto& t : threads_) {
        if (t->state == ThreadState::Blocked && t->waitTimed)
            return false;
    }
    return true;
}

bool Scheduler::AdvanceClock()
{
    int64_t next = kNever;
    if (!timers_.empty())
        next = timers_.begin()->first.first;
    for (auto& t : threads_) {
        if (t->state == ThreadState::Blocked && t->waitTimed)
            next = std::min(next, t->waitDeadline);
    }
    if (next == kNever)
        return false;
    if (Hung(next)) {
        hung_ = true;
        return false;
    }
    if (next > virtualNow_)
        __atomic_store_n(&virtualNow_, next, __ATOMIC_SEQ_CST);
    return true;
}

void Scheduler::ExpireDue()
{
    int64_t now = Now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        TimerEntry entry = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        ExpireTimer(entry);
    }
    if (Simulated()) {
        for (auto& t : threads_) {
            if (t->state == ThreadState::Blocked && t->waitTimed && t->waitDeadline <= now) {
                t->waitTimedOut = true;
                Wake(t.get());
            }
        }
    }
}

void Scheduler::ExpireTimer(const TimerEntry& entry)
{
    timersSinceProgress_++;
    if (entry.callback) {
        dpcCallbacks_.push_back(entry.callback);
        Wake(dpcThread_);
        return;
    }
    PKTIMER timer = entry.timer;
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    SatisfyWaiters(timer);
    if (traceOn_)
        Note("timer fired");
    if (timer->Period > 0)
        InsertTimer(timer, entry.due + static_cast<int64_t>(timer->Period) * 10000);
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = entry.due;
        if (QueueDpc(timer->Dpc)) {
            timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(due.LowPart));
            timer->Dpc->SystemArgument2 =
                reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<ULONG>(due.HighPart)));
        }
    }
}

void Scheduler::InsertTimer(PKTIMER timer, int64_t due)
{
    TimerEntry entry;
    entry.due = due;
    entry.sequence = timerSequence_++;
    entry.timer = timer;
    timer->Header.Inserted = TRUE;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timers_.emplace(std::make_pair(due, entry.sequence), entry);
    clockCv_.notify_all();
}

bool Scheduler::RemoveTimer(PKTIMER timer)
{
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.timer == timer) {
            timers_.erase(it);
            timer->Header.Inserted = FALSE;
            return true;
        }
    }
    return false;
}

bool Scheduler::TimerQueued(PKTIMER timer) const
{
    for (auto& [key, entry] : timers_) {
        if (entry.timer == timer)
            return true;
    }
    return false;
}

void Scheduler::ScheduleCallback(int64_t delay, std::function<void()> callback)
{
    TimerEntry entry;
    entry.due = Now() + std::max<int64_t>(delay, 0);
    entry.sequence = timerSequence_++;
    entry.callback = std::move(callback);
    timers_.emplace(std::make_pair(entry.due, entry.sequence), std::move(entry));
    clockCv_.notify_all();
}

bool Scheduler::QueueDpc(PKDPC dpc)
{
    if (dpc->DpcData != nullptr)
        return false;
    dpc->DpcData = dpc;
    dpcQueue_.push_back(dpc);
    Wake(dpcThread_);
    return true;
}

bool Scheduler::DequeueDpc(PKDPC dpc)
{
    auto it = std::find(dpcQueue_.begin(), dpcQueue_.end(), dpc);
    if (it == dpcQueue_.end())
        return false;
    dpcQueue_.erase(it);
    dpc->DpcData = nullptr;
    return true;
}

bool Scheduler::DpcQueued(PKDPC dpc) const
{
    return std::find(dpcQueue_.begin(), dpcQueue_.end(), dpc) != dpcQueue_.end();
}

void Scheduler::QueueDpcCallback(std::function<void()> callback)
{
    dpcCallbacks_.push_back(std::move(callback));
    Wake(dpcThread_);
}

bool Scheduler::TimerOrDpcIn(uintptr_t start, uintptr_t end, std::string* what) const
{
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= start && a < end;
    };
    for (auto& [key, entry] : timers_) {
        if (entry.timer != nullptr && inside(entry.timer)) {
            *what = "a queued timer";
            return true;
        }
    }
    for (PKDPC dpc : dpcQueue_) {
        if (inside(dpc)) {
            *what = "a queued DPC";
            return true;
        }
    }
    return false;
}

bool Scheduler::RoutineIn(uintptr_t start, uintptr_t end, std::string* what) const
{
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= start && a < end;
    };
    for (auto& [key, entry] : timers_) {
        if (entry.timer != nullptr && entry.timer->Dpc != nullptr &&
            inside(reinterpret_cast<const void*>(entry.timer->Dpc->DeferredRoutine))) {
            *what = "a queued timer whose DPC routine is in the image";
            return true;
        }
    }
    for (PKDPC dpc : dpcQueue_) {
        if (inside(reinterpret_cast<const void*>(dpc->DeferredRoutine))) {
            *what = "a queued DPC whose routine is in the image";
            return true;
        }
    }
    return false;
}

void Scheduler::PreemptionPoint(const char* where)
{
    if (!Simulated() || preemptProbability_ <= 0.0)
        return;
    PKTHREAD self = Current();
    if (self == nullptr)
        return;
    std::unique_lock<std::mutex> lk(mutex_);
    if (crashed_ || killing_ || ready_.empty() || running_ != self)
        return;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng_) >= preemptProbability_)
        return;
    HandOff(lk, self, where);
}

// Gives the baton to a ready thread drawn by the generator; the caller stays ready.
void Scheduler::HandOff(std::unique_lock<std::mutex>& lk, PKTHREAD self, const char* where)
{
    size_t index = ready_.size() == 1 ? 0 : rng_() % ready_.size();
    PKTHREAD next = ready_[index];
    ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
    self->state = ThreadState::Ready;
    ready_.push_back(self);
    if (traceOn_)
        Note(std::string(where) + " -> " + next->name);
    Ran(next);
    running_ = next;
    next->state = ThreadState::Running;
    next->cv.notify_all();
    WaitForBaton(lk, self);
    self->state = ThreadState::Running;
    // The baton can come back to the owner because another thread bug-checked: its current
    // platform call ends with the crash even though it never blocks.
    if (crashed_ && self->isOwner)
        throw MachineCrash(crashInfo_);
}

void Scheduler::Settle()
{
    PKTHREAD self = Current();
    if (!Simulated() || self == nullptr)
        return;
    std::unique_lock<std::mutex> lk(mutex_);
    // Bounded: threads that only yield to each other keep the ready list full.
    for (int round = 0; round < 100000; ++round) {
        if (crashed_ && self->isOwner)
            throw MachineCrash(crashInfo_);
        if (killing_ || ready_.empty() || running_ != self)
            return;
        HandOff(lk, self, "settle");
    }
}

void Scheduler::Yield()
{
    PKTHREAD self = Current();
    if (self == nullptr)
        return;
    if (!Simulated()) {
        std::this_thread::yield();
        return;
    }
    std::unique_lock<std::mutex> lk(mutex_);
    if (crashed_ || killing_) {
        if (!self->isOwner)
            Park(lk, self);
        return;
    }
    if (ready_.empty())
        return;
    HandOff(lk, self, "yield");
}

void Scheduler::DpcLoop()
{
    PKTHREAD self = Current();
    for (;;) {
        PKDPC dpc = nullptr;
        std::function<void()> callback;
        {
            std::unique_lock<std::mutex> lk(mutex_);
            while (dpcQueue_.empty() && dpcCallbacks_.empty()) {
                self->waitObjects = nullptr;
                self->waitCount = 0;
                self->waitTimed = false;
                self->waitReason = "waiting for DPCs";
                Block(lk, self);
            }
            self->waitReason = nullptr;
            if (!dpcQueue_.empty()) {
                dpc = dpcQueue_.front();
                dpcQueue_.erase(dpcQueue_.begin());
                dpc->DpcData = nullptr;
            } else {
                callback = std::move(dpcCallbacks_.front());
                dpcCallbacks_.erase(dpcCallbacks_.begin());
            }
        }
        if (dpc != nullptr) {
            self->routine = reinterpret_cast<const void*>(dpc->DeferredRoutine);
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1,
                                 dpc->SystemArgument2);
        } else {
            callback();
        }
        if (self->irql != DISPATCH_LEVEL || self->spinLocksHeld != 0) {
            KeBugCheckEx(IRQL_UNEXPECTED_VALUE, self->irql, DISPATCH_LEVEL,
                         reinterpret_cast<ULONG_PTR>(dpc != nullptr ? dpc->DeferredRoutine : nullptr),
                         static_cast<ULONG_PTR>(self->spinLocksHeld));
        }
        self->routine = nullptr;
    }
}

void Scheduler::RealClockLoop()
{
    std::unique_lock<std::mutex> lk(mutex_);
    while (!killing_) {
        if (crashed_) {
            clockCv_.wait(lk);
            continue;
        }
        ExpireDue();
        if (timers_.empty()) {
            clockCv_.wait(lk);
        } else {
            auto due = realStart_ + std::chrono::nanoseconds(timers_.begin()->first.first * 100);
            clockCv_.wait_until(lk, due);
        }
    }
}

[[noreturn]] void Scheduler::Crash(BugCheckInfo info)
{
    PKTHREAD self = Current();
    std::unique_lock<std::mutex> lk(mutex_);
    if (!crashed_) {
        crashed_ = true;
        if (self != nullptr) {
            info.thread = self->name;
            info.threadId = self->id;
            if (self->startRoutine != nullptr)
                info.startRoutine = SymbolOf(self->startRoutine);
            if (self->routine != nullptr)
                info.routine = SymbolOf(self->routine);
        } else {
            info.thread = "(not a platform thread)";
        }
        crashInfo_ = info;
    }
    if (self == nullptr || self->isOwner) {
        BugCheckInfo copy = crashInfo_;
        lk.unlock();
        throw MachineCrash(copy);
    }
    // Hand control to the owner, who reports the crash; this thread stops here.
    if (owner_ != nullptr) {
        if (Simulated()) {
            auto it = std::find(ready_.begin(), ready_.end(), owner_);
            if (it != ready_.end())
                ready_.erase(it);
            running_ = owner_;
        }
        owner_->state = ThreadState::Running;
        owner_->cv.notify_all();
    }
    Park(lk, self);
}

void Scheduler::NameObject(const void* object, std::string name)
{
    std::lock_guard<std::mutex> lk(namesMutex_);
    names_[object] = std::move(name);
}

std::string Scheduler::NameOf(const void* object)
{
    std::lock_guard<std::mutex> lk(namesMutex_);
    auto it = names_.find(object);
    return it != names_.end() ? it->second : std::string();
}

std::optional<BugCheckInfo> Scheduler::TakeCrash()
{
    std::lock_guard<std::mutex> lk(mutex_);
    if (!crashed_)
        return std::nullopt;
    crashTaken_ = true;
    return crashInfo_;
}

std::optional<BugCheckInfo> Scheduler::UntakenCrash()
{
    std::lock_guard<std::mutex> lk(mutex_);
    if (!crashed_ || crashTaken_)
        return std::nullopt;
    return crashInfo_;
}

void Scheduler::Shutdown()
{
    {
        std::lock_guard<std::mutex> lk(mutex_);
        killing_ = true;
        for (auto& t : threads_)
            t->cv.notify_all();
        clockCv_.notify_all();
    }
    std::vector<std::thread*> toJoin;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        for (auto& t : threads_) {
            if (!t->isOwner && t->os.joinable())
                toJoin.push_back(&t->os);
        }
    }
    for (std::thread* t : toJoin)
        t->join();
    if (clockThread_.joinable())
        clockThread_.join();
}

void Scheduler::Note(const std::string& text)
{
    if (traceOn_)
        trace_.push_back(TraceEvent{Now(), text});
}

std::vector<TraceEvent> Scheduler::Trace()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return trace_;
}

std::vector<PKTHREAD> Scheduler::Threads()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<PKTHREAD> out;
    for (auto& t : threads_)
        out.push_back(t.get());
    return out;
}

std::string Scheduler::DescribeWait(PKTHREAD t)
{
    std::ostringstream os;
    if (t->waitObjects != nullptr && t->waitCount > 0) {
        os << "waits " << (t->waitType == WaitAll ? "for all of" : "for") << " ";
        for (ULONG i = 0; i < t->waitCount; ++i) {
            if (i > 0)
                os << ", ";
            os << (namer_ ? namer_(t->waitObjects[i]) : std::string("object"));
        }
    } else if (t->waitReason != nullptr) {
        os << t->waitReason;
    }
    if (t->waitTimed)
        os << " (time-out at " << Seconds(t->waitDeadline) << ")";
    else if (t->waitObjects != nullptr && t->waitCount > 0)
        os << " (no time-out)";
    return os.str();
}

std::string Scheduler::Label(PKTHREAD t)
{
    std::string text = "#" + std::to_string(t->id) + " \"" + t->name + "\"";
    if (t->startRoutine != nullptr)
        text += " started at " + SymbolOf(t->startRoutine);
    if (t->routine != nullptr)
        text += ", running " + SymbolOf(t->routine);
    return text;
}

std::string Scheduler::DescribeThreads()
{
    std::ostringstream os;
    for (auto& t : threads_) {
        os << "  thread " << Label(t.get()) << ": " << StateName(t->state) << " at IRQL "
           << static_cast<int>(t->irql);
        if (t->state == ThreadState::Blocked)
            os << ", " << DescribeWait(t.get());
        os << "\n";
    }
    return os.str();
}

std::string Scheduler::DescribeTimers()
{
    std::ostringstream os;
    for (auto& [key, entry] : timers_) {
        os << "  timer due at " << Seconds(entry.due);
        if (entry.timer == nullptr) {
            os << ": a platform callback (the USB bus or the I/O manager)\n";
            continue;
        }
        if (entry.timer->Period > 0)
            os << ", every " << entry.timer->Period << " ms";
        os << ": " << (namer_ ? namer_(entry.timer) : std::string("timer"));
        if (entry.timer->Dpc != nullptr)
            os << ", DPC routine "
               << SymbolOf(reinterpret_cast<const void*>(entry.timer->Dpc->DeferredRoutine));
        os << "\n";
    }
    return os.str();
}

namespace {

// The function symbols of one module's symbol table (local ones too: a driver exports only
// DriverEntry, so the dynamic symbols name nothing else), by offset from the load base.
struct ModuleSymbols {
    std::map<uintptr_t, std::pair<uintptr_t, std::string>> functions; // offset -> (size, name)
};

ModuleSymbols LoadSymbols(const char* path)
{
    ModuleSymbols out;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return out;
    std::vector<char> image;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        image.insert(image.end(), chunk, chunk + n);
    std::fclose(f);
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_CLASS] != ELFCLASS64)
        return out;
    auto* eh = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    if (eh->e_shoff == 0 || eh->e_shoff + eh->e_shnum * sizeof(Elf64_Shdr) > image.size())
        return out;
    auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + eh->e_shoff);
    // Symbol values are offsets from the load base in position-independent modules and
    // absolute addresses in the others; the caller looks them up accordingly.
    for (int i = 0; i < eh->e_shnum; ++i) {
        const Elf64_Shdr& sh = sections[i];
        if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= eh->e_shnum)
            continue;
        const Elf64_Shdr& strings = sections[sh.sh_link];
        if (sh.sh_offset + sh.sh_size > image.size() ||
            strings.sh_offset + strings.sh_size > image.size())
            continue;
        auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + sh.sh_offset);
        for (size_t k = 0; k < sh.sh_size / sizeof(Elf64_Sym); ++k) {
            const Elf64_Sym& sym = symbols[k];
            if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 ||
                sym.st_name >= strings.sh_size)
                continue;
            const char* name = image.data() + strings.sh_offset + sym.st_name;
            out.functions[sym.st_value] = {sym.st_size, name};
        }
    }
    return out;
}

// The name of the function holding `offset` in the module at `path`, or empty.
std::string FunctionAt(const char* path, uintptr_t offset)
{
    static std::mutex cacheMutex;
    static std::map<std::string, ModuleSymbols> cache;
    std::lock_guard<std::mutex> lk(cacheMutex);
    auto it = cache.find(path);
    if (it == cache.end())
        it = cache.emplace(path, LoadSymbols(path)).first;
    auto& functions = it->second.functions;
    auto f = functions.upper_bound(offset);
    if (f == functions.begin())
        return {};
    --f;
    if (offset >= f->first + std::max<uintptr_t>(f->second.first, 1))
        return {};
    int status = 0;
    char* plain = abi::__cxa_demangle(f->second.second.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && plain != nullptr ? plain : f->second.second;
    std::free(plain);
    // The parameter list says nothing a person needs here.
    if (!name.empty() && name.back() == ')') {
        int depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
            if (depth == 0) {
                name.erase(i);
                break;
            }
        }
    }
    if (offset != f->first) {
        char extra[32];
        std::snprintf(extra, sizeof extra, "+0x%zx", static_cast<size_t>(offset - f->first));
        name += extra;
    }
    return name;
}

} // namespace

std::string SymbolOf(const void* address)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", address);
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return text;
    const char* slash = std::strrchr(info.dli_fname, '/');
    std::string module = slash != nullptr ? slash + 1 : info.dli_fname;
    if (info.dli_sname != nullptr && info.dli_saddr == address) {
        int status = 0;
        char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && plain != nullptr ? plain : info.dli_sname;
        std::free(plain);
        return module + "!" + name;
    }
    uintptr_t offset = reinterpret_cast<uintptr_t>(address) -
                       reinterpret_cast<uintptr_t>(info.dli_fbase);
    auto* eh = static_cast<const Elf64_Ehdr*>(info.dli_fbase);
    bool absolute = eh != nullptr && eh->e_type == ET_EXEC;
    std::string function =
        FunctionAt(info.dli_fname, absolute ? reinterpret_cast<uintptr_t>(address) : offset);
    if (!function.empty())
        return module + "!" + function;
    std::snprintf(text, sizeof text, "+0x%zx", static_cast<size_t>(offset));
    return module + text;
}

} // namespace host
