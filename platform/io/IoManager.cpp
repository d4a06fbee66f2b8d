#include "IoManager.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "../host/Machine.h"
#include "../pnp/Loader.h"
#include "../pnp/PnpManager.h"
#include "../verifier/Verifier.h"
#include "ObjectManager.h"

#if defined(__SANITIZE_ADDRESS__)
#define CV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CV_ASAN 1
#endif
#endif
#ifdef CV_ASAN
#include <sanitizer/asan_interface.h>
#define CV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define CV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define CV_POISON(p, n) ((void)(p), (void)(n))
#define CV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace host {

// One call of a dispatch routine for a request, kept on IoCallDriver's stack: whether the
// request's stack location was marked pending while the routine ran, and whether the request
// was completed past that location before the routine returned. It never refers to the
// request's memory, so the checks on what the routine returned hold also when the request was
// completed and freed before it returned. Guarded by the I/O manager's mutex.
struct CallFrame {
    bool marked = false;
    bool completed = false;
    CallFrame* outer = nullptr; // an earlier call at the same location (a skipped location)
};

// Host bookkeeping that sits in front of every request in memory.
struct IrpTrack {
    uint64_t generation = 0;
    bool live = true;
    bool driverAllocated = false; // IoAllocateIrp by a driver: it frees the request itself
    bool threaded = false;        // built for a waiting caller: completes to the top
    bool inCompletion = false;
    uint32_t calledLevels = 0;    // stack levels passed down and not yet completed
    uint32_t returnedPending = 0; // stack levels whose dispatch returned STATUS_PENDING
    uint32_t returnedOther = 0;   // levels whose dispatch returned another status, still below
    CallFrame* frames[32] = {};   // dispatch calls running, per stack level
    const LoadedModule* owner = nullptr;
    // Buffers of a built request, released when it completes to the top.
    PVOID systemBuffer = nullptr;
    PVOID copyBackTo = nullptr;
    ULONG copyBackLength = 0;
    std::function<void(PIRP)> hostDone;
    // The request's memory: a 16-byte prefix that points back here, then the IRP and its
    // stack locations. Once freed it holds kFreedIrpFill until it leaves the quarantine.
    unsigned char* memory = nullptr;
    size_t bytes = 0;

    PIRP Irp() { return reinterpret_cast<PIRP>(memory + kPrefix); }
    static IrpTrack* Of(PIRP irp)
    {
        return *reinterpret_cast<IrpTrack**>(reinterpret_cast<unsigned char*>(irp) - kPrefix);
    }
    static constexpr size_t kPrefix = 16;
};

namespace {

constexpr size_t kIrpQuarantine = 256;
constexpr unsigned char kFreedIrpFill = 0xF5;

// A freed request's memory is filled and, in the sanitizer build, poisoned: a read or write
// of it is the sanitizer's use-after-poison report at the access; in the normal build a write
// shows as a broken fill when the request leaves the quarantine or at shutdown.
void Poison(unsigned char* memory, size_t bytes)
{
    std::memset(memory, kFreedIrpFill, bytes);
    CV_POISON(memory, bytes);
}

// Whether the freed memory still holds its fill; leaves it unpoisoned.
bool FillIntact(unsigned char* memory, size_t bytes, size_t* at)
{
    CV_UNPOISON(memory, bytes);
    for (size_t i = 0; i < bytes; ++i) {
        if (memory[i] != kFreedIrpFill) {
            *at = i;
            return false;
        }
    }
    return true;
}

// The severity bits of an NTSTATUS: 3 is an error, 2 a warning, 1 informational, 0 success.
bool IsErrorStatus(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

uint32_t Bit(int level) { return level >= 1 && level <= 31 ? (1u << level) : 0; }

PKTHREAD CurrentThreadChecked()
{
    PKTHREAD t = Scheduler::Current();
    if (t == nullptr) {
        std::fprintf(stderr, "host platform: I/O call from a thread that is not a platform thread\n");
        std::abort();
    }
    return t;
}

void CheckRoutineReturn(PKTHREAD self, KIRQL irql, int locks, const void* routine, const char* what)
{
    if (self->irql != irql)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_IRQL_CHANGED_BY_ROUTINE,
                 reinterpret_cast<uintptr_t>(routine), irql, self->irql,
                 std::string(what) + " returned at IRQL " + std::to_string(self->irql) +
                     " but was entered at " + std::to_string(irql));
    if (self->spinLocksHeld != locks)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_SPIN_LOCK_HELD_ON_RETURN,
                 reinterpret_cast<uintptr_t>(routine), static_cast<uintptr_t>(self->spinLocksHeld),
                 static_cast<uintptr_t>(locks), std::string(what) + " returned holding a spin lock");
}

} // namespace

