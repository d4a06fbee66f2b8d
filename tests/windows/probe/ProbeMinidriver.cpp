// A stream class minidriver skeleton that calls every stream class routine, so that the
// Windows build proves the stream class import library we make (cmake/stream.def) links and
// names each routine as the stream class driver exports it.
//
// It registers an adapter with no streams; its request handler answers what it must and
// exercises the remaining routines on paths a real minidriver would take them.

#include "CvKernel.h"

namespace {

constexpr ULONG kPoolTag = 'KluB';

const GUID kProbeEventSet = {0x6b1f0e27, 0x2c4d, 0x4a8e, {0x9f, 0x35, 0x71, 0x0a, 0xd2, 0x4c, 0x88, 0x16}};
const GUID kProbeInterface = {0x0d9a4c63, 0x57e1, 0x4f02, {0xb6, 0x2e, 0x18, 0xc3, 0x9d, 0x40, 0x7a, 0x55}};

struct PROBE_ADAPTER {
  PDEVICE_OBJECT Pdo;
  HANDLE MasterClock;
  ULONGLONG LastTime;
  LONG Timers;
};

PROBE_ADAPTER* AdapterOf(PHW_STREAM_REQUEST_BLOCK srb) {
  return static_cast<PROBE_ADAPTER*>(srb->HwDeviceExtension);
}

VOID STREAMAPI OnTimer(PVOID context) {
  InterlockedIncrement(&static_cast<PROBE_ADAPTER*>(context)->Timers);
}

VOID STREAMAPI OnLowPriority(PVOID context) {
  PHW_STREAM_REQUEST_BLOCK srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(context);
  StreamClassCompleteRequestAndMarkQueueReady(srb);
}

VOID STREAMAPI OnClock(PHW_TIME_CONTEXT time) {
  reinterpret_cast<PROBE_ADAPTER*>(time->HwDeviceExtension)->LastTime = time->Time;
}

void InitializeDevice(PHW_STREAM_REQUEST_BLOCK srb) {
  PROBE_ADAPTER* adapter = AdapterOf(srb);
  PORT_CONFIGURATION_INFORMATION* config = srb->CommandData.ConfigInfo;
  adapter->Pdo = config->RealPhysicalDeviceObject;
  config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER);

  BOOLEAN directions[1] = {TRUE};
  GUID categories[1] = {kProbeInterface};
  NTSTATUS status = STATUS_SUCCESS;
  if (StreamClassReadWriteConfig(adapter, TRUE, &adapter->Timers, 0, 0)) {
    // A bus that answers configuration reads has no business with this probe.
    status = STATUS_NOT_SUPPORTED;
  } else if (StreamClassGetDmaBuffer(adapter) == nullptr) {
    status = StreamClassRegisterFilterWithNoKSPins(adapter->Pdo, &kProbeInterface, 1, directions,
                                                   nullptr, categories);
  }
  srb->Status = status;
}

void StreamsInfo(PHW_STREAM_REQUEST_BLOCK srb) {
  PHW_STREAM_HEADER header = &srb->CommandData.StreamBuffer->StreamHeader;
  RtlZeroMemory(header, sizeof(*header));
  header->SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  header->NumberOfStreams = 0;
  srb->Status = STATUS_SUCCESS;
}

VOID STREAMAPI ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
  PROBE_ADAPTER* adapter = AdapterOf(srb);
  srb->Status = STATUS_SUCCESS;
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      InitializeDevice(srb);
      break;
    case SRB_GET_STREAM_INFO:
      StreamsInfo(srb);
      break;
    case SRB_INITIALIZATION_COMPLETE:
      StreamClassScheduleTimer(nullptr, adapter, 1000, OnTimer, adapter);
      break;
    case SRB_UNINITIALIZE_DEVICE:
      StreamClassScheduleTimer(nullptr, adapter, 0, OnTimer, adapter);
      StreamClassAbortOutstandingRequests(adapter, nullptr, STATUS_CANCELLED);
      break;
    case SRB_OPEN_MASTER_CLOCK:
      adapter->MasterClock = srb->CommandData.MasterClockHandle;
      break;
    case SRB_INDICATE_MASTER_CLOCK:
      if (srb->StreamObject != nullptr) {
        StreamClassQueryMasterClock(srb->StreamObject, srb->CommandData.MasterClockHandle,
                                    TIME_GET_STREAM_TIME, OnClock);
      } else {
        HW_TIME_CONTEXT time;
        RtlZeroMemory(&time, sizeof(time));
        time.Function = TIME_GET_STREAM_TIME;
        StreamClassQueryMasterClockSync(srb->CommandData.MasterClockHandle, &time);
        adapter->LastTime = time.Time;
      }
      break;
    case SRB_PAGING_OUT_DRIVER: {
      // Completed later, from a low-priority callback.
      StreamClassCallAtNewPriority(nullptr, adapter, Low, OnLowPriority, srb);
      return;
    }
    case SRB_UNKNOWN_DEVICE_COMMAND: {
      ULONG length = 0;
      STREAM_PHYSICAL_ADDRESS physical =
          StreamClassGetPhysicalAddress(adapter, srb, srb->SRBExtension, PerRequestExtension, &length);
      if (physical.QuadPart == 0 || length == 0) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
      }
      PKSEVENT_ENTRY entry = StreamClassGetNextEvent(adapter, nullptr, const_cast<GUID*>(&kProbeEventSet),
                                                     0, nullptr);
      if (entry != nullptr) {
        StreamClassDeviceNotification(SignalDeviceEvent, adapter, nullptr, entry,
                                      const_cast<GUID*>(&kProbeEventSet), 0);
      }
      StreamClassFilterReenumerateStreams(adapter, sizeof(HW_STREAM_HEADER));
      StreamClassReenumerateStreams(adapter, sizeof(HW_STREAM_HEADER));
      break;
    }
    default:
      srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  if (srb->StreamObject != nullptr) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  } else {
    StreamClassDeviceNotification(DeviceRequestComplete, adapter, srb);
    StreamClassDeviceNotification(ReadyForNextDeviceRequest, adapter);
  }
}

VOID STREAMAPI CancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  srb->Status = STATUS_CANCELLED;
  StreamClassDebugPrint(DebugLevelWarning, const_cast<PCHAR>("probe: cancel %p\n"), srb);
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

VOID STREAMAPI RequestTimeout(PHW_STREAM_REQUEST_BLOCK srb) {
  if (srb->Status == STATUS_PENDING) {
    StreamClassDebugAssert(const_cast<PCHAR>(__FILE__), __LINE__,
                           const_cast<PCHAR>("request timed out"), srb->Status);
  }
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  HW_INITIALIZATION_DATA init;
  RtlZeroMemory(&init, sizeof(init));
  init.HwInitializationDataSize = sizeof(init);
  init.HwReceivePacket = ReceivePacket;
  init.HwCancelPacket = CancelPacket;
  init.HwRequestTimeoutHandler = RequestTimeout;
  init.DeviceExtensionSize = sizeof(PROBE_ADAPTER);
  init.PerRequestExtensionSize = 16;
  init.BufferAlignment = 3;
  init.TurnOffSynchronization = FALSE;
  NTSTATUS status = StreamClassRegisterAdapter(driver, registryPath, &init);
  DbgPrint("probe minidriver %08x, tag %08x\n", status, kPoolTag);
  return status;
}
