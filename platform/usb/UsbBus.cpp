#include "UsbBus.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../host/Machine.h"
#include "../io/IoManager.h"
#include "../kernel/WorkQueue.h"
#include "../pnp/PnpManager.h"

namespace host {

namespace {

constexpr int64_t kHighSpeedMicroframe = 1250; // 125 us in 100-ns units

// One speed's (micro)frame: its length, the byte times it holds and what a packet costs on top
// of its payload (token, handshake, inter-packet gaps, bit stuffing).
struct FrameTiming {
    int64_t period;
    int64_t byteTimes;
    int64_t packetOverhead;
};
constexpr FrameTiming kHighSpeed{kHighSpeedMicroframe, 7500, 64};
constexpr FrameTiming kFullSpeed{10000, 1500, 13};

UsbBus* g_bus = nullptr; // the machine's bus, for the hub driver's dispatch routines

UsbPortState* PortOf(PDEVICE_OBJECT pdo)
{
    return *static_cast<UsbPortState**>(pdo->DeviceExtension);
}

NTSTATUS NTAPI HubInternal(PDEVICE_OBJECT d, PIRP i) { return g_bus->DispatchInternal(d, i); }
NTSTATUS NTAPI HubPnp(PDEVICE_OBJECT d, PIRP i) { return g_bus->DispatchPnp(d, i); }
NTSTATUS NTAPI HubPower(PDEVICE_OBJECT d, PIRP i) { return g_bus->DispatchPower(d, i); }
NTSTATUS NTAPI HubOther(PDEVICE_OBJECT d, PIRP i) { return g_bus->DispatchOther(d, i); }

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void* TransferBufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer != nullptr)
        return buffer;
    if (mdl != nullptr)
        return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    return nullptr;
}

PURB UrbOf(PIRP irp)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

} // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS status)
{
    if (USBD_SUCCESS(status))
        return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    default: return STATUS_UNSUCCESSFUL;
    }
}

int64_t UsbPortState::Now() const { return bus->machine_.Sched().Now(); }

void UsbPortState::Schedule(int64_t delay, std::function<void()> work)
{
    bus->Later(this, delay, std::move(work));
}

void UsbPortState::DataReady(uint8_t endpointAddress)
{
    UsbPortState* self = this;
    bus->Later(this, 0, [self, endpointAddress] {
        UsbEndpoint* target = nullptr;
        {
            std::lock_guard<std::mutex> lk(self->bus->mutex_);
            for (auto& ep : self->endpoints) {
                if (ep->descriptor.bEndpointAddress == endpointAddress) {
                    ep->waitingForData = false;
                    target = ep.get();
                }
            }
        }
        if (target != nullptr)
            self->bus->Pump(self, target);
    });
}

void UsbPortState::Reattach(int64_t delay)
{
    UsbPortState* self = this;
    bus->Later(this, 0, [self, delay] {
        self->bus->Disconnect(self, true);
        self->bus->machine_.Sched().ScheduleCallback(delay, [self] {
            self->bus->machine_.Work().Queue(DelayedWorkQueue, [self] { self->bus->Connect(self); });
        });
    });
}

UsbBus::UsbBus(Machine& machine) : machine_(machine)
{
    g_bus = this;
    hubDriver_ = machine_.Io().CreateDriver(u"\\Driver\\usbhub", u"", nullptr);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        hubDriver_->MajorFunction[i] = HubOther;
    hubDriver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubInternal;
    hubDriver_->MajorFunction[IRP_MJ_PNP] = HubPnp;
    hubDriver_->MajorFunction[IRP_MJ_POWER] = HubPower;
}

UsbBus::~UsbBus()
{
    if (g_bus == this)
        g_bus = nullptr;
}

int UsbBus::Plug(std::shared_ptr<hw::UsbDeviceModel> model)
{
    auto port = std::make_unique<UsbPortState>();
    port->bus = this;
    port->model = std::move(model);
    UsbPortState* raw = port.get();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        port->number = static_cast<int>(ports_.size()) + 1;
        ports_.push_back(std::move(port));
    }
    Connect(raw);
    return raw->number;
}

