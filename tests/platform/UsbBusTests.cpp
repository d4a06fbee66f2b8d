// The USB bus as a function driver sees it: URBs sent to a device's physical device object, with
// a small device model of the test's own behind the port so that what is tested is the bus.
#include <gtest/gtest.h>

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "CaptureUnit.h"
#include "UsbDeviceModel.h"
#include "host/Machine.h"
#include "pnp/PnpManager.h"
#include "usb/UsbBus.h"
#include "verifier/Verifier.h"

namespace {

constexpr uint8_t kBulkOut = 0x01;
constexpr uint8_t kBulkIn = 0x81;     // answers what the test queued, Nak while empty
constexpr uint8_t kStreamIn = 0x82;   // a source that always fills the whole buffer
constexpr uint8_t kInterruptOut = 0x03;
constexpr uint8_t kInterruptIn = 0x83; // answers a 4-byte status
constexpr uint8_t kVendorRead = 0x01;  // IN: wLength bytes counting up from wValue
constexpr uint8_t kVendorWrite = 0x02; // OUT: the device keeps the data
constexpr uint8_t kVendorStall = 0x03; // stalls
constexpr size_t kUnitBytes = 65535;   // the capture unit's largest unit, sent once a frame
constexpr int64_t kFramePeriod = 333667; // 1001/30000 s in 100-ns units
constexpr int64_t kMicroframe = 1250;

struct EndpointSpec {
    uint8_t address;
    uint8_t attributes;
    uint16_t maxPacket;
    uint8_t interval;
};
constexpr EndpointSpec kEndpoints[] = {
    {kBulkOut, USB_ENDPOINT_TYPE_BULK, 512, 0},
    {kBulkIn, USB_ENDPOINT_TYPE_BULK, 512, 0},
    {kStreamIn, USB_ENDPOINT_TYPE_BULK, 512, 0},
    {kInterruptOut, USB_ENDPOINT_TYPE_INTERRUPT, 64, 4},
    {kInterruptIn, USB_ENDPOINT_TYPE_INTERRUPT, 64, 4},
};
constexpr USHORT kBulkUrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
constexpr size_t kPipes = sizeof kEndpoints / sizeof kEndpoints[0];

// A high-speed device with a bulk and an interrupt pipe each way and a bulk stream source.
// The test scripts it: stall a pipe, keep a pipe silent, queue data for the bulk IN pipe.
class BenchDevice final : public hw::UsbDeviceModel {
public:
    void Attached(hw::UsbPort* port) override
    {
        std::lock_guard lk(mutex);
        this->port = port;
    }
    void Detached() override
    {
        std::lock_guard lk(mutex);
        port = nullptr;
    }
    void BusReset() override {}

