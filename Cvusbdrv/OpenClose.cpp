// Open, close and cleanup of the unit's device object, and the device-control entry with the
// transport-level codes. Codes of the private interface and pipe transfers are refused until a
// handle can be bound to a pipe.
#include "Cvusbdrv.h"
#include "CvIoctl.h"

namespace {

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ReadConfig(UnitExtension* unit, PIRP irp, ULONG_PTR* information)
{
    *information = 0;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(unit->configDescriptor);
    if (config == nullptr)
        return STATUS_UNSUCCESSFUL;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length < config->wTotalLength)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, config, config->wTotalLength);
    *information = config->wTotalLength;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running || unit->interfaceInfo == nullptr)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr)
        return CompleteHere(irp, STATUS_INVALID_PARAMETER);
    file->FsContext = nullptr;
    if (file->FileName.Length != 0)
        return CompleteHere(irp, STATUS_INVALID_PARAMETER);
    InterlockedIncrement(&unit->openCount);
    if (unit->idleSuspendActive != 0)
        WithdrawIdleRequest(unit);
    return CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    CompleteHere(irp, STATUS_SUCCESS);
    InterlockedDecrement(&unit->openCount);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    IoCountUp(unit);
    CompleteHere(irp, STATUS_SUCCESS);
    IoCountDown(unit);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    IoCountUp(unit);
    if (unit->idleSuspendActive != 0)
        KeWaitForSingleObject(&unit->idleIrpGoneEvent, Executive, KernelMode, FALSE, nullptr);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CORV_READ_CONFIG:
        status = ReadConfig(unit, irp, &information);
        break;
    case IOCTL_CORV_RECOVER:
        status = RecoverDevice(device);
        break;
    case IOCTL_CORV_RESET_PIPE: {
        PFILE_OBJECT file = stack->FileObject;
        if (file == nullptr || file->FsContext == nullptr)
            status = STATUS_INVALID_PARAMETER;
        else
            status = ResetPipe(device, static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext));
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    CompleteHere(irp, status, information);
    IoCountDown(unit);
    return status;
}

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    if (unit->idleSuspendActive != 0)
        KeWaitForSingleObject(&unit->idleIrpGoneEvent, Executive, KernelMode, FALSE, nullptr);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr || file->FsContext == nullptr)
        return CompleteHere(irp, STATUS_INVALID_HANDLE);
    return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);
}
