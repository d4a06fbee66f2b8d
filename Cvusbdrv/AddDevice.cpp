// AddDevice and unit numbering: each unit takes the lowest free number from the driver-wide
// map; the number names the device object, its DOS link and the "Port Name" values.
#include "Cvusbdrv.h"

namespace {

#define CV_WIDE2(s) L##s
#define CV_WIDE(s) CV_WIDE2(s)
const WCHAR kDevicePrefix[] = L"\\Device\\" CV_WIDE(CV_NAME_PREFIX);
const WCHAR kDosPrefix[] = L"\\DosDevices\\" CV_WIDE(CV_NAME_PREFIX);
const WCHAR kPortNameValue[] = L"Port Name";

// Writes `prefix` followed by `number` in decimal into `out` (NUL-terminated). Unit numbers 0
// to 8 give the one digit "1" to "9"; higher numbers go on as 10, 11 ... like the port names.
void FormatUnitName(PWCHAR out, ULONG capacity, PCWSTR prefix, ULONG number)
{
    ULONG at = 0;
    while (prefix[at] != 0 && at + 1 < capacity) {
        out[at] = prefix[at];
        ++at;
    }
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + number % 10);
        number /= 10;
    } while (number != 0 && count < 10);
    while (count > 0 && at + 1 < capacity)
        out[at++] = digits[--count];
    out[at] = 0;
}

void FormatPortName(PCHAR out, ULONG number)
{
    const char prefix[] = CV_NAME_PREFIX;
    ULONG at = 0;
    for (; prefix[at] != 0; ++at)
        out[at] = prefix[at];
    CHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<CHAR>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0)
        out[at++] = digits[--count];
    out[at] = 0;
}

void WritePortNameToDeviceKey(PDEVICE_OBJECT physicalDevice, ULONG keyType, PUNICODE_STRING name)
{
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(physicalDevice, keyType, KEY_WRITE, &key)))
        return;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, kPortNameValue);
    ZwSetValueKey(key, &valueName, 0, REG_SZ, name->Buffer, name->Length);
    ZwClose(key);
}

} // namespace

