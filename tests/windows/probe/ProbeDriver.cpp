// A small WDM function driver for the capture unit's USB interface that exercises every
// kernel, USB and WMI routine the transport driver relies on, so that the Windows build
// proves the toolchain's headers and import libraries before the real driver lands.
//
// It is meant to compile, link and load, not to be useful: it attaches to the USB device,
// reads the device descriptor and the configuration, selects it, exposes a symbolic link and
// one WMI block, and tears it all down again on removal.

#include "CvKernel.h"

namespace {

constexpr ULONG kPoolTag = 'KluB';

const GUID kProbeWmiGuid = {0x3a7c0d51, 0x94e2, 0x4b6f, {0x8d, 0x10, 0x5e, 0x21, 0xc4, 0x77, 0x09, 0xb3}};

struct PROBE_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT LowerDevice;
  UNICODE_STRING LinkName;
  BOOLEAN LinkCreated;
  WMILIB_CONTEXT WmiLib;
  WMIGUIDREGINFO WmiGuids[1];
  LONG OutstandingIo;
  KEVENT RemoveEvent;
  KSPIN_LOCK Lock;
  KMUTEX ConfigMutex;
  KTIMER PollTimer;
  KTIMER OneShotTimer;
  KDPC PollDpc;
  LONG PollCount;
  LONG Stopping;
  PIO_WORKITEM WorkItem;
  DEVICE_POWER_STATE DevicePower;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  ULONG PollIntervalMs;
};

UNICODE_STRING g_RegistryPath;

PROBE_EXTENSION* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<PROBE_EXTENSION*>(device->DeviceExtension);
}

void AcquireIo(PROBE_EXTENSION* ext) { InterlockedIncrement(&ext->OutstandingIo); }

void ReleaseIo(PROBE_EXTENSION* ext) {
  if (InterlockedDecrement(&ext->OutstandingIo) == 0) {
    KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

// Reads the service's Parameters key the way the transport driver reads its settings: an
// optional absolute key, values stored straight into the caller's variables.
void ReadParameters(PROBE_EXTENSION* ext) {
  static const WCHAR kSuffix[] = L"\\Parameters";
  USHORT bytes = static_cast<USHORT>(g_RegistryPath.Length + sizeof(kSuffix));
  PWCHAR path = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
  if (path == nullptr) {
    return;
  }
  RtlCopyMemory(path, g_RegistryPath.Buffer, g_RegistryPath.Length);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(path) + g_RegistryPath.Length, kSuffix, sizeof(kSuffix));

  ULONG interval = ext->PollIntervalMs;
  ULONG defaultInterval = ext->PollIntervalMs;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(L"PollIntervalMs");
  table[0].EntryContext = &interval;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &defaultInterval;
  table[0].DefaultLength = sizeof(defaultInterval);
  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                                           table, nullptr, nullptr);
  if (NT_SUCCESS(status) && interval != 0) {
    ext->PollIntervalMs = interval;
  }
  ExFreePoolWithTag(path, kPoolTag);
}

// Records the last start in the service key and in the device's software key.
void WriteStartCount(PROBE_EXTENSION* ext) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &g_RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, L"LastPollCount");
  ULONG value = static_cast<ULONG>(ext->PollCount);
  if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ | KEY_SET_VALUE, &attributes))) {
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
  }
  if (NT_SUCCESS(IoOpenDeviceRegistryKey(ext->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key))) {
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
  }
}

// Sends an internal request down the stack and waits for it.
NTSTATUS CallUsbd(PROBE_EXTENSION* ext, PURB urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDevice, nullptr,
                                           0, nullptr, 0, TRUE, &done, &iosb);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5000LL * 10000LL;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = iosb.Status;
  }
  return status;
}

NTSTATUS SendVendorRequest(PROBE_EXTENSION* ext, UCHAR request, USHORT value, PVOID buffer,
                           ULONG length) {
  PURB urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kPoolTag));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, value, 0,
                        buffer, nullptr, length, nullptr);
  NTSTATUS status = CallUsbd(ext, urb);
  ExFreePool(urb);
  return status;
}