void UsbBus::Connect(UsbPortState* port)
{
    port->model->Attached(port);
    auto device = port->model->DeviceDescriptor();
    uint16_t vid = device.size() >= 12 ? static_cast<uint16_t>(device[8] | device[9] << 8) : 0;
    uint16_t pid = device.size() >= 12 ? static_cast<uint16_t>(device[10] | device[11] << 8) : 0;
    uint8_t maxPacket0 = device.size() >= 8 ? device[7] : 8;
    hw::UsbSpeed speed = port->model->Speed();
    PDEVICE_OBJECT pdo = nullptr;
    wchar_t name[32];
    char narrow[32];
    std::snprintf(narrow, sizeof narrow, "\\Device\\USBPDO-%u", nextInstance_++);
    size_t n = 0;
    for (; narrow[n] != 0; ++n)
        name[n] = static_cast<wchar_t>(narrow[n]);
    name[n] = 0;
    UNICODE_STRING pdoName;
    RtlInitUnicodeString(&pdoName, name);
    machine_.Io().CreateDevice(hubDriver_, sizeof(UsbPortState*), &pdoName, FILE_DEVICE_UNKNOWN,
                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo, nullptr);
    *static_cast<UsbPortState**>(pdo->DeviceExtension) = port;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        port->pdo = pdo;
        port->connected = true;
        port->enabled = true;
        port->speed = speed;
        port->configuration = 0;
        for (auto& ep : port->endpoints)
            port->retired.push_back(std::move(ep));
        port->endpoints.clear();
        auto ep0 = std::make_unique<UsbEndpoint>();
        ep0->descriptor.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
        ep0->descriptor.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
        ep0->descriptor.bEndpointAddress = 0;
        ep0->descriptor.bmAttributes = USB_ENDPOINT_TYPE_CONTROL;
        ep0->descriptor.wMaxPacketSize = maxPacket0;
        port->endpoints.push_back(std::move(ep0));
    }
    char hardwareId[48];
    std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", vid, pid);
    char instance[32];
    std::snprintf(instance, sizeof instance, "5&1c0ffee&0&%d", port->number);
    port->node = machine_.Pnp().ReportDevice(pdo, hardwareId, instance, [this, pdo] {
        if (IoManager::RecordOf(pdo)->deleted)
            return;
        UsbPortState* p = PortOf(pdo);
        bool gone;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            gone = p->pdo != pdo || !p->connected;
        }
        if (gone)
            machine_.Io().DeleteDevice(pdo);
    });
}

void UsbBus::Unplug(int number)
{
    UsbPortState* port = Port(number);
    if (port == nullptr)
        return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    {
        std::lock_guard<std::mutex> lk(machine_.Sched().Lock());
        machine_.Sched().QueueDpcCallback([this, port, &done] {
            Disconnect(port, false);
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        });
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void UsbBus::Disconnect(UsbPortState* port, bool reattach)
{
    std::vector<PIRP> gone;
    std::vector<PIRP> parked;
    Devnode* node;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!port->connected)
            return;
        port->connected = false;
        port->enabled = false;
        port->generation++;
        for (auto& ep : port->endpoints) {
            for (PIRP irp : ep->queue)
                gone.push_back(irp);
            ep->queue.clear();
            ep->busy = false;
        }
        node = port->node;
        for (PIRP* slot : {&port->waitWakeIrp, &port->idleIrp}) {
            if (*slot != nullptr) {
                parked.push_back(*slot);
                *slot = nullptr;
            }
        }
    }
    for (PIRP irp : parked) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
            CompleteNow(irp, STATUS_NO_SUCH_DEVICE);
    }
    for (PIRP irp : gone) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
            CompleteUrb(irp, UrbOf(irp), USBD_STATUS_DEVICE_GONE);
    }
    (void)reattach;
    port->model->Detached();
    if (node != nullptr)
        machine_.Pnp().ReportGone(node);
}

UsbPortState* UsbBus::Port(int number)
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& p : ports_) {
        if (p->number == number)
            return p.get();
    }
    return nullptr;
}

std::vector<int> UsbBus::Ports()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<int> out;
    for (auto& p : ports_)
        out.push_back(p->number);
    return out;
}