IoManager::IoManager(Machine& machine) : machine_(machine) {}

IoManager::~IoManager()
{
    for (auto& [irp, t] : liveIrps_) {
        std::free(t->systemBuffer); // a request a crash left in flight
        std::free(t->memory);
        delete t;
    }
    for (IrpTrack* t : quarantine_) {
        CV_UNPOISON(t->memory, t->bytes);
        std::free(t->memory);
        delete t;
    }
    for (PMDL m : liveMdls_)
        std::free(m);
    for (DriverRecord* d : drivers_)
        delete d;
    // What a stopped machine left behind.
    for (DeviceRecord* r : devices_) {
        std::free(r->extensionMemory);
        delete r;
    }
}

// ---------------------------------------------------------------------------------------------
// Driver and device objects

PDRIVER_OBJECT IoManager::CreateDriver(const std::u16string& name, const std::u16string& serviceKey,
                                       LoadedModule* module)
{
    auto* rec = new DriverRecord;
    rec->module = module;
    rec->name = name;
    rec->serviceKey = serviceKey;
    PDRIVER_OBJECT d = &rec->driver;
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &rec->extension;
    d->DriverSection = rec;
    rec->extension.DriverObject = d;
    d->DriverName.Buffer = reinterpret_cast<PWSTR>(rec->name.data());
    d->DriverName.Length = static_cast<USHORT>(rec->name.size() * 2);
    d->DriverName.MaximumLength = d->DriverName.Length;
    rec->extension.ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(rec->serviceKey.data());
    rec->extension.ServiceKeyName.Length = static_cast<USHORT>(rec->serviceKey.size() * 2);
    rec->extension.ServiceKeyName.MaximumLength = rec->extension.ServiceKeyName.Length;
    if (module != nullptr) {
        d->DriverStart = reinterpret_cast<PVOID>(module->start);
        d->DriverSize = static_cast<ULONG>(module->end - module->start);
        d->DriverInit = module->entry;
        module->driver = d;
    }
    std::lock_guard<std::mutex> lk(mutex_);
    drivers_.push_back(rec);
    return d;
}

void IoManager::DeleteDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
        if (&(*it)->driver == driver) {
            delete *it;
            drivers_.erase(it);
            return;
        }
    }
}

DriverRecord* IoManager::RecordOf(PDRIVER_OBJECT driver)
{
    return static_cast<DriverRecord*>(driver->DriverSection);
}

DeviceRecord* IoManager::RecordOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceRecord*>(device->Reserved);
}

std::vector<PDEVICE_OBJECT> IoManager::DevicesOf(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
        out.push_back(d);
    return out;
}

PDEVICE_OBJECT IoManager::BottomOf(PDEVICE_OBJECT device)
{
    while (device->DeviceObjectExtension->AttachedTo != nullptr)
        device = device->DeviceObjectExtension->AttachedTo;
    return device;
}

