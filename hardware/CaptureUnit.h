// The simulated capture unit as the USB bus sees it.
//
// Fault model. Nothing goes wrong unless a test asks for it; every fault is scripted through
// the hooks below, and the script is kept across bus resets and reattachment.
// - Control requests (the vendor requests that reach Control): a FIFO of ControlFault entries,
//   one consumed per request. An entry lets the request through (Pass), stalls it (Stall), gives
//   no answer so the host times out (NoReply), or moves at most `maxBytes` of the data stage
//   (Short: an IN request answers fewer bytes than asked, an OUT request takes only the first
//   bytes). A stalled or unanswered request has no effect on the unit.
// - SET_CONFIGURATION: RefuseConfigurations(n) makes the next n answer Stall.
// - Configuration descriptor: RewriteConfigurationDescriptor(edit) lets a test change what each
//   read reports (grow, shrink or cut it), told which read it is, counted from 1.
// - Bulk endpoints: HaltEndpoint halts one; it answers Stall until the host clears the halt
//   (ClearHalt), a bus reset, a new configuration or reattachment. The unit also halts an
//   endpoint itself when it answers Stall on it (bulk OUT while the loader runs, or a program
//   that stalls).
// - Unplugging: Detached without a preceding reattach of the unit's own is a loss of power.
// What the drivers must survive: stalled and unanswered vendor requests at any point of a load,
// short status and memory reads, a start refused because the image is bad (the transfer
// succeeds; only the status bytes tell), refused configuration, halted pipes that need a reset,
// and a unit that drops off the bus and comes back with another product identifier.
//
// Behaviour.
// - Descriptors: a high-speed USB 2.0 device (bcdUSB 0x0200), 64-byte packets on the default
//   pipe, bulk wMaxPacketSize CV_BULK_PACKET_BYTES (512, the only size high speed allows for
//   bulk). One configuration (value 1, bmAttributes 0xA0: bus powered, remote wakeup; 500 mA),
//   one vendor-specific interface 0 with the endpoints CV_ENDPOINT_COMMAND,
//   CV_ENDPOINT_RESPONSE, CV_ENDPOINT_STREAM in that order. The product identifier is
//   CV_PRODUCT_STARTUP while the loader runs and the model's running identifier once the
//   program runs. CaptureUnitOptions can change these.
// - Vendor requests with more than CV_BOOT_TRANSFER_MAX data bytes, with the wrong
//   bmRequestType, a wValue other than 0, a wIndex other than 0 (except the memory requests),
//   or unknown in the current mode answer Stall.
// - Start-up mode (the loader):
//   CV_VENDOR_BOOT_STATUS  IN, answers min(wLength, 2) bytes: byte 0 the LoaderState, byte 1
//                          the ImageError of the last refused start (0 when none).
//   CV_VENDOR_BOOT_SEND    OUT, writes the block into memory at the send cursor and advances
//                          the cursor (wrapping at 64 KiB). The cursor starts at 0 at power-on
//                          and after each bus reset, so a host can stream an image in blocks.
//   CV_VENDOR_BOOT_WRITE_MEMORY  OUT, writes the block at address wIndex, wrapping at 64 KiB.
//   CV_VENDOR_BOOT_READ_MEMORY   IN, reads wLength bytes from address wIndex, wrapping.
//   CV_VENDOR_BOOT_RUN     OUT, no data: checks the image at address 0 (FirmwareImage.h).
//                          A good image: Ack, state Starting; after startDelayMs the program
//                          starts and the unit calls UsbPort::Reattach(reattachDelayMs) and
//                          from then on reports its running identity. A bad image: Ack all
//                          the same, state Rejected and the error in status byte 1; the
//                          loader stays ready for another load.
//   While Starting, only the status request is answered; the others stall.
//   Bulk: OUT answers Stall (and halts the command endpoint), IN answers Nak.
// - Running mode: CV_VENDOR_RESET (OUT, no data) is counted and handed to the program. Bulk
//   OUT on the command endpoint is recorded (ProgramActivity) and handed to the program, as is
//   bulk IN on the response and stream endpoints. The loader's requests stall.
// - Bulk transfers before SET_CONFIGURATION(1) get no answer.
// - A bus reset deconfigures the unit and clears all halts. It is no power cycle: the mode, the
//   loader memory and status and the running program stay; only the send cursor returns to 0.
// - Power loss (Detached not caused by the unit's own reattach) returns the unit to its
//   power-on state: the mode it was built with, memory all zero, status Empty, a fresh program.
//
// Thread safety: the bus calls the unit one call at a time; the test hooks and observers may
// be called from any thread. All state is guarded by one mutex, and the unit calls the bus
// (Schedule, Reattach, DataReady) only after releasing it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "CvProtocol.h"
#include "FirmwareImage.h"
#include "UnitModel.h"
#include "UnitProgram.h"
#include "UsbDeviceModel.h"