void UsbBus::FailNextUrbs(int count, USBD_STATUS status)
{
    std::lock_guard<std::mutex> lk(mutex_);
    failCount_ = count;
    failStatus_ = status;
}

void UsbBus::SetPortEnabled(int number, bool enabled)
{
    if (UsbPortState* p = Port(number)) {
        std::lock_guard<std::mutex> lk(mutex_);
        p->enabled = enabled;
    }
}

void UsbBus::Later(UsbPortState* port, int64_t delay, std::function<void()> work)
{
    int generation = port->generation;
    int64_t extra = extraDelay_;
    std::lock_guard<std::mutex> lk(machine_.Sched().Lock());
    machine_.Sched().ScheduleCallback(delay + extra, [port, generation, work = std::move(work)] {
        if (port->generation == generation)
            work();
    });
}

int64_t UsbBus::WireTime(hw::UsbSpeed speed, const USB_ENDPOINT_DESCRIPTOR& endpoint, size_t bytes)
{
    const FrameTiming& t = speed == hw::UsbSpeed::High ? kHighSpeed : kFullSpeed;
    int64_t packetBytes = std::max(1, endpoint.wMaxPacketSize & 0x7FF);
    int64_t dataPackets = (static_cast<int64_t>(bytes) + packetBytes - 1) / packetBytes;
    int64_t packets = std::max<int64_t>(1, dataPackets); // an empty transfer is one empty packet
    if ((endpoint.bmAttributes & 3) == USB_ENDPOINT_TYPE_INTERRUPT) {
        // One packet per service interval: 2^(bInterval-1) microframes, or bInterval frames.
        int interval = endpoint.bInterval;
        int64_t frames = speed == hw::UsbSpeed::High
                             ? int64_t{1} << (std::clamp(interval, 1, 16) - 1)
                             : std::max(1, interval);
        return packets * frames * t.period;
    }
    int64_t perFrame = std::max<int64_t>(1, t.byteTimes / (packetBytes + t.packetOverhead));
    if ((endpoint.bmAttributes & 3) == USB_ENDPOINT_TYPE_CONTROL) {
        // The setup and status stages, with the data stage (if any) between them.
        return (2 + (dataPackets + perFrame - 1) / perFrame) * t.period;
    }
    return (packets + perFrame - 1) / perFrame * t.period;
}

NTSTATUS UsbBus::CompleteUrb(PIRP irp, PURB urb, USBD_STATUS status)
{
    NTSTATUS result = NtStatusFromUsbd(status);
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

UsbEndpoint* UsbBus::EndpointOf(UsbPortState* port, USBD_PIPE_HANDLE handle)
{
    for (auto& ep : port->endpoints) {
        if (ep.get() == handle && ep->descriptor.bEndpointAddress != 0)
            return ep.get();
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

NTSTATUS UsbBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp)
{
    UsbPortState* port = PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        ULONG flags = 0;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (port->connected && port->pdo == device)
                flags |= USBD_PORT_CONNECTED;
            if (port->enabled && port->pdo == device)
                flags |= USBD_PORT_ENABLED;
            if (port->portStatusOverride)
                flags = *port->portStatusOverride;
        }
        if (out == nullptr)
            return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        *out = flags;
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            return CompleteNow(irp, STATUS_INVALID_DEVICE_STATE);
        uint8_t configuration = 0;
        bool present;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            present = port->connected && port->pdo == device;
            if (present) {
                configuration = port->configuration;
                for (auto& ep : port->endpoints)
                    ep->halted = false;
                port->enabled = true;
                portResets_++;
            }
        }
        if (!present)
            return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
        port->model->BusReset();
        if (configuration != 0)
            port->model->SetConfiguration(configuration);
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return SubmitIdleNotification(port, irp);
    default:
        return CompleteNow(irp, STATUS_NOT_SUPPORTED);
    }
}