PDEVICE_OBJECT IoManager::TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                 PDEVICE_OBJECT* out, const void* caller)
{
    *out = nullptr;
    if (machine_.Modules().ModuleOf(caller) != nullptr &&
        machine_.Verify().ShouldFail(ResourceKind::Pool, 0x69766544 /* "Devi" */))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* rec = new DeviceRecord;
    PDEVICE_OBJECT d = &rec->device;
    if (name != nullptr && name->Length > 0) {
        rec->name = ToU16(name);
        NTSTATUS status = machine_.Objects().InsertDeviceName(rec->name, d);
        if (!NT_SUCCESS(status)) {
            delete rec;
            return status;
        }
    }
    rec->extensionSize = extensionSize;
    if (extensionSize > 0) {
        rec->extensionMemory = std::aligned_alloc(16, (extensionSize + 15) / 16 * 16);
        std::memset(rec->extensionMemory, 0, extensionSize);
    }
    d->Type = IO_TYPE_DEVICE;
    d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    d->ReferenceCount = 0;
    d->DriverObject = driver;
    d->DeviceExtension = rec->extensionMemory;
    d->DeviceType = type;
    d->Characteristics = characteristics;
    d->StackSize = 1;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->DeviceObjectExtension = &rec->objectExtension;
    rec->objectExtension.Type = 13;
    rec->objectExtension.Size = sizeof(DEVOBJ_EXTENSION);
    rec->objectExtension.DeviceObject = d;
    d->Reserved = rec;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        d->NextDevice = driver->DeviceObject;
        driver->DeviceObject = d;
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        devices_.insert(rec);
    }
    // The object is permanent until IoDeleteDevice; it keeps its driver's image mapped.
    rec->image = RecordOf(driver)->module;
    machine_.Modules().Hold(rec->image);
    machine_.Objects().Track(d, ObjectKind::Device, 0, [this](PVOID object) {
        FreeDevice(static_cast<PDEVICE_OBJECT>(object));
    }, true);
    *out = d;
    return STATUS_SUCCESS;
}

size_t IoManager::LiveDeviceObjects()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return devices_.size();
}

void IoManager::FreeDevice(PDEVICE_OBJECT device)
{
    DeviceRecord* r = RecordOf(device);
    if (device->AttachedDevice != nullptr) {
        r->freeOnDetach = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        devices_.erase(r);
    }
    LoadedModule* image = r->image;
    std::free(r->extensionMemory);
    delete r;
    machine_.Modules().Release(image);
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device)
{
    DeviceRecord* rec = RecordOf(device);
    if (rec->deleted)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_BAD_IRP, reinterpret_cast<uintptr_t>(device),
                 0, 0, "device object deleted twice");
    if (device->DeviceObjectExtension->AttachedTo != nullptr)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_DELETE_ATTACHED_DEVICE,
                 reinterpret_cast<uintptr_t>(device), 0, 0,
                 "device object deleted while still attached to a lower device");
    {
        std::unique_lock<std::mutex> lk(mutex_);
        for (auto& [irp, t] : liveIrps_) {
            auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
            for (int level = 1; level <= irp->StackCount; ++level) {
                if ((t->calledLevels & Bit(level)) && stack[level - 1].DeviceObject == device) {
                    lk.unlock();
                    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                             IO_DELETE_DEVICE_WITH_OUTSTANDING_IRP,
                             reinterpret_cast<uintptr_t>(device), reinterpret_cast<uintptr_t>(irp),
                             0, "device object deleted while a request it holds is outstanding");
                }
            }
        }
    }
    if (rec->extensionMemory != nullptr) {
        std::string what;
        auto start = reinterpret_cast<uintptr_t>(rec->extensionMemory);
        std::unique_lock<std::mutex> slk(machine_.Sched().Lock());
        bool busy = machine_.Sched().TimerOrDpcIn(start, start + rec->extensionSize, &what);
        slk.unlock();
        if (busy)
            BugCheck(TIMER_OR_DPC_INVALID, 0, start, rec->extensionSize, 0,
                     "device object deleted while its extension holds " + what);
    }
    machine_.Objects().RemoveDeviceName(device);
    {
        std::lock_guard<std::mutex> lk(mutex_);
        PDRIVER_OBJECT driver = device->DriverObject;
        for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
            if (*p == device) {
                *p = device->NextDevice;
                break;
            }
        }
    }
    rec->deleted = true;
    machine_.Objects().MakeTemporary(device);
}

