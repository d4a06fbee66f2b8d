// The driver's way to the USB stack: synchronous URB submission with an optional time-out,
// descriptor reads and configuration selection at start, and the pipe and port operations.
#include "Cvusbdrv.h"

namespace {

constexpr USHORT kDescriptorUrbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT kPipeUrbBytes = sizeof(struct _URB_PIPE_REQUEST);
constexpr USHORT kDeconfigureUrbBytes = sizeof(struct _URB_SELECT_CONFIGURATION);
constexpr ULONG kHighestInterfaceNumber = 255; // bInterfaceNumber is one byte

PURB AllocateUrb(USHORT bytes)
{
    return static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, bytes, CV_POOL_TAG));
}

// Where a synchronous request stands. The completion routine moves it to Completed, the
// waiter's time-out path to TimedOut; whoever moves it first decides whether the request is
// still with the stack below (and the waiter must cancel it) or already done.
enum SyncRequestState : LONG {
    SyncPending = 0,
    SyncCompleted = 1,
    SyncTimedOut = 2,
};

// Lives in the waiter's frame until the completion routine has run.
struct SyncRequest {
    KEVENT done;  // set by the completion routine, once
    LONG state;   // SyncRequestState, moved with InterlockedExchange
};

// Completes the request back to its owner: the I/O manager neither touches nor frees it after
// this returns, so the waiter can still cancel it and then frees it itself. DISPATCH_LEVEL.
NTSTATUS NTAPI SyncRequestCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* request = static_cast<SyncRequest*>(context);
    InterlockedExchange(&request->state, SyncCompleted);
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal device-control request with one argument to the lower device and waits
// for it, at most `timeout` (a negative relative time; 0 waits without limit). The request is
// the driver's own, so it stays valid until freed here: a time-out cancels it (only while the
// completion has not yet run) and waits for its completion before freeing it, so the URB,
// event and argument the stack below holds outlive its use of them. A request whose time-out
// expired fails with STATUS_IO_TIMEOUT even when it finished in the meantime: its caller has
// given up on it. PASSIVE_LEVEL.
NTSTATUS CallLowerSync(UnitExtension* unit, ULONG code, PVOID argument, LONG timeout)
{
    PIRP irp = IoAllocateIrp(unit->lowerDevice->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    SyncRequest request;
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    request.state = SyncPending;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, SyncRequestCompletion, &request, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(unit->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER due;
        due.QuadPart = timeout;
        NTSTATUS wait = KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE,
                                              timeout != 0 ? &due : nullptr);
        if (wait == STATUS_TIMEOUT) {
            if (InterlockedExchange(&request.state, SyncTimedOut) == SyncPending)
                IoCancelIrp(irp);
            KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = irp->IoStatus.Status;
        }
    }
    IoFreeIrp(irp);
    return status;
}

// Port requests carry at most one argument and wait without a time-out.
NTSTATUS PortRequestSync(PDEVICE_OBJECT device, ULONG code, PVOID argument)
{
    return CallLowerSync(CV_EXTENSION(device), code, argument, 0);
}

NTSTATUS PipeRequest(PDEVICE_OBJECT device, USHORT function, PUSBD_PIPE_INFORMATION pipe)
{
    PURB urb = AllocateUrb(kPipeUrbBytes);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, kPipeUrbBytes);
    urb->UrbHeader.Length = kPipeUrbBytes;
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    NTSTATUS status = SubmitUrbSync(device, urb, 0);
    ExFreePoolWithTag(urb, CV_POOL_TAG);
    return status;
}

NTSTATUS ReadDescriptor(PDEVICE_OBJECT device, PURB urb, UCHAR type, PVOID buffer, ULONG length,
                        PULONG received)
{
    RtlZeroMemory(urb, kDescriptorUrbBytes);
    UsbBuildGetDescriptorRequest(urb, kDescriptorUrbBytes, type, 0, 0, buffer, nullptr, length,
                                 nullptr);
    NTSTATUS status = SubmitUrbSync(device, urb, 0);
    *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

} // namespace

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb, LONG timeout)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    IoCountUp(unit);
    NTSTATUS status = CallLowerSync(unit, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, timeout);
    IoCountDown(unit);
    return status;
}

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    PURB urb = AllocateUrb(kDescriptorUrbBytes);
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), CV_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr && descriptor != nullptr) {
        ULONG received = 0;
        status = ReadDescriptor(device, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                                sizeof(USB_DEVICE_DESCRIPTOR), &received);
        if (NT_SUCCESS(status) && received < sizeof(USB_DEVICE_DESCRIPTOR))
            status = STATUS_DEVICE_DATA_ERROR;
        if (NT_SUCCESS(status)) {
            unit->stream.runningFirmware = descriptor->idVendor == CV_VENDOR_ID &&
                                           descriptor->idProduct == CV_PRODUCT_RUNNING;
            status = ReadConfigDescriptor(device);
        }
    }
    if (urb != nullptr)
        ExFreePoolWithTag(urb, CV_POOL_TAG);
    if (descriptor != nullptr)
        ExFreePoolWithTag(descriptor, CV_POOL_TAG);
    return status;
}

NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    PURB urb = AllocateUrb(kDescriptorUrbBytes);
    auto* head = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_CONFIGURATION_DESCRIPTOR), CV_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb == nullptr || head == nullptr) {
        if (head != nullptr)
            ExFreePoolWithTag(head, CV_POOL_TAG);
        goto done;
    }
    {
        ULONG received = 0;
        status = ReadDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, head,
                                sizeof(USB_CONFIGURATION_DESCRIPTOR), &received);
        USHORT total = head->wTotalLength;
        ExFreePoolWithTag(head, CV_POOL_TAG);
        if (!NT_SUCCESS(status))
            goto done;
        // A descriptor shorter than its own header cannot be parsed safely.
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_DEVICE_DATA_ERROR;
            goto done;
        }
        auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            ExAllocatePoolWithTag(NonPagedPool, total, CV_POOL_TAG));
        if (config == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlZeroMemory(config, total);
        status = ReadDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total,
                                &received);
        // The whole descriptor, and the same one the header announced: a descriptor that
        // changed between the reads, or came back short, would have the parser and the
        // read-config request walk past the bytes received.
        if (NT_SUCCESS(status) && (received != total || config->wTotalLength != total))
            status = STATUS_DEVICE_DATA_ERROR;
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(config, CV_POOL_TAG);
            goto done;
        }
        unit->configDescriptor = reinterpret_cast<PUCHAR>(config);
        unit->wakeSupported = (config->bmAttributes >> 5) & 1;
        status = SelectInterfaces(device, config);
    }
done:
    if (urb != nullptr)
        ExFreePoolWithTag(urb, CV_POOL_TAG);
    return status;
}

// The search for interfaces with alternate setting 0 ends at the highest interface number a
// descriptor can hold; a configuration that does not have bNumInterfaces of them is refused.
NTSTATUS SelectInterfaces(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    ULONG wanted = config->bNumInterfaces;
    ULONG listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPool, listBytes, CV_POOL_TAG));
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listBytes);
    ULONG found = 0;
    for (ULONG number = 0; found < wanted && number <= kHighestInterfaceNumber; ++number) {
        PUSB_INTERFACE_DESCRIPTOR intf = USBD_ParseConfigurationDescriptorEx(
            config, config, static_cast<LONG>(number), 0, -1, -1, -1);
        if (intf != nullptr)
            list[found++].InterfaceDescriptor = intf;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = nullptr;
    if (found == 0 || found < wanted) {
        status = STATUS_DEVICE_DATA_ERROR;
    } else {
        urb = USBD_CreateConfigurationRequestEx(config, list);
        if (urb == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < first->NumberOfPipes; ++i)
            first->Pipes[i].MaximumTransferSize = CV_PIPE_TRANSFER_MAX;
        status = SubmitUrbSync(device, urb, 0);
        if (NT_SUCCESS(status)) {
            unit->interfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, first->Length, CV_POOL_TAG));
            if (unit->interfaceInfo != nullptr)
                RtlCopyMemory(unit->interfaceInfo, first, first->Length);
            else
                status = STATUS_INSUFFICIENT_RESOURCES;
            ULONG pipes = first->NumberOfPipes;
            unit->pipeOpen = static_cast<PUCHAR>(
                ExAllocatePoolWithTag(NonPagedPool, pipes > 0 ? pipes : 1, CV_POOL_TAG));
            if (unit->pipeOpen != nullptr)
                RtlZeroMemory(unit->pipeOpen, pipes > 0 ? pipes : 1);
            else
                status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ExFreePoolWithTag(list, CV_POOL_TAG);
    if (urb != nullptr)
        ExFreePool(urb);
    return status;
}

NTSTATUS Deconfigure(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    PURB urb = AllocateUrb(kDeconfigureUrbBytes);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, kDeconfigureUrbBytes);
    UsbBuildSelectConfigurationRequest(urb, kDeconfigureUrbBytes, nullptr);
    NTSTATUS status = SubmitUrbSync(device, urb, 0);
    ExFreePoolWithTag(urb, CV_POOL_TAG);
    return status;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe)
{
    PAGED_CODE();
    if (pipe == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS status = PipeRequest(device, URB_FUNCTION_ABORT_PIPE, pipe);
    return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS AbortAllPipes(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    if (unit->interfaceInfo == nullptr || unit->pipeOpen == nullptr)
        return STATUS_SUCCESS;
    for (ULONG i = 0; i < unit->interfaceInfo->NumberOfPipes; ++i) {
        PURB urb = AllocateUrb(kPipeUrbBytes);
        if (urb == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(urb, kPipeUrbBytes);
        urb->UrbHeader.Length = kPipeUrbBytes;
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = unit->interfaceInfo->Pipes[i].PipeHandle;
        NTSTATUS status = SubmitUrbSync(device, urb, 0);
        ExFreePoolWithTag(urb, CV_POOL_TAG);
        if (NT_SUCCESS(status))
            unit->pipeOpen[i] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ResetPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe)
{
    PAGED_CODE();
    NTSTATUS status = PipeRequest(device, URB_FUNCTION_RESET_PIPE, pipe);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG portStatus)
{
    PAGED_CODE();
    *portStatus = 0;
    return PortRequestSync(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS ResetPort(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    return PortRequestSync(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

NTSTATUS RecoverDevice(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    ULONG portStatus = 0;
    NTSTATUS status = GetPortStatus(device, &portStatus);
    if (!NT_SUCCESS(status))
        return status;
    if ((portStatus & USBD_PORT_ENABLED) == 0 && (portStatus & USBD_PORT_CONNECTED) != 0)
        return ResetPort(device);
    return status;
}
