// WMI: each unit provides one data block, a settable 32-bit value shared by all units followed
// by the model name.
#include "Cvusbdrv.h"

namespace {

// {BBA21300-6DD3-11D2-B844-00C04FAD5171}
const GUID kUnitBlockGuid = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
WMIGUIDREGINFO guidList[1] = {{&kUnitBlockGuid, 1, 0}};

const WCHAR kModelName[] = L"Tolmerida";
const WCHAR kMofResourceName[] = L"MofResourceName";
constexpr ULONG kNameBytes = sizeof(kModelName); // 20, with the NUL
constexpr ULONG kBlockBytes = 4 + 2 + kNameBytes; // 26

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING,
                            PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName,
                            PDEVICE_OBJECT* pdo)
{
    UnitExtension* unit = CV_EXTENSION(device);
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &serviceKeyPath;
    RtlInitUnicodeString(mofResourceName, kMofResourceName);
    *pdo = unit->physicalDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG,
                              ULONG, PULONG instanceLengths, ULONG bufferAvail, PUCHAR buffer)
{
    NTSTATUS status;
    ULONG size = 0;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else {
        size = kBlockBytes;
        if (bufferAvail < kBlockBytes) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            ULONG value = wmiValue;
            USHORT nameBytes = kNameBytes;
            RtlCopyMemory(buffer, &value, 4);
            RtlCopyMemory(buffer + 4, &nameBytes, 2);
            RtlCopyMemory(buffer + 6, kModelName, kNameBytes);
            instanceLengths[0] = kBlockBytes;
            status = STATUS_SUCCESS;
        }
    }
    return WmiCompleteRequest(device, irp, status, size, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG,
                            ULONG bufferSize, PUCHAR buffer)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG used = 0;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (bufferSize != 4) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        RtlCopyMemory(&wmiValue, buffer, 4);
        used = 4;
    }
    return WmiCompleteRequest(device, irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG,
                           ULONG dataItemId, ULONG bufferSize, PUCHAR buffer)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG used = 0;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (dataItemId != 1) {
        status = STATUS_WMI_READ_ONLY;
    } else if (bufferSize != 4) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        RtlCopyMemory(&wmiValue, buffer, 4);
        used = 4;
    }
    return WmiCompleteRequest(device, irp, status, used, IO_NO_INCREMENT);
}

} // namespace

NTSTATUS WmiRegister(UnitExtension* unit)
{
    PAGED_CODE();
    unit->wmiContext.GuidCount = 1;
    unit->wmiContext.GuidList = guidList;
    unit->wmiContext.QueryWmiRegInfo = QueryRegInfo;
    unit->wmiContext.QueryWmiDataBlock = QueryDataBlock;
    unit->wmiContext.SetWmiDataBlock = SetDataBlock;
    unit->wmiContext.SetWmiDataItem = SetDataItem;
    unit->wmiContext.ExecuteWmiMethod = nullptr;
    unit->wmiContext.WmiFunctionControl = nullptr;
    return IoWMIRegistrationControl(unit->functionalDevice, WMIREG_ACTION_REGISTER);
}

NTSTATUS WmiDeregister(UnitExtension* unit)
{
    PAGED_CODE();
    return IoWMIRegistrationControl(unit->functionalDevice, WMIREG_ACTION_DEREGISTER);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->pnpState == Deleted) {
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    IoCountUp(unit);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&unit->wmiContext, device, irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    case IrpNotWmi:
    case IrpForward:
    default:
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(unit->lowerDevice, irp);
        break;
    }
    IoCountDown(unit);
    return status;
}