PDEVICE_OBJECT IoManager::Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    if (failNextAttach_) {
        failNextAttach_ = false;
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOf(target);
    if (RecordOf(top)->deleted)
        return nullptr;
    top->AttachedDevice = source;
    source->DeviceObjectExtension->AttachedTo = top;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

void IoManager::Detach(PDEVICE_OBJECT target)
{
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (above != nullptr)
        above->DeviceObjectExtension->AttachedTo = nullptr;
    target->AttachedDevice = nullptr;
    if (RecordOf(target)->freeOnDetach)
        FreeDevice(target);
}

// ---------------------------------------------------------------------------------------------
// Requests

// Looks the request up by its address, never through its memory: a freed request's memory is
// filled (and poisoned for the sanitizer) and must not be read by the platform either.
IrpTrack* IoManager::Track(PIRP irp, const char* routine)
{
    IrpTrack* t = nullptr;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        auto it = liveIrps_.find(irp);
        if (it != liveIrps_.end())
            t = it->second;
    }
    if (t == nullptr || !t->live || irp->Type != IO_TYPE_IRP)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<uintptr_t>(irp), 0, 0, 0,
                 std::string(routine) + " on a request that is not live (freed or never allocated)");
    return t;
}

PIRP IoManager::AllocateIrp(CCHAR stackSize, const void* caller, bool driverRequest)
{
    const LoadedModule* module = machine_.Modules().ModuleOf(caller);
    if (driverRequest && module != nullptr &&
        machine_.Verify().ShouldFail(ResourceKind::Irp, 0))
        return nullptr;
    if (stackSize < 1 || stackSize > 30)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_BAD_IRP, static_cast<uintptr_t>(stackSize),
                 0, 0, "request allocated with an impossible stack size");
    size_t bytes = IrpTrack::kPrefix + IoSizeOfIrp(stackSize);
    auto* t = new IrpTrack();
    t->bytes = (bytes + 15) / 16 * 16;
    t->memory = static_cast<unsigned char*>(std::aligned_alloc(16, t->bytes));
    *reinterpret_cast<IrpTrack**>(t->memory) = t;
    t->owner = module;
    t->driverAllocated = driverRequest;
    IoInitializeIrp(t->Irp(), static_cast<USHORT>(IoSizeOfIrp(stackSize)), stackSize);
    std::lock_guard<std::mutex> lk(mutex_);
    t->generation = ++generation_;
    liveIrps_[t->Irp()] = t;
    return t->Irp();
}

bool IoManager::StillLive(PIRP irp, uint64_t generation)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = liveIrps_.find(irp);
    return it != liveIrps_.end() && it->second->generation == generation;
}

void IoManager::ReleaseIrpMemory(IrpTrack* t)
{
    IrpTrack* old = nullptr;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        liveIrps_.erase(t->Irp());
        t->live = false;
        Poison(t->memory, t->bytes);
        quarantine_.push_back(t);
        if (quarantine_.size() > kIrpQuarantine) {
            old = quarantine_.front();
            quarantine_.pop_front();
        }
    }
    if (old != nullptr) {
        size_t at = 0;
        bool intact = FillIntact(old->memory, old->bytes, &at);
        auto irp = reinterpret_cast<uintptr_t>(old->Irp());
        std::free(old->memory);
        delete old;
        if (!intact)
            FreedRequestWritten(irp, at);
    }
}

void IoManager::FreedRequestWritten(uintptr_t irp, size_t at)
{
    long offset = static_cast<long>(at) - static_cast<long>(IrpTrack::kPrefix);
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_FREED_IRP_WRITTEN, irp,
             static_cast<uintptr_t>(offset), 0,
             "request written after it was freed (byte " + std::to_string(offset) +
                 " of the request)");
}

void IoManager::CheckFreedRequests()
{
    std::unique_lock<std::mutex> lk(mutex_);
    for (IrpTrack* t : quarantine_) {
        size_t at = 0;
        bool intact = FillIntact(t->memory, t->bytes, &at);
        CV_POISON(t->memory, t->bytes);
        if (!intact) {
            auto irp = reinterpret_cast<uintptr_t>(t->Irp());
            lk.unlock();
            FreedRequestWritten(irp, at);
        }
    }
}

void IoManager::FreeIrp(PIRP irp)
{
    IrpTrack* t = Track(irp, "IoFreeIrp");
    if (t->calledLevels != 0)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_FREE_OF_OUTSTANDING_IRP,
                 reinterpret_cast<uintptr_t>(irp), t->calledLevels, 0,
                 "request freed while a driver below still holds it");
    ReleaseIrpMemory(t);
}

