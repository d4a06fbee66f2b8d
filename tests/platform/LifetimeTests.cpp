// Driver image lifetimes: an image stays mapped while a work item or system thread of its
// driver can still run its code, a queued work item holds its device object until its routine
// has returned, and a timer left set in the image's own memory at unload is the verifier's
// bug check instead of a write into an unmapped image.
#include <gtest/gtest.h>

#include <string>

#include "CrashExpect.h"
#include "host/Machine.h"
#include "io/ObjectManager.h"
#include "pnp/Loader.h"
#include "pnp/PnpManager.h"
#include "ProbeDriver.h"

namespace {

using probe::CrashOf;

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_.Pnp().InstallPackage({"ROOT\\PROBE", "PROBE", CV_PROBE_DRIVER_PATH});
        machine_.Pnp().RunOnPnpThread([&] { machine_.Pnp().LoadDriver("PROBE", &driver_); });
        ASSERT_NE(nullptr, driver_);
        device_ = driver_->DeviceObject;
        extension_ = static_cast<PPROBE_EXTENSION>(device_->DeviceExtension);
    }

    NTSTATUS Control(ULONG code, PVOID input = nullptr, ULONG length = 0)
    {
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_, input, length, nullptr, 0, FALSE,
                                                 &done, &iosb);
        return IoCallDriver(device_, irp);
    }

    // What the PnP manager does when the probe's last device has gone.
    void DeleteAndUnload()
    {
        IoDeleteDevice(device_);
        machine_.Pnp().UnloadIfUnused(driver_);
    }

    bool ImageStillMapped() { return !machine_.Modules().StillHeld().empty(); }

    host::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PPROBE_EXTENSION extension_ = nullptr;
};

TEST_F(Lifetime, AQueuedWorkItemHoldsItsDeviceAndTheImageUntilItsRoutineReturns)
{
    ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_PROBE_QUEUE_WORK_ITEM));
    KeWaitForSingleObject(&extension_->started, Executive, KernelMode, FALSE, nullptr);
    DeleteAndUnload();
    EXPECT_TRUE(machine_.Objects().Tracked(device_, nullptr)) << "the work item's reference";
    EXPECT_EQ(nullptr, machine_.Modules().Find("probedriver")) << "unloaded";
    EXPECT_TRUE(ImageStillMapped());
    KeSetEvent(&extension_->release, IO_NO_INCREMENT, FALSE);
    machine_.Sleep(10000);
    EXPECT_FALSE(machine_.Objects().Tracked(device_, nullptr));
    EXPECT_FALSE(ImageStillMapped());
}

TEST_F(Lifetime, AReferencedDeviceObjectHoldsTheImageOfItsDriver)
{
    ObReferenceObject(device_);
    DeleteAndUnload();
    EXPECT_TRUE(ImageStillMapped());
    ObDereferenceObject(device_);
    EXPECT_FALSE(ImageStillMapped());
}

class LifetimeOfCode : public Lifetime, public ::testing::WithParamInterface<ULONG> {};

// A system thread, or an executive work item (which holds no device), of the unloaded driver.
TEST_P(LifetimeOfCode, HoldsTheImageUntilItsRoutineReturns)
{
    PROBE_WAIT_CONTEXT context;
    KeInitializeEvent(&context.release, NotificationEvent, FALSE);
    KeInitializeEvent(&context.started, NotificationEvent, FALSE);
    PVOID address = &context;
    ASSERT_EQ(STATUS_SUCCESS, Control(GetParam(), &address, sizeof address));
    KeWaitForSingleObject(&context.started, Executive, KernelMode, FALSE, nullptr);
    DeleteAndUnload();
    EXPECT_TRUE(ImageStillMapped());
    KeSetEvent(&context.release, IO_NO_INCREMENT, FALSE);
    machine_.Sleep(10000);
    EXPECT_FALSE(ImageStillMapped());
}

INSTANTIATE_TEST_SUITE_P(Verifier, LifetimeOfCode,
                         ::testing::Values(IOCTL_PROBE_START_THREAD,
                                           IOCTL_PROBE_QUEUE_EX_WORK_ITEM));

TEST_F(Lifetime, ATimerLeftSetInTheImageAtUnloadIsABugCheck)
{
    ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_PROBE_SET_IMAGE_TIMER));
    host::BugCheckInfo crash = CrashOf([&] { DeleteAndUnload(); });
    EXPECT_EQ(host::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, crash.code);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(driver_), crash.parameters[0]);
    EXPECT_NE(std::string::npos, crash.detail.find("timer")) << crash.detail;
}

} // namespace
