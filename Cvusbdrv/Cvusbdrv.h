// The USB transport driver's map: the unit record with its stream context, the state
// enumerations, and the routines of each file with their contracts (IRQL, waits, locks).
//
// One source builds both models; CV_MODEL_A or CV_MODEL_B picks names, identifiers and
// settings at build time.
#pragma once

#include "CvKernel.h"
#include "CvProtocol.h"

#if defined(CV_MODEL_A) == defined(CV_MODEL_B)
#error "build with exactly one of CV_MODEL_A and CV_MODEL_B"
#endif

#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// ---------------------------------------------------------------------------------------------
// Model-dependent names

#if defined(CV_MODEL_A)
#define CV_NAME_PREFIX "CvA"
#define CV_SERVICE_NAME L"CORVA"
#define CV_PRODUCT_RUNNING CV_PRODUCT_RUNNING_A
#else
#define CV_NAME_PREFIX "CvB"
#define CV_SERVICE_NAME L"CORVB"
#define CV_PRODUCT_RUNNING CV_PRODUCT_RUNNING_B
#endif

#define CV_PARAMETERS_PATH                                                                     \
    L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\" CV_SERVICE_NAME L"\\Parameters"

// Pool tag "BulK" (its bytes in memory are B, u, l, K).
#define CV_POOL_TAG 0x4B6C7542u

#define CV_UNIT_NUMBERS 128       // unit numbers 0 to 127
#define CV_UNIT_BYTES 65535       // one ring unit
#define CV_RESPONSE_BUFFER_BYTES 520
#define CV_TIMECODE_LOG_BYTES 40960
#define CV_PIPE_TRANSFER_MAX 4096

// "\DosDevices\CvB128" and its NUL: the longest DOS name a unit can have.
#define CV_DOS_NAME_CHARS 19

// ---------------------------------------------------------------------------------------------
// Records

enum PnpState : ULONG {
    Unstarted = 0,
    Halted = 1,
    Running = 2,
    StopQueried = 3,
    RemoveQueried = 4,
    Vanished = 5,
    Deleted = 6,
};

// os levels, from IoIsWdmVersionAvailable.
enum OsLevel : ULONG {
    OsLevelXp = 0,    // WDM 1.0x20
    OsLevel2000 = 1,  // WDM 1.0x10
    OsLevelMe = 2,    // WDM 1.05
    OsLevel98 = 3,    // WDM 1.00
};

// Flag bits of a ring unit.
#define CV_UNIT_VIDEO_READY 0x01
#define CV_UNIT_AUDIO_READY 0x02
#define CV_UNIT_FILLING 0x10

// One unit of the ring: 32 bytes on the x86 platform.
struct UnitDescriptor {
    PUCHAR data;          // this unit's slot in ringData
    PUCHAR videoData;     // where the video part starts in the slot
    ULONG videoLength;
    PUCHAR audioData;     // where the audio part starts in the slot
    ULONG audioLength;
    ULONG length;         // bytes the unit announced
    UCHAR flags;          // CV_UNIT_*
    UCHAR index;          // position in the ring
    UnitDescriptor* next; // the ring is a circle
};
static_assert(sizeof(void*) != 4 || sizeof(UnitDescriptor) == 32,
              "a unit descriptor is 32 bytes on the x86 platform");

// Transfer blocks: a URB, then the functional device object the completion routines need.
struct CommandBlock {
    URB urb;
    PDEVICE_OBJECT device;
};

struct ResponseBlock {
    URB urb;
    PDEVICE_OBJECT device;
    UCHAR lastNotification[16]; // the last unit notification
    PUCHAR payloadBuffer;       // the 520-byte buffer of the exchange in progress, or null
};

struct StreamBlock {
    URB urb;
    PDEVICE_OBJECT device;
    UnitDescriptor* currentUnit; // the unit being filled
    ULONG unitBytes;             // announced length, then bytes received so far
    ULONG videoLength;
    ULONG audioLength;
    UCHAR unitStandard; // bit 0 of notification byte 1
    UCHAR audioPresent;
};

// Counters of a stream, in the order of the statistics block; zeroed at each stream start.
struct StreamStatistics {
    ULONG transferErrors;
    ULONG unitsRejected;
    ULONG heartbeats;
    ULONG videoSkipped;
    ULONG audioSkipped;
    ULONG videoReads;
    ULONG videoDelivered;
    ULONG audioReads;
    ULONG audioDelivered;
    ULONG unitsReceived;
    ULONG reserved1;
    ULONG videoTimeouts;
    ULONG audioTimeouts;
    ULONG reserved2;
};

