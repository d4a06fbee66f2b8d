// Open, close and cleanup of the unit's device object, and the request entries whose handling
// comes with the private control interface and the pipe transfers.
#include "Cvusbdrv.h"

namespace {

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

// An open without a file name counts a handle; only a running unit can be opened.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    IoCountUp(unit);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = STATUS_SUCCESS;
    if (file != nullptr && file->FileName.Length != 0) {
        status = STATUS_INVALID_PARAMETER; // pipe handles come with the bulk transfer path
    } else {
        if (file != nullptr)
            file->FsContext = nullptr;
        InterlockedIncrement(&unit->openCount);
        if (unit->idleSuspendActive != 0)
            WithdrawIdleRequest(unit);
    }
    CompleteHere(irp, status);
    IoCountDown(unit);
    return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    InterlockedDecrement(&unit->openCount);
    return CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState != Running)
        return CompleteHere(irp, STATUS_INVALID_DEVICE_STATE);
    return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);
}