    std::vector<uint8_t> DeviceDescriptor() const override
    {
        return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0, 0, 64, 0x09, 0x12, 0x01, 0x00,
                0x00, 0x01, 0, 0, 0, 1};
    }
    std::vector<uint8_t> ConfigurationDescriptor() const override
    {
        uint16_t total = 9 + 9 + 7 * kPipes;
        std::vector<uint8_t> out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                    static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                                    1, 1, 0, 0x80, 50};
        out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, kPipes, 0xFF, 0, 0, 0});
        for (const auto& e : kEndpoints) {
            out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes,
                                   static_cast<uint8_t>(e.maxPacket),
                                   static_cast<uint8_t>(e.maxPacket >> 8), e.interval});
        }
        return out;
    }
    bool SetConfiguration(uint8_t) override { return true; }

    hw::TransferResult Control(const hw::SetupPacket& setup, uint8_t* data) override
    {
        std::lock_guard lk(mutex);
        switch (setup.bRequest) {
        case kVendorRead:
            for (size_t i = 0; i < setup.wLength; ++i)
                data[i] = static_cast<uint8_t>(setup.wValue + i);
            return {hw::UsbReply::Ack, setup.wLength};
        case kVendorWrite:
            received[0].assign(data, data + setup.wLength);
            return {hw::UsbReply::Ack, setup.wLength};
        default:
            return {hw::UsbReply::Stall, 0};
        }
    }

    hw::TransferResult BulkOut(uint8_t address, const uint8_t* data, size_t length) override
    {
        std::lock_guard lk(mutex);
        ++calls[address];
        if (auto fault = Fault(address))
            return *fault;
        received[address].assign(data, data + length);
        return {hw::UsbReply::Ack, length};
    }

    hw::TransferResult BulkIn(uint8_t address, uint8_t* data, size_t length) override
    {
        std::lock_guard lk(mutex);
        ++calls[address];
        if (auto fault = Fault(address))
            return *fault;
        if (address == kStreamIn) {
            std::fill(data, data + length, 0x5A);
            return {hw::UsbReply::Ack, length};
        }
        if (address == kInterruptIn) {
            static const uint8_t status[] = {0xC0, 0x01, 0x02, 0x03};
            size_t n = std::min(length, sizeof status);
            std::copy_n(status, n, data);
            return {hw::UsbReply::Ack, n};
        }
        if (pending.empty())
            return {hw::UsbReply::Nak, 0};
        size_t n = std::min(length, pending.size());
        std::copy_n(pending.begin(), n, data);
        pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(n));
        return {hw::UsbReply::Ack, n};
    }

    void ClearHalt(uint8_t address) override
    {
        std::lock_guard lk(mutex);
        ++clearHalts[address];
        stalled[address] = false;
    }

    // Test side.
    void Queue(std::vector<uint8_t> bytes)
    {
        hw::UsbPort* p;
        {
            std::lock_guard lk(mutex);
            pending.insert(pending.end(), bytes.begin(), bytes.end());
            p = port;
        }
        if (p != nullptr)
            p->DataReady(kBulkIn);
    }
    void Stall(uint8_t address, bool on)
    {
        std::lock_guard lk(mutex);
        stalled[address] = on;
    }
    void Silence(uint8_t address)
    {
        std::lock_guard lk(mutex);
        silent[address] = true;
    }
    int Calls(uint8_t address)
    {
        std::lock_guard lk(mutex);
        return calls[address];
    }
    int ClearHalts(uint8_t address)
    {
        std::lock_guard lk(mutex);
        return clearHalts[address];
    }
    std::vector<uint8_t> Received(uint8_t address)
    {
        std::lock_guard lk(mutex);
        return received[address];
    }

private:
    std::optional<hw::TransferResult> Fault(uint8_t address)
    {
        if (stalled[address])
            return hw::TransferResult{hw::UsbReply::Stall, 0};
        if (silent[address])
            return hw::TransferResult{hw::UsbReply::NoReply, 0};
        return std::nullopt;
    }

    std::mutex mutex;
    hw::UsbPort* port = nullptr;
    std::vector<uint8_t> pending;
    std::map<uint8_t, bool> stalled;
    std::map<uint8_t, bool> silent;
    std::map<uint8_t, int> calls;
    std::map<uint8_t, int> clearHalts;
    std::map<uint8_t, std::vector<uint8_t>> received; // by endpoint; 0 for the default pipe
};

// One URB on its way: the request is the test's own and completes back to it.
struct Transfer {
    PIRP irp = nullptr;
    URB urb{};
    std::vector<uint8_t> buffer;
    KEVENT done;
    NTSTATUS dispatched = STATUS_SUCCESS; // what IoCallDriver returned
    NTSTATUS status = STATUS_PENDING;     // the request's final status
    KIRQL irql = 0xFF;                    // IRQL of the completion
    PKTHREAD thread = nullptr;            // thread of the completion
    int64_t submitted = 0;
    int64_t completed = 0;
    std::function<void(Transfer&)> then; // runs in the completion routine

