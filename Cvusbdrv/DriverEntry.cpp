// Driver entry and unload: the registry path copy, the unit map and the dispatch table.
#include "Cvusbdrv.h"

UNICODE_STRING serviceKeyPath;
ULONG unitMap[4];
ULONG wmiValue = 0x7FFFFFFF;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = STATUS_SUCCESS;
    serviceKeyPath.Length = registryPath->Length;
    serviceKeyPath.MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));
    serviceKeyPath.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, serviceKeyPath.MaximumLength, CV_POOL_TAG));
    if (serviceKeyPath.Buffer == nullptr) {
        serviceKeyPath.Length = serviceKeyPath.MaximumLength = 0;
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(serviceKeyPath.Buffer, serviceKeyPath.MaximumLength);
        RtlCopyMemory(serviceKeyPath.Buffer, registryPath->Buffer, registryPath->Length);
        for (ULONG& word : unitMap)
            word = 0;
        driver->DriverExtension->AddDevice = AddDevice;
        driver->DriverUnload = DriverUnload;
        driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
        driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
        driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
        driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchDeviceControl;
        driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    }
    DbgPrint("Cvusbdrv DriverEntry exit.");
    return status;
}

void NTAPI DriverUnload(PDRIVER_OBJECT)
{
    PAGED_CODE();
    if (serviceKeyPath.Buffer != nullptr) {
        ExFreePoolWithTag(serviceKeyPath.Buffer, CV_POOL_TAG);
        serviceKeyPath.Buffer = nullptr;
        serviceKeyPath.Length = serviceKeyPath.MaximumLength = 0;
    }
}
