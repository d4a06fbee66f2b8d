// The kernel's registry routines over the machine's registry store.
#include <cstring>

#include "../host/Machine.h"
#include "../registry/RegistryStore.h"
#include "../verifier/IrqlRules.h"
#include "ObjectManager.h"
#include "RegistryKeys.h"

using host::M;

namespace {

std::string Utf8(PCWSTR s) { return host::Utf16ToUtf8(host::ToU16(s)); }
std::string Utf8(PCUNICODE_STRING s) { return host::Utf16ToUtf8(host::ToU16(s)); }

bool ResolveRelative(ULONG relativeTo, PCWSTR path, std::string* out)
{
    ULONG base = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        PVOID object;
        host::ObjectKind kind;
        if (!M().Objects().LookupHandle(const_cast<PWSTR>(path), &object, &kind) ||
            kind != host::ObjectKind::Key)
            return false;
        *out = static_cast<host::KeyObject*>(object)->path;
        return true;
    }
    static const char* const roots[] = {
        "",
        "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\",
        "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\",
        "\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\",
        "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\",
        "\\REGISTRY\\USER\\.DEFAULT\\",
    };
    if (base >= RTL_REGISTRY_MAXIMUM)
        return false;
    *out = std::string(roots[base]) + Utf8(path);
    return true;
}

