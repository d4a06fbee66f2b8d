// The seam between the simulated unit and the operating program it runs.
//
// The capture unit (CaptureUnit.h) is the USB device: descriptors, the start-up loader,
// configuration, halts and injected faults. Once the loader has started a program, everything
// the unit does on its bulk endpoints and with the running-mode reset request is the program's:
// the command interpreter and the stream source implement UnitProgram. Until they exist the unit
// runs IdleProgram.
//
// The unit calls its program with the unit's lock held, one call at a time. A program never calls
// the bus itself; it goes through UnitProgramHost, whose calls into the bus are made after the
// unit's current call has returned and its lock is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "UnitModel.h"
#include "UsbDeviceModel.h"

namespace hw {

// What the unit offers the program running on it.
class UnitProgramHost {
public:
    // The bus clock, in 100-ns units.
    virtual int64_t Now() const = 0;
    // Runs `work` on the controller context after `delay` (100-ns units) with the unit's lock
    // held. Work still due when the unit drops off the bus is dropped.
    virtual void Schedule(int64_t delay, std::function<void()> work) = 0;
    // Tells the bus that a bulk IN endpoint which answered Nak has data now.
    virtual void DataReady(uint8_t endpointAddress) = 0;

protected:
    ~UnitProgramHost() = default;
};

class UnitProgram {
public:
    virtual ~UnitProgram() = default;
    // A bulk OUT transfer on the command endpoint (CV_ENDPOINT_COMMAND).
    virtual TransferResult CommandOut(const uint8_t* data, size_t length) = 0;
    // Bulk IN on the response endpoint (CV_ENDPOINT_RESPONSE) and the stream endpoint
    // (CV_ENDPOINT_STREAM). A program answers Nak when it has nothing to send and calls
    // UnitProgramHost::DataReady once it has. Answering Stall halts the endpoint.
    virtual TransferResult ResponseIn(uint8_t* data, size_t length) = 0;
    virtual TransferResult StreamIn(uint8_t* data, size_t length) = 0;
    // The running-mode vendor request CV_VENDOR_RESET.
    virtual void VendorReset() = 0;
};

// Makes the program the loader starts (and the one a unit built in running mode starts with).
// The host outlives the program.
using UnitProgramFactory =
    std::function<std::unique_ptr<UnitProgram>(UnitModel model, UnitProgramHost& host)>;

// Takes every command and never has anything to send.
class IdleProgram final : public UnitProgram {
public:
    TransferResult CommandOut(const uint8_t*, size_t length) override
    {
        return {UsbReply::Ack, length};
    }
    TransferResult ResponseIn(uint8_t*, size_t) override { return {UsbReply::Nak, 0}; }
    TransferResult StreamIn(uint8_t*, size_t) override { return {UsbReply::Nak, 0}; }
    void VendorReset() override {}
};

} // namespace hw
