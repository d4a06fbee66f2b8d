// The USB host controller, its root hub and the physical device objects of the devices
// plugged into it.
//
// Each port holds one device model. The port's physical device object serves the internal
// USB requests function drivers send: URBs (descriptors, configuration selection, bulk and
// interrupt transfers, vendor requests, abort pipe, reset pipe), port status and port reset.
// Every URB completes asynchronously from the controller context at DISPATCH_LEVEL, after its
// time on the wire, with the USBD status a real stack gives. A stalled endpoint stays halted
// (later transfers fail with USBD_STATUS_ENDPOINT_HALTED) until a reset pipe; an abort
// completes every pending transfer of the pipe as cancelled; a device that is gone fails what
// it held and every later request with USBD_STATUS_DEVICE_GONE (STATUS_DEVICE_NOT_CONNECTED).
// The pipe decides a bulk or interrupt transfer's direction: the bus sets the URB's
// USBD_TRANSFER_DIRECTION_IN flag from the endpoint address, as the platform's port driver does.
//
// Bandwidth model. The controller is a high-speed (480 Mbit/s) one; a device runs at the speed
// its model reports. The wire is shared: one transfer moves at a time, in the order they start,
// and each takes whole (micro)frames. A high-speed microframe (125 us) holds 7,500 byte times,
// and each packet costs its payload plus 64 byte times of token, handshake and gaps, so at most
// 13 bulk packets of 512 bytes fit: 6,656 bytes per microframe, about 53 MB/s. A full-speed
// frame (1 ms) holds 1,500 byte times at 13 per packet: 19 packets of 64 bytes. An interrupt
// pipe moves one packet per service interval; a control transfer adds a (micro)frame each for
// its setup and status stages.
//
// Fault model: a test can make the next URBs fail with a chosen USBD status, delay every
// transfer, clear a port's enabled bit (so port status reads connected, not enabled), or pull
// the device out at any moment (pending transfers complete with USBD_STATUS_DEVICE_GONE and the
// PnP manager sees a surprise removal).
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "UsbDeviceModel.h"

namespace host {

class Machine;
struct Devnode;
class UsbBus;

struct UsbEndpoint {
    USB_ENDPOINT_DESCRIPTOR descriptor{};
    bool halted = false;                 // the host side of a stalled pipe
    std::deque<PIRP> queue;              // transfers waiting or in progress, in order
    bool busy = false;                   // the head transfer is on the wire
    bool waitingForData = false;         // the device answered Nak
};

struct UsbPortState : hw::UsbPort {
    UsbBus* bus = nullptr;
    int number = 0;
    std::shared_ptr<hw::UsbDeviceModel> model;
    PDEVICE_OBJECT pdo = nullptr;
    Devnode* node = nullptr;
    bool connected = false;
    bool enabled = false;
    hw::UsbSpeed speed = hw::UsbSpeed::High;
    uint8_t configuration = 0;
    std::vector<std::unique_ptr<UsbEndpoint>> endpoints; // the default pipe first
    // Pipes of earlier configurations and attachments. A cancel routine or a scheduled step of
    // the controller may still hold one, so they live as long as the port.
    std::vector<std::unique_ptr<UsbEndpoint>> retired;
    std::atomic<int> generation{0}; // attachment count; work scheduled for an older one is dropped
    PIRP waitWakeIrp = nullptr; // a pending wait-wake request
    PIRP idleIrp = nullptr;     // a pending idle notification
    uint64_t idleCallbacks = 0;
    // When set, what port status requests answer instead of the port's real state.
    std::optional<ULONG> portStatusOverride;
    // Lets a test change what the port reports as the device's capabilities.
    std::function<void(DEVICE_CAPABILITIES&)> capabilities;

    int64_t Now() const override;
    void Schedule(int64_t delay, std::function<void()> work) override;
    void DataReady(uint8_t endpointAddress) override;
    void Reattach(int64_t delay) override;
};

class UsbBus {
public:
    explicit UsbBus(Machine& machine);
    ~UsbBus();

    // Plugs a device into a free port and reports it to the PnP manager; returns the port.
    int Plug(std::shared_ptr<hw::UsbDeviceModel> model);
    // Pulls the device out of its port (a surprise removal for its driver).
    void Unplug(int port);
    UsbPortState* Port(int port);
    std::vector<int> Ports();

    // Faults.
    void FailNextUrbs(int count, USBD_STATUS status);
    void SetTransferDelay(int64_t hundredNanoseconds) { extraDelay_ = hundredNanoseconds; }
    // Time on the wire of a transfer of `bytes` on an endpoint at a speed (100-ns units).
    static int64_t WireTime(hw::UsbSpeed speed, const USB_ENDPOINT_DESCRIPTOR& endpoint,
                            size_t bytes);
    void SetPortEnabled(int port, bool enabled);
    // Counters a test can read.
    uint64_t AbortsSeen() const { return abortsSeen_; }
    uint64_t PortResets() const { return portResets_; }

    // Dispatch of the hub's physical device objects (host code standing in for the hub driver).
    NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);

private:
    friend struct UsbPortState;
    NTSTATUS SubmitUrb(UsbPortState* port, PIRP irp, PURB urb);
    void Connect(UsbPortState* port);
    void Disconnect(UsbPortState* port, bool reattach);
    static NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS status);
    void Later(UsbPortState* port, int64_t delay, std::function<void()> work);
    void ControlTransfer(UsbPortState* port, PIRP irp, PURB urb);
    void SelectConfiguration(UsbPortState* port, PIRP irp, PURB urb);
    void QueueBulk(UsbPortState* port, UsbEndpoint* ep, PIRP irp);
    void Pump(UsbPortState* port, UsbEndpoint* ep);
    void AbortEndpoint(UsbPortState* port, UsbEndpoint* ep, USBD_STATUS status);
    UsbEndpoint* EndpointOf(UsbPortState* port, USBD_PIPE_HANDLE handle);
    static void CancelQueued(PDEVICE_OBJECT device, PIRP irp);
    static void CancelParked(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Park(UsbPortState* port, PIRP* slot, PIRP irp);
    NTSTATUS SubmitIdleNotification(UsbPortState* port, PIRP irp);

    Machine& machine_;
    // Guards the ports and their endpoints. Never held while calling out of the bus: not into a
    // device model, not to complete a request, not into the I/O or PnP manager (a completion
    // routine may call the bus again, and a bug check must not leave the lock behind).
    std::mutex mutex_;
    PDRIVER_OBJECT hubDriver_ = nullptr;
    std::vector<std::unique_ptr<UsbPortState>> ports_;
    int failCount_ = 0;
    USBD_STATUS failStatus_ = USBD_STATUS_SUCCESS;
    std::atomic<int64_t> extraDelay_{0};
    int64_t wireFreeAt_ = 0; // when the transfer on the wire ends
    uint64_t abortsSeen_ = 0;
    uint64_t portResets_ = 0;
    unsigned nextInstance_ = 1;
};

NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

} // namespace host