    Transfer() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    ~Transfer()
    {
        // After a crash the request may still be on its way; the machine's teardown reports it.
        if (irp != nullptr && !host::M().Sched().Crashed())
            IoFreeIrp(irp);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    int64_t Took() const { return completed - submitted; }
    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
    ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* t = static_cast<Transfer*>(context);
    t->irql = KeGetCurrentIrql();
    t->thread = KeGetCurrentThread();
    t->completed = static_cast<int64_t>(KeQueryInterruptTime());
    t->status = irp->IoStatus.Status;
    if (t->then)
        t->then(*t);
    KeSetEvent(&t->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

int g_idleCallbacks = 0;
void NTAPI CountIdleCallback(PVOID) { ++g_idleCallbacks; }

class UsbBusTest : public ::testing::Test {
protected:
    void SetUp() override { Boot({}); }

    void Boot(host::MachineOptions options)
    {
        machine_ = std::make_unique<host::Machine>(options);
        owner_ = KeGetCurrentThread();
        device_ = std::make_shared<BenchDevice>();
        port_ = machine_->Usb().Plug(device_);
        machine_->Pnp().WaitIdle(); // no driver claims it: the test plays the function driver
        pdo_ = machine_->Usb().Port(port_)->pdo;
        Configure();
    }

    void TearDown() override
    {
        if (machine_ == nullptr)
            return;
        // What the machine finds that the test did not expect fails the test when it goes.
        if (expectedCrash_ != 0)
            machine_->ExpectCrash(expectedCrash_);
        machine_.reset();
    }

    // Selects the configuration and learns the pipe handles.
    void Configure()
    {
        config_ = device_->ConfigurationDescriptor();
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
        ASSERT_NE(nullptr, list[0].InterfaceDescriptor);
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        ASSERT_NE(nullptr, urb);
        Transfer t;
        Send(t, urb);
        Wait(t);
        ASSERT_EQ(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
        ASSERT_EQ(kPipes, list[0].Interface->NumberOfPipes);
        for (ULONG i = 0; i < kPipes; ++i)
            pipes_[list[0].Interface->Pipes[i].EndpointAddress] = list[0].Interface->Pipes[i];
        ExFreePool(urb);
    }

    // Sends a URB down to the device; the completion is the test's (see TransferDone).
    void Send(Transfer& t, PURB urb = nullptr)
    {
        SendIoctl(t, IOCTL_INTERNAL_USB_SUBMIT_URB, urb != nullptr ? urb : &t.urb);
    }

    void SendIoctl(Transfer& t, ULONG code, PVOID argument)
    {
        if (t.irp == nullptr)
            t.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        else
            IoReuseIrp(t.irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        if (code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION)
            next->Parameters.DeviceIoControl.Type3InputBuffer = argument;
        else
            next->Parameters.Others.Argument1 = argument;
        IoSetCompletionRoutine(t.irp, TransferDone, &t, TRUE, TRUE, TRUE);
        KeClearEvent(&t.done);
        t.status = STATUS_PENDING;
        t.submitted = static_cast<int64_t>(KeQueryInterruptTime());
        t.dispatched = IoCallDriver(pdo_, t.irp);
    }

    void Wait(Transfer& t)
    {
        KeWaitForSingleObject(&t.done, Executive, KernelMode, FALSE, nullptr);
    }

    void Bulk(Transfer& t, uint8_t address, size_t bytes, ULONG flags, uint8_t fill = 0xEE)
    {
        t.buffer.assign(bytes, fill);
        UsbBuildInterruptOrBulkTransferRequest(&t.urb, kBulkUrbBytes, pipes_.at(address).PipeHandle,
                                               t.buffer.data(), nullptr, static_cast<ULONG>(bytes),
                                               flags, nullptr);
        Send(t);
    }

    void Vendor(Transfer& t, uint8_t request, bool in, size_t bytes, USHORT value = 0)
    {
        if (t.buffer.size() != bytes)
            t.buffer.assign(bytes, 0xEE);
        UsbBuildVendorRequest(&t.urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0,
                              request, value, 0, bytes != 0 ? t.buffer.data() : nullptr, nullptr,
                              static_cast<ULONG>(bytes), nullptr);
        Send(t);
    }

    void PipeRequest(Transfer& t, USHORT function, uint8_t address)
    {
        t.urb = {};
        t.urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        t.urb.UrbHeader.Function = function;
        t.urb.UrbPipeRequest.PipeHandle = pipes_.at(address).PipeHandle;
        Send(t);
        Wait(t);
    }

    // The bus's completion: asynchronous, from the controller context at DISPATCH_LEVEL.
    void ExpectCompletedByTheController(const Transfer& t)
    {
        EXPECT_EQ(STATUS_PENDING, t.dispatched) << "the bus completes URBs asynchronously";
        EXPECT_EQ(DISPATCH_LEVEL, t.irql);
        EXPECT_NE(owner_, t.thread) << "completed on the submitting thread";
    }

    std::unique_ptr<host::Machine> machine_;
    std::shared_ptr<BenchDevice> device_;
    int port_ = 0;
    PDEVICE_OBJECT pdo_ = nullptr;
    PKTHREAD owner_ = nullptr;
    std::vector<uint8_t> config_;
    std::map<uint8_t, USBD_PIPE_INFORMATION> pipes_;
    uint32_t expectedCrash_ = 0; // the bug check a test provokes on purpose
};

// ---------------------------------------------------------------------------------------------
// Transfers each way on each kind of pipe.

struct DirectionCase {
    const char* name;
    uint8_t endpoint; // 0: a vendor request on the default pipe
    bool in;
    ULONG flags;      // the caller's transfer flags, right or wrong
    friend void PrintTo(const DirectionCase& c, std::ostream* os) { *os << c.name; }
};

class UsbBusDirections : public UsbBusTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(UsbBusDirections, DataMovesTheWayThePipePoints)
{
    const DirectionCase& c = GetParam();
    device_->Queue({1, 2, 3, 4, 5, 6, 7}); // for the bulk IN pipe
    Transfer t;
    if (c.endpoint == 0) {
        t.buffer = {9, 8, 7, 6};
        Vendor(t, c.in ? kVendorRead : kVendorWrite, c.in, 4, 0x40);
    } else {
        Bulk(t, c.endpoint, 16, c.flags, 0x11);
    }
    Wait(t);
    ExpectCompletedByTheController(t);
    ASSERT_EQ(USBD_STATUS_SUCCESS, t.Usbd());
    EXPECT_EQ(STATUS_SUCCESS, t.status);

    if (c.endpoint == 0) {
        if (c.in)
            EXPECT_EQ((std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43}), t.buffer);
        else
            EXPECT_EQ((std::vector<uint8_t>{9, 8, 7, 6}), device_->Received(0));
        return;
    }
    ULONG flags = t.urb.UrbBulkOrInterruptTransfer.TransferFlags;
    EXPECT_EQ(c.in, (flags & USBD_TRANSFER_DIRECTION_IN) != 0)
        << "the bus sets the direction flag from the pipe";
    EXPECT_EQ(c.flags & USBD_SHORT_TRANSFER_OK, flags & USBD_SHORT_TRANSFER_OK);
    if (!c.in) {
        EXPECT_EQ(16u, t.Length());
        EXPECT_EQ(std::vector<uint8_t>(16, 0x11), device_->Received(c.endpoint));
        return;
    }
    std::vector<uint8_t> expected = std::vector<uint8_t>(16, 0x5A); // the stream source
    if (c.endpoint == kBulkIn)
        expected = {1, 2, 3, 4, 5, 6, 7};
    else if (c.endpoint == kInterruptIn)
        expected = {0xC0, 1, 2, 3};
    ASSERT_EQ(expected.size(), t.Length()) << "a short IN transfer reports what came";
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), t.buffer.begin()));
}

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;

INSTANTIATE_TEST_SUITE_P(
    EachPipe, UsbBusDirections,
    ::testing::Values(DirectionCase{"ControlIn", 0, true, 0},
                      DirectionCase{"ControlOut", 0, false, 0},
                      DirectionCase{"BulkIn", kBulkIn, true, kIn},
                      DirectionCase{"BulkOut", kBulkOut, false, kOut},
                      DirectionCase{"InterruptIn", kInterruptIn, true, kIn},
                      DirectionCase{"InterruptOut", kInterruptOut, false, kOut},
                      // The pipe wins over a caller's wrong flag, as on the platform.
                      DirectionCase{"BulkInFlaggedOut", kBulkIn, true, USBD_SHORT_TRANSFER_OK},
                      DirectionCase{"BulkOutFlaggedIn", kBulkOut, false,
                                    USBD_TRANSFER_DIRECTION_IN},
                      DirectionCase{"StreamIn", kStreamIn, true, kIn}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbBusTest, ABulkInTransferWaitsForTheDeviceToHaveData)
{
    Transfer t;
    Bulk(t, kBulkIn, 64, kIn);
    machine_->Sleep(10 * 10000);
    EXPECT_EQ(STATUS_PENDING, t.status) << "completed while the device answered Nak";
    device_->Queue({42});
    Wait(t);
    EXPECT_EQ(USBD_STATUS_SUCCESS, t.Usbd());
    EXPECT_EQ(1u, t.Length());
    EXPECT_EQ(42, t.buffer[0]);
}

// ---------------------------------------------------------------------------------------------
// Halt, abort, cancel, unplug.

struct ResetCase {
    const char* name;
    USHORT function;
    bool clearsDevice; // sends CLEAR_FEATURE(ENDPOINT_HALT) to the device
    friend void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }
};

class UsbBusResets : public UsbBusTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(UsbBusResets, AStalledPipeStaysHaltedUntilReset)
{
    device_->Stall(kBulkOut, true);
    Transfer t;
    Bulk(t, kBulkOut, 8, kOut);
    Wait(t);
    ExpectCompletedByTheController(t);
    EXPECT_EQ(USBD_STATUS_STALL_PID, t.Usbd());
    EXPECT_FALSE(NT_SUCCESS(t.status));

