// Power: the power dispatch, wait-wake arming and disarming, and selective suspend (the idle
// timer, the idle-notification request and the idle callback).
#include "Cvusbdrv.h"

namespace {

struct IdlePowerContext {
    UnitExtension* unit;
    PKEVENT done;
};

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI CountDownOnPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                    PIO_STATUS_BLOCK)
{
    IoCountDown(static_cast<UnitExtension*>(context));
}

// Asks for D0 with a reference held until the request finishes.
void RequestD0(UnitExtension* unit)
{
    IoCountUp(unit);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS status = PoRequestPowerIrp(unit->physicalDevice, IRP_MN_SET_POWER, d0,
                                        CountDownOnPowerComplete, unit, nullptr);
    if (!NT_SUCCESS(status))
        IoCountDown(unit);
}

void NTAPI WakeCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb)
{
    auto* unit = static_cast<UnitExtension*>(context);
    InterlockedExchange(&unit->wakeArmed, 0);
    if (NT_SUCCESS(iosb->Status) && unit->devicePower != PowerDeviceD0) {
        RequestD0(unit);
        if (unit->wakeSupported)
            ArmWake(unit);
    }
}

NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* unit = static_cast<UnitExtension*>(context);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&unit->wakeIrp), nullptr) ==
        irp) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    // DisarmWake took the request: whoever comes second finishes it.
    if (InterlockedExchange(&unit->wakeCancelled, 1) == 0)
        return STATUS_MORE_PROCESSING_REQUIRED;
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

void NTAPI IdlePowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    auto* idle = static_cast<IdlePowerContext*>(context);
    UnitExtension* unit = idle->unit;
    KeSetEvent(idle->done, IO_NO_INCREMENT, FALSE);
    IoCountDown(unit);
    ExFreePoolWithTag(idle, CV_POOL_TAG);
}

// Called by the hub driver at PASSIVE_LEVEL when the unit may suspend.
void NTAPI IdleCallback(PVOID context)
{
    auto* unit = static_cast<UnitExtension*>(context);
    if (unit->pnpState != Running)
        return;
    if (unit->wakeSupported)
        ArmWake(unit);
    auto* idle = static_cast<IdlePowerContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IdlePowerContext), CV_POOL_TAG));
    if (idle == nullptr)
        return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    idle->unit = unit;
    idle->done = &done;
    IoCountUp(unit);
    POWER_STATE state;
    state.DeviceState = unit->sleepDeviceState;
    NTSTATUS status = PoRequestPowerIrp(unit->physicalDevice, IRP_MN_SET_POWER, state,
                                        IdlePowerComplete, idle, nullptr);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(idle, CV_POOL_TAG);
        IoCountDown(unit);
    }
}

void RestartIdleTimer(UnitExtension* unit)
{
    LARGE_INTEGER due;
    due.QuadPart = -50000000; // 5 s
    KeSetTimerEx(&unit->idleTimer, due, 5000, &unit->idleDpc);
}

NTSTATUS NTAPI IdleRequestCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* unit = static_cast<UnitExtension*>(context);
    NTSTATUS status = irp->IoStatus.Status;
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && status != STATUS_POWER_STATE_INVALID)
        RequestD0(unit);
    KIRQL irql;
    KeAcquireSpinLock(&unit->idleLock, &irql);
    PUSB_IDLE_CALLBACK_INFO info = unit->idleCallbackInfo;
    unit->idleCallbackInfo = nullptr;
    PIRP owned = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&unit->idleIrp), nullptr));
    InterlockedExchange(&unit->idleRequestBusy, 0);
    KeReleaseSpinLock(&unit->idleLock, irql);
    if (info != nullptr)
        ExFreePoolWithTag(info, CV_POOL_TAG);
    if (owned != nullptr || InterlockedDecrement(&unit->idleIrpRefs) == 0) {
        IoFreeIrp(irp);
        KeSetEvent(&unit->idleIrpGoneEvent, IO_NO_INCREMENT, FALSE);
    }
    if (unit->idleSuspendActive)
        RestartIdleTimer(unit);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PostIdleRequest(UnitExtension* unit)
{
    if (unit->devicePower != PowerDeviceD0)
        return STATUS_POWER_STATE_INVALID;
    KIRQL irql;
    KeAcquireSpinLock(&unit->idleLock, &irql);
    if (InterlockedExchange(&unit->idleRequestBusy, 1) == 1) {
        KeReleaseSpinLock(&unit->idleLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&unit->idleIrpGoneEvent);
    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO), CV_POOL_TAG));
    PIRP irp = info != nullptr ? IoAllocateIrp(unit->lowerDevice->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
        KeSetEvent(&unit->idleIrpGoneEvent, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&unit->idleRequestBusy, 0);
        KeReleaseSpinLock(&unit->idleLock, irql);
        if (info != nullptr)
            ExFreePoolWithTag(info, CV_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = IdleCallback;
    info->IdleContext = unit;
    unit->idleCallbackInfo = info;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    IoSetCompletionRoutine(irp, IdleRequestCompletion, unit, TRUE, TRUE, TRUE);
    unit->idleIrp = irp;
    unit->idleIrpRefs = 2;
    KeReleaseSpinLock(&unit->idleLock, irql);
    if (CanIdle(unit) && unit->devicePower == PowerDeviceD0) {
        KeCancelTimer(&unit->idleTimer);
        return IoCallDriver(unit->lowerDevice, irp);
    }
    KeAcquireSpinLock(&unit->idleLock, &irql);
    unit->idleCallbackInfo = nullptr;
    unit->idleIrp = nullptr;
    ExFreePoolWithTag(info, CV_POOL_TAG);
    IoFreeIrp(irp);
    KeSetEvent(&unit->idleIrpGoneEvent, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&unit->idleRequestBusy, 0);
    KeReleaseSpinLock(&unit->idleLock, irql);
    return STATUS_SUCCESS;
}

void NTAPI IdleTimerWork(PDEVICE_OBJECT device, PVOID context)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (CanIdle(unit))
        PostIdleRequest(unit);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    KeSetEvent(&unit->idleWorkDoneEvent, IO_NO_INCREMENT, FALSE);
}

} // namespace

