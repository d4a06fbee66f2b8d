// The stream context: settings from the registry, the transfer blocks, the ring of units and
// the events, mutex, timer and DPC of the channel and the pump; built at AddDevice, torn down
// at removal.
#include "Cvusbdrv.h"

namespace {

constexpr ULONG kDefaultUnitCount = 30;
constexpr ULONG kMaximumUnitCount = 90;

ULONG ReadSetting(PCWSTR name, ULONG defaultValue, NTSTATUS* status)
{
    ULONG value = defaultValue;
    NTSTATUS s = ReadParameterDword(CV_PARAMETERS_PATH, name, &value);
    if (status != nullptr)
        *status = s;
    return value;
}

// "MaxUnitLv": a multiple of 15 from 15 to 90.
UCHAR UnitCountFromSetting()
{
    NTSTATUS status;
    ULONG value = ReadSetting(L"MaxUnitLv", kDefaultUnitCount, &status);
    UCHAR count = NT_SUCCESS(status) ? static_cast<UCHAR>(value & 0xFF) : kDefaultUnitCount;
    if (count == 0)
        count = kDefaultUnitCount;
    if (count % 15 != 0)
        count = static_cast<UCHAR>(15 * (count % 15));
    if (count > kMaximumUnitCount)
        count = kMaximumUnitCount;
    return count;
}

#if defined(CV_MODEL_A)
ULONG BigEndian32(ULONG v)
{
    ULONG out;
    PUCHAR b = reinterpret_cast<PUCHAR>(&out);
    b[0] = static_cast<UCHAR>(v >> 24);
    b[1] = static_cast<UCHAR>(v >> 16);
    b[2] = static_cast<UCHAR>(v >> 8);
    b[3] = static_cast<UCHAR>(v);
    return out;
}

USHORT BigEndian16(USHORT v)
{
    USHORT out;
    PUCHAR b = reinterpret_cast<PUCHAR>(&out);
    b[0] = static_cast<UCHAR>(v >> 8);
    b[1] = static_cast<UCHAR>(v);
    return out;
}

USHORT HostOrder16(USHORT stored)
{
    PUCHAR b = reinterpret_cast<PUCHAR>(&stored);
    return static_cast<USHORT>(b[0] << 8 | b[1]);
}
#endif

// Reads the settings in their order and returns the status of the "AudioRate" read.
NTSTATUS ReadSettings(StreamContext* s)
{
    NTSTATUS status;
    s->unitCount = UnitCountFromSetting();
#if defined(CV_MODEL_A)
    ULONG mode = ReadSetting(L"VMode", 0, nullptr);
    s->videoMode = static_cast<UCHAR>(mode <= 1 ? mode : 0);
    ULONG bitRate = ReadSetting(L"Bitrate", 0x200000, &status);
    if (!NT_SUCCESS(status) || bitRate < 0x200000 || bitRate > 0x500000)
        bitRate = 0x200000;
    s->bitRate = BigEndian32(bitRate);
    ULONG limit = ReadSetting(L"Limit", 0x5000, &status);
    if (!NT_SUCCESS(status) || limit < 0x5000 || limit > 0x7800)
        limit = 0x5000;
    s->rateLimit = BigEndian32(limit);
    ULONG fps = ReadSetting(L"fps", 0x3A89, &status);
    if (!NT_SUCCESS(status))
        fps = 0x3A89;
    s->frameRate = BigEndian16(static_cast<USHORT>(fps & 0xFFFF));
#else
    ULONG mode = ReadSetting(L"VMode", 1, nullptr);
    s->videoMode = static_cast<UCHAR>(mode <= 1 ? mode : 1);
    ULONG bitRate = ReadSetting(L"Bitrate", 13, nullptr);
    s->bitRateCode = static_cast<UCHAR>(bitRate <= 15 ? bitRate : 0);
    ULONG fps = ReadSetting(L"fps", 0, nullptr);
    s->frameRateCode = static_cast<UCHAR>(fps <= 2 ? fps : 0);
#endif
    ULONG audioRate = ReadSetting(L"AudioRate", 0, &status);
    s->audioRateCode = static_cast<UCHAR>(audioRate <= 3 ? audioRate : 0);
    return status;
}

template <typename T> T* Allocate(SIZE_T bytes)
{
    return static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, bytes, CV_POOL_TAG));
}

template <typename T> void FreeAndClear(T*& pointer)
{
    if (pointer != nullptr) {
        ExFreePoolWithTag(pointer, CV_POOL_TAG);
        pointer = nullptr;
    }
}

} // namespace

