// Synchronous URB submission with a time-out: a transfer that never finishes is cancelled and
// fails, and a completion that lands at the moment the time-out expires is neither lost nor
// freed twice, in simulated time over many seeds and on the real clock.
#include "Cvusbdrv.h"
#include "UnitRig.h"

namespace {

constexpr USHORT kDescriptorUrbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// A device descriptor read as the driver builds one; the URB and its buffer stay put.
struct DescriptorRead {
    URB urb{};
    USB_DEVICE_DESCRIPTOR descriptor{};

    void Prepare()
    {
        RtlZeroMemory(&urb, sizeof urb);
        RtlZeroMemory(&descriptor, sizeof descriptor);
        UsbBuildGetDescriptorRequest(&urb, kDescriptorUrbBytes, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                     &descriptor, nullptr, sizeof descriptor, nullptr);
    }
};

class UrbSubmission : public rig::UnitRig {
protected:
    // Plugs a running unit whose faults the test scripts; returns its functional device.
    PDEVICE_OBJECT PlugScripted()
    {
        unit_ = std::make_shared<hw::CaptureUnit>(model_, hw::UnitMode::Running);
        M().Usb().Plug(unit_);
        M().Pnp().WaitIdle();
        PDEVICE_OBJECT device = Unit(1);
        EXPECT_NE(nullptr, device);
        return device;
    }

    // Ends the current machine with a clean verifier and boots a fresh one.
    void Reboot(host::MachineOptions options)
    {
        unit_.reset();
        TearDown();
        Boot(options);
    }

    // Submits a descriptor read with the time-out and checks that the call's status and the
    // URB agree: success means the whole descriptor arrived; a time-out leaves the transfer
    // either cancelled or finished too late. Returns the call's status.
    NTSTATUS ReadWithTimeout(PDEVICE_OBJECT device, DescriptorRead& read, LONG timeout)
    {
        read.Prepare();
        NTSTATUS status = SubmitUrbSync(device, &read.urb, timeout);
        USBD_STATUS usbd = read.urb.UrbHeader.Status;
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(USBD_STATUS_SUCCESS, usbd);
            EXPECT_EQ(sizeof(USB_DEVICE_DESCRIPTOR),
                      read.urb.UrbControlDescriptorRequest.TransferBufferLength);
            EXPECT_EQ(CV_VENDOR_ID, read.descriptor.idVendor);
        } else {
            EXPECT_EQ(STATUS_IO_TIMEOUT, status) << "time-out " << timeout;
            EXPECT_TRUE(usbd == USBD_STATUS_CANCELED || usbd == USBD_STATUS_SUCCESS)
                << std::hex << usbd;
        }
        EXPECT_EQ(1, CV_EXTENSION(device)->ioCount) << "the call's I/O reference is given back";
        return status;
    }

    std::shared_ptr<hw::CaptureUnit> unit_;
};

TEST_F(UrbSubmission, AnUnansweredTransferIsCancelledAtItsTimeOutAndFails)
{
    PDEVICE_OBJECT device = PlugScripted();
    ASSERT_NE(nullptr, device);
    unit_->InjectControlFaults({hw::ControlFaultKind::NoReply});
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          CV_VENDOR_RESET, 0, 0, nullptr, nullptr, 0, nullptr);
    const LONG timeout = -100000; // 10 ms
    int64_t start = M().Now();
    EXPECT_EQ(STATUS_IO_TIMEOUT, SubmitUrbSync(device, &urb, timeout));
    EXPECT_EQ(start - timeout, M().Now()) << "the call returns as soon as the cancel completes";
    EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
    EXPECT_EQ(1, CV_EXTENSION(device)->ioCount);
    EXPECT_EQ(0u, unit_->Activity().vendorResets) << "the unit never saw the request";

    DescriptorRead read;
    EXPECT_EQ(STATUS_SUCCESS, ReadWithTimeout(device, read, timeout))
        << "the default pipe works again after the cancel";
    EXPECT_EQ(STATUS_SUCCESS, ReadWithTimeout(device, read, 0)) << "0 waits without limit";
}