void NTAPI IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* device = static_cast<PDEVICE_OBJECT>(context);
    UnitExtension* unit = CV_EXTENSION(device);
    KeClearEvent(&unit->idleWorkDoneEvent);
    if (CanIdle(unit)) {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        if (item != nullptr) {
            IoQueueWorkItem(item, IdleTimerWork, DelayedWorkQueue, item);
            return;
        }
    }
    KeSetEvent(&unit->idleWorkDoneEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS ArmWake(UnitExtension* unit)
{
    if (InterlockedExchange(&unit->wakeArmed, 1) == 1)
        return STATUS_DEVICE_BUSY;
    InterlockedExchange(&unit->wakeCancelled, 0);
    POWER_STATE state;
    state.SystemState = unit->capabilities.SystemWake;
    NTSTATUS status = PoRequestPowerIrp(unit->physicalDevice, IRP_MN_WAIT_WAKE, state, WakeCallback,
                                        unit, &unit->wakeIrp);
    if (!NT_SUCCESS(status))
        InterlockedExchange(&unit->wakeArmed, 0);
    return status;
}

void DisarmWake(UnitExtension* unit)
{
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&unit->wakeIrp), nullptr));
    if (irp == nullptr)
        return;
    IoCancelIrp(irp);
    if (InterlockedExchange(&unit->wakeCancelled, 1) == 1) {
        PoStartNextPowerIrp(irp);
        CompleteHere(irp, STATUS_CANCELLED);
    }
}

void HaltIdleSuspend(UnitExtension* unit)
{
    PAGED_CODE();
    if (unit->osLevel != OsLevelXp || unit->idleSuspendActive == 0)
        return;
    KeCancelTimer(&unit->idleTimer);
    unit->idleSuspendActive = 0;
    KeWaitForSingleObject(&unit->idleWorkDoneEvent, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&unit->idleIrpGoneEvent, Executive, KernelMode, FALSE, nullptr);
}

void WithdrawIdleRequest(UnitExtension* unit)
{
    PIRP irp = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&unit->idleLock, &irql);
    if (!CanIdle(unit))
        irp = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&unit->idleIrp), nullptr));
    KeReleaseSpinLock(&unit->idleLock, irql);
    if (irp == nullptr)
        return;
    IoCancelIrp(irp);
    if (InterlockedDecrement(&unit->idleIrpRefs) == 0) {
        IoFreeIrp(irp);
        KeSetEvent(&unit->idleIrpGoneEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Requests before start pass down untouched and after removal fail; the unit's own wait-wake
// request is watched on its way down. System and device power changes pass down to the bus.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState == Deleted) {
        PoStartNextPowerIrp(irp);
        return CompleteHere(irp, STATUS_DELETE_PENDING);
    }
    if (unit->pnpState == Unstarted) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(unit->lowerDevice, irp);
    }
    IoCountUp(unit);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_WAIT_WAKE) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, WaitWakeCompletion, unit, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        PoCallDriver(unit->lowerDevice, irp);
        IoCountDown(unit);
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(unit->lowerDevice, irp);
    IoCountDown(unit);
    return status;
}
