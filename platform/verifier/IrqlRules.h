// The highest IRQL at which each platform routine may be called, as the platform documents it,
// and the check every such routine makes on entry.
//
// A routine with a documented verifier rule (the DDI compliance IRQL rules) bug-checks as that
// rule does: DRIVER_VERIFIER_DETECTED_VIOLATION with the rule's code as parameter 1, the
// caller's IRQL and the highest allowed one as parameters 2 and 3. A routine no such rule
// covers bug-checks IRQL_NOT_LESS_OR_EQUAL with the caller's IRQL as parameter 2 and the
// highest allowed one as parameter 3.
//
// Routines whose level depends on their arguments check the rest themselves: a wait is
// checked against its time-out by the wait, a pool allocation or free against its pool type
// by the pool; their entries here hold the ceiling that holds whatever the arguments.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string_view>

namespace host {

struct IrqlRule {
    std::string_view routine;
    KIRQL maxIrql;
    uintptr_t ruleCode;      // the verifier rule's parameter 1; 0 when none is documented
    std::string_view ruleName;
};

// The DDI compliance rules' codes (DRIVER_VERIFIER_DETECTED_VIOLATION, parameter 1).
enum : uintptr_t {
    IRQL_RULE_EX_ALLOCATE_POOL = 0x20004,
    IRQL_RULE_IO_APC_LTE = 0x20009,
    IRQL_RULE_IO_PASSIVE1 = 0x2000A,
    IRQL_RULE_IO_PASSIVE3 = 0x2000C,
    IRQL_RULE_IO_PASSIVE4 = 0x2000D,
    IRQL_RULE_IO_PASSIVE5 = 0x2000E,
    IRQL_RULE_KE_APC_LTE1 = 0x2000F,
    IRQL_RULE_KE_DISPATCH_LTE = 0x20011,
    IRQL_RULE_KE_SET_EVENT = 0x20016,
    IRQL_RULE_OB_PASSIVE = 0x2001B,
    IRQL_RULE_PS_PASSIVE = 0x2001C,
    IRQL_RULE_ZW_PASSIVE = 0x2001F,
    IRQL_RULE_IO_RTL_ZW_PASSIVE = 0x20023,
};

inline constexpr IrqlRule kIrqlRules[] = {
    // Executive and kernel.
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL, IRQL_RULE_EX_ALLOCATE_POOL, "IrqlExAllocatePool"},
    {"ExAllocatePool", DISPATCH_LEVEL, IRQL_RULE_EX_ALLOCATE_POOL, "IrqlExAllocatePool"},
    {"ExFreePoolWithTag", DISPATCH_LEVEL, 0, ""},
    {"ExFreePool", DISPATCH_LEVEL, 0, ""},
    {"ExQueueWorkItem", DISPATCH_LEVEL, 0, ""},
    {"PsCreateSystemThread", PASSIVE_LEVEL, IRQL_RULE_PS_PASSIVE, "IrqlPsPassive"},
    {"PsTerminateSystemThread", PASSIVE_LEVEL, IRQL_RULE_PS_PASSIVE, "IrqlPsPassive"},
    {"KeSetEvent", DISPATCH_LEVEL, IRQL_RULE_KE_SET_EVENT, "IrqlKeSetEvent"},
    {"KeClearEvent", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeResetEvent", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeReadStateEvent", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeInitializeSemaphore", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeReleaseSemaphore", DISPATCH_LEVEL, 0, ""},
    {"KeReadStateSemaphore", DISPATCH_LEVEL, 0, ""},
    {"KeInitializeMutex", DISPATCH_LEVEL, 0, ""},
    {"KeReleaseMutex", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeReadStateMutex", DISPATCH_LEVEL, 0, ""},
    {"KeDelayExecutionThread", APC_LEVEL, IRQL_RULE_KE_APC_LTE1, "IrqlKeApcLte1"},
    {"KeInitializeTimer", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeInitializeTimerEx", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeSetTimer", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeSetTimerEx", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeCancelTimer", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeReadStateTimer", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeFlushQueuedDpcs", PASSIVE_LEVEL, 0, ""},
    {"KeRaiseIrqlToDpcLevel", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeAcquireSpinLock", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeSetPriorityThread", DISPATCH_LEVEL, 0, ""},
    {"KeSaveFloatingPointState", DISPATCH_LEVEL, IRQL_RULE_KE_DISPATCH_LTE, "IrqlKeDispatchLte"},
    {"KeRestoreFloatingPointState", DISPATCH_LEVEL, 0, ""},
    // Objects and handles.
    {"ObReferenceObjectByHandle", PASSIVE_LEVEL, IRQL_RULE_OB_PASSIVE, "IrqlObPassive"},
    {"ObReferenceObjectByPointer", DISPATCH_LEVEL, 0, ""},
    {"ObfReferenceObject", DISPATCH_LEVEL, 0, ""},
    {"ObfDereferenceObject", DISPATCH_LEVEL, 0, ""},
    {"ZwClose", PASSIVE_LEVEL, IRQL_RULE_ZW_PASSIVE, "IrqlZwPassive"},
    // Devices.
    {"IoCreateDevice", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE1, "IrqlIoPassive1"},
    {"IoDeleteDevice", APC_LEVEL, IRQL_RULE_IO_APC_LTE, "IrqlIoApcLte"},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL, 0, ""},
    {"IoDetachDevice", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE3, "IrqlIoPassive3"},
    {"IoGetAttachedDeviceReference", DISPATCH_LEVEL, 0, ""},
    {"IoCreateSymbolicLink", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE3, "IrqlIoPassive3"},
    {"IoDeleteSymbolicLink", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE4, "IrqlIoPassive4"},
    {"IoGetDeviceObjectPointer", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE5, "IrqlIoPassive5"},
    {"IoIsWdmVersionAvailable", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE5, "IrqlIoPassive5"},
    {"IoWMIRegistrationControl", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE5, "IrqlIoPassive5"},
    {"IoOpenDeviceRegistryKey", PASSIVE_LEVEL, IRQL_RULE_IO_RTL_ZW_PASSIVE, "IrqlIoRtlZwPassive"},
    // Requests and MDLs.
    {"IoAllocateIrp", DISPATCH_LEVEL, 0, ""},
    {"IoFreeIrp", DISPATCH_LEVEL, 0, ""},
    {"IoReuseIrp", DISPATCH_LEVEL, 0, ""},
    {"IoInitializeIrp", DISPATCH_LEVEL, 0, ""},
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL, IRQL_RULE_IO_PASSIVE1, "IrqlIoPassive1"},
    {"IoBuildSynchronousFsdRequest", PASSIVE_LEVEL, 0, ""},
    {"IoCallDriver", DISPATCH_LEVEL, 0, ""},
    {"PoCallDriver", DISPATCH_LEVEL, 0, ""},
    {"IoCompleteRequest", DISPATCH_LEVEL, 0, ""},
    {"IoCancelIrp", DISPATCH_LEVEL, 0, ""},
    {"IoAcquireCancelSpinLock", DISPATCH_LEVEL, 0, ""},
    {"IoAllocateMdl", DISPATCH_LEVEL, 0, ""},
    {"IoFreeMdl", DISPATCH_LEVEL, 0, ""},
    {"IoBuildPartialMdl", DISPATCH_LEVEL, 0, ""},
    {"MmBuildMdlForNonPagedPool", DISPATCH_LEVEL, 0, ""},
    {"MmProbeAndLockPages", DISPATCH_LEVEL, 0, ""},
    {"MmUnlockPages", DISPATCH_LEVEL, 0, ""},
    {"MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL, 0, ""},
    {"MmPrepareMdlForReuse", DISPATCH_LEVEL, 0, ""},
    {"IoAllocateWorkItem", DISPATCH_LEVEL, 0, ""},
    {"IoFreeWorkItem", DISPATCH_LEVEL, 0, ""},
    {"IoQueueWorkItem", DISPATCH_LEVEL, 0, ""},
    // Power.
    {"PoStartNextPowerIrp", DISPATCH_LEVEL, 0, ""},
    {"PoSetPowerState", DISPATCH_LEVEL, 0, ""},
    {"PoRequestPowerIrp", DISPATCH_LEVEL, 0, ""},
    // Registry.
    {"RtlQueryRegistryValues", PASSIVE_LEVEL, 0, ""},
    {"RtlWriteRegistryValue", PASSIVE_LEVEL, IRQL_RULE_IO_RTL_ZW_PASSIVE, "IrqlIoRtlZwPassive"},
    {"ZwOpenKey", PASSIVE_LEVEL, IRQL_RULE_ZW_PASSIVE, "IrqlZwPassive"},
    {"ZwCreateKey", PASSIVE_LEVEL, IRQL_RULE_ZW_PASSIVE, "IrqlZwPassive"},
    {"ZwSetValueKey", PASSIVE_LEVEL, IRQL_RULE_ZW_PASSIVE, "IrqlZwPassive"},
    {"ZwQueryValueKey", PASSIVE_LEVEL, IRQL_RULE_ZW_PASSIVE, "IrqlZwPassive"},
    // Strings: the ones that allocate or free pageable pool run at PASSIVE_LEVEL.
    {"RtlAnsiStringToUnicodeString", PASSIVE_LEVEL, 0, ""},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL, 0, ""},
    {"RtlCompareUnicodeString", PASSIVE_LEVEL, 0, ""},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL, 0, ""},
    {"RtlIntegerToUnicodeString", PASSIVE_LEVEL, 0, ""},
    // USB descriptor helpers.
    {"USBD_ParseDescriptors", PASSIVE_LEVEL, 0, ""},
    {"USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL, 0, ""},
    {"USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL, 0, ""},
    // WMI library.
    {"WmiSystemControl", PASSIVE_LEVEL, 0, ""},
    {"WmiCompleteRequest", DISPATCH_LEVEL, 0, ""},
};

// A routine's entry in the table, found when the program is compiled: a name missing from
// the table does not compile.
class IrqlRuleRef {
public:
    consteval IrqlRuleRef(const char* routine) : rule_(Find(routine)) {}
    const IrqlRule& Rule() const { return *rule_; }

private:
    static consteval const IrqlRule* Find(std::string_view routine)
    {
        for (const IrqlRule& r : kIrqlRules) {
            if (r.routine == routine)
                return &r;
        }
        throw "routine missing from the IRQL table";
    }
    const IrqlRule* rule_;
};

// Bug-checks when the calling platform thread runs above the routine's highest IRQL.
void CheckCallerIrql(IrqlRuleRef routine);

} // namespace host
