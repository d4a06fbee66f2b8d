// What a program on the machine uses to talk to a device: open it by name, send control
// requests and close it, as an application or another driver does.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

class DeviceHandle {
public:
    DeviceHandle() = default;
    ~DeviceHandle() { Close(); }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    // Opens "\Device\X", "\DosDevices\X" or a longer path naming a file on the device.
    NTSTATUS Open(const std::u16string& path);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // A device-control request; `information` receives the bytes the driver reports.
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output,
                     ULONG outputLength, ULONG_PTR* information, bool internal = false);

private:
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;
};

} // namespace host
