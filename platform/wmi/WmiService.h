// The WMI service: data providers register their device objects, and a client queries and
// sets their data blocks the way a WMI consumer does, through IRP_MJ_SYSTEM_CONTROL requests
// carrying WNODE buffers.
#pragma once

#include <wdm.h>
#include <wmistr.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

class Machine;

struct WmiGuidInfo {
    GUID guid;
    ULONG flags;
    ULONG instanceCount;
};

struct WmiRegistration {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<WmiGuidInfo> guids;
    std::u16string registryPath;
    std::u16string mofResourceName;
};

struct WmiQueryResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> data; // the instance's data block
    ULONG sizeNeeded = 0;      // data bytes the provider needs when the buffer was too small
};

class WmiService {
public:
    explicit WmiService(Machine& machine) : machine_(machine) {}

    NTSTATUS RegistrationControl(PDEVICE_OBJECT device, ULONG action);
    bool Registered(PDEVICE_OBJECT device);
    std::vector<PDEVICE_OBJECT> Providers();
    // The next registration fails with this status.
    void FailNextRegistration(NTSTATUS status) { failNext_ = status; }
    // A registered provider's device object is being deleted.
    void DeviceDeleted(PDEVICE_OBJECT device);

    // Client side. `dataBytes` is the room the caller leaves for the data block.
    WmiRegistration QueryRegInfo(PDEVICE_OBJECT device);
    WmiQueryResult QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG dataBytes);
    WmiQueryResult QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance,
                                       ULONG dataBytes);
    NTSTATUS SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance,
                               const std::vector<uint8_t>& data);
    NTSTATUS SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instance, ULONG itemId,
                           const std::vector<uint8_t>& data);
    // Any system-control request, as sent (for the tests of dispositions).
    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, const GUID* guid,
                  std::vector<uint8_t>& buffer, ULONG_PTR* information);

private:
    Machine& machine_;
    std::mutex mutex_;
    std::vector<PDEVICE_OBJECT> providers_;
    NTSTATUS failNext_ = STATUS_SUCCESS;
};

std::string GuidText(const GUID& guid);

} // namespace host