    // The device would take data again, but the host side of the pipe stays halted.
    device_->Stall(kBulkOut, false);
    int calls = device_->Calls(kBulkOut);
    for (int i = 0; i < 2; ++i) {
        Bulk(t, kBulkOut, 8, kOut);
        Wait(t);
        ExpectCompletedByTheController(t);
        EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, t.Usbd());
        EXPECT_FALSE(NT_SUCCESS(t.status));
    }
    EXPECT_EQ(calls, device_->Calls(kBulkOut)) << "a halted pipe sends nothing to the device";

    Transfer reset;
    PipeRequest(reset, GetParam().function, kBulkOut);
    ExpectCompletedByTheController(reset);
    EXPECT_EQ(USBD_STATUS_SUCCESS, reset.Usbd());
    EXPECT_EQ(GetParam().clearsDevice ? 1 : 0, device_->ClearHalts(kBulkOut));

    Bulk(t, kBulkOut, 8, kOut);
    Wait(t);
    EXPECT_EQ(USBD_STATUS_SUCCESS, t.Usbd());
    EXPECT_EQ(STATUS_SUCCESS, t.status);
}

INSTANTIATE_TEST_SUITE_P(
    EachReset, UsbBusResets,
    ::testing::Values(ResetCase{"ResetPipe", URB_FUNCTION_RESET_PIPE, true},
                      ResetCase{"SyncResetPipe", URB_FUNCTION_SYNC_RESET_PIPE, false},
                      ResetCase{"SyncClearStall", URB_FUNCTION_SYNC_CLEAR_STALL, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbBusTest, TheDefaultPipeTakesTheNextRequestAfterAStall)
{
    Transfer t;
    Vendor(t, kVendorStall, false, 0);
    Wait(t);
    EXPECT_EQ(USBD_STATUS_STALL_PID, t.Usbd());
    EXPECT_FALSE(NT_SUCCESS(t.status));
    Vendor(t, kVendorRead, true, 2);
    Wait(t);
    EXPECT_EQ(USBD_STATUS_SUCCESS, t.Usbd()) << "a request stall does not halt the default pipe";
}

TEST_F(UsbBusTest, AbortCancelsWhatThePipeHoldsAndNothingElse)
{
    Transfer held[3];
    for (auto& t : held)
        Bulk(t, kBulkIn, 64, kIn); // the device has nothing: they wait
    Transfer other;
    Bulk(other, kStreamIn, 512, kIn);

    Transfer abort;
    PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, kBulkIn);
    EXPECT_EQ(USBD_STATUS_SUCCESS, abort.Usbd());
    ExpectCompletedByTheController(abort);
    for (auto& t : held) {
        Wait(t);
        ExpectCompletedByTheController(t);
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
        EXPECT_EQ(STATUS_CANCELLED, t.status);
    }
    Wait(other);
    EXPECT_EQ(USBD_STATUS_SUCCESS, other.Usbd()) << "another pipe's transfer was touched";

    // The pipe itself still works.
    device_->Queue({7});
    Bulk(held[0], kBulkIn, 64, kIn);
    Wait(held[0]);
    EXPECT_EQ(USBD_STATUS_SUCCESS, held[0].Usbd());
}

TEST_F(UsbBusTest, CancellingOneTransferLeavesTheOthersQueued)
{
    Transfer t[3];
    for (auto& each : t)
        Bulk(each, kBulkIn, 1, kIn);
    EXPECT_TRUE(IoCancelIrp(t[1].irp));
    Wait(t[1]);
    EXPECT_EQ(USBD_STATUS_CANCELED, t[1].Usbd());
    EXPECT_EQ(STATUS_CANCELLED, t[1].status);
    device_->Queue({1, 2});
    Wait(t[0]);
    Wait(t[2]);
    EXPECT_EQ(1, t[0].buffer[0]);
    EXPECT_EQ(2, t[2].buffer[0]);
}

TEST_F(UsbBusTest, SelectingAConfigurationCancelsWhatTheOldPipesHold)
{
    Transfer onTheWire;
    Bulk(onTheWire, kStreamIn, kUnitBytes, kIn); // still moving when the selection completes
    Transfer waiting;
    Bulk(waiting, kBulkIn, 64, kIn);
    auto oldPipes = pipes_;
    Configure();
    for (Transfer* t : {&onTheWire, &waiting}) {
        Wait(*t);
        EXPECT_EQ(USBD_STATUS_CANCELED, t->Usbd());
    }
    machine_->Sleep(kFramePeriod); // the old pipe's scheduled step comes and goes

    Transfer stale;
    stale.buffer.assign(8, 0);
    UsbBuildInterruptOrBulkTransferRequest(&stale.urb, kBulkUrbBytes,
                                           oldPipes.at(kStreamIn).PipeHandle, stale.buffer.data(),
                                           nullptr, 8, kIn, nullptr);
    Send(stale);
    Wait(stale);
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale.Usbd());
    Transfer fresh;
    Bulk(fresh, kStreamIn, 8, kIn);
    Wait(fresh);
    EXPECT_EQ(USBD_STATUS_SUCCESS, fresh.Usbd());
}