// Holds a request that completes only when cancelled (or when the device goes away).
NTSTATUS UsbBus::Park(UsbPortState* port, PIRP* slot, PIRP irp)
{
    bool busy;
    bool present;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        busy = *slot != nullptr;
        present = port->connected;
        if (!busy && present)
            *slot = irp;
    }
    if (busy || !present)
        return CompleteNow(irp, busy ? STATUS_DEVICE_BUSY : STATUS_DEVICE_NOT_CONNECTED);
    irp->Tail.Overlay.DriverContext[0] = slot;
    irp->Tail.Overlay.DriverContext[1] = port;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelParked);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (*slot == irp)
                *slot = nullptr;
        }
        CompleteNow(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

void UsbBus::CancelParked(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto** slot = static_cast<PIRP*>(irp->Tail.Overlay.DriverContext[0]);
    auto* port = static_cast<UsbPortState*>(irp->Tail.Overlay.DriverContext[1]);
    {
        std::lock_guard<std::mutex> lk(port->bus->mutex_);
        if (*slot == irp)
            *slot = nullptr;
    }
    CompleteNow(irp, STATUS_CANCELLED);
}

// The hub lets the unit suspend at once: the callback runs at PASSIVE_LEVEL from a worker,
// and the request stays pending until the driver withdraws it.
NTSTATUS UsbBus::SubmitIdleNotification(UsbPortState* port, PIRP irp)
{
    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    if (info == nullptr || info->IdleCallback == nullptr)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    // Read before parking: once parked, the request may be cancelled and gone at any moment.
    PUSB_IDLE_CALLBACK callback = info->IdleCallback;
    PVOID context = info->IdleContext;
    NTSTATUS status = Park(port, &port->idleIrp, irp);
    if (status != STATUS_PENDING)
        return status;
    machine_.Work().Queue(DelayedWorkQueue, [this, port, irp, callback, context] {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (port->idleIrp != irp)
                return;
            port->idleCallbacks++;
        }
        callback(context);
    });
    return STATUS_PENDING;
}