namespace hw {

// Descriptor details and timings; tests change them to present a unit that differs from the
// real one (no remote wakeup, a foreign product identifier, quicker start).
struct CaptureUnitOptions {
    uint16_t vendorId = CV_VENDOR_ID;
    uint16_t startUpProductId = CV_PRODUCT_STARTUP;
    std::optional<uint16_t> runningProductId; // unset: the model's own (RunningProductId)
    uint16_t deviceRelease = 0x0100;          // bcdDevice
    uint8_t configAttributes = 0xA0;          // bus powered, remote wakeup
    uint16_t maxPowerMa = 500;                // reported in 2 mA steps
    int64_t startDelayMs = 10;                // from an accepted run to the program's start
    int64_t reattachDelayMs = 500;            // off the bus before attaching with the new identity
    UnitProgramFactory programFactory;        // unset: IdleProgram
};

// Status byte 0 of the loader.
enum class LoaderState : uint8_t {
    Empty = 0,    // nothing written or sent since power-on
    Loading = 1,  // memory written or data sent
    Starting = 2, // a run was accepted; the unit is about to drop off the bus
    Rejected = 3, // the last run found no good image; status byte 1 says why
};

struct LoaderStatus {
    LoaderState state = LoaderState::Empty;
    ImageError lastError = ImageError::None; // status byte 1
};

// What the host did to the running program since it started.
struct ProgramActivity {
    uint32_t vendorResets = 0;
    uint64_t commandTransfers = 0;                 // bulk OUT transfers on the command endpoint
    std::vector<std::vector<uint8_t>> lastCommands; // the last CommandLogEntries, oldest first
};

enum class ControlFaultKind : uint8_t {
    Pass,    // the request goes through untouched
    Stall,   // answered Stall, no effect
    NoReply, // not answered, no effect
    Short,   // the data stage moves at most maxBytes
};

struct ControlFault {
    ControlFaultKind kind = ControlFaultKind::Pass;
    size_t maxBytes = 0; // Short only
};

class CaptureUnit final : public UsbDeviceModel {
public:
    static constexpr size_t CommandLogEntries = 64;

    explicit CaptureUnit(UnitModel model, UnitMode mode = UnitMode::StartUp,
                         CaptureUnitOptions options = {});
    ~CaptureUnit() override;
    CaptureUnit(const CaptureUnit&) = delete;
    CaptureUnit& operator=(const CaptureUnit&) = delete;

    // UsbDeviceModel.
    void Attached(UsbPort* port) override;
    void Detached() override;
    void BusReset() override;
    UsbSpeed Speed() const override { return UsbSpeed::High; }
    std::vector<uint8_t> DeviceDescriptor() const override;
    std::vector<uint8_t> ConfigurationDescriptor() const override;
    bool SetConfiguration(uint8_t value) override;
    TransferResult Control(const SetupPacket& setup, uint8_t* data) override;
    TransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, size_t length) override;
    TransferResult BulkIn(uint8_t endpointAddress, uint8_t* data, size_t length) override;
    void ClearHalt(uint8_t endpointAddress) override;

    // Observers.
    UnitModel Model() const { return model; }
    UnitMode Mode() const;
    uint8_t ConfigurationValue() const; // 0 while unconfigured
    LoaderStatus Status() const;
    // Loader memory as it stands, from `address` on, wrapping at 64 KiB.
    std::vector<uint8_t> PeekMemory(uint16_t address, size_t length) const;
    // The header of the image the loader last started; unset before the first start and for a
    // unit built in running mode.
    std::optional<FirmwareImageHeader> StartedImage() const;
    ProgramActivity Activity() const;

    // Fault hooks.
    void InjectControlFaults(ControlFault fault, unsigned count = 1);
    void ClearControlFaults();
    void RefuseConfigurations(unsigned count);
    using DescriptorEdit = std::function<void(std::vector<uint8_t>& descriptor, unsigned read)>;
    void RewriteConfigurationDescriptor(DescriptorEdit edit);
    // Returns false for an address that is not one of the unit's bulk endpoints.
    bool HaltEndpoint(uint8_t endpointAddress);
    bool EndpointHalted(uint8_t endpointAddress) const;

private:
    class Section;
    class ProgramHost;

    TransferResult LoaderRequest(const SetupPacket& setup, uint8_t* data);
    TransferResult RunRequest();
    TransferResult ProgramRequest(const SetupPacket& setup);
    void StartProgram(const FirmwareImageHeader& header);
    void EnterRunning();
    void PowerOn();
    void ResetUsbState();
    uint16_t ProductId() const;
    void CopyToMemory(uint16_t address, const uint8_t* data, size_t length);
    // Queues a call into the bus, made once the lock is released (Section).
    void Post(std::function<void(UsbPort&)> call);
    // Wraps scheduled work: dropped when the unit is gone or off the bus, else run locked.
    std::function<void()> Guarded(std::function<void()> work);

    const UnitModel model;
    const UnitMode powerOnMode;
    const CaptureUnitOptions options;
    const std::unique_ptr<ProgramHost> programHost;
    std::shared_ptr<int> alive = std::make_shared<int>(0); // weak references in scheduled work

    mutable std::mutex mutex; // guards everything below
    UsbPort* port = nullptr;
    uint64_t attachment = 0;   // counts Detached calls; work of an earlier attachment is dropped
    bool reattaching = false;  // the unit asked the bus to reattach it
    std::vector<std::function<void()>> outbox; // bus calls waiting for the lock's release

    UnitMode mode;
    uint8_t configuration = 0;
    std::array<bool, 3> halted{}; // by endpoint, in descriptor order
    std::deque<ControlFault> controlFaults;
    unsigned refusedConfigurations = 0;
    DescriptorEdit configurationEdit;
    mutable unsigned configurationReads = 0;

    std::vector<uint8_t> memory; // CV_BOOT_MEMORY_BYTES of loader memory
    uint16_t sendCursor = 0;
    LoaderStatus status;
    std::optional<FirmwareImageHeader> startedImage;

    std::unique_ptr<UnitProgram> program; // set in running mode
    ProgramActivity activity;
    std::deque<std::vector<uint8_t>> commandLog;
};

} // namespace hw