TEST_F(UsbBusTest, UnplugFailsWhatIsPendingAndEveryLaterRequest)
{
    device_->Silence(kBulkOut); // on the wire, never answered
    Transfer silent;
    Bulk(silent, kBulkOut, 8, kOut);
    Transfer waiting; // Nak: waits for data
    Bulk(waiting, kBulkIn, 8, kIn);
    Transfer control;
    Vendor(control, kVendorRead, true, 4);

    // A driver that resubmits from its completion routine, as a continuous reader does.
    Transfer resubmitted;
    resubmitted.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
    waiting.then = [&](Transfer&) {
        Bulk(resubmitted, kInterruptIn, 4, kIn);
    };
    machine_->Sleep(kMicroframe * 8);
    ASSERT_EQ(STATUS_PENDING, silent.status);
    ASSERT_EQ(STATUS_SUCCESS, control.status);
    Vendor(control, kVendorRead, true, 4); // still on its way at the unplug

    machine_->Usb().Unplug(port_);
    for (Transfer* t : {&silent, &waiting, &control}) {
        Wait(*t);
        ExpectCompletedByTheController(*t);
        EXPECT_EQ(USBD_STATUS_DEVICE_GONE, t->Usbd());
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->status);
    }
    Wait(resubmitted);
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, resubmitted.Usbd());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, resubmitted.status);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, resubmitted.dispatched) << "refused at once";
    machine_->Pnp().WaitIdle();
}