// The transfer takes exactly `took`; time-outs just before, at and just after that instant
// race the completion against the time-out path. Each seed interleaves the two differently:
// the completion can come before the wait ends, between the time-out and the cancel, or only
// after the cancel, and the result must be right every time.
TEST_F(UrbSubmission, ACompletionAtTheTimeOutIsWaitedForInEveryInterleaving)
{
    int completed = 0, cancelled = 0, finishedLate = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        host::MachineOptions options;
        options.seed = seed;
        options.preemptProbability = 0.5;
        Reboot(options);
        PDEVICE_OBJECT device = PlugScripted();
        ASSERT_NE(nullptr, device);
        DescriptorRead read;
        int64_t start = M().Now();
        ASSERT_EQ(STATUS_SUCCESS, ReadWithTimeout(device, read, 0));
        const LONG took = static_cast<LONG>(M().Now() - start);
        for (LONG offset : {-1, 0, 1}) {
            // A transfer cancelled before its end keeps the bus until then: let it pass, so
            // that each read starts on a free bus and takes exactly `took`.
            M().Sleep(took);
            NTSTATUS status = ReadWithTimeout(device, read, -(took + offset));
            if (offset < 0) {
                EXPECT_EQ(STATUS_IO_TIMEOUT, status);
            } else if (offset > 0) {
                EXPECT_EQ(STATUS_SUCCESS, status);
            }
            if (status == STATUS_SUCCESS)
                completed++;
            else if (read.urb.UrbHeader.Status == USBD_STATUS_CANCELED)
                cancelled++;
            else
                finishedLate++;
        }
        if (HasFailure())
            return;
    }
    EXPECT_GE(completed, 40); // a time-out due with the completion is satisfied first
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(finishedLate, 0);
}

class RealTimeUrbSubmission : public UrbSubmission {
protected:
    void SetUp() override
    {
        host::MachineOptions options;
        options.mode = host::TimeMode::Real;
        Boot(options);
    }
};

// On the real clock, with the quickest request the bus has (a pipe reset, done in one
// microframe): the time-out follows a staircase, shorter after a completion and longer after a
// time-out, so that it hovers where the completion and the time-out land at the same moment
// and the two race round after round.
TEST_F(RealTimeUrbSubmission, TimeOutsRacingCompletionsNeverLoseOrReuseARequest)
{
    PDEVICE_OBJECT device = PlugScripted();
    ASSERT_NE(nullptr, device);
    UnitExtension* ext = CV_EXTENSION(device);
    ASSERT_NE(nullptr, ext->interfaceInfo);
    URB urb{};
    auto reset = [&](LONG timeout) {
        RtlZeroMemory(&urb, sizeof urb);
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
        urb.UrbPipeRequest.PipeHandle = ext->interfaceInfo->Pipes[0].PipeHandle;
        NTSTATUS status = SubmitUrbSync(device, &urb, timeout);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(STATUS_IO_TIMEOUT, status);
        }
        EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status) << "a reset is never cancelled";
        EXPECT_EQ(1, ext->ioCount);
        return status;
    };
    int64_t start = M().Now();
    ASSERT_EQ(STATUS_SUCCESS, reset(0));
    LONG timeout = -static_cast<LONG>(M().Now() - start);
    const LONG step = 10; // 1 us
    int timedOut = 0, completed = 0;
    const int rounds = 10000;
    for (int i = 0; i < rounds && !HasFailure(); ++i) {
        if (reset(timeout) == STATUS_SUCCESS) {
            completed++;
            timeout = std::min<LONG>(timeout + step, -step);
        } else {
            timedOut++;
            timeout -= step;
        }
    }
    EXPECT_GT(timedOut, rounds / 10);
    EXPECT_GT(completed, rounds / 10);
}

} // namespace