void IoManager::ReuseIrp(PIRP irp, NTSTATUS status)
{
    IrpTrack* t = Track(irp, "IoReuseIrp");
    if (t->calledLevels != 0)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_FREE_OF_OUTSTANDING_IRP,
                 reinterpret_cast<uintptr_t>(irp), t->calledLevels, 0,
                 "request reused while a driver below still holds it");
    CCHAR stackSize = irp->StackCount;
    USHORT size = irp->Size;
    IoInitializeIrp(irp, size, stackSize);
    irp->IoStatus.Status = status;
}

void IoManager::MarkPending(PIRP irp)
{
    IrpTrack* t = Track(irp, "IoMarkIrpPending");
    if (irp->CurrentLocation > irp->StackCount)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_BAD_IRP, reinterpret_cast<uintptr_t>(irp),
                 0, 0,
                 "IoMarkIrpPending on a request with no current stack location (the completion "
                 "routine of a request its driver allocated must not mark it)");
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    NoteMarked(t, irp, irp->CurrentLocation);
}

// Records that the request's stack location `level` is marked pending: in the dispatch calls
// still running at that level, and against a dispatch there that already returned another
// status than STATUS_PENDING for a request it passed on.
void IoManager::NoteMarked(IrpTrack* t, PIRP irp, int level)
{
    bool returnedOther;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        for (CallFrame* f = t->frames[level & 31]; f != nullptr; f = f->outer)
            f->marked = true;
        returnedOther = (t->returnedOther & Bit(level)) != 0;
    }
    if (returnedOther)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_MARKED_PENDING_NOT_RETURNED,
                 reinterpret_cast<uintptr_t>(irp), static_cast<uintptr_t>(level), 0,
                 "request marked pending at a level whose dispatch routine returned a status "
                 "other than STATUS_PENDING");
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    PKTHREAD self = CurrentThreadChecked();
    IrpTrack* t = Track(irp, "IoCallDriver");
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0)
        BugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<uintptr_t>(irp), 0, 0, 0,
                 "request passed down with no stack location left");
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    int level = irp->CurrentLocation;
    CallFrame frame;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        t->calledLevels |= Bit(level);
        t->returnedPending &= ~Bit(level);
        t->returnedOther &= ~Bit(level);
        frame.outer = t->frames[level];
        t->frames[level] = &frame;
    }
    machine_.Sched().PreemptionPoint("IoCallDriver");
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[stack->MajorFunction];
    KIRQL irql = self->irql;
    int locks = self->spinLocksHeld;
    NTSTATUS status = routine(device, irp);
    CheckRoutineReturn(self, irql, locks, reinterpret_cast<const void*>(routine), "dispatch routine");
    CheckDispatchResult(t, frame, level, irp, routine, status);
    return status;
}

// What a dispatch routine returned against what it did to the request, from the call's own
// record: the request itself may have been completed and freed by then.
void IoManager::CheckDispatchResult(IrpTrack* t, CallFrame& frame, int level, PIRP irp,
                                    PDRIVER_DISPATCH routine, NTSTATUS status)
{
    bool kept = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!frame.completed) {
            // Still outstanding at this level, so the request is live and readable.
            t->frames[level] = frame.outer;
            kept = irp->CurrentLocation == level;
            if (status == STATUS_PENDING && !frame.marked && !kept)
                t->returnedPending |= Bit(level); // its completion routine must mark it
            else if (status != STATUS_PENDING && !kept)
                t->returnedOther |= Bit(level);
        }
    }
    auto where = reinterpret_cast<uintptr_t>(routine);
    auto what = reinterpret_cast<uintptr_t>(irp);
    if (status == STATUS_PENDING && !frame.marked && (frame.completed || kept))
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_PENDING_NOT_MARKED, where, what, 0,
                 "dispatch routine returned STATUS_PENDING without marking the request pending");
    if (status != STATUS_PENDING && frame.marked)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_MARKED_PENDING_NOT_RETURNED, where, what,
                 static_cast<uintptr_t>(status),
                 "dispatch routine marked the request pending but returned another status than "
                 "STATUS_PENDING");
    if (status != STATUS_PENDING && kept)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_RETURNED_WITHOUT_COMPLETING, where, what,
                 static_cast<uintptr_t>(status),
                 "dispatch routine returned a status other than STATUS_PENDING for a request it "
                 "neither completed nor passed on");
}