TEST_F(UsbBusTest, ASecondIdleNotificationIsRefusedAtOnce)
{
    g_idleCallbacks = 0;
    USB_IDLE_CALLBACK_INFO info{CountIdleCallback, nullptr};
    Transfer first;
    SendIoctl(first, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info);
    EXPECT_EQ(STATUS_PENDING, first.dispatched);
    Transfer second;
    SendIoctl(second, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info);
    EXPECT_EQ(STATUS_DEVICE_BUSY, second.dispatched) << "completed, so not pending";
    EXPECT_EQ(STATUS_DEVICE_BUSY, second.status);
    machine_->Sleep(10000);
    EXPECT_EQ(1, g_idleCallbacks);
    EXPECT_TRUE(IoCancelIrp(first.irp));
    Wait(first);
    EXPECT_EQ(STATUS_CANCELLED, first.status);
}

// ---------------------------------------------------------------------------------------------
// Bandwidth: the unit's stream, one unit of up to 65,535 bytes a frame at 30 frames a second.

TEST_F(UsbBusTest, AFullUnitCrossesAHighSpeedBusWellWithinAFramePeriod)
{
    // 128 packets of 512 bytes at 13 a microframe: 10 microframes.
    const int64_t wire = 10 * kMicroframe;
    Transfer t;
    int64_t longest = 0;
    for (int frame = 0; frame < 30; ++frame) {
        Bulk(t, kStreamIn, kUnitBytes, kIn);
        Wait(t);
        ASSERT_EQ(USBD_STATUS_SUCCESS, t.Usbd());
        ASSERT_EQ(kUnitBytes, t.Length());
        longest = std::max(longest, t.Took());
        EXPECT_GE(t.Took(), wire) << "faster than 13 packets a microframe";
    }
    EXPECT_LE(longest, kFramePeriod / 10) << "a unit takes " << longest / 10 << " us";
    std::printf("65,535-byte bulk IN: %lld us of simulated time each (frame period %lld us)\n",
                static_cast<long long>(longest / 10), static_cast<long long>(kFramePeriod / 10));
}

