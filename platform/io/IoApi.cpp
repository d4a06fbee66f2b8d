// The I/O manager, object manager and power manager routines drivers call.
#include <cstdlib>
#include <cstring>

#include "../host/Machine.h"
#include "../kernel/WorkQueue.h"
#include "../pnp/Loader.h"
#include "../pnp/PnpManager.h"
#include "../registry/RegistryStore.h"
#include "../verifier/Verifier.h"
#include "../wmi/WmiService.h"
#include "IoManager.h"
#include "ObjectManager.h"
#include "RegistryKeys.h"

using host::M;

namespace {
constexpr ULONG kWorkItemTag = 0x6B576F49; // "IoWk"
constexpr ULONG kStringTag = 0x67727453;   // "Strg"
} // namespace

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;
};

namespace {
POBJECT_TYPE threadType = reinterpret_cast<POBJECT_TYPE>(0x1);
POBJECT_TYPE fileType = reinterpret_cast<POBJECT_TYPE>(0x2);
POBJECT_TYPE eventType = reinterpret_cast<POBJECT_TYPE>(0x3);
} // namespace

extern "C" {

POBJECT_TYPE* PsThreadType = &threadType;
POBJECT_TYPE* IoFileObjectType = &fileType;
POBJECT_TYPE* ExEventObjectType = &eventType;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    return M().Io().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                 DeviceCharacteristics, Exclusive, DeviceObject,
                                 __builtin_return_address(0));
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { M().Io().DeleteDevice(DeviceObject); }

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    return M().Io().Attach(SourceDevice, TargetDevice);
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { M().Io().Detach(TargetDevice); }

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top = host::IoManager::TopOf(DeviceObject);
    M().Objects().Reference(top);
    return top;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    PAGED_CODE();
    return M().Objects().CreateLink(host::ToU16(SymbolicLinkName), host::ToU16(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    PAGED_CODE();
    return M().Objects().DeleteLink(host::ToU16(SymbolicLinkName));
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    NTSTATUS status = M().Io().OpenFile(host::ToU16(ObjectName), DesiredAccess, &file, &top);
    if (!NT_SUCCESS(status))
        return status;
    *FileObject = file;
    *DeviceObject = top;
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    host::Machine& m = M();
    if (MajorVersion != m.WdmMajor())
        return MajorVersion < m.WdmMajor();
    return MinorVersion <= m.WdmMinor();
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    PAGED_CODE();
    auto* node = static_cast<host::Devnode*>(host::IoManager::RecordOf(DeviceObject)->devnode);
    if (node == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    const std::string* path = nullptr;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE)
        path = &node->hardwareKey;
    else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER)
        path = &node->driverKey;
    else
        return STATUS_INVALID_PARAMETER;
    return host::OpenKeyHandle(*path, DesiredAccess, true, DevInstRegKey);
}

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    return M().Wmi().RegistrationControl(DeviceObject, Action);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    return M().Io().AllocateIrp(StackSize, __builtin_return_address(0), true);
}

void NTAPI IoFreeIrp(PIRP Irp) { M().Io().FreeIrp(Irp); }

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) { M().Io().ReuseIrp(Irp, Status); }

void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    return M().Io().BuildDeviceIoControl(IoControlCode, DeviceObject, InputBuffer,
                                         InputBufferLength, OutputBuffer, OutputBufferLength,
                                         InternalDeviceIoControl, Event, IoStatusBlock,
                                         __builtin_return_address(0));
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    return M().Io().BuildSynchronousFsd(MajorFunction, DeviceObject, Buffer, Length,
                                        StartingOffset, Event, IoStatusBlock,
                                        __builtin_return_address(0));
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return M().Io().CallDriver(DeviceObject, Irp);
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    M().Io().CompleteRequest(Irp, PriorityBoost);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) { return M().Io().CancelIrp(Irp); }

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(M().Io().CancelLock(), Irql); }

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(M().Io().CancelLock(), Irql); }

void NTAPI IoMarkIrpPending(PIRP Irp) { M().Io().MarkPending(Irp); }

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN,
                         PIRP Irp)
{
    return M().Io().AllocateMdl(VirtualAddress, Length, SecondaryBuffer, Irp,
                                __builtin_return_address(0));
}

void NTAPI IoFreeMdl(PMDL Mdl) { M().Io().FreeMdl(Mdl); }

void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    auto* start = static_cast<PCHAR>(MmGetMdlVirtualAddress(SourceMdl));
    auto* va = static_cast<PCHAR>(VirtualAddress);
    if (Length == 0)
        Length = static_cast<ULONG>(start + SourceMdl->ByteCount - va);
    if (va < start || va + Length > start + SourceMdl->ByteCount)
        host::BugCheck(0x51 /* buffer outside the source MDL */, reinterpret_cast<uintptr_t>(SourceMdl),
                       reinterpret_cast<uintptr_t>(va), Length, 0,
                       "IoBuildPartialMdl for a range outside the source MDL");
    TargetMdl->StartVa = PAGE_ALIGN(va);
    TargetMdl->ByteOffset = BYTE_OFFSET(va);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    CSHORT inherited = SourceMdl->MdlFlags &
                       (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED);
    TargetMdl->MdlFlags = static_cast<CSHORT>(MDL_PARTIAL | (inherited & ~MDL_PAGES_LOCKED));
    if (inherited & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
        TargetMdl->MappedSystemVa = va;
    else
        TargetMdl->MappedSystemVa = nullptr;
}

