#include "WmiService.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../host/Machine.h"
#include "../io/IoManager.h"
#include "../verifier/Verifier.h"

namespace host {

namespace {
ULONG Align8(ULONG v) { return (v + 7) & ~7u; }

std::u16string CountedString(const std::vector<uint8_t>& buffer, ULONG offset)
{
    if (offset == 0 || offset + 2 > buffer.size())
        return {};
    USHORT bytes;
    std::memcpy(&bytes, buffer.data() + offset, 2);
    if (offset + 2 + bytes > buffer.size())
        return {};
    std::u16string s(bytes / 2, u'\0');
    std::memcpy(s.data(), buffer.data() + offset + 2, bytes);
    return s;
}
} // namespace

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

NTSTATUS WmiService::RegistrationControl(PDEVICE_OBJECT device, ULONG action)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = std::find(providers_.begin(), providers_.end(), device);
    switch (action) {
    case WMIREG_ACTION_REGISTER:
        if (failNext_ != STATUS_SUCCESS) {
            NTSTATUS s = failNext_;
            failNext_ = STATUS_SUCCESS;
            return s;
        }
        if (it != providers_.end())
            return STATUS_OBJECT_NAME_COLLISION;
        providers_.push_back(device);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (it == providers_.end())
            return STATUS_INVALID_PARAMETER;
        providers_.erase(it);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        return it == providers_.end() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

bool WmiService::Registered(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lk(mutex_);
    return std::find(providers_.begin(), providers_.end(), device) != providers_.end();
}

std::vector<PDEVICE_OBJECT> WmiService::Providers()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return providers_;
}

void WmiService::DeviceDeleted(PDEVICE_OBJECT device)
{
    bool was = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        auto it = std::find(providers_.begin(), providers_.end(), device);
        if (it != providers_.end()) {
            providers_.erase(it);
            was = true;
        }
    }
    if (was)
        machine_.Verify().Report("device object deleted while still registered with WMI");
}

NTSTATUS WmiService::Send(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId,
                          const GUID* guid, std::vector<uint8_t>& buffer, ULONG_PTR* information)
{
    GUID path = guid != nullptr ? *guid : GUID{};
    return machine_.Io().SendAndWait(device, [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = minor;
        s->Parameters.WMI.ProviderId = providerId;
        s->Parameters.WMI.DataPath = guid != nullptr ? &path : nullptr;
        s->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
        s->Parameters.WMI.Buffer = buffer.data();
    }, information);
}

WmiRegistration WmiService::QueryRegInfo(PDEVICE_OBJECT device)
{
    WmiRegistration out;
    std::vector<uint8_t> buffer(sizeof(ULONG));
    ULONG_PTR information = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        out.status = Send(device, IRP_MN_REGINFO, reinterpret_cast<ULONG_PTR>(device), nullptr,
                          buffer, &information);
        if (out.status != STATUS_BUFFER_TOO_SMALL)
            break;
        ULONG needed;
        std::memcpy(&needed, buffer.data(), sizeof needed);
        buffer.assign(needed, 0);
    }
    if (!NT_SUCCESS(out.status) || buffer.size() < sizeof(WMIREGINFOW))
        return out;
    WMIREGINFOW info;
    std::memcpy(&info, buffer.data(), sizeof info);
    for (ULONG i = 0; i < info.GuidCount; ++i) {
        WMIREGGUIDW g;
        size_t at = offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW);
        if (at + sizeof g > buffer.size())
            break;
        std::memcpy(&g, buffer.data() + at, sizeof g);
        out.guids.push_back(WmiGuidInfo{g.Guid, g.Flags, g.InstanceCount});
    }
    out.registryPath = CountedString(buffer, info.RegistryPath);
    out.mofResourceName = CountedString(buffer, info.MofResourceName);
    return out;
}

WmiQueryResult WmiService::QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG dataBytes)
{
    WmiQueryResult out;
    ULONG header = Align8(sizeof(WNODE_ALL_DATA));
    std::vector<uint8_t> buffer(header + dataBytes, 0);
    auto* node = reinterpret_cast<PWNODE_ALL_DATA>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    ULONG_PTR information = 0;
    out.status = Send(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(device), &guid,
                      buffer, &information);
    node = reinterpret_cast<PWNODE_ALL_DATA>(buffer.data());
    if (NT_SUCCESS(out.status) && (node->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL)) {
        auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer.data());
        out.status = STATUS_BUFFER_TOO_SMALL;
        out.sizeNeeded = small->SizeNeeded > header ? small->SizeNeeded - header : 0;
        return out;
    }
    if (NT_SUCCESS(out.status) && node->InstanceCount > 0) {
        ULONG offset = node->DataBlockOffset;
        ULONG length = (node->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE)
                           ? node->FixedInstanceSize
                           : node->OffsetInstanceDataAndLength[0].LengthInstanceData;
        if (offset + length <= buffer.size())
            out.data.assign(buffer.begin() + offset, buffer.begin() + offset + length);
    }
    return out;
}

WmiQueryResult WmiService::QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid,
                                               ULONG instance, ULONG dataBytes)
{
    WmiQueryResult out;
    ULONG header = Align8(sizeof(WNODE_SINGLE_INSTANCE));
    std::vector<uint8_t> buffer(header + dataBytes, 0);
    auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    node->InstanceIndex = instance;
    node->DataBlockOffset = header;
    ULONG_PTR information = 0;
    out.status = Send(device, IRP_MN_QUERY_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(device),
                      &guid, buffer, &information);
    node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    if (NT_SUCCESS(out.status) && (node->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL)) {
        auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer.data());
        out.status = STATUS_BUFFER_TOO_SMALL;
        out.sizeNeeded = small->SizeNeeded > header ? small->SizeNeeded - header : 0;
        return out;
    }
    if (NT_SUCCESS(out.status) && header + node->SizeDataBlock <= buffer.size())
        out.data.assign(buffer.begin() + header, buffer.begin() + header + node->SizeDataBlock);
    return out;
}

NTSTATUS WmiService::SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance,
                                       const std::vector<uint8_t>& data)
{
    ULONG header = Align8(sizeof(WNODE_SINGLE_INSTANCE));
    std::vector<uint8_t> buffer(header + data.size(), 0);
    auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    node->InstanceIndex = instance;
    node->DataBlockOffset = header;
    node->SizeDataBlock = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + header);
    ULONG_PTR information = 0;
    return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(device), &guid,
                buffer, &information);
}

NTSTATUS WmiService::SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instance,
                                   ULONG itemId, const std::vector<uint8_t>& data)
{
    ULONG header = Align8(sizeof(WNODE_SINGLE_ITEM));
    std::vector<uint8_t> buffer(header + data.size(), 0);
    auto* node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    node->InstanceIndex = instance;
    node->ItemId = itemId;
    node->DataBlockOffset = header;
    node->SizeDataItem = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + header);
    ULONG_PTR information = 0;
    return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, reinterpret_cast<ULONG_PTR>(device), &guid,
                buffer, &information);
}

} // namespace host