NTSTATUS StreamContextInit(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    UnitExtension* unit = CV_EXTENSION(device);
    StreamContext* s = &unit->stream;
    NTSTATUS audioRateStatus = ReadSettings(s);

    ULONG count = s->unitCount;
    if ((s->commandRequest = Allocate<CommandBlock>(sizeof(CommandBlock))) == nullptr ||
        (s->responseRequest = Allocate<ResponseBlock>(sizeof(ResponseBlock))) == nullptr ||
        (s->streamRequest = Allocate<StreamBlock>(sizeof(StreamBlock))) == nullptr ||
        (s->ringData = Allocate<UCHAR>(static_cast<SIZE_T>(count) * CV_UNIT_BYTES)) == nullptr ||
        (s->units = Allocate<UnitDescriptor>(count * sizeof(UnitDescriptor))) == nullptr ||
        (s->responseBuffer = Allocate<UCHAR>(CV_RESPONSE_BUFFER_BYTES)) == nullptr)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(s->commandRequest, sizeof(CommandBlock));
    RtlZeroMemory(s->responseRequest, sizeof(ResponseBlock));
    RtlZeroMemory(s->streamRequest, sizeof(StreamBlock));
    RtlZeroMemory(s->units, count * sizeof(UnitDescriptor));
    s->commandRequest->device = device;
    s->responseRequest->device = device;
    s->streamRequest->device = device;

    for (ULONG i = 0; i < count; ++i) {
        UnitDescriptor* d = &s->units[i];
        d->data = s->ringData + i * CV_UNIT_BYTES;
        d->length = 0;
        d->flags = 0;
        d->index = static_cast<UCHAR>(i);
        d->next = &s->units[(i + 1) % count];
    }

    KeInitializeSpinLock(&s->ringLock);
    KeInitializeMutex(&s->controlMutex, 2);
    KeInitializeEvent(&s->responseEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&s->audioReadyEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&s->unitReadyEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&s->ringOpenEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&s->fillEvent, NotificationEvent, FALSE);
    s->ringOpen = 0;
    KeInitializeTimer(&s->heartbeatTimer);
    KeInitializeDpc(&s->heartbeatDpc, HeartbeatDpc, unit);

    s->audioReadCursor = s->videoReadCursor = &s->units[0];
    s->audioLeadCursor = s->videoLeadCursor = &s->units[0];
    s->streamRequest->currentUnit = &s->units[0];

    s->commandChannelOpen = 0;
    s->streaming = 0;
    s->videoResync = s->audioResync = 1;
    s->settingsChanged = 0;
    s->videoStarted = s->audioStarted = 0;

    if (s->sharedIrp == nullptr) {
        s->sharedIrp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
        if (s->sharedIrp == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    return audioRateStatus;
}

NTSTATUS StreamContextFree(UnitExtension* unit)
{
    PAGED_CODE();
    StreamContext* s = &unit->stream;
    s->streaming = 0;
    s->settingsChanged = 0;
    s->videoStarted = s->audioStarted = 0;
    s->commandChannelOpen = 0;
    if (s->sharedIrp != nullptr)
        IoCancelIrp(s->sharedIrp);
    LARGE_INTEGER settle;
    settle.QuadPart = -50000; // 5 ms for a cancelled read to come back
    KeDelayExecutionThread(KernelMode, FALSE, &settle);

    FreeAndClear(s->commandRequest);
    FreeAndClear(s->responseRequest);
    FreeAndClear(s->streamRequest);
    FreeAndClear(s->units);
    FreeAndClear(s->ringData);
    FreeAndClear(s->responseBuffer);
    if (s->sharedIrp != nullptr) {
        IoFreeIrp(s->sharedIrp);
        s->sharedIrp = nullptr;
    }
    FreeAndClear(s->timecodeLog);
    s->timecodeLogEnd = nullptr;
    return UpdatePortName(unit->physicalDevice, FALSE, &unit->unitIndex);
}

void UnitWaitFromSettings(UnitExtension* unit)
{
    StreamContext* s = &unit->stream;
    LONG base = (s->videoStandard & 1) ? -400000 : -330000;
    LONG wait = base;
#if defined(CV_MODEL_A)
    if (s->videoMode == 1) {
        ULONG r = (static_cast<ULONG>(HostOrder16(s->frameRate)) + 500) / 1000;
        if (r != 0)
            wait = static_cast<LONG>(1000 / r) * -10000;
    }
#else
    if (s->videoMode == 1) {
        if (s->frameRateCode == 1)
            wait = base * 15 / 10;
        else if (s->frameRateCode == 2)
            wait = base * 20 / 10;
    }
#endif
    s->unitWait = wait;
}