NTSTATUS UpdatePortName(PDEVICE_OBJECT physicalDevice, BOOLEAN allocate, SHORT* unitIndex)
{
    PAGED_CODE();
    CHAR portName[16];
    portName[0] = 0;
    if (allocate) {
        LONG n = -1;
        for (ULONG word = 0; word < 4 && n < 0; ++word) {
            for (ULONG bit = 0; bit < 32; ++bit) {
                if ((unitMap[word] & (0x80000000u >> bit)) == 0) {
                    n = static_cast<LONG>(word * 32 + bit);
                    break;
                }
            }
        }
        if (n < 0)
            return STATUS_OBJECT_NAME_COLLISION;
        unitMap[n / 32] |= 0x80000000u >> (n % 32);
        *unitIndex = static_cast<SHORT>(n);
        FormatPortName(portName, static_cast<ULONG>(n) + 1);
    } else {
        SHORT n = *unitIndex;
        if (n >= 0 && n < CV_UNIT_NUMBERS)
            unitMap[n / 32] &= ~(0x80000000u >> (n % 32));
    }
    WCHAR wide[16];
    UNICODE_STRING name = {0, sizeof wide, wide};
    ANSI_STRING narrow;
    RtlInitAnsiString(&narrow, portName);
    NTSTATUS status = RtlAnsiStringToUnicodeString(&name, &narrow, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    WritePortNameToDeviceKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, &name);
    WritePortNameToDeviceKey(physicalDevice, PLUGPLAY_REGKEY_DEVICE, &name);
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, CV_PARAMETERS_PATH, kPortNameValue, REG_SZ,
                                 name.Buffer, name.Length);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    PAGED_CODE();
    SHORT n = -1;
    NTSTATUS status = UpdatePortName(physicalDevice, TRUE, &n);
    if (!NT_SUCCESS(status)) {
        // A number taken before the write failed is given back, not lost.
        if (n >= 0)
            UpdatePortName(physicalDevice, FALSE, &n);
        return status;
    }
    WCHAR deviceNameBuffer[CV_DOS_NAME_CHARS];
    WCHAR dosNameBuffer[CV_DOS_NAME_CHARS];
    FormatUnitName(deviceNameBuffer, CV_DOS_NAME_CHARS, kDevicePrefix, static_cast<ULONG>(n) + 1);
    FormatUnitName(dosNameBuffer, CV_DOS_NAME_CHARS, kDosPrefix, static_cast<ULONG>(n) + 1);
    UNICODE_STRING deviceName, dosName;
    RtlInitUnicodeString(&deviceName, deviceNameBuffer);
    RtlInitUnicodeString(&dosName, dosNameBuffer);

    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(driver, sizeof(UnitExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                            FALSE, &device);
    if (!NT_SUCCESS(status))
        goto giveBackNumber;
    {
        UnitExtension* unit = CV_EXTENSION(device);
        unit->functionalDevice = device;
        unit->physicalDevice = physicalDevice;
        device->Flags |= DO_DIRECT_IO;

        KeInitializeSpinLock(&unit->stateLock);
        unit->pnpState = Unstarted;
        unit->previousPnpState = Unstarted;
        unit->openCount = 0;
        KeInitializeSpinLock(&unit->idleLock);
        unit->idleRequestBusy = 0;
        unit->idleIrp = nullptr;
        KeInitializeEvent(&unit->ioDrainedEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&unit->ioSettledEvent, SynchronizationEvent, TRUE);
        unit->ioCount = 1;
        KeInitializeSpinLock(&unit->ioCountLock);

        status = WmiRegister(unit);
        if (!NT_SUCCESS(status))
            goto deleteDevice;

        if (physicalDevice->Flags & DO_POWER_PAGABLE)
            device->Flags |= DO_POWER_PAGABLE;
        unit->devicePower = PowerDeviceD0;
        unit->systemPower = PowerSystemWorking;
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(device, DevicePowerState, d0);

        unit->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
        if (unit->lowerDevice == nullptr) {
            status = STATUS_NO_SUCH_DEVICE;
            WmiDeregister(unit);
            goto deleteDevice;
        }
        unit->unitIndex = n;

        status = IoCreateSymbolicLink(&dosName, &deviceName);
        if (!NT_SUCCESS(status)) {
            WmiDeregister(unit);
            IoDetachDevice(unit->lowerDevice);
            goto deleteDevice;
        }
        RtlCopyMemory(unit->dosName, dosNameBuffer, dosName.Length + sizeof(WCHAR));

        if (IoIsWdmVersionAvailable(1, 0x20))
            unit->osLevel = OsLevelXp;
        else if (IoIsWdmVersionAvailable(1, 0x10))
            unit->osLevel = OsLevel2000;
        else if (IoIsWdmVersionAvailable(1, 0x05))
            unit->osLevel = OsLevelMe;
        else
            unit->osLevel = OsLevel98;

        unit->idleSuspendSetting = 0;
        unit->idleSuspendActive = 0;
        if (unit->osLevel == OsLevelXp) {
            ReadParameterDword(CV_PARAMETERS_PATH, L"SSEnable", &unit->idleSuspendSetting);
            if (unit->idleSuspendSetting != 0) {
                KeInitializeDpc(&unit->idleDpc, IdleTimerDpc, device);
                KeInitializeTimer(&unit->idleTimer);
                KeInitializeEvent(&unit->idleWorkDoneEvent, NotificationEvent, TRUE);
                KeInitializeEvent(&unit->idleIrpGoneEvent, NotificationEvent, TRUE);
            }
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;

        status = StreamContextInit(device);
        if (!NT_SUCCESS(status)) {
            // Nothing would ever remove a unit whose AddDevice failed: undo all of it.
            // StreamContextFree frees what was allocated and gives the number back.
            StreamContextFree(unit);
            IoDeleteSymbolicLink(&dosName);
            WmiDeregister(unit);
            IoDetachDevice(unit->lowerDevice);
            IoDeleteDevice(device);
        }
        return status;
    }
deleteDevice:
    IoDeleteDevice(device);
giveBackNumber:
    UpdatePortName(physicalDevice, FALSE, &n);
    return status;
}