TEST_F(UsbBusTest, TransfersShareTheWire)
{
    Transfer a;
    Transfer b;
    Bulk(a, kStreamIn, kUnitBytes, kIn);
    Bulk(b, kBulkOut, kUnitBytes, kOut);
    Wait(a);
    Wait(b);
    EXPECT_EQ(a.Took() * 2, b.Took()) << "the second transfer waits for the first";
}

TEST(UsbBusWireTime, FollowsTheFrameBudgetOfEachSpeed)
{
    auto endpoint = [](uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
        USB_ENDPOINT_DESCRIPTOR d{};
        d.bmAttributes = attributes;
        d.wMaxPacketSize = maxPacket;
        d.bInterval = interval;
        return d;
    };
    using hw::UsbSpeed;
    struct Case {
        UsbSpeed speed;
        USB_ENDPOINT_DESCRIPTOR endpoint;
        size_t bytes;
        int64_t time;
    } cases[] = {
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_BULK, 512, 0), 0, 1250},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_BULK, 512, 0), 13 * 512, 1250},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_BULK, 512, 0), 13 * 512 + 1, 2500},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_BULK, 512, 0), 65535, 12500},
        {UsbSpeed::Full, endpoint(USB_ENDPOINT_TYPE_BULK, 64, 0), 19 * 64, 10000},
        {UsbSpeed::Full, endpoint(USB_ENDPOINT_TYPE_BULK, 64, 0), 65535, 540000},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_CONTROL, 64, 0), 0, 2500},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_INTERRUPT, 64, 4), 64, 10000},
        {UsbSpeed::High, endpoint(USB_ENDPOINT_TYPE_INTERRUPT, 64, 1), 128, 2500},
        {UsbSpeed::Full, endpoint(USB_ENDPOINT_TYPE_INTERRUPT, 8, 10), 8, 100000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.time, host::UsbBus::WireTime(c.speed, c.endpoint, c.bytes))
            << (c.speed == UsbSpeed::High ? "high" : "full") << " speed, type "
            << int(c.endpoint.bmAttributes) << ", " << c.bytes << " bytes";
    }
}