void IoManager::CompleteRequest(PIRP irp, CCHAR)
{
    PKTHREAD self = CurrentThreadChecked();
    IrpTrack* t = Track(irp, "IoCompleteRequest");
    if (irp->CurrentLocation > irp->StackCount + 1 || t->calledLevels == 0 || t->inCompletion)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<uintptr_t>(irp), 0, 0, 0,
                 "request completed twice");
    if (irp->IoStatus.Status == STATUS_PENDING)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_COMPLETED_WITH_PENDING,
                 reinterpret_cast<uintptr_t>(irp), 0, 0, "request completed with STATUS_PENDING");
    // Read as IoSetCancelRoutine writes it: a cancel may run on another thread meanwhile.
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        BugCheck(0x48 /* CANCEL_STATE_IN_COMPLETED_IRP */, reinterpret_cast<uintptr_t>(irp),
                 reinterpret_cast<uintptr_t>(irp->CancelRoutine), 0, 0,
                 "request completed with its cancel routine still set");
    machine_.Sched().PreemptionPoint("IoCompleteRequest");
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        int level = irp->CurrentLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        if ((t->returnedPending & Bit(level)) && !irp->PendingReturned)
            BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_PENDING_NOT_MARKED,
                     reinterpret_cast<uintptr_t>(stack->DeviceObject),
                     reinterpret_cast<uintptr_t>(irp), static_cast<uintptr_t>(level),
                     "request returned STATUS_PENDING at a level that never marked it pending "
                     "(a completion routine must mark it when PendingReturned is set)");
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        {
            // The request is done at this level: calls still running here see it completed.
            std::lock_guard<std::mutex> lk(mutex_);
            t->calledLevels &= ~Bit(level);
            t->returnedPending &= ~Bit(level);
            t->returnedOther &= ~Bit(level);
            for (CallFrame* f = t->frames[level]; f != nullptr; f = f->outer)
                f->completed = true;
            t->frames[level] = nullptr;
        }
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                                       ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                       : nullptr;
            KIRQL irql = self->irql;
            int locks = self->spinLocksHeld;
            uint64_t generation = t->generation;
            NTSTATUS result = routine(upper, irp, context);
            CheckRoutineReturn(self, irql, locks, reinterpret_cast<const void*>(routine),
                               "completion routine");
            if (result == STATUS_MORE_PROCESSING_REQUIRED || !StillLive(irp, generation))
                return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
            NoteMarked(t, irp, irp->CurrentLocation);
        }
    }
    FinishAtTop(irp, t);
}

void IoManager::FinishAtTop(PIRP irp, IrpTrack* t)
{
    if (t->driverAllocated) {
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_ALLOCATED_IRP_COMPLETED_TO_TOP,
                 reinterpret_cast<uintptr_t>(irp), 0, 0,
                 "a driver's own request completed to the top: its completion routine must return "
                 "STATUS_MORE_PROCESSING_REQUIRED");
    }
    if (t->hostDone) {
        auto done = std::move(t->hostDone);
        done(irp);
        return;
    }
    if (t->threaded) {
        NTSTATUS status = irp->IoStatus.Status;
        // Warnings (STATUS_BUFFER_OVERFLOW: the first Information bytes are valid) copy back
        // like successes; only an error status leaves the caller's buffer alone.
        if (t->copyBackTo != nullptr && !IsErrorStatus(status)) {
            size_t n = std::min<size_t>(irp->IoStatus.Information, t->copyBackLength);
            std::memcpy(t->copyBackTo, t->systemBuffer, n);
        }
        if (t->systemBuffer != nullptr)
            std::free(t->systemBuffer);
        for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
            PMDL next = mdl->Next;
            if (mdl->MdlFlags & MDL_PAGES_LOCKED)
                MmUnlockPages(mdl);
            FreeMdl(mdl);
            mdl = next;
        }
        irp->MdlAddress = nullptr;
        if (irp->UserIosb != nullptr)
            *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        ReleaseIrpMemory(t);
        if (event != nullptr)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_BAD_IRP, reinterpret_cast<uintptr_t>(irp), 0,
             0, "request completed to the top with nobody to receive it");
}