NTSTATUS UsbBus::SubmitUrb(UsbPortState* port, PIRP irp, PURB urb)
{
    if (urb == nullptr)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    bool gone;
    bool fail = false;
    USBD_STATUS failStatus = USBD_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE)
            abortsSeen_++;
        gone = !port->connected || port->pdo != IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        if (!gone && failCount_ > 0) {
            failCount_--;
            fail = true;
            failStatus = failStatus_;
        }
    }
    if (gone)
        return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    if (fail) {
        IoMarkIrpPending(irp);
        Later(port, kHighSpeedMicroframe,
              [irp, urb, failStatus] { CompleteUrb(irp, urb, failStatus); });
        return STATUS_PENDING;
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        IoMarkIrpPending(irp);
        SelectConfiguration(port, irp, urb);
        return STATUS_PENDING;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_GET_CONFIGURATION: {
        IoMarkIrpPending(irp);
        UsbEndpoint* ep0;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            ep0 = port->endpoints.front().get();
        }
        QueueBulk(port, ep0, irp);
        return STATUS_PENDING;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        UsbEndpoint* ep;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            ep = EndpointOf(port, urb->UrbBulkOrInterruptTransfer.PipeHandle);
        }
        if (ep == nullptr)
            return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        auto& t = urb->UrbBulkOrInterruptTransfer;
        // The endpoint, not the caller's flag, says which way the data moves; the port driver
        // sets the flag to match, so a caller that reads it back sees the true direction.
        if (USB_ENDPOINT_DIRECTION_IN(ep->descriptor.bEndpointAddress))
            t.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
        else
            t.TransferFlags &= ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN);
        if (t.TransferBufferLength > 0 &&
            TransferBufferOf(t.TransferBuffer, t.TransferBufferMDL) == nullptr)
            return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        IoMarkIrpPending(irp);
        QueueBulk(port, ep, irp);
        return STATUS_PENDING;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
        UsbEndpoint* ep;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            ep = EndpointOf(port, urb->UrbPipeRequest.PipeHandle);
        }
        if (ep == nullptr)
            return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        USHORT function = urb->UrbHeader.Function;
        IoMarkIrpPending(irp);
        Later(port, kHighSpeedMicroframe, [this, port, ep, irp, urb, function] {
            if (function == URB_FUNCTION_ABORT_PIPE) {
                AbortEndpoint(port, ep, USBD_STATUS_CANCELED);
            } else {
                {
                    std::lock_guard<std::mutex> lk(mutex_);
                    ep->halted = false;
                }
                if (function != URB_FUNCTION_SYNC_RESET_PIPE)
                    port->model->ClearHalt(ep->descriptor.bEndpointAddress);
                Pump(port, ep);
            }
            CompleteUrb(irp, urb, USBD_STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    }
    default:
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

void UsbBus::SelectConfiguration(UsbPortState* port, PIRP irp, PURB urb)
{
    auto& select = urb->UrbSelectConfiguration;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<std::unique_ptr<UsbEndpoint>> fresh;
    uint8_t value = 0;
    if (select.ConfigurationDescriptor != nullptr) {
        auto* config = select.ConfigurationDescriptor;
        value = config->bConfigurationValue;
        auto* base = reinterpret_cast<PUCHAR>(config);
        auto* end = base + config->wTotalLength;
        auto* info = &select.Interface;
        auto* urbEnd = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (status == USBD_STATUS_SUCCESS && reinterpret_cast<PUCHAR>(info) + 16 <= urbEnd &&
               info->Length != 0) {
            PUSB_INTERFACE_DESCRIPTOR intf = USBD_ParseConfigurationDescriptorEx(
                config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
            if (intf == nullptr || GET_USBD_INTERFACE_SIZE(intf->bNumEndpoints) > info->Length) {
                status = USBD_STATUS_INVALID_PARAMETER;
                break;
            }
            info->Class = intf->bInterfaceClass;
            info->SubClass = intf->bInterfaceSubClass;
            info->Protocol = intf->bInterfaceProtocol;
            info->InterfaceHandle = intf;
            info->NumberOfPipes = intf->bNumEndpoints;
            auto* p = reinterpret_cast<PUCHAR>(intf) + intf->bLength;
            for (ULONG i = 0; i < intf->bNumEndpoints && p + 7 <= end; p += p[0]) {
                if (p[0] == 0)
                    break;
                if (p[1] != USB_ENDPOINT_DESCRIPTOR_TYPE)
                    continue;
                auto ep = std::make_unique<UsbEndpoint>();
                std::memcpy(&ep->descriptor, p, sizeof(USB_ENDPOINT_DESCRIPTOR));
                auto& pipe = info->Pipes[i++];
                pipe.MaximumPacketSize = ep->descriptor.wMaxPacketSize;
                pipe.EndpointAddress = ep->descriptor.bEndpointAddress;
                pipe.Interval = ep->descriptor.bInterval;
                pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep->descriptor.bmAttributes & 3);
                pipe.PipeHandle = ep.get();
                if (pipe.MaximumTransferSize == 0)
                    pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
                fresh.push_back(std::move(ep));
            }
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                                 info->Length);
        }
    }
    Later(port, 2 * kHighSpeedMicroframe, [this, port, irp, urb, status, value,
                                           fresh = std::make_shared<decltype(fresh)>(
                                               std::move(fresh))]() mutable {
        USBD_STATUS result = status;
        if (result == USBD_STATUS_SUCCESS && !port->model->SetConfiguration(value))
            result = USBD_STATUS_STALL_PID;
        if (result == USBD_STATUS_SUCCESS) {
            // The old pipes go away with the old configuration; what they held is cancelled.
            std::vector<UsbEndpoint*> toAbort;
            {
                std::lock_guard<std::mutex> lk(mutex_);
                for (size_t i = 1; i < port->endpoints.size(); ++i)
                    toAbort.push_back(port->endpoints[i].get());
            }
            for (UsbEndpoint* ep : toAbort)
                AbortEndpoint(port, ep, USBD_STATUS_CANCELED);
            std::lock_guard<std::mutex> lk(mutex_);
            for (size_t i = 1; i < port->endpoints.size(); ++i)
                port->retired.push_back(std::move(port->endpoints[i]));
            port->endpoints.resize(1);
            for (auto& ep : *fresh)
                port->endpoints.push_back(std::move(ep));
            port->configuration = value;
            urb->UrbSelectConfiguration.ConfigurationHandle = value != 0 ? port : nullptr;
        }
        CompleteUrb(irp, urb, result);
    });
}

void UsbBus::QueueBulk(UsbPortState* port, UsbEndpoint* ep, PIRP irp)
{
    irp->Tail.Overlay.DriverContext[0] = ep;
    irp->Tail.Overlay.DriverContext[1] = port;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        ep->queue.push_back(irp);
    }
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            auto it = std::find(ep->queue.begin(), ep->queue.end(), irp);
            if (it != ep->queue.end())
                ep->queue.erase(it);
        }
        CompleteUrb(irp, UrbOf(irp), USBD_STATUS_CANCELED);
        return;
    }
    Pump(port, ep);
}