NTSTATUS ConfigureDevice(PROBE_EXTENSION* ext) {
  PURB urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), kPoolTag));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  USB_DEVICE_DESCRIPTOR device;
  UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device),
                               nullptr);
  NTSTATUS status = CallUsbd(ext, urb);

  USB_CONFIGURATION_DESCRIPTOR header;
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  if (NT_SUCCESS(status)) {
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, nullptr,
                                 sizeof(header), nullptr);
    status = CallUsbd(ext, urb);
  }
  if (NT_SUCCESS(status)) {
    config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, header.wTotalLength, kPoolTag));
    status = config != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr,
                                 header.wTotalLength, nullptr);
    status = CallUsbd(ext, urb);
  }
  ExFreePoolWithTag(urb, kPoolTag);

  if (NT_SUCCESS(status)) {
    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, nullptr}, {nullptr, nullptr}};
    PURB select = iface != nullptr ? USBD_CreateConfigurationRequestEx(config, list) : nullptr;
    if (select == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      status = CallUsbd(ext, select);
      if (NT_SUCCESS(status)) {
        ext->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;
      }
      ExFreePool(select);
    }
  }
  if (config != nullptr) {
    ExFreePoolWithTag(config, kPoolTag);
  }
  return status;
}

VOID NTAPI PollWork(PDEVICE_OBJECT device, PVOID context) {
  PROBE_EXTENSION* ext = ExtensionOf(device);
  PIO_WORKITEM item = static_cast<PIO_WORKITEM>(context);
  UCHAR status[4];
  KeWaitForSingleObject(&ext->ConfigMutex, Executive, KernelMode, FALSE, nullptr);
  SendVendorRequest(ext, 0x01, 0, status, sizeof(status));
  KeReleaseMutex(&ext->ConfigMutex, FALSE);
  InterlockedExchange(reinterpret_cast<PLONG>(&ext->WorkItem), 0);
  IoFreeWorkItem(item);
  ReleaseIo(ext);
}

VOID NTAPI PollDpc(PKDPC, PVOID context, PVOID, PVOID) {
  PROBE_EXTENSION* ext = static_cast<PROBE_EXTENSION*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&ext->Lock, &irql);
  InterlockedIncrement(&ext->PollCount);
  bool queue = ext->Stopping == 0 && ext->WorkItem == nullptr;
  if (queue) {
    ext->WorkItem = IoAllocateWorkItem(ext->Self);
    queue = ext->WorkItem != nullptr;
  }
  KeReleaseSpinLock(&ext->Lock, irql);
  if (queue) {
    AcquireIo(ext);
    IoQueueWorkItem(ext->WorkItem, PollWork, DelayedWorkQueue, ext->WorkItem);
  }
}

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PROBE_EXTENSION* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

// Resets the port by a request of the driver's own making, as the transport driver does
// when the unit stops answering.
NTSTATUS ResetPort(PROBE_EXTENSION* ext) {
  PIRP irp = IoAllocateIrp(ext->LowerDevice->StackSize, FALSE);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS StartDevice(PROBE_EXTENSION* ext) {
  ReadParameters(ext);
  NTSTATUS status = ConfigureDevice(ext);
  if (!NT_SUCCESS(status)) {
    ResetPort(ext);
    return status;
  }
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ext->PollIntervalMs) * 10000LL;
  KeSetTimerEx(&ext->PollTimer, due, static_cast<LONG>(ext->PollIntervalMs), &ext->PollDpc);
  return STATUS_SUCCESS;
}