BOOLEAN IoManager::CancelIrp(PIRP irp)
{
    Track(irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                : nullptr;
    routine(device, irp);
    return TRUE;
}

// A request built for a caller that waits on `event`: it completes to the top, where the
// status block is written and the event set.
PIRP IoManager::AllocateThreaded(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                 const void* caller)
{
    const LoadedModule* module = machine_.Modules().ModuleOf(caller);
    if (module != nullptr && machine_.Verify().ShouldFail(ResourceKind::Irp, 0))
        return nullptr;
    PIRP irp = AllocateIrp(device->StackSize, caller, false);
    IrpTrack* t = IrpTrack::Of(irp);
    t->owner = module;
    t->threaded = true;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = Scheduler::Current();
    return irp;
}

PIRP IoManager::BuildDeviceIoControl(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                     ULONG inputLength, PVOID output, ULONG outputLength,
                                     BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                     const void* caller)
{
    PIRP irp = AllocateThreaded(device, event, iosb, caller);
    if (irp == nullptr)
        return nullptr;
    IrpTrack* t = IrpTrack::Of(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(inputLength, outputLength);
        if (size > 0) {
            t->systemBuffer = std::malloc(size);
            std::memset(t->systemBuffer, 0, size);
            if (input != nullptr && inputLength > 0)
                std::memcpy(t->systemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
            if (output != nullptr && outputLength > 0) {
                t->copyBackTo = output;
                t->copyBackLength = outputLength;
            }
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (input != nullptr && inputLength > 0) {
            t->systemBuffer = std::malloc(inputLength);
            std::memcpy(t->systemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
        }
        if (output != nullptr && outputLength > 0) {
            PMDL mdl = AllocateMdl(output, outputLength, FALSE, irp, nullptr);
            MmProbeAndLockPages(mdl, KernelMode,
                                METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess
                                                                               : IoWriteAccess);
        }
        break;
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        break;
    }
    return irp;
}

PIRP IoManager::BuildSynchronousFsd(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                    PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                    const void* caller)
{
    PIRP irp = AllocateThreaded(device, event, iosb, caller);
    if (irp == nullptr)
        return nullptr;
    IrpTrack* t = IrpTrack::Of(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(major);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = length;
        if (offset != nullptr)
            next->Parameters.Read.ByteOffset = *offset;
        if (device->Flags & DO_BUFFERED_IO) {
            t->systemBuffer = std::malloc(std::max<ULONG>(length, 1));
            if (major == IRP_MJ_WRITE)
                std::memcpy(t->systemBuffer, buffer, length);
            else {
                t->copyBackTo = buffer;
                t->copyBackLength = length;
            }
            irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
        } else if (device->Flags & DO_DIRECT_IO) {
            if (length > 0) {
                PMDL mdl = AllocateMdl(buffer, length, FALSE, irp, nullptr);
                MmProbeAndLockPages(mdl, KernelMode,
                                    major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
            }
        } else {
            irp->UserBuffer = buffer;
        }
    }
    return irp;
}

PIRP IoManager::BuildHostRequest(PDEVICE_OBJECT target, std::function<void(PIRP)> done)
{
    PIRP irp = AllocateIrp(target->StackSize, nullptr, false);
    IrpTrack* t = IrpTrack::Of(irp);
    t->hostDone = [this, done = std::move(done)](PIRP completed) {
        done(completed);
        ReleaseIrpMemory(IrpTrack::Of(completed));
    };
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.Thread = Scheduler::Current();
    return irp;
}

NTSTATUS IoManager::SendAndWait(PDEVICE_OBJECT target,
                                const std::function<void(PIO_STACK_LOCATION)>& fill,
                                ULONG_PTR* information)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS final = STATUS_PENDING;
    ULONG_PTR info = 0;
    PDEVICE_OBJECT top = TopOf(target);
    PIRP irp = BuildHostRequest(top, [&](PIRP completed) {
        final = completed->IoStatus.Status;
        info = completed->IoStatus.Information;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    fill(IoGetNextIrpStackLocation(irp));
    CallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr)
        *information = info;
    return final;
}

// ---------------------------------------------------------------------------------------------
// MDLs

PMDL IoManager::AllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, PIRP irp, const void* caller)
{
    if (caller != nullptr && machine_.Modules().ModuleOf(caller) != nullptr &&
        machine_.Verify().ShouldFail(ResourceKind::Mdl, 0))
        return nullptr;
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        liveMdls_.insert(mdl);
    }
    if (irp != nullptr) {
        if (secondary) {
            PMDL* tail = &irp->MdlAddress;
            while (*tail != nullptr)
                tail = &(*tail)->Next;
            *tail = mdl;
        } else {
            irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

void IoManager::FreeMdl(PMDL mdl)
{
    bool live;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        live = liveMdls_.erase(mdl) != 0;
    }
    if (!live)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x109, reinterpret_cast<uintptr_t>(mdl), 0, 0,
                 "IoFreeMdl on something that is not a live MDL");
    if (mdl->MdlFlags & MDL_PAGES_LOCKED)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x10A, reinterpret_cast<uintptr_t>(mdl), 0, 0,
                 "MDL freed while its pages are still locked");
    std::free(mdl);
}

// ---------------------------------------------------------------------------------------------
// File objects

NTSTATUS IoManager::OpenFile(const std::u16string& path, ACCESS_MASK access, PFILE_OBJECT* file,
                             PDEVICE_OBJECT* top)
{
    *file = nullptr;
    // The device is the longest prefix of the path that names one.
    PDEVICE_OBJECT device = nullptr;
    std::u16string rest;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    for (size_t cut = path.size(); cut > 0; cut = path.rfind(u'\\', cut - 1)) {
        NTSTATUS s;
        device = machine_.Objects().Resolve(path.substr(0, cut), &s);
        if (device != nullptr) {
            rest = path.substr(cut);
            status = STATUS_SUCCESS;
            break;
        }
        if (cut == 0 || path.rfind(u'\\', cut - 1) == std::u16string::npos)
            break;
    }
    if (device == nullptr)
        return status;
    if (RecordOf(device)->deleted)
        return STATUS_DELETE_PENDING;
    auto* f = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    auto* name = new std::u16string(rest);
    f->Type = IO_TYPE_FILE;
    f->Size = sizeof(FILE_OBJECT);
    f->DeviceObject = device;
    f->FileName.Buffer = reinterpret_cast<PWSTR>(name->data());
    f->FileName.Length = static_cast<USHORT>(name->size() * 2);
    f->FileName.MaximumLength = f->FileName.Length;
    f->FsContext2 = nullptr;
    machine_.Objects().Reference(device);
    PDEVICE_OBJECT stackTop = TopOf(device);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = access;
    status = SendAndWait(stackTop, [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_CREATE;
        s->FileObject = f;
        s->Parameters.Create.SecurityContext = &security;
    }, nullptr);
    if (!NT_SUCCESS(status)) {
        machine_.Objects().Dereference(device);
        delete name;
        std::free(f);
        return status;
    }
    machine_.Objects().Track(f, ObjectKind::File, 1, [this, name](PVOID object) {
        CloseFile(static_cast<PFILE_OBJECT>(object));
        delete name;
    });
    *file = f;
    if (top != nullptr)
        *top = stackTop;
    return STATUS_SUCCESS;
}

void IoManager::CloseFile(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    PDEVICE_OBJECT stackTop = TopOf(device);
    if (!RecordOf(stackTop)->deleted) {
        for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
            SendAndWait(stackTop, [&](PIO_STACK_LOCATION s) {
                s->MajorFunction = major;
                s->FileObject = file;
            }, nullptr);
        }
    }
    machine_.Objects().Dereference(device);
    std::free(file);
    machine_.Pnp().FileClosed(device);
}

// ---------------------------------------------------------------------------------------------
// End-of-run checks

std::vector<std::string> IoManager::OutstandingRequests()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::string> out;
    for (auto& [irp, t] : liveIrps_) {
        std::ostringstream os;
        os << "request " << static_cast<void*>(t->Irp());
        if (t->owner != nullptr)
            os << " allocated by " << t->owner->name;
        if (t->calledLevels != 0)
            os << ", still outstanding below";
        else
            os << ", never freed";
        out.push_back(os.str());
    }
    return out;
}

size_t IoManager::LiveIrps()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return liveIrps_.size();
}

size_t IoManager::LiveMdls()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return liveMdls_.size();
}

} // namespace host