void UsbBus::CancelQueued(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* ep = static_cast<UsbEndpoint*>(irp->Tail.Overlay.DriverContext[0]);
    auto* port = static_cast<UsbPortState*>(irp->Tail.Overlay.DriverContext[1]);
    UsbBus* bus = port->bus;
    bool wasHead = false;
    {
        std::lock_guard<std::mutex> lk(bus->mutex_);
        auto it = std::find(ep->queue.begin(), ep->queue.end(), irp);
        if (it != ep->queue.end()) {
            wasHead = it == ep->queue.begin();
            ep->queue.erase(it);
            if (wasHead)
                ep->busy = false;
        }
    }
    bus->CompleteUrb(irp, UrbOf(irp), USBD_STATUS_CANCELED);
    if (wasHead)
        bus->Pump(port, ep);
}

void UsbBus::AbortEndpoint(UsbPortState*, UsbEndpoint* ep, USBD_STATUS status)
{
    std::vector<PIRP> aborted;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        aborted.assign(ep->queue.begin(), ep->queue.end());
        ep->queue.clear();
        ep->busy = false;
        ep->waitingForData = false;
    }
    for (PIRP irp : aborted) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
            CompleteUrb(irp, UrbOf(irp), status);
    }
}

// Starts the transfer at the head of an endpoint's queue, if none is on the wire. The transfer
// takes its bus time first; then the device answers and the request completes.
void UsbBus::Pump(UsbPortState* port, UsbEndpoint* ep)
{
    PIRP head;
    int64_t delay;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (ep->busy || ep->waitingForData || ep->queue.empty() || !port->connected)
            return;
        head = ep->queue.front();
        ep->busy = true;
        PURB urb = UrbOf(head);
        size_t bytes = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                           ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength
                           : urb->UrbControlTransfer.TransferBufferLength;
        // The transfer waits for the wire, then holds it for its own time.
        int64_t now = machine_.Sched().Now();
        int64_t start = std::max(now, wireFreeAt_);
        wireFreeAt_ = start + WireTime(port->speed, ep->descriptor, bytes);
        delay = wireFreeAt_ - now;
    }
    Later(port, delay, [this, port, ep, head] {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (ep->queue.empty() || ep->queue.front() != head)
                return; // cancelled or aborted meanwhile
        }
        ControlTransfer(port, head, UrbOf(head));
    });
}