void StopDevice(PROBE_EXTENSION* ext) {
  InterlockedExchange(&ext->Stopping, 1);
  KeCancelTimer(&ext->PollTimer);
  KeClearEvent(&ext->RemoveEvent);
  // Give a poll already past the timer a moment to queue its work item.
  LARGE_INTEGER pause;
  pause.QuadPart = -10LL * 10000LL;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  WriteStartCount(ext);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PROBE_EXTENSION* ext = ExtensionOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(ext, irp);
      if (NT_SUCCESS(status)) {
        status = StartDevice(ext);
      }
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    case IRP_MN_REMOVE_DEVICE:
      StopDevice(ext);
      ReleaseIo(ext);
      KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
      IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
      if (ext->LinkCreated) {
        IoDeleteSymbolicLink(&ext->LinkName);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(ext->LowerDevice, irp);
      IoDetachDevice(ext->LowerDevice);
      IoDeleteDevice(device);
      return status;
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(ext->LowerDevice, irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PROBE_EXTENSION* ext = ExtensionOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    ext->DevicePower = stack->Parameters.Power.State.DeviceState;
    PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->LowerDevice, irp);
}

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT device, PULONG regFlags, PUNICODE_STRING,
                            PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName,
                            PDEVICE_OBJECT* pdo) {
  *regFlags = WMIREG_FLAG_INSTANCE_PDO;
  *registryPath = &g_RegistryPath;
  *pdo = ExtensionOf(device)->Pdo;
  RtlInitUnicodeString(mofResourceName, L"MofResourceName");
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG,
                              ULONG instanceCount, PULONG instanceLengths, ULONG bufferAvail,
                              PUCHAR buffer) {
  if (guidIndex != 0 || instanceCount != 1) {
    return WmiCompleteRequest(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
  }
  if (bufferAvail < sizeof(ULONG)) {
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
  }
  *reinterpret_cast<PULONG>(buffer) = static_cast<ULONG>(ExtensionOf(device)->PollCount);
  instanceLengths[0] = sizeof(ULONG);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  PROBE_EXTENSION* ext = ExtensionOf(device);
  SYSCTL_IRP_DISPOSITION disposition;
  AcquireIo(ext);
  NTSTATUS status = WmiSystemControl(&ext->WmiLib, device, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    default:
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(ext->LowerDevice, irp);
      break;
  }
  ReleaseIo(ext);
  return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, L"\\Device\\CvProbe0");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PROBE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PROBE_EXTENSION* ext = ExtensionOf(device);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Self = device;
  ext->Pdo = pdo;
  ext->PollIntervalMs = 500;
  ext->OutstandingIo = 1;
  ext->DevicePower = PowerDeviceD0;
  KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&ext->Lock);
  KeInitializeMutex(&ext->ConfigMutex, 0);
  KeInitializeTimerEx(&ext->PollTimer, NotificationTimer);
  KeInitializeTimer(&ext->OneShotTimer);
  KeInitializeDpc(&ext->PollDpc, PollDpc, ext);

  ext->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
  if (ext->LowerDevice == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  RtlInitUnicodeString(&ext->LinkName, L"\\DosDevices\\CvProbe0");
  ext->LinkCreated = NT_SUCCESS(IoCreateSymbolicLink(&ext->LinkName, &deviceName));

  ext->WmiGuids[0].Guid = &kProbeWmiGuid;
  ext->WmiGuids[0].InstanceCount = 1;
  ext->WmiGuids[0].Flags = 0;
  ext->WmiLib.GuidCount = 1;
  ext->WmiLib.GuidList = ext->WmiGuids;
  ext->WmiLib.QueryWmiRegInfo = QueryRegInfo;
  ext->WmiLib.QueryWmiDataBlock = QueryDataBlock;
  IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);

  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  if (g_RegistryPath.Buffer != nullptr) {
    ExFreePoolWithTag(g_RegistryPath.Buffer, kPoolTag);
    g_RegistryPath.Buffer = nullptr;
  }
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  // WDM 1.10 is the first with everything used here.
  if (!IoIsWdmVersionAvailable(1, 0x10)) {
    return STATUS_NOT_SUPPORTED;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  g_RegistryPath.MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));
  g_RegistryPath.Length = registryPath->Length;
  g_RegistryPath.Buffer =
      static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, g_RegistryPath.MaximumLength, kPoolTag));
  if (g_RegistryPath.Buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(g_RegistryPath.Buffer, registryPath->Buffer, registryPath->Length);
  g_RegistryPath.Buffer[registryPath->Length / sizeof(WCHAR)] = L'\0';

  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DbgPrint("Cvusbdrv DriverEntry exit.\n");
  return STATUS_SUCCESS;
}