// Stores one value into a direct query's entry context, as the platform does.
NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const void* data, ULONG length)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto* target = static_cast<PUNICODE_STRING>(entry->EntryContext);
        ULONG chars = length / 2;
        while (chars > 0 && static_cast<const char16_t*>(data)[chars - 1] == 0)
            --chars;
        ULONG bytes = chars * 2;
        if (target->Buffer == nullptr) {
            target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, 0x74536752 /* "RgSt" */));
            if (target->Buffer == nullptr)
                return STATUS_INSUFFICIENT_RESOURCES;
            target->MaximumLength = static_cast<USHORT>(bytes + 2);
        }
        if (bytes + 2 > target->MaximumLength)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(target->Buffer, data, bytes);
        target->Buffer[chars] = 0;
        target->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entry->EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    auto* header = static_cast<LONG*>(entry->EntryContext);
    if (header[0] >= 0 || static_cast<ULONG>(-header[0]) < length)
        return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<ULONG*>(entry->EntryContext);
    out[0] = length;
    out[1] = type;
    std::memcpy(out + 2, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const void* data, ULONG length,
                 PVOID context)
{
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
        return StoreDirect(entry, type, data, length);
    if (entry->QueryRoutine == nullptr)
        return STATUS_SUCCESS;
    return entry->QueryRoutine(entry->Name, type, const_cast<void*>(data), length, context,
                               entry->EntryContext);
}

} // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context, PVOID)
{
    host::CheckCallerIrql("RtlQueryRegistryValues");
    PAGED_CODE();
    std::string key;
    if (!ResolveRelative(RelativeTo, Path, &key))
        return STATUS_INVALID_PARAMETER;
    host::RegistryStore& store = M().Registry();
    if (auto fault = store.OpenFault(key))
        return *fault;
    if (!store.KeyExists(key))
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY))
            continue;
        if (entry->Name == nullptr)
            return STATUS_INVALID_PARAMETER;
        std::string name = Utf8(entry->Name);
        if (auto fault = store.ReadFault(key, name))
            return *fault;
        auto value = store.GetValue(key, name);
        NTSTATUS status = STATUS_SUCCESS;
        ULONG defaultType = entry->DefaultType;
        if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
            ULONG expected = defaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
            defaultType &= 0x00FFFFFF;
            if (value && static_cast<ULONG>(value->type) != expected)
                return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (value) {
            status = Deliver(entry, static_cast<ULONG>(value->type), value->data.data(),
                             static_cast<ULONG>(value->data.size()), Context);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (defaultType != REG_NONE && entry->DefaultData != nullptr) {
            ULONG length = entry->DefaultLength;
            if (length == 0 && (defaultType == REG_SZ || defaultType == REG_EXPAND_SZ))
                length = static_cast<ULONG>(
                    (host::ToU16(static_cast<PCWSTR>(entry->DefaultData)).size() + 1) * 2);
            status = Deliver(entry, defaultType, entry->DefaultData, length, Context);
        }
        if (!NT_SUCCESS(status))
            return status;
        if (value && (entry->Flags & RTL_QUERY_REGISTRY_DELETE))
            store.DeleteValue(key, name);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    host::CheckCallerIrql("RtlWriteRegistryValue");
    PAGED_CODE();
    std::string key;
    if (!ResolveRelative(RelativeTo, Path, &key))
        return STATUS_INVALID_PARAMETER;
    host::RegistryStore& store = M().Registry();
    if (auto fault = store.OpenFault(key))
        return *fault;
    if (!store.KeyExists(key))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    host::RegValue value;
    value.type = static_cast<host::RegType>(ValueType);
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    value.data.assign(bytes, bytes + ValueLength);
    return store.SetValue(key, Utf8(ValueName), value) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    host::CheckCallerIrql("ZwOpenKey");
    PAGED_CODE();
    std::string path = Utf8(ObjectAttributes->ObjectName);
    if (ObjectAttributes->RootDirectory != nullptr) {
        PVOID object;
        host::ObjectKind kind;
        if (!M().Objects().LookupHandle(ObjectAttributes->RootDirectory, &object, &kind) ||
            kind != host::ObjectKind::Key)
            return STATUS_INVALID_HANDLE;
        path = static_cast<host::KeyObject*>(object)->path + "\\" + path;
    }
    return host::OpenKeyHandle(path, DesiredAccess, false, KeyHandle);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                           PULONG Disposition)
{
    host::CheckCallerIrql("ZwCreateKey");
    PAGED_CODE();
    std::string path = Utf8(ObjectAttributes->ObjectName);
    bool existed = M().Registry().KeyExists(path);
    NTSTATUS status = host::OpenKeyHandle(path, DesiredAccess, true, KeyHandle);
    if (NT_SUCCESS(status) && Disposition != nullptr)
        *Disposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    return status;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                             PVOID Data, ULONG DataSize)
{
    host::CheckCallerIrql("ZwSetValueKey");
    PAGED_CODE();
    PVOID object;
    host::ObjectKind kind;
    if (!M().Objects().LookupHandle(KeyHandle, &object, &kind) || kind != host::ObjectKind::Key)
        return STATUS_INVALID_HANDLE;
    auto* key = static_cast<host::KeyObject*>(object);
    if ((key->access & KEY_SET_VALUE) == 0)
        return STATUS_ACCESS_DENIED;
    host::RegValue value;
    value.type = static_cast<host::RegType>(Type);
    auto* bytes = static_cast<const uint8_t*>(Data);
    if (DataSize > 0)
        value.data.assign(bytes, bytes + DataSize);
    return M().Registry().SetValue(key->path, Utf8(ValueName), value) ? STATUS_SUCCESS
                                                                       : STATUS_KEY_DELETED;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    host::CheckCallerIrql("ZwQueryValueKey");
    PAGED_CODE();
    PVOID object;
    host::ObjectKind kind;
    if (!M().Objects().LookupHandle(KeyHandle, &object, &kind) || kind != host::ObjectKind::Key)
        return STATUS_INVALID_HANDLE;
    if (KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    auto* key = static_cast<host::KeyObject*>(object);
    std::string name = Utf8(ValueName);
    if (auto fault = M().Registry().ReadFault(key->path, name))
        return *fault;
    auto value = M().Registry().GetValue(key->path, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG needed = static_cast<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) +
                                      value->data.size());
    *ResultLength = needed;
    if (Length < offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data))
        return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = static_cast<ULONG>(value->type);
    info->DataLength = static_cast<ULONG>(value->data.size());
    if (Length < needed)
        return STATUS_BUFFER_OVERFLOW;
    std::memcpy(info->Data, value->data.data(), value->data.size());
    return STATUS_SUCCESS;
}

} // extern "C"

namespace host {

NTSTATUS OpenKeyHandle(const std::string& path, ACCESS_MASK access, bool create, PHANDLE handle)
{
    RegistryStore& store = M().Registry();
    *handle = nullptr;
    if (auto fault = store.OpenFault(path))
        return *fault;
    if (!store.KeyExists(path)) {
        if (!create)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        store.CreateKey(path);
    }
    auto* key = new KeyObject{RegistryStore::NormalizePath(path), access};
    M().Objects().Track(key, ObjectKind::Key, 1, [](PVOID o) { delete static_cast<KeyObject*>(o); });
    *handle = M().Objects().CreateHandle(key, ObjectKind::Key);
    return STATUS_SUCCESS;
}

} // namespace host