// Moves the head transfer of an endpoint: a control request or a bulk transfer.
void UsbBus::ControlTransfer(UsbPortState* port, PIRP irp, PURB urb)
{
    auto* ep = static_cast<UsbEndpoint*>(irp->Tail.Overlay.DriverContext[0]);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    hw::TransferResult result;
    bool halted;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        halted = ep->halted;
    }
    USHORT function = urb->UrbHeader.Function;
    if (halted) {
        result.reply = hw::UsbReply::Stall;
        status = USBD_STATUS_ENDPOINT_HALTED;
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        auto* buffer = static_cast<uint8_t*>(TransferBufferOf(t.TransferBuffer, t.TransferBufferMDL));
        uint8_t address = ep->descriptor.bEndpointAddress;
        result = USB_ENDPOINT_DIRECTION_IN(address)
                     ? port->model->BulkIn(address, buffer, t.TransferBufferLength)
                     : port->model->BulkOut(address, buffer, t.TransferBufferLength);
        if (result.reply == hw::UsbReply::Ack)
            t.TransferBufferLength = static_cast<ULONG>(std::min<size_t>(result.bytes, t.TransferBufferLength));
    } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        auto& d = urb->UrbControlDescriptorRequest;
        std::vector<uint8_t> descriptor;
        if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
            descriptor = port->model->DeviceDescriptor();
        else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0)
            descriptor = port->model->ConfigurationDescriptor();
        auto* buffer = static_cast<uint8_t*>(TransferBufferOf(d.TransferBuffer, d.TransferBufferMDL));
        if (descriptor.empty() || buffer == nullptr) {
            result.reply = hw::UsbReply::Stall;
        } else {
            size_t n = std::min<size_t>(descriptor.size(), d.TransferBufferLength);
            std::memcpy(buffer, descriptor.data(), n);
            d.TransferBufferLength = static_cast<ULONG>(n);
            result.bytes = n;
        }
    } else if (function == URB_FUNCTION_GET_CONFIGURATION) {
        auto& c = urb->UrbControlTransfer;
        auto* buffer = static_cast<uint8_t*>(TransferBufferOf(c.TransferBuffer, c.TransferBufferMDL));
        if (buffer != nullptr && c.TransferBufferLength >= 1) {
            std::lock_guard<std::mutex> lk(mutex_);
            buffer[0] = port->configuration;
            c.TransferBufferLength = 1;
        }
    } else {
        // Vendor and class requests. The request type comes from the URB function and the
        // direction flag; the reserved type bits of the URB do not reach the wire.
        auto& v = urb->UrbControlVendorClassRequest;
        hw::SetupPacket setup;
        bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        uint8_t type = function == URB_FUNCTION_CLASS_DEVICE ? 0x20 : 0x40;
        uint8_t recipient = function == URB_FUNCTION_VENDOR_INTERFACE  ? 1
                            : function == URB_FUNCTION_VENDOR_ENDPOINT ? 2
                                                                       : 0;
        setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0) | type | recipient);
        setup.bRequest = v.Request;
        setup.wValue = v.Value;
        setup.wIndex = v.Index;
        setup.wLength = static_cast<uint16_t>(v.TransferBufferLength);
        auto* buffer = static_cast<uint8_t*>(TransferBufferOf(v.TransferBuffer, v.TransferBufferMDL));
        if (v.TransferBufferLength > 0xFFFF || (v.TransferBufferLength > 0 && buffer == nullptr)) {
            result.reply = hw::UsbReply::Stall;
            status = USBD_STATUS_INVALID_PARAMETER;
        } else {
            result = port->model->Control(setup, buffer);
            if (result.reply == hw::UsbReply::Ack)
                v.TransferBufferLength = static_cast<ULONG>(in ? result.bytes : v.TransferBufferLength);
        }
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (ep->queue.empty() || ep->queue.front() != irp)
            return; // cancelled while the device answered
        if (result.reply == hw::UsbReply::Nak) {
            ep->busy = false;
            ep->waitingForData = true;
            return;
        }
        if (result.reply == hw::UsbReply::NoReply)
            return; // stays on the wire until cancelled or aborted
        ep->queue.pop_front();
        ep->busy = false;
        if (result.reply == hw::UsbReply::Stall) {
            if (status == USBD_STATUS_SUCCESS)
                status = USBD_STATUS_STALL_PID;
            if (ep->descriptor.bEndpointAddress != 0)
                ep->halted = true;
        }
    }
    if (IoSetCancelRoutine(irp, nullptr) != nullptr)
        CompleteUrb(irp, urb, status);
    Pump(port, ep);
}

NTSTATUS UsbBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    UsbPortState* port = PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return CompleteNow(irp, STATUS_UNSUCCESSFUL);
        caps->DeviceD1 = 1;
        caps->DeviceD2 = 1;
        caps->Removable = 1;
        caps->UniqueID = 0;
        caps->WakeFromD2 = 1;
        caps->Address = static_cast<ULONG>(port->number);
        caps->UINumber = static_cast<ULONG>(port->number);
        caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        caps->SystemWake = PowerSystemSleeping3;
        caps->DeviceWake = PowerDeviceD2;
        if (port->capabilities)
            port->capabilities(*caps);
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return Park(PortOf(device), &PortOf(device)->waitWakeIrp, irp);
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS UsbBus::DispatchOther(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
        stack->MajorFunction == IRP_MJ_CLEANUP)
        return CompleteNow(irp, STATUS_SUCCESS);
    if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace host
