// The WMI library: turns a system-control request into calls of the provider's callbacks and
// finishes the request's WNODE when the provider completes it.
#include <wmilib.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "../host/Machine.h"
#include "../verifier/IrqlRules.h"

namespace {

ULONG Align8(ULONG v) { return (v + 7) & ~7u; }

// What WmiCompleteRequest needs to know about a query in progress.
struct PendingQuery {
    UCHAR minor = 0;
    ULONG dataOffset = 0;
    ULONG bufferSize = 0;
    std::vector<ULONG> lengths;
};

std::mutex g_mutex;
std::map<PIRP, PendingQuery> g_pending;

bool FindGuid(PWMILIB_CONTEXT context, const GUID* guid, ULONG* index)
{
    if (guid == nullptr)
        return false;
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        if (std::memcmp(context->GuidList[i].Guid, guid, sizeof(GUID)) == 0) {
            *index = i;
            return true;
        }
    }
    return false;
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    *disposition = IrpProcessed;
    return status;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp,
                 PSYSCTL_IRP_DISPOSITION disposition)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG flags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    WCHAR mofBuffer[128];
    UNICODE_STRING mofName{0, sizeof mofBuffer, mofBuffer};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo != nullptr
                          ? context->QueryWmiRegInfo(device, &flags, &instanceName, &registryPath,
                                                     &mofName, &pdo)
                          : STATUS_INVALID_DEVICE_REQUEST;
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        *disposition = IrpNotCompleted;
        return status;
    }
    ULONG guidBytes = context->GuidCount * sizeof(WMIREGGUIDW);
    ULONG fixed = offsetof(WMIREGINFOW, WmiRegGuid) + guidBytes;
    ULONG pathBytes = registryPath != nullptr ? registryPath->Length : 0;
    ULONG needed = fixed + 2 + pathBytes + 2 + mofName.Length;
    ULONG size = stack->Parameters.WMI.BufferSize;
    auto* out = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    if (size < needed) {
        if (size >= sizeof(ULONG))
            std::memcpy(out, &needed, sizeof needed);
        irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        irp->IoStatus.Information = sizeof(ULONG);
        *disposition = IrpNotCompleted;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memset(out, 0, needed);
    auto* info = reinterpret_cast<PWMIREGINFOW>(out);
    info->BufferSize = needed;
    info->GuidCount = context->GuidCount;
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        WMIREGGUIDW g{};
        g.Guid = *context->GuidList[i].Guid;
        g.Flags = context->GuidList[i].Flags | flags;
        g.InstanceCount = context->GuidList[i].InstanceCount;
        if (flags & WMIREG_FLAG_INSTANCE_PDO)
            g.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
        std::memcpy(out + offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW), &g, sizeof g);
    }
    ULONG at = fixed;
    info->RegistryPath = at;
    USHORT len = static_cast<USHORT>(pathBytes);
    std::memcpy(out + at, &len, 2);
    if (pathBytes > 0)
        std::memcpy(out + at + 2, registryPath->Buffer, pathBytes);
    at += 2 + pathBytes;
    info->MofResourceName = at;
    len = mofName.Length;
    std::memcpy(out + at, &len, 2);
    std::memcpy(out + at + 2, mofName.Buffer, mofName.Length);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = needed;
    *disposition = IrpNotCompleted;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    host::CheckCallerIrql("WmiSystemControl");
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return RegInfo(WmiLibInfo, DeviceObject, Irp, IrpDisposition);
    if (minor > IRP_MN_EXECUTE_METHOD) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    ULONG guidIndex = 0;
    if (!FindGuid(WmiLibInfo, static_cast<const GUID*>(stack->Parameters.WMI.DataPath), &guidIndex))
        return Finish(Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IrpDisposition);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    *IrpDisposition = IrpProcessed;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        ULONG count = WmiLibInfo->GuidList[guidIndex].InstanceCount;
        ULONG offset = Align8(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                              count * sizeof(OFFSETINSTANCEDATAANDLENGTH));
        if (size < sizeof(WNODE_TOO_SMALL) || WmiLibInfo->QueryWmiDataBlock == nullptr)
            return Finish(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
        PendingQuery q{minor, offset, size, std::vector<ULONG>(count ? count : 1, 0)};
        ULONG avail = size > offset ? size - offset : 0;
        ULONG* lengths;
        {
            std::lock_guard<std::mutex> lk(g_mutex);
            auto& slot = g_pending[Irp] = std::move(q);
            lengths = slot.lengths.data();
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, count, lengths, avail,
                                             avail > 0 ? buffer + offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < sizeof(WNODE_SINGLE_INSTANCE) || WmiLibInfo->QueryWmiDataBlock == nullptr)
            return Finish(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
        ULONG offset = node->DataBlockOffset;
        ULONG instance = node->InstanceIndex;
        if (instance >= WmiLibInfo->GuidList[guidIndex].InstanceCount)
            return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition);
        ULONG avail = size > offset ? size - offset : 0;
        ULONG* lengths;
        {
            std::lock_guard<std::mutex> lk(g_mutex);
            auto& slot = g_pending[Irp] = PendingQuery{minor, offset, size, std::vector<ULONG>(1, 0)};
            lengths = slot.lengths.data();
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, instance, 1, lengths,
                                             avail, avail > 0 ? buffer + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (WmiLibInfo->SetWmiDataBlock == nullptr)
            return Finish(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        {
            std::lock_guard<std::mutex> lk(g_mutex);
            g_pending[Irp] = PendingQuery{minor, node->DataBlockOffset, size, {}};
        }
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guidIndex, node->InstanceIndex,
                                           node->SizeDataBlock, buffer + node->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (WmiLibInfo->SetWmiDataItem == nullptr)
            return Finish(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        {
            std::lock_guard<std::mutex> lk(g_mutex);
            g_pending[Irp] = PendingQuery{minor, node->DataBlockOffset, size, {}};
        }
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guidIndex, node->InstanceIndex,
                                          node->ItemId, node->SizeDataItem,
                                          buffer + node->DataBlockOffset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION: {
        NTSTATUS status = STATUS_SUCCESS;
        if (WmiLibInfo->WmiFunctionControl != nullptr) {
            bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
            bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
            return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex,
                                                  events ? WmiEventControl : WmiDataBlockControl,
                                                  enable ? TRUE : FALSE);
        }
        Irp->IoStatus.Status = status;
        *IrpDisposition = IrpNotCompleted;
        return status;
    }
    case IRP_MN_EXECUTE_METHOD:
    default:
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
    }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost)
{
    host::CheckCallerIrql("WmiCompleteRequest");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PendingQuery q;
    bool known = false;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto it = g_pending.find(Irp);
        if (it != g_pending.end()) {
            q = std::move(it->second);
            g_pending.erase(it);
            known = true;
        }
    }
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG_PTR information = 0;
    bool query = known && (q.minor == IRP_MN_QUERY_ALL_DATA || q.minor == IRP_MN_QUERY_SINGLE_INSTANCE);
    if (query && Status == STATUS_BUFFER_TOO_SMALL) {
        // The consumer learns the size it needs from a WNODE_TOO_SMALL.
        auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
        small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
        small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
        small->SizeNeeded = q.dataOffset + BufferUsed;
        information = sizeof(WNODE_TOO_SMALL);
        Status = STATUS_SUCCESS;
    } else if (query && NT_SUCCESS(Status) && q.minor == IRP_MN_QUERY_ALL_DATA) {
        auto* node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        ULONG count = static_cast<ULONG>(q.lengths.size());
        node->WnodeHeader.BufferSize = q.dataOffset + BufferUsed;
        node->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
        node->DataBlockOffset = q.dataOffset;
        node->InstanceCount = count;
        ULONG at = q.dataOffset;
        for (ULONG i = 0; i < count; ++i) {
            node->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
            node->OffsetInstanceDataAndLength[i].LengthInstanceData = q.lengths[i];
            at += Align8(q.lengths[i]);
        }
        information = node->WnodeHeader.BufferSize;
    } else if (query && NT_SUCCESS(Status)) {
        auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        node->SizeDataBlock = BufferUsed;
        node->WnodeHeader.BufferSize = q.dataOffset + BufferUsed;
        information = node->WnodeHeader.BufferSize;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

} // extern "C"