// Settings, channel and stream state of one unit. ringLock guards the ring (descriptor flags,
// cursors, available counts, skip counters, time-code log pointers); controlMutex serialises
// the control requests that change channel or stream state and is never taken under ringLock.
struct StreamContext {
    CommandBlock* commandRequest; // every bulk transfer the driver waits for
    KSPIN_LOCK ringLock;
#if defined(CV_MODEL_A)
    UCHAR videoMode;    // "VMode"
    ULONG bitRate;      // "Bitrate", most significant byte first
    ULONG rateLimit;    // "Limit", most significant byte first
    USHORT frameRate;   // "fps" in thousandths, most significant byte first
    UCHAR audioRateCode; // "AudioRate"
    UCHAR unitCount;    // "MaxUnitLv": units in the ring
#else
    UCHAR videoMode;     // "VMode"
    UCHAR bitRateCode;   // "Bitrate"
    UCHAR frameRateCode; // "fps"
    UCHAR audioRateCode; // "AudioRate"
    UCHAR unitCount;     // "MaxUnitLv": units in the ring
#endif
    UCHAR audioStall; // consecutive failed unit waits (30 and more: stalled)
    UCHAR videoStall;
    UCHAR commandChannelOpen;
    UCHAR readerBusy; // a response-pipe read is in flight
    UCHAR streaming;  // the device stream runs
    KMUTEX controlMutex;
    KEVENT responseEvent;   // a command response has been stored
    KEVENT audioReadyEvent; // a unit was completed (audio readers)
    KEVENT unitReadyEvent;  // a unit was completed (video and raw-unit readers)
    LONG unitWait;          // relative wait per unit (negative 100-ns units), 0 until set
    KEVENT fillEvent;       // set while a unit fills
    KEVENT ringOpenEvent;   // the ring opened (four units ready)
    UCHAR ringOpen;
    PKEVENT videoClientEvent; // client events signalled per unit, or null
    PKEVENT audioClientEvent;
    UCHAR videoSignalEvery;
    UCHAR audioSignalEvery;
    UCHAR videoSignalCount;
    UCHAR audioSignalCount;
    KTIMER heartbeatTimer;
    KDPC heartbeatDpc;
    LONGLONG heartbeatDue;
    UCHAR heartbeatFired;
    PIO_WORKITEM readerWork;
    UCHAR readerWorkReady;
    PIRP sharedIrp; // the one request for every asynchronous pipe transfer
    ResponseBlock* responseRequest;
    PUCHAR responseBuffer; // 520 bytes: first packet at 0, continuation at 64
    USHORT responseRemaining;
    UCHAR commandSequence;
    StreamBlock* streamRequest;
    PUCHAR ringData;       // unitCount x 65,535 bytes
    UnitDescriptor* units; // unitCount descriptors
    UnitDescriptor* audioReadCursor;
    UnitDescriptor* videoReadCursor;
    CHAR videoAvailable;
    CHAR audioAvailable;
    UCHAR streamVideoMode;
    UCHAR timecodeBlock[18];
    UCHAR videoThreshold;
    UCHAR audioThreshold;
    UCHAR videoLag;
    UCHAR audioLag;
    UnitDescriptor* audioLeadCursor;
    UnitDescriptor* videoLeadCursor;
    UCHAR videoStarted;
    UCHAR audioStarted;
    UCHAR videoResync;
    UCHAR audioResync;
    UCHAR settingsChanged;
    UCHAR commandBusy;
    UCHAR videoStandard;   // bit 0: the 40 ms frame period
    UCHAR runningFirmware; // 1: the operating program runs; 0: start-up loader
    PUCHAR timecodeLog;
    PUCHAR timecodeLogEnd;
    StreamStatistics statistics;
};

// The device extension of a unit. stateLock guards pnpState and previousPnpState (readers
// elsewhere read pnpState without it); ioCountLock is taken by IoCountUp/IoCountDown callers
// below DISPATCH_LEVEL; idleLock guards idleRequestBusy, idleIrp and idleCallbackInfo.
struct UnitExtension {
    StreamContext stream;
    PDEVICE_OBJECT functionalDevice;
    PDEVICE_OBJECT lowerDevice; // every request sent down goes here
    PDEVICE_OBJECT physicalDevice;
    WCHAR dosName[CV_DOS_NAME_CHARS];
    DEVICE_CAPABILITIES capabilities;
    PUCHAR configDescriptor;
    PUSBD_INTERFACE_INFORMATION interfaceInfo; // its Pipes are the pipe table
    PUCHAR pipeOpen;                           // one byte per pipe
    ULONG pnpState;
    ULONG previousPnpState;
    KSPIN_LOCK stateLock;
    SYSTEM_POWER_STATE systemPower;
    DEVICE_POWER_STATE devicePower;
    KEVENT ioDrainedEvent; // set when ioCount reaches 0
    KEVENT ioSettledEvent; // set when ioCount falls to 1
    LONG ioCount;          // outstanding I/O; 1 is the unit's own base reference
    KSPIN_LOCK ioCountLock;
    ULONG idleSuspendActive;
    ULONG idleSuspendSetting; // "SSEnable"
    PUSB_IDLE_CALLBACK_INFO idleCallbackInfo;
    PIRP idleIrp;
    LONG idleRequestBusy;
    LONG idleIrpRefs;
    KSPIN_LOCK idleLock;
    KEVENT idleIrpGoneEvent;
    DEVICE_POWER_STATE sleepDeviceState;
    PIRP wakeIrp;
    LONG wakeCancelled;
    LONG wakeArmed;
    ULONG wakeSupported;
    LONG openCount;
    KTIMER idleTimer;
    KDPC idleDpc;
    SHORT unitIndex;
    KEVENT idleWorkDoneEvent;
    WMILIB_CONTEXT wmiContext;
    ULONG osLevel;
};

