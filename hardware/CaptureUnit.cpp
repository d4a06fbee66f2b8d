// The simulated capture unit. Fault model and behaviour: CaptureUnit.h.
#include "CaptureUnit.h"

#include <algorithm>
#include <utility>

#include "ByteOrder.h"

namespace hw {
namespace {

constexpr int64_t TicksPerMs = 10'000; // the bus clock counts 100-ns units

constexpr uint8_t DescriptorTypeDevice = 1;
constexpr uint8_t DescriptorTypeConfiguration = 2;
constexpr uint8_t DescriptorTypeInterface = 4;
constexpr uint8_t DescriptorTypeEndpoint = 5;
constexpr uint8_t DeviceDescriptorBytes = 18;
constexpr uint8_t ConfigurationDescriptorBytes = 9;
constexpr uint8_t InterfaceDescriptorBytes = 9;
constexpr uint8_t EndpointDescriptorBytes = 7;
constexpr uint8_t ClassVendorSpecific = 0xFF;
constexpr uint8_t EndpointBulk = 0x02;
constexpr uint8_t ControlPacketBytes = 64; // bMaxPacketSize0 of a high-speed device
constexpr uint8_t UnitConfigurationValue = 1;

constexpr std::array<uint8_t, 3> BulkEndpoints = {CV_ENDPOINT_COMMAND, CV_ENDPOINT_RESPONSE,
                                                  CV_ENDPOINT_STREAM};

int EndpointIndex(uint8_t endpointAddress)
{
    auto found = std::find(BulkEndpoints.begin(), BulkEndpoints.end(), endpointAddress);
    return found == BulkEndpoints.end() ? -1 : static_cast<int>(found - BulkEndpoints.begin());
}

constexpr TransferResult Stalled{UsbReply::Stall, 0};
constexpr TransferResult Unanswered{UsbReply::NoReply, 0};

TransferResult Acked(size_t bytes)
{
    return {UsbReply::Ack, bytes};
}

// A vendor request to the device in the given direction with wValue 0; `addressed` requests
// carry a memory address in wIndex, the others 0.
bool IsVendorRequest(const SetupPacket& setup, bool in, bool addressed)
{
    uint8_t type = in ? CV_VENDOR_REQUEST_TYPE_IN : CV_VENDOR_REQUEST_TYPE_OUT;
    return setup.bmRequestType == type && setup.wValue == 0 && (addressed || setup.wIndex == 0);
}

} // namespace

// Holds the unit's lock; on leaving, releases it and then makes the bus calls queued meanwhile.
class CaptureUnit::Section {
public:
    explicit Section(CaptureUnit& unit) : unit(unit), lock(unit.mutex) {}
    ~Section()
    {
        std::vector<std::function<void()>> calls;
        calls.swap(unit.outbox);
        lock.unlock();
        for (auto& call : calls) {
            call();
        }
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

private:
    CaptureUnit& unit;
    std::unique_lock<std::mutex> lock;
};

// The unit's services to its program. Every call arrives with the unit's lock held.
class CaptureUnit::ProgramHost final : public UnitProgramHost {
public:
    explicit ProgramHost(CaptureUnit& unit) : unit(unit) {}
    int64_t Now() const override { return unit.port ? unit.port->Now() : 0; }
    void Schedule(int64_t delay, std::function<void()> work) override
    {
        auto guarded = unit.Guarded(std::move(work));
        unit.Post([delay, guarded](UsbPort& port) { port.Schedule(delay, guarded); });
    }
    void DataReady(uint8_t endpointAddress) override
    {
        unit.Post([endpointAddress](UsbPort& port) { port.DataReady(endpointAddress); });
    }

private:
    CaptureUnit& unit;
};

CaptureUnit::CaptureUnit(UnitModel model, UnitMode mode, CaptureUnitOptions options)
    : model(model), powerOnMode(mode), options(std::move(options)),
      programHost(std::make_unique<ProgramHost>(*this)), mode(mode)
{
    PowerOn();
}

CaptureUnit::~CaptureUnit() = default;

void CaptureUnit::PowerOn()
{
    mode = powerOnMode;
    memory.assign(CV_BOOT_MEMORY_BYTES, 0);
    sendCursor = 0;
    status = {};
    startedImage.reset();
    program.reset();
    ResetUsbState();
    if (mode == UnitMode::Running) {
        EnterRunning();
    }
}

void CaptureUnit::ResetUsbState()
{
    configuration = 0;
    halted.fill(false);
}

void CaptureUnit::EnterRunning()
{
    mode = UnitMode::Running;
    activity = {};
    commandLog.clear();
    program = options.programFactory ? options.programFactory(model, *programHost)
                                     : std::make_unique<IdleProgram>();
}

void CaptureUnit::Post(std::function<void(UsbPort&)> call)
{
    if (port) {
        outbox.push_back([target = port, call = std::move(call)] { call(*target); });
    }
}

std::function<void()> CaptureUnit::Guarded(std::function<void()> work)
{
    return [this, token = std::weak_ptr<int>(alive), due = attachment, work = std::move(work)] {
        auto keep = token.lock();
        if (!keep) {
            return;
        }
        Section section(*this);
        if (due == attachment && port) {
            work();
        }
    };
}

void CaptureUnit::Attached(UsbPort* newPort)
{
    Section section(*this);
    port = newPort;
    ResetUsbState();
}

void CaptureUnit::Detached()
{
    Section section(*this);
    port = nullptr;
    ++attachment;
    outbox.clear();
    if (!reattaching) {
        PowerOn();
    }
    reattaching = false;
}

void CaptureUnit::BusReset()
{
    Section section(*this);
    ResetUsbState();
    sendCursor = 0;
}

uint16_t CaptureUnit::ProductId() const
{
    if (mode == UnitMode::StartUp) {
        return options.startUpProductId;
    }
    return options.runningProductId.value_or(RunningProductId(model));
}

std::vector<uint8_t> CaptureUnit::DeviceDescriptor() const
{
    std::lock_guard lock(mutex);
    std::vector<uint8_t> out = {DeviceDescriptorBytes, DescriptorTypeDevice};
    AppendLe16(out, 0x0200); // bcdUSB
    out.insert(out.end(), {ClassVendorSpecific, 0, 0, ControlPacketBytes});
    AppendLe16(out, options.vendorId);
    AppendLe16(out, ProductId());
    AppendLe16(out, options.deviceRelease);
    out.insert(out.end(), {0, 0, 0, 1}); // no strings, one configuration
    return out;
}

std::vector<uint8_t> CaptureUnit::ConfigurationDescriptor() const
{
    constexpr uint16_t totalBytes = ConfigurationDescriptorBytes + InterfaceDescriptorBytes +
                                    BulkEndpoints.size() * EndpointDescriptorBytes;
    std::lock_guard lock(mutex);
    std::vector<uint8_t> out = {ConfigurationDescriptorBytes, DescriptorTypeConfiguration};
    AppendLe16(out, totalBytes);
    out.insert(out.end(), {1, UnitConfigurationValue, 0, options.configAttributes,
                           static_cast<uint8_t>(std::min(options.maxPowerMa / 2, 255))});
    out.insert(out.end(), {InterfaceDescriptorBytes, DescriptorTypeInterface, 0, 0,
                           static_cast<uint8_t>(BulkEndpoints.size()), ClassVendorSpecific, 0,
                           0, 0});
    for (uint8_t endpoint : BulkEndpoints) {
        out.insert(out.end(), {EndpointDescriptorBytes, DescriptorTypeEndpoint, endpoint,
                               EndpointBulk});
        AppendLe16(out, CV_BULK_PACKET_BYTES);
        out.push_back(0); // bInterval
    }
    if (configurationEdit)
        configurationEdit(out, ++configurationReads);
    return out;
}

bool CaptureUnit::SetConfiguration(uint8_t value)
{
    Section section(*this);
    if (refusedConfigurations > 0) {
        --refusedConfigurations;
        return false;
    }
    if (value != 0 && value != UnitConfigurationValue) {
        return false;
    }
    configuration = value;
    halted.fill(false);
    return true;
}

TransferResult CaptureUnit::Control(const SetupPacket& setup, uint8_t* data)
{
    Section section(*this);
    ControlFault fault;
    if (!controlFaults.empty()) {
        fault = controlFaults.front();
        controlFaults.pop_front();
    }
    if (fault.kind == ControlFaultKind::Stall) {
        return Stalled;
    }
    if (fault.kind == ControlFaultKind::NoReply) {
        return Unanswered;
    }
    if (setup.wLength > CV_BOOT_TRANSFER_MAX) {
        return Stalled;
    }
    SetupPacket effective = setup;
    if (fault.kind == ControlFaultKind::Short) {
        effective.wLength = static_cast<uint16_t>(std::min<size_t>(setup.wLength, fault.maxBytes));
    }
    return mode == UnitMode::StartUp ? LoaderRequest(effective, data) : ProgramRequest(effective);
}

TransferResult CaptureUnit::LoaderRequest(const SetupPacket& setup, uint8_t* data)
{
    size_t length = setup.wLength;
    if (status.state == LoaderState::Starting && setup.bRequest != CV_VENDOR_BOOT_STATUS) {
        return Stalled;
    }
    switch (setup.bRequest) {
    case CV_VENDOR_BOOT_STATUS: {
        if (!IsVendorRequest(setup, true, false)) {
            return Stalled;
        }
        const uint8_t bytes[2] = {static_cast<uint8_t>(status.state),
                                  static_cast<uint8_t>(status.lastError)};
        length = std::min(length, sizeof bytes);
        std::copy_n(bytes, length, data);
        return Acked(length);
    }
    case CV_VENDOR_BOOT_SEND:
        if (!IsVendorRequest(setup, false, false)) {
            return Stalled;
        }
        CopyToMemory(sendCursor, data, length);
        sendCursor = static_cast<uint16_t>(sendCursor + length);
        return Acked(length);
    case CV_VENDOR_BOOT_WRITE_MEMORY:
        if (!IsVendorRequest(setup, false, true)) {
            return Stalled;
        }
        CopyToMemory(setup.wIndex, data, length);
        return Acked(length);
    case CV_VENDOR_BOOT_READ_MEMORY:
        if (!IsVendorRequest(setup, true, true)) {
            return Stalled;
        }
        for (size_t i = 0; i < length; ++i) {
            data[i] = memory[(setup.wIndex + i) % CV_BOOT_MEMORY_BYTES];
        }
        return Acked(length);
    case CV_VENDOR_BOOT_RUN:
        if (!IsVendorRequest(setup, false, false) || length != 0) {
            return Stalled;
        }
        return RunRequest();
    default:
        return Stalled;
    }
}

void CaptureUnit::CopyToMemory(uint16_t address, const uint8_t* data, size_t length)
{
    if (length == 0) {
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        memory[(address + i) % CV_BOOT_MEMORY_BYTES] = data[i];
    }
    if (status.state == LoaderState::Empty) {
        status.state = LoaderState::Loading;
    }
}

// The loader checks the image before it answers, so a refusal is in the status bytes by the
// time the host asks; the start itself happens later, off the request.
TransferResult CaptureUnit::RunRequest()
{
    ImageCheck check = ParseFirmwareImage(memory, model);
    if (!check.Ok()) {
        status = {LoaderState::Rejected, check.error};
        return Acked(0);
    }
    status = {LoaderState::Starting, ImageError::None};
    auto start = Guarded([this, header = check.header] { StartProgram(header); });
    int64_t delay = options.startDelayMs * TicksPerMs;
    Post([delay, start](UsbPort& bus) { bus.Schedule(delay, start); });
    return Acked(0);
}

void CaptureUnit::StartProgram(const FirmwareImageHeader& header)
{
    startedImage = header;
    EnterRunning();
    reattaching = true;
    int64_t delay = options.reattachDelayMs * TicksPerMs;
    Post([delay](UsbPort& bus) { bus.Reattach(delay); });
}

TransferResult CaptureUnit::ProgramRequest(const SetupPacket& setup)
{
    if (setup.bRequest != CV_VENDOR_RESET || !IsVendorRequest(setup, false, false) ||
        setup.wLength != 0) {
        return Stalled;
    }
    ++activity.vendorResets;
    program->VendorReset();
    return Acked(0);
}

TransferResult CaptureUnit::BulkOut(uint8_t endpointAddress, const uint8_t* data, size_t length)
{
    Section section(*this);
    if (configuration == 0) {
        return Unanswered;
    }
    int index = EndpointIndex(endpointAddress);
    if (endpointAddress != CV_ENDPOINT_COMMAND || halted[index]) {
        return Stalled;
    }
    if (mode == UnitMode::StartUp) {
        halted[index] = true;
        return Stalled;
    }
    ++activity.commandTransfers;
    commandLog.emplace_back(data, data + length);
    if (commandLog.size() > CommandLogEntries) {
        commandLog.pop_front();
    }
    TransferResult result = program->CommandOut(data, length);
    result.bytes = std::min(result.bytes, length);
    if (result.reply == UsbReply::Stall) {
        halted[index] = true;
    }
    return result;
}

TransferResult CaptureUnit::BulkIn(uint8_t endpointAddress, uint8_t* data, size_t length)
{
    Section section(*this);
    if (configuration == 0) {
        return Unanswered;
    }
    int index = EndpointIndex(endpointAddress);
    if (index < 0 || endpointAddress == CV_ENDPOINT_COMMAND || halted[index]) {
        return Stalled;
    }
    if (mode == UnitMode::StartUp) {
        return {UsbReply::Nak, 0};
    }
    TransferResult result = endpointAddress == CV_ENDPOINT_RESPONSE
                                ? program->ResponseIn(data, length)
                                : program->StreamIn(data, length);
    result.bytes = std::min(result.bytes, length);
    if (result.reply == UsbReply::Stall) {
        halted[index] = true;
    }
    return result;
}

void CaptureUnit::ClearHalt(uint8_t endpointAddress)
{
    Section section(*this);
    int index = EndpointIndex(endpointAddress);
    if (index >= 0) {
        halted[index] = false;
    }
}

UnitMode CaptureUnit::Mode() const
{
    std::lock_guard lock(mutex);
    return mode;
}

uint8_t CaptureUnit::ConfigurationValue() const
{
    std::lock_guard lock(mutex);
    return configuration;
}

LoaderStatus CaptureUnit::Status() const
{
    std::lock_guard lock(mutex);
    return status;
}

std::vector<uint8_t> CaptureUnit::PeekMemory(uint16_t address, size_t length) const
{
    std::lock_guard lock(mutex);
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = memory[(address + i) % CV_BOOT_MEMORY_BYTES];
    }
    return out;
}

std::optional<FirmwareImageHeader> CaptureUnit::StartedImage() const
{
    std::lock_guard lock(mutex);
    return startedImage;
}

ProgramActivity CaptureUnit::Activity() const
{
    std::lock_guard lock(mutex);
    ProgramActivity out = activity;
    out.lastCommands.assign(commandLog.begin(), commandLog.end());
    return out;
}

void CaptureUnit::InjectControlFaults(ControlFault fault, unsigned count)
{
    Section section(*this);
    controlFaults.insert(controlFaults.end(), count, fault);
}

void CaptureUnit::ClearControlFaults()
{
    Section section(*this);
    controlFaults.clear();
}

void CaptureUnit::RefuseConfigurations(unsigned count)
{
    Section section(*this);
    refusedConfigurations = count;
}

void CaptureUnit::RewriteConfigurationDescriptor(DescriptorEdit edit)
{
    Section section(*this);
    configurationEdit = std::move(edit);
    configurationReads = 0;
}

bool CaptureUnit::HaltEndpoint(uint8_t endpointAddress)
{
    Section section(*this);
    int index = EndpointIndex(endpointAddress);
    if (index < 0) {
        return false;
    }
    halted[index] = true;
    return true;
}

bool CaptureUnit::EndpointHalted(uint8_t endpointAddress) const
{
    std::lock_guard lock(mutex);
    int index = EndpointIndex(endpointAddress);
    return index >= 0 && halted[index];
}

} // namespace hw