void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION Operation)
{
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)
        host::BugCheck(0x76 /* PROCESS_HAS_LOCKED_PAGES-like */, reinterpret_cast<uintptr_t>(
                           MemoryDescriptorList), 0, 0, 0, "MDL pages locked twice");
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess)
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

void NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0)
        host::BugCheck(0x76, reinterpret_cast<uintptr_t>(MemoryDescriptorList), 1, 0, 0,
                       "MmUnlockPages on an MDL whose pages are not locked");
    MemoryDescriptorList->MdlFlags &=
        static_cast<CSHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION));
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE,
                                         MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG)
{
    if ((MemoryDescriptorList->MdlFlags &
         (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
        host::BugCheck(0x4E /* PFN_LIST_CORRUPT-like */, reinterpret_cast<uintptr_t>(
                           MemoryDescriptorList), 0, 0, 0, "mapping an MDL whose pages are not locked");
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (MemoryDescriptorList->MdlFlags & MDL_PARTIAL)
        MemoryDescriptorList->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    return MemoryDescriptorList->MappedSystemVa;
}

void NTAPI MmPrepareMdlForReuse(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
        Mdl->MdlFlags &= static_cast<CSHORT>(~(MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_MAPPED_TO_SYSTEM_VA));
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (M().Modules().ModuleOf(__builtin_return_address(0)) != nullptr &&
        M().Verify().ShouldFail(host::ResourceKind::WorkItem, 0))
        return nullptr;
    auto* item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr)
        return nullptr;
    item->device = DeviceObject;
    item->queued = false;
    return item;
}

void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    if (IoWorkItem->queued)
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_WORK_ITEM_IN_USE,
                       reinterpret_cast<uintptr_t>(IoWorkItem), 0, 0,
                       "work item freed while it is queued or running");
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    if (IoWorkItem->queued)
        host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::VERIFIER_WORK_ITEM_IN_USE,
                       reinterpret_cast<uintptr_t>(IoWorkItem), 1, 0,
                       "work item queued again before it ran");
    IoWorkItem->queued = true;
    PDEVICE_OBJECT device = IoWorkItem->device;
    M().Objects().Reference(device);
    M().Work().Queue(QueueType, [IoWorkItem, WorkerRoutine, Context, device] {
        IoWorkItem->queued = false;
        WorkerRoutine(device, Context);
        PKTHREAD self = host::Scheduler::Current();
        if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0)
            host::BugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                           host::VERIFIER_IRQL_CHANGED_BY_ROUTINE,
                           reinterpret_cast<uintptr_t>(WorkerRoutine), self->irql, 0,
                           "work item routine returned at raised IRQL or holding a spin lock");
        M().Objects().Dereference(device);
    }, reinterpret_cast<const void*>(WorkerRoutine));
}

void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    M().Work().Queue(QueueType, [WorkItem] { WorkItem->WorkerRoutine(WorkItem->Parameter); },
                     reinterpret_cast<const void*>(WorkItem->WorkerRoutine));
}

void NTAPI PoStartNextPowerIrp(PIRP) {}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return M().Io().CallDriver(DeviceObject, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State)
{
    return M().Pnp().SetPowerState(DeviceObject, Type, State);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp)
{
    return M().Pnp().RequestPowerIrp(DeviceObject, MinorFunction, PowerState, CompletionFunction,
                                     Context, Irp);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) { return M().Objects().CloseHandle(Handle); }

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE, PVOID* Object, PVOID)
{
    PVOID object;
    host::ObjectKind kind;
    if (!M().Objects().LookupHandle(Handle, &object, &kind))
        return STATUS_INVALID_HANDLE;
    if (ObjectType == *PsThreadType && kind != host::ObjectKind::Thread)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (kind == host::ObjectKind::Thread)
        __atomic_add_fetch(&static_cast<PKTHREAD>(object)->references, 1, __ATOMIC_SEQ_CST);
    else
        M().Objects().Reference(object);
    *Object = object;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE)
{
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    for (PKTHREAD t : M().Sched().Threads()) {
        if (t == Object)
            return __atomic_add_fetch(&t->references, 1, __ATOMIC_SEQ_CST);
    }
    return M().Objects().Reference(Object);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    for (PKTHREAD t : M().Sched().Threads()) {
        if (t == Object)
            return __atomic_sub_fetch(&t->references, 1, __ATOMIC_SEQ_CST);
    }
    return M().Objects().Dereference(Object);
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (SourceString[n] != 0)
        ++n;
    DestinationString->Length = static_cast<USHORT>(n * 2);
    DestinationString->MaximumLength = static_cast<USHORT>(n * 2 + 2);
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    size_t n = SourceString != nullptr ? std::strlen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? n + 1 : 0);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memcpy(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + 2 <= DestinationString->MaximumLength)
        DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<PCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer,
                Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + 2 <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z')
                a = static_cast<WCHAR>(a - 32);
            if (b >= 'a' && b <= 'z')
                b = static_cast<WCHAR>(b - 32);
        }
        if (a != b)
            return a < b ? -1 : 1;
    }
    return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    ULONG bytes = SourceString->Length * 2u;
    if (bytes + 2 > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, kStringTag));
        if (DestinationString->Buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + 2);
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<unsigned char>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (bytes + 2 <= DestinationString->MaximumLength)
        DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr)
        ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if (static_cast<ULONG>(n * 2) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Length = static_cast<USHORT>(n * 2);
    if (String->Length + 2 <= String->MaximumLength)
        String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

} // extern "C"