// The capture unit itself, each model: its stream pipe carries a full unit in a tenth of a frame.
TEST(UsbBusWireTime, TheCaptureUnitsStreamFitsWithMargin)
{
    for (hw::UnitModel model : {hw::UnitModel::A, hw::UnitModel::B}) {
        hw::CaptureUnit unit(model, hw::UnitMode::Running);
        auto config = unit.ConfigurationDescriptor();
        const USB_ENDPOINT_DESCRIPTOR* stream = nullptr;
        for (size_t at = 0; at + 1 < config.size() && config[at] != 0; at += config[at]) {
            if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                config[at + 2] == CV_ENDPOINT_STREAM)
                stream = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&config[at]);
        }
        ASSERT_NE(nullptr, stream);
        int64_t time = host::UsbBus::WireTime(unit.Speed(), *stream, kUnitBytes);
        EXPECT_LE(time, kFramePeriod / 10)
            << "model " << static_cast<int>(model) << ": a unit takes " << time / 10
            << " us of a " << kFramePeriod / 10 << " us frame";
    }
}

class RealTimeUsbBus : public UsbBusTest {
protected:
    void SetUp() override
    {
        host::MachineOptions options;
        options.mode = host::TimeMode::Real;
        Boot(options);
    }
};

// A completion routine the bus runs on the caller's thread bug-checks: the crash reaches the test,
// and the bus's lock is neither left held nor released twice (the ThreadSanitizer run checks).
TEST_F(RealTimeUsbBus, ABugCheckInACompletionTheBusRunsReachesTheTest)
{
    USB_IDLE_CALLBACK_INFO info{CountIdleCallback, nullptr};
    Transfer first;
    SendIoctl(first, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info);
    ASSERT_EQ(STATUS_PENDING, first.dispatched);
    Transfer second;
    second.then = [](Transfer&) { KeBugCheckEx(0xE2, 1, 2, 3, 4); };
    expectedCrash_ = 0xE2;
    try {
        SendIoctl(second, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info);
        ADD_FAILURE() << "the bug check did not reach the test";
    } catch (const host::MachineCrash& crash) {
        EXPECT_EQ(0xE2u, crash.info.code);
    }
    EXPECT_EQ(std::vector<int>{port_}, machine_->Usb().Ports()) << "the bus lock is free";
}

TEST_F(RealTimeUsbBus, TheStreamKeepsUpOnTheRealClock)
{
    // A second of stream, back to back, in half a second of real time at most.
    auto start = std::chrono::steady_clock::now();
    Transfer t;
    for (int frame = 0; frame < 30; ++frame) {
        Bulk(t, kStreamIn, kUnitBytes, kIn);
        Wait(t);
        ASSERT_EQ(USBD_STATUS_SUCCESS, t.Usbd());
        ExpectCompletedByTheController(t);
    }
    auto took = std::chrono::steady_clock::now() - start;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    EXPECT_LT(ms, 15 * kFramePeriod / 10000) << "30 units took " << ms << " ms";
    std::printf("30 units of 65,535 bytes in %lld ms of real time\n", static_cast<long long>(ms));
}

} // namespace
