// A function driver that breaks one platform rule on purpose, so that tests can show the
// platform catching it. It attaches to any device its package names, passes every request but
// its own down, and commits the fault that FaultyDriver.h lists for its "Fault" value when it
// receives IOCTL_FAULTY_COMMIT (or, for removal faults, when its device is removed). With
// "Fault" absent or zero it breaks nothing.
#include "CvKernel.h"

#include "FaultyDriver.h"

namespace {

constexpr ULONG kTag = 0x79746C46;      // "Flty"
constexpr ULONG kWrongTag = 0x73706F4F; // "Oops"

struct Extension {
    PDEVICE_OBJECT lower; // the device this one is attached to
    PIRP parked;          // a request kept pending by the fault
};

// Set at DriverEntry and by the commit request; the module may be loaded again into the same
// process, so DriverEntry sets every one of them.
ULONG fault;
PVOID kept;                // the block kept past unload
KSPIN_LOCK lock;           // the lock the spin lock faults misuse
KEVENT lockTaken;          // set by the holder thread once it holds `lock`
LONG released;             // tells the holder thread to let go of `lock`
KDPC dpc;                  // the DPC that commits the DPC faults
PIRP dpcRequest;           // the request that DPC completes
KTIMER timer;              // left set at unload
KDPC timerDpc;
PIO_WORKITEM workItem;

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI FaultyDpc(PKDPC, PVOID, PVOID, PVOID)
{
    if (fault == FaultDpcLowersIrql) {
        KeLowerIrql(PASSIVE_LEVEL);
    } else if (fault == FaultDpcKeepsSpinLock) {
        KeAcquireSpinLockAtDpcLevel(&lock);
    } else if (fault == FaultDpcCompletesWithPending && dpcRequest != nullptr) {
        PIRP irp = dpcRequest;
        dpcRequest = nullptr;
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void NTAPI TimerDpc(PKDPC, PVOID, PVOID, PVOID) {}

void NTAPI DoubleFreeWork(PDEVICE_OBJECT, PVOID)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    if (block == nullptr)
        return;
    ExFreePoolWithTag(block, kTag);
    ExFreePoolWithTag(block, kTag);
}

void NTAPI WaitAtDispatchThread(PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeWaitForSingleObject(&lockTaken, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(old);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Takes `lock` and holds it until told to let go (or for a bounded spin).
void NTAPI HolderThread(PVOID)
{
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeSetEvent(&lockTaken, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 100000 && InterlockedCompareExchange(&released, 0, 0) == 0; ++i) {
    }
    KeReleaseSpinLock(&lock, old);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartThread(PKSTART_ROUTINE routine)
{
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, routine, nullptr);
    if (NT_SUCCESS(status))
        ZwClose(thread);
    return status;
}

// The faults of pool and spin locks, committed by the calling thread.
void CommitPoolOrLockFault()
{
    KIRQL old;
    switch (fault) {
    case FaultFreeWithWrongTag:
    case FaultDoubleFree: {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
        if (block == nullptr)
            return;
        ExFreePoolWithTag(block, fault == FaultDoubleFree ? kTag : kWrongTag);
        if (fault == FaultDoubleFree)
            ExFreePoolWithTag(block, kTag);
        break;
    }
    case FaultFreeOfForeignAddress:
        ExFreePoolWithTag(&released, kTag);
        break;
    case FaultReleaseUnownedSpinLock:
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(old);
        break;
    case FaultReleaseOtherThreadsSpinLock:
        if (!NT_SUCCESS(StartThread(HolderThread)))
            return;
        KeWaitForSingleObject(&lockTaken, Executive, KernelMode, FALSE, nullptr);
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(old);
        InterlockedExchange(&released, 1);
        break;
    case FaultReleaseSpinLockBelowDispatch:
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
        break;
    case FaultWaitAtDispatch:
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&lockTaken, Executive, KernelMode, FALSE, nullptr);
        KeLowerIrql(old);
        break;
    case FaultPagedPoolAtDispatch: {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PVOID block = ExAllocatePoolWithTag(PagedPool, 32, kTag);
        KeLowerIrql(old);
        if (block != nullptr)
            ExFreePoolWithTag(block, kTag);
        break;
    }
    default:
        break;
    }
}

NTSTATUS NTAPI DispatchCommit(PDEVICE_OBJECT device, PIRP irp)
{
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_FAULTY_COMMIT)
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    LARGE_INTEGER due;
    KIRQL old;
    switch (fault) {
    case FaultCompleteWithPending:
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case FaultCompleteTwice:
        CompleteRequest(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case FaultPendingNotMarked:
        ext->parked = irp;
        return STATUS_PENDING;
    case FaultPendingNotMarkedCompleted:
        CompleteRequest(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    case FaultMarkedPendingReturnsSuccess:
        IoMarkIrpPending(irp);
        CompleteRequest(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    case FaultDispatchRaisesIrql:
        CompleteRequest(irp, STATUS_SUCCESS);
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_SUCCESS;
    case FaultDpcCompletesWithPending:
        IoMarkIrpPending(irp);
        dpcRequest = irp;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        return STATUS_PENDING;
    case FaultDpcLowersIrql:
    case FaultDpcKeepsSpinLock:
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        break;
    case FaultWorkItemDoubleFree:
        workItem = IoAllocateWorkItem(device);
        if (workItem != nullptr)
            IoQueueWorkItem(workItem, DoubleFreeWork, DelayedWorkQueue, nullptr);
        break;
    case FaultSystemThreadWaitsAtDispatch:
        StartThread(WaitAtDispatchThread);
        break;
    case FaultDeleteWithOutstandingRequest:
        IoMarkIrpPending(irp);
        ext->parked = irp;
        return STATUS_PENDING;
    case FaultLeakPoolAtUnload:
        kept = ExAllocatePoolWithTag(NonPagedPool, 48, kTag);
        break;
    case FaultUnloadWithTimerSet:
        due.QuadPart = -36000000000LL; // an hour from now
        KeSetTimer(&timer, due, &timerDpc);
        break;
    default:
        CommitPoolOrLockFault();
        break;
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<Extension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Extension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
        minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE)
        irp->IoStatus.Status = STATUS_SUCCESS;
    if (minor != IRP_MN_REMOVE_DEVICE)
        return DispatchPassDown(device, irp);
    PDEVICE_OBJECT lower = ext->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (fault != FaultDeleteAttachedDevice)
        IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    ext->parked = nullptr;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    fault = FaultNone;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(L"Fault");
    table[0].EntryContext = &fault;
    table[0].DefaultType = (static_cast<ULONG>(REG_DWORD) << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) |
                           REG_DWORD;
    table[0].DefaultData = &fault;
    table[0].DefaultLength = sizeof(ULONG);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL,
                                             L"FAULTY\\Parameters", table, nullptr, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    kept = nullptr;
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&lockTaken, NotificationEvent, FALSE);
    released = 0;
    KeInitializeDpc(&dpc, FaultyDpc, nullptr);
    dpcRequest = nullptr;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timerDpc, TimerDpc, nullptr);
    workItem = nullptr;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = DispatchPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchCommit;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchCommit;
    return STATUS_SUCCESS;
}
