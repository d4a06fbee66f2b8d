// The contract between the host platform's USB bus and a simulated USB device.
//
// The bus owns timing and completion: it calls the model from its controller context, one call
// at a time per device, never while the model is calling back into the bus. A model answers each
// call at once; a bulk IN endpoint with nothing to send answers Nak and later tells the bus
// through DataReady that it may try again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace hw {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// What the device answered on the wire.
enum class UsbReply {
    Ack,     // transfer done; `bytes` says how much moved
    Nak,     // bulk IN only: nothing to send now, retry after DataReady
    Stall,   // the endpoint answered STALL (it is halted until the host resets it)
    NoReply, // the device did not answer at all (the host times out)
};

struct TransferResult {
    UsbReply reply = UsbReply::Ack;
    size_t bytes = 0;
};

// The signalling rate the device settles on when the port is reset: a high-speed device
// answers the hub's chirp and runs at 480 Mbit/s, any other at 12 Mbit/s.
enum class UsbSpeed { Full, High };

// Services the bus offers a device. Times are in 100-ns units of the platform's clock.
class UsbPort {
public:
    virtual ~UsbPort() = default;
    virtual int64_t Now() const = 0;
    // Run `work` on the controller context after `delay` (never synchronously).
    virtual void Schedule(int64_t delay, std::function<void()> work) = 0;
    // A bulk IN endpoint that answered Nak now has data.
    virtual void DataReady(uint8_t endpointAddress) = 0;
    // The device drops off the bus; after `delay` it attaches again, with whatever descriptors
    // it then reports (a loader that starts its program comes back with a new identity).
    virtual void Reattach(int64_t delay) = 0;
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    // Called by the bus when the device is plugged in; the port stays valid until Detached.
    virtual void Attached(UsbPort* port) = 0;
    virtual void Detached() = 0;
    // Bus reset (port reset): the device returns to its default state, endpoints un-halted.
    virtual void BusReset() = 0;

    // The speed the device runs at on a high-speed port.
    virtual UsbSpeed Speed() const { return UsbSpeed::High; }

    // Standard descriptors as the device reports them now.
    virtual std::vector<uint8_t> DeviceDescriptor() const = 0;        // 18 bytes
    virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0; // wTotalLength bytes
    // SET_CONFIGURATION: 0 deconfigures. Returns false to stall.
    virtual bool SetConfiguration(uint8_t value) = 0;

    // A control transfer on the default pipe other than the standard requests above. For IN
    // requests the device writes at most setup.wLength bytes into `data`; for OUT requests
    // `data` holds setup.wLength bytes.
    virtual TransferResult Control(const SetupPacket& setup, uint8_t* data) = 0;

    // Bulk and interrupt transfers (the bus moves both the same way; only their timing differs).
    // `length` is the host's buffer size; for IN the device writes at most that.
    virtual TransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, size_t length) = 0;
    virtual TransferResult BulkIn(uint8_t endpointAddress, uint8_t* data, size_t length) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) from the host's reset-pipe.
    virtual void ClearHalt(uint8_t endpointAddress) = 0;
};

} // namespace hw
