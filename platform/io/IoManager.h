// The I/O manager: driver and device objects, device stacks, requests (IRPs) with their stack
// locations, completion and cancellation, MDLs, file objects and the verifier's I/O checks.
//
// Every request is tracked from allocation to free: which stack levels it was passed to and
// not yet completed from, and whether it was built for a waiting caller (completed to the top:
// status block, event, buffer copy-back) or allocated by a driver (which must stop its
// completion with STATUS_MORE_PROCESSING_REQUIRED and free it). Each dispatch call keeps its
// own record of whether its level was marked pending, so what the routine returns is checked
// even when the request was completed and freed before it returned. Freed requests wait in a
// quarantine, filled with a pattern (and poisoned for the address sanitizer), so a driver that
// writes to one is caught when it leaves the quarantine or at shutdown.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class Machine;
struct LoadedModule;

struct DriverRecord {
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    LoadedModule* module = nullptr; // null for the platform's own drivers
    std::u16string name;            // "\Driver\corvbc"
    std::u16string serviceKey;      // "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\CORVB"
};

struct DeviceRecord {
    DEVICE_OBJECT device{};
    DEVOBJ_EXTENSION objectExtension{};
    void* extensionMemory = nullptr;
    size_t extensionSize = 0;
    std::u16string name;
    bool deleted = false;
    // Deleted and unreferenced while a device was still attached above it: its memory goes
    // when that device detaches.
    bool freeOnDetach = false;
    LoadedModule* image = nullptr; // the creating driver's image, held while the object lives
    // Set by the PnP manager for physical device objects.
    void* devnode = nullptr;
};

struct IrpTrack;
struct CallFrame;

// DRIVER_VERIFIER_IOMANAGER_VIOLATION, parameter 1: a freed request's memory was written
// (found when it leaves the quarantine, or at shutdown).
constexpr uintptr_t IO_FREED_IRP_WRITTEN = 0x18;

class IoManager {
public:
    explicit IoManager(Machine& machine);
    ~IoManager();

    // Driver objects.
    PDRIVER_OBJECT CreateDriver(const std::u16string& name, const std::u16string& serviceKey,
                                LoadedModule* module);
    void DeleteDriver(PDRIVER_OBJECT driver);
    static DriverRecord* RecordOf(PDRIVER_OBJECT driver);
    static DeviceRecord* RecordOf(PDEVICE_OBJECT device);
    std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);
    // The bottom of the stack a device belongs to (its physical device object).
    static PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device);
    static PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device);

    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                          DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                          PDEVICE_OBJECT* out, const void* caller);
    void DeleteDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void Detach(PDEVICE_OBJECT target);
    // The next attach fails as if the target stack were going away.
    void FailNextAttach() { failNextAttach_ = true; }

    // Requests.
    PIRP AllocateIrp(CCHAR stackSize, const void* caller, bool driverRequest);
    void FreeIrp(PIRP irp);
    void ReuseIrp(PIRP irp, NTSTATUS status);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp, CCHAR boost);
    void MarkPending(PIRP irp);
    BOOLEAN CancelIrp(PIRP irp);
    PIRP BuildDeviceIoControl(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                              PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                              PIO_STATUS_BLOCK iosb, const void* caller);
    PIRP BuildSynchronousFsd(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                             PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb,
                             const void* caller);
    // A request built by the platform itself; `done` runs when it completes to the top.
    PIRP BuildHostRequest(PDEVICE_OBJECT target, std::function<void(PIRP)> done);
    // Send a host request and wait for it (PASSIVE_LEVEL); returns the final status.
    NTSTATUS SendAndWait(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION)>& fill,
                         ULONG_PTR* information);
    KSPIN_LOCK* CancelLock() { return &cancelLock_; }

    // MDLs.
    PMDL AllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, PIRP irp, const void* caller);
    void FreeMdl(PMDL mdl);

    // File objects: an open of a named device (the name may go on past the device's name:
    // the rest becomes the file name the driver sees).
    NTSTATUS OpenFile(const std::u16string& path, ACCESS_MASK access, PFILE_OBJECT* file,
                      PDEVICE_OBJECT* top);

    // End-of-run checks.
    std::vector<std::string> OutstandingRequests();
    // Bug-checks if a freed request still in the quarantine was written after its free.
    void CheckFreedRequests();
    size_t LiveIrps();
    size_t LiveDeviceObjects(); // device objects whose memory has not gone yet
    size_t LiveMdls();

private:
    friend struct IrpTrack;
    void FreeDevice(PDEVICE_OBJECT device); // its last reference went
    IrpTrack* Track(PIRP irp, const char* routine);
    bool StillLive(PIRP irp, uint64_t generation);
    void NoteMarked(IrpTrack* track, PIRP irp, int level);
    void CheckDispatchResult(IrpTrack* track, CallFrame& frame, int level, PIRP irp,
                             PDRIVER_DISPATCH routine, NTSTATUS status);
    [[noreturn]] void FreedRequestWritten(uintptr_t irp, size_t at);
    PIRP AllocateThreaded(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb,
                          const void* caller);
    void FinishAtTop(PIRP irp, IrpTrack* track);
    void ReleaseIrpMemory(IrpTrack* track);
    void CloseFile(PFILE_OBJECT file);

    Machine& machine_;
    std::mutex mutex_;
    std::unordered_map<PIRP, IrpTrack*> liveIrps_; // by address: freed memory is never read
    std::set<PMDL> liveMdls_;
    std::set<DeviceRecord*> devices_; // every device object not yet freed
    std::deque<IrpTrack*> quarantine_; // freed requests, filled, oldest first
    std::vector<DriverRecord*> drivers_;
    KSPIN_LOCK cancelLock_ = 0;
    bool failNextAttach_ = false;
    uint64_t generation_ = 0;
};

} // namespace host
