// What every part of the driver shares: the outstanding-I/O count and its two events, the
// registry reader, the synchronous forwarding of a request, and the descriptor cleanup.
#include "Cvusbdrv.h"

LONG IoCountUp(UnitExtension* unit)
{
    KIRQL irql = PASSIVE_LEVEL;
    bool locked = KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (locked)
        KeAcquireSpinLock(&unit->ioCountLock, &irql);
    LONG count = InterlockedIncrement(&unit->ioCount);
    if (count == 2)
        KeClearEvent(&unit->ioSettledEvent);
    if (locked)
        KeReleaseSpinLock(&unit->ioCountLock, irql);
    return count;
}

LONG IoCountDown(UnitExtension* unit)
{
    KIRQL irql = PASSIVE_LEVEL;
    bool locked = KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (locked)
        KeAcquireSpinLock(&unit->ioCountLock, &irql);
    LONG count = InterlockedDecrement(&unit->ioCount);
    if (count == 1)
        KeSetEvent(&unit->ioSettledEvent, IO_NO_INCREMENT, FALSE);
    if (count == 0)
        KeSetEvent(&unit->ioDrainedEvent, IO_NO_INCREMENT, FALSE);
    if (locked)
        KeReleaseSpinLock(&unit->ioCountLock, irql);
    return count;
}

BOOLEAN CanIdle(UnitExtension* unit)
{
    return unit->openCount == 0 && unit->ioCount == 1;
}

void FreeDescriptors(UnitExtension* unit)
{
    if (unit->configDescriptor != nullptr) {
        ExFreePoolWithTag(unit->configDescriptor, CV_POOL_TAG);
        unit->configDescriptor = nullptr;
    }
    if (unit->interfaceInfo != nullptr) {
        ExFreePoolWithTag(unit->interfaceInfo, CV_POOL_TAG);
        unit->interfaceInfo = nullptr;
    }
    if (unit->pipeOpen != nullptr) {
        ExFreePoolWithTag(unit->pipeOpen, CV_POOL_TAG);
        unit->pipeOpen = nullptr;
    }
}

// Reads one REG_DWORD into `value`, which holds the caller's default. A value of another type
// is refused (the query would otherwise write a string or blob over the 4-byte output).
NTSTATUS ReadParameterDword(PCWSTR path, PCWSTR name, PULONG value)
{
    PAGED_CODE();
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = value;
    table[0].DefaultType = (static_cast<ULONG>(REG_DWORD) << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) |
                           REG_DWORD;
    table[0].DefaultData = value;
    table[0].DefaultLength = sizeof(ULONG);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                                             table, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        *value = 0;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(UnitExtension* unit, PIRP irp)
{
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(unit->lowerDevice, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

void SetPnpState(UnitExtension* unit, ULONG state)
{
    KIRQL irql;
    KeAcquireSpinLock(&unit->stateLock, &irql);
    unit->previousPnpState = unit->pnpState;
    unit->pnpState = state;
    KeReleaseSpinLock(&unit->stateLock, irql);
}
