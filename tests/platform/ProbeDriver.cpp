// A driver for the platform's lifetime and pool checks: one device whose device-control codes
// (ProbeDriver.h) queue a work item, set a timer in the image, start a system thread, and
// allocate or free pool on the test's behalf, so each check sees a real driver image.
#include "CvKernel.h"

#include "ProbeDriver.h"

namespace {

KTIMER g_imageTimer;

void NTAPI ProbeWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* ext = static_cast<PPROBE_EXTENSION>(device->DeviceExtension);
    KeSetEvent(&ext->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ext->release, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    InterlockedIncrement(&ext->routinesDone);
}

// A system thread's start routine and an executive work item's routine alike.
void NTAPI ProbeWait(PVOID context)
{
    auto* caller = static_cast<PPROBE_WAIT_CONTEXT>(context);
    KeSetEvent(&caller->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&caller->release, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS Control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PROBE_QUEUE_WORK_ITEM: {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        if (item == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        IoQueueWorkItem(item, ProbeWork, DelayedWorkQueue, item);
        return STATUS_SUCCESS;
    }
    case IOCTL_PROBE_SET_IMAGE_TIMER: {
        LARGE_INTEGER due;
        due.QuadPart = -10000000;
        KeInitializeTimer(&g_imageTimer);
        KeSetTimer(&g_imageTimer, due, nullptr);
        return STATUS_SUCCESS;
    }
    case IOCTL_PROBE_START_THREAD: {
        HANDLE thread;
        NTSTATUS status = PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, ProbeWait,
                                               *static_cast<PVOID*>(buffer));
        if (NT_SUCCESS(status))
            ZwClose(thread);
        return status;
    }
    case IOCTL_PROBE_QUEUE_EX_WORK_ITEM: {
        auto* caller = *static_cast<PPROBE_WAIT_CONTEXT*>(buffer);
        ExInitializeWorkItem(&caller->item, ProbeWait, caller);
        ExQueueWorkItem(&caller->item, DelayedWorkQueue);
        return STATUS_SUCCESS;
    }
    case IOCTL_PROBE_ALLOCATE: {
        ULONG size = *static_cast<ULONG*>(buffer);
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, PROBE_POOL_TAG);
        *static_cast<PVOID*>(buffer) = block;
        irp->IoStatus.Information = sizeof(PVOID);
        return block != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    case IOCTL_PROBE_FREE:
        ExFreePoolWithTag(*static_cast<PVOID*>(buffer), PROBE_POOL_TAG);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NTAPI ProbeDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Information = 0;
    NTSTATUS status = Control(device, irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI ProbeUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PROBE_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<PPROBE_EXTENSION>(device->DeviceExtension);
    KeInitializeEvent(&ext->release, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->started, NotificationEvent, FALSE);
    ext->routinesDone = 0;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ProbeDispatch;
    driver->DriverUnload = ProbeUnload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
