// Plug and Play: the unit's state machine, start, stop, queries and their cancels, surprise
// removal, removal, and the capability query.
#include "Cvusbdrv.h"

namespace {

NTSTATUS ForwardOn(UnitExtension* unit, PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(unit->lowerDevice, irp);
}

NTSTATUS ForwardOnUnchanged(UnitExtension* unit, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(unit->lowerDevice, irp);
}

NTSTATUS StartUnit(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    // A failed start can leave what it read behind; this start reads everything again.
    FreeDescriptors(unit);
    NTSTATUS status = ForwardAndWait(unit, irp);
    if (!NT_SUCCESS(status))
        return status;
    status = ReadDeviceDescriptor(device);
    if (!NT_SUCCESS(status))
        return status;
    SetPnpState(unit, Running);
    unit->wakeArmed = 0;
    unit->wakeCancelled = 0;
    unit->wakeIrp = nullptr;
    if (unit->wakeSupported)
        ArmWake(unit);
    if (unit->osLevel == OsLevelXp) {
        unit->idleSuspendActive = unit->idleSuspendSetting;
        if (unit->idleSuspendActive != 0) {
            LARGE_INTEGER due;
            due.QuadPart = -50000000; // 5 s
            unit->idleIrpRefs = 0;
            KeSetTimerEx(&unit->idleTimer, due, 5000, &unit->idleDpc);
        }
    }
    return status;
}

// Query stop and query remove: the reply goes down only once every other request has finished.
NTSTATUS QueryStopOrRemove(UnitExtension* unit, PIRP irp, ULONG state)
{
    SetPnpState(unit, state);
    IoCountDown(unit);
    KeWaitForSingleObject(&unit->ioSettledEvent, Executive, KernelMode, FALSE, nullptr);
    return ForwardOn(unit, irp, STATUS_SUCCESS);
}

NTSTATUS CancelQuery(UnitExtension* unit, PIRP irp, ULONG queried)
{
    if (unit->pnpState != queried)
        return STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(unit, irp);
    if (!NT_SUCCESS(status))
        return status;
    KIRQL irql;
    KeAcquireSpinLock(&unit->stateLock, &irql);
    unit->pnpState = unit->previousPnpState;
    KeReleaseSpinLock(&unit->stateLock, irql);
    return status;
}

NTSTATUS StopUnit(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    HaltIdleSuspend(unit);
    if (unit->wakeSupported)
        DisarmWake(unit);
    SetPnpState(unit, Halted);
    FreeDescriptors(unit);
    NTSTATUS status = Deconfigure(device);
    return ForwardOn(unit, irp, status);
}

NTSTATUS SurpriseRemoval(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->wakeSupported)
        DisarmWake(unit);
    HaltIdleSuspend(unit);
    SetPnpState(unit, Vanished);
    AbortAllPipes(device);
    return ForwardOn(unit, irp, STATUS_SUCCESS);
}

NTSTATUS RemoveUnit(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Vanished) {
        if (unit->wakeSupported)
            DisarmWake(unit);
        HaltIdleSuspend(unit);
        StreamContextFree(unit);
        AbortAllPipes(device);
    } else {
        StreamContextFree(unit);
    }
    UNICODE_STRING dosName;
    RtlInitUnicodeString(&dosName, unit->dosName);
    IoDeleteSymbolicLink(&dosName);
    SetPnpState(unit, Deleted);
    WmiDeregister(unit);
    IoCountDown(unit);
    IoCountDown(unit);
    KeWaitForSingleObject(&unit->ioDrainedEvent, Executive, KernelMode, FALSE, nullptr);
    FreeDescriptors(unit);
    PDEVICE_OBJECT lower = unit->lowerDevice;
    NTSTATUS status = ForwardOn(unit, irp, STATUS_SUCCESS);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS QueryCapabilities(UnitExtension* unit, PIRP irp)
{
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    caps->SurpriseRemovalOK = TRUE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(unit, irp);
    unit->sleepDeviceState = PowerDeviceUnspecified;
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&unit->capabilities, caps, sizeof(DEVICE_CAPABILITIES));
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) {
            if (caps->DeviceState[s] < PowerDeviceD3)
                unit->sleepDeviceState = caps->DeviceState[s];
        }
        caps->SurpriseRemovalOK = TRUE;
    }
    if (unit->sleepDeviceState == PowerDeviceUnspecified ||
        unit->sleepDeviceState == PowerDeviceD0)
        unit->sleepDeviceState = PowerDeviceD2;
    return status;
}

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState == Deleted)
        return CompleteHere(irp, STATUS_DELETE_PENDING);
    IoCountUp(unit);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor != IRP_MN_START_DEVICE && unit->idleSuspendActive != 0)
        WithdrawIdleRequest(unit);
    NTSTATUS status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = CompleteHere(irp, StartUnit(device, irp));
        IoCountDown(unit);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryStopOrRemove(unit, irp, RemoveQueried);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveUnit(device, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = CompleteHere(irp, CancelQuery(unit, irp, RemoveQueried));
        IoCountDown(unit);
        return status;
    case IRP_MN_STOP_DEVICE:
        status = StopUnit(device, irp);
        IoCountDown(unit);
        return status;
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStopOrRemove(unit, irp, StopQueried);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = CompleteHere(irp, CancelQuery(unit, irp, StopQueried));
        IoCountDown(unit);
        return status;
    case IRP_MN_QUERY_CAPABILITIES:
        status = CompleteHere(irp, QueryCapabilities(unit, irp));
        IoCountDown(unit);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        status = SurpriseRemoval(device, irp);
        IoCountDown(unit);
        return status;
    default:
        status = ForwardOnUnchanged(unit, irp);
        IoCountDown(unit);
        return status;
    }
}
