#include "Client.h"

#include "../io/IoManager.h"
#include "Machine.h"

namespace host {

NTSTATUS DeviceHandle::Open(const std::u16string& path)
{
    Close();
    return M().Io().OpenFile(path, FILE_ALL_ACCESS, &file_, &top_);
}

void DeviceHandle::Close()
{
    if (file_ != nullptr) {
        ObDereferenceObject(file_);
        file_ = nullptr;
        top_ = nullptr;
    }
}

NTSTATUS DeviceHandle::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength, ULONG_PTR* information, bool internal)
{
    if (file_ == nullptr)
        return STATUS_INVALID_HANDLE;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, top_, const_cast<void*>(input), inputLength,
                                             output, outputLength, internal ? TRUE : FALSE, &done,
                                             &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file_;
    NTSTATUS status = IoCallDriver(top_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else {
        status = iosb.Status;
    }
    if (information != nullptr)
        *information = iosb.Information;
    return status;
}

} // namespace host