// Driver-wide state (DriverEntry.cpp).
extern UNICODE_STRING serviceKeyPath; // paged copy of the registry path, NUL-terminated
extern ULONG unitMap[4];              // one bit per unit number, most significant bit first
extern ULONG wmiValue;                // the WMI block's value, shared by every unit

#define CV_EXTENSION(device) (static_cast<UnitExtension*>((device)->DeviceExtension))

// ---------------------------------------------------------------------------------------------
// DriverEntry.cpp
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

// AddDevice.cpp (PASSIVE_LEVEL, may wait)
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS UpdatePortName(PDEVICE_OBJECT physicalDevice, BOOLEAN allocate, SHORT* unitIndex);

// UnitCommon.cpp
LONG IoCountUp(UnitExtension* unit);   // any IRQL up to DISPATCH_LEVEL
LONG IoCountDown(UnitExtension* unit); // any IRQL up to DISPATCH_LEVEL
BOOLEAN CanIdle(UnitExtension* unit);
void FreeDescriptors(UnitExtension* unit);
NTSTATUS ReadParameterDword(PCWSTR path, PCWSTR name, PULONG value); // PASSIVE_LEVEL
IO_COMPLETION_ROUTINE SignalEventCompletion; // context: the KEVENT to set
NTSTATUS ForwardAndWait(UnitExtension* unit, PIRP irp); // PASSIVE_LEVEL, waits
void SetPnpState(UnitExtension* unit, ULONG state);     // under stateLock

// UsbConfig.cpp (PASSIVE_LEVEL, all wait)
// Sends the URB down and waits for it, at most `timeout` (negative relative time; 0: no limit).
// Holds an I/O reference for the call. When the time-out expires the request is cancelled and
// waited for, so the URB is the caller's again on return, and the call fails with
// STATUS_IO_TIMEOUT; the URB's own status says what became of the transfer.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb, LONG timeout);
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT device);
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT device);
NTSTATUS SelectInterfaces(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS Deconfigure(PDEVICE_OBJECT device);
NTSTATUS AbortPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe);
NTSTATUS AbortAllPipes(PDEVICE_OBJECT device);
NTSTATUS ResetPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe);
NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG portStatus);
NTSTATUS ResetPort(PDEVICE_OBJECT device);
NTSTATUS RecoverDevice(PDEVICE_OBJECT device);

// StreamContext.cpp (PASSIVE_LEVEL)
NTSTATUS StreamContextInit(PDEVICE_OBJECT device);
NTSTATUS StreamContextFree(UnitExtension* unit);
void UnitWaitFromSettings(UnitExtension* unit);

// StreamPump.cpp
KDEFERRED_ROUTINE HeartbeatDpc; // DISPATCH_LEVEL; context: the UnitExtension
void SignalClients(StreamContext* s); // DISPATCH_LEVEL

// Pnp.cpp (PASSIVE_LEVEL; the platform sends one PnP request at a time)
DRIVER_DISPATCH DispatchPnp;

// Power.cpp
DRIVER_DISPATCH DispatchPower;
NTSTATUS ArmWake(UnitExtension* unit);    // PASSIVE_LEVEL or DISPATCH_LEVEL
void DisarmWake(UnitExtension* unit);     // PASSIVE_LEVEL
void HaltIdleSuspend(UnitExtension* unit); // PASSIVE_LEVEL, waits
void WithdrawIdleRequest(UnitExtension* unit); // up to DISPATCH_LEVEL
KDEFERRED_ROUTINE IdleTimerDpc; // DISPATCH_LEVEL; context: the device object

// OpenClose.cpp
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchReadWrite;

// Wmi.cpp
NTSTATUS WmiRegister(UnitExtension* unit);   // PASSIVE_LEVEL
NTSTATUS WmiDeregister(UnitExtension* unit); // PASSIVE_LEVEL
DRIVER_DISPATCH DispatchSystemControl;
