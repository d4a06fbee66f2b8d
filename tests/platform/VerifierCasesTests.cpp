// The referee's own test: a driver that breaks one rule at a time (FaultyDriver.cpp), and the
// bug check each broken rule must end in. A check that is removed from the platform makes its
// case fail here. Every case runs on each machine seed of the sweep (Seeds.h).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "Seeds.h"
#include "UsbDeviceModel.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "pnp/PnpManager.h"
#include "registry/RegistryStore.h"
#include "usb/UsbBus.h"
#include "verifier/Verifier.h"

#include "FaultyDriver.h" // after the platform headers it builds on

namespace {

constexpr uint16_t kVendor = 0xFA17;
constexpr uint16_t kProduct = 0x0001;
constexpr const char* kParameters =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FAULTY\\Parameters";
constexpr uintptr_t kAnyParameter = ~uintptr_t{0};

// A USB device with one configuration and no endpoints: something for the driver to attach to.
class PlainDevice : public hw::UsbDeviceModel {
public:
    void Attached(hw::UsbPort*) override {}
    void Detached() override {}
    void BusReset() override {}
    std::vector<uint8_t> DeviceDescriptor() const override
    {
        return {18,   1, 0x00, 0x02, 0xFF, 0, 0, 64, kVendor & 0xFF, kVendor >> 8,
                kProduct & 0xFF, kProduct >> 8, 0x00, 0x01, 0, 0, 0, 1};
    }
    std::vector<uint8_t> ConfigurationDescriptor() const override
    {
        return {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
    }
    bool SetConfiguration(uint8_t) override { return true; }
    hw::TransferResult Control(const hw::SetupPacket&, uint8_t*) override
    {
        return {hw::UsbReply::Stall, 0};
    }
    hw::TransferResult BulkOut(uint8_t, const uint8_t*, size_t) override
    {
        return {hw::UsbReply::Stall, 0};
    }
    hw::TransferResult BulkIn(uint8_t, uint8_t*, size_t) override
    {
        return {hw::UsbReply::Stall, 0};
    }
    void ClearHalt(uint8_t) override {}
};

// A machine with the faulty driver installed for the plain device and one device plugged in.
// The commit request's event and status block live here, since a faulty driver may complete
// the request long after the call that sent it returned.
struct FaultyRig {
    explicit FaultyRig(uint64_t seed, ULONG fault) : machine(Options(seed))
    {
        machine.Registry().CreateKey(kParameters);
        machine.Registry().SetValue(kParameters, "Fault", host::RegValue::FromDword(fault));
        char id[40];
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", kVendor, kProduct);
        machine.Pnp().InstallPackage({id, "FAULTY", CV_FAULTY_DRIVER_PATH});
        port = machine.Usb().Plug(std::make_shared<PlainDevice>());
        machine.Pnp().WaitIdle();
    }

    static host::MachineOptions Options(uint64_t seed)
    {
        host::MachineOptions options;
        options.seed = seed;
        return options;
    }

    PDEVICE_OBJECT Device() { return machine.Usb().Port(port)->node->pdo->AttachedDevice; }

    // Sends the commit request as a kernel-mode caller; does not wait for it to complete.
    NTSTATUS Commit()
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_FAULTY_COMMIT, Device(), nullptr, 0, nullptr,
                                                 0, TRUE, &done, &iosb);
        return IoCallDriver(Device(), irp);
    }

    void Unplug()
    {
        machine.Usb().Unplug(port);
        machine.Pnp().WaitIdle();
    }

    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    host::Machine machine;
    int port = 0;
};

struct FaultCase {
    const char* name;
    ULONG fault;
    bool atRemoval; // the fault lands when the device is removed
    uint32_t code;
    uintptr_t parameter; // the first parameter, or kAnyParameter where it is an address
    const char* thread;  // the platform thread that hits the check (part of its name)
    const char* report = nullptr; // a verifier report the fault also gives, before the bug check
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

std::string Reports(const std::vector<std::string>& reports)
{
    std::string text;
    for (auto& report : reports)
        text += "\n  " + report;
    return text.empty() ? " none" : text;
}

// The one place that expects a crash: runs `commit` and then the machine's orderly end, and
// checks that the case's bug check stopped the machine, on the thread the case names.
void ExpectBugCheck(host::Machine& machine, const std::function<void()>& commit, const FaultCase& c)
{
    try {
        commit();
        machine.Shutdown();
    } catch (const host::MachineCrash& crash) {
        machine.TakeCrash(); // expected: it is no failure of the test
        std::vector<std::string> reports = machine.TakeReports();
        if (c.report != nullptr) {
            EXPECT_EQ(1u, reports.size()) << Reports(reports);
            if (!reports.empty()) {
                EXPECT_NE(std::string::npos, reports[0].find(c.report)) << reports[0];
            }
        } else {
            EXPECT_TRUE(reports.empty()) << Reports(reports);
        }
        EXPECT_EQ(c.code, crash.info.code) << crash.what();
        if (c.parameter != kAnyParameter) {
            EXPECT_EQ(c.parameter, crash.info.parameters[0]) << crash.what();
        }
        EXPECT_NE(std::string::npos, crash.info.thread.find(c.thread)) << crash.what();
        return;
    }
    ADD_FAILURE() << "no bug check; verifier reports:" << Reports(machine.Verify().Reports());
}

class FaultyDriver : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultyDriver, EndsInItsBugCheck)
{
    const FaultCase& c = GetParam();
    for (uint64_t seed : rig::Seeds()) {
        SCOPED_TRACE(rig::SeedTrace(seed));
        FaultyRig rig(seed, c.fault);
        ASSERT_NE(nullptr, rig.Device()) << "the driver did not attach";
        ExpectBugCheck(rig.machine,
                       [&] {
                           rig.Commit();
                           if (c.atRemoval)
                               rig.Unplug();
                       },
                       c);
    }
}

TEST(FaultyDriverWithoutAFault, RunsCleanly)
{
    for (uint64_t seed : rig::Seeds()) {
        SCOPED_TRACE(rig::SeedTrace(seed));
        FaultyRig rig(seed, FaultNone);
        ASSERT_NE(nullptr, rig.Device());
        EXPECT_EQ(STATUS_SUCCESS, rig.Commit());
        EXPECT_EQ(STATUS_SUCCESS, rig.iosb.Status);
        rig.Unplug();
        rig.machine.Shutdown();
        EXPECT_TRUE(rig.machine.Verify().Reports().empty()) << Reports(rig.machine.Verify().Reports());
        EXPECT_EQ(0u, rig.machine.Io().LiveIrps());
    }
}

using namespace host;

// Faults committed by the thread that sends the commit request (the test's own thread).
const FaultCase kOnTheCaller[] = {
    {"CompleteWithPending", FaultCompleteWithPending, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
     IO_COMPLETED_WITH_PENDING, "owner"},
    {"CompleteTwice", FaultCompleteTwice, false, MULTIPLE_IRP_COMPLETE_REQUESTS, kAnyParameter,
     "owner"},
    {"PendingNotMarked", FaultPendingNotMarked, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
     IO_PENDING_NOT_MARKED, "owner"},
    {"FreeWithWrongTag", FaultFreeWithWrongTag, false, BAD_POOL_CALLER, POOL_FREE_WRONG_TAG,
     "owner"},
    {"DoubleFree", FaultDoubleFree, false, BAD_POOL_CALLER, POOL_DOUBLE_FREE, "owner"},
    {"FreeOfForeignAddress", FaultFreeOfForeignAddress, false, BAD_POOL_CALLER,
     POOL_FREE_OF_UNKNOWN_ADDRESS, "owner"},
    {"ReleaseUnownedSpinLock", FaultReleaseUnownedSpinLock, false, SPIN_LOCK_NOT_OWNED,
     kAnyParameter, "owner"},
    {"ReleaseOtherThreadsSpinLock", FaultReleaseOtherThreadsSpinLock, false, SPIN_LOCK_NOT_OWNED,
     kAnyParameter, "owner"},
    {"ReleaseSpinLockBelowDispatch", FaultReleaseSpinLockBelowDispatch, false,
     IRQL_NOT_GREATER_OR_EQUAL, kAnyParameter, "owner"},
    {"WaitAtDispatch", FaultWaitAtDispatch, false, DRIVER_VERIFIER_DETECTED_VIOLATION,
     VERIFIER_WAIT_AT_RAISED_IRQL, "owner"},
    {"PagedPoolAtDispatch", FaultPagedPoolAtDispatch, false, BAD_POOL_CALLER,
     POOL_PAGED_AT_DISPATCH, "owner"},
    {"DispatchRaisesIrql", FaultDispatchRaisesIrql, false, DRIVER_VERIFIER_DETECTED_VIOLATION,
     VERIFIER_IRQL_CHANGED_BY_ROUTINE, "owner"},
    {"PendingNotMarkedCompleted", FaultPendingNotMarkedCompleted, false,
     DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_PENDING_NOT_MARKED, "owner"},
    {"MarkedPendingReturnsSuccess", FaultMarkedPendingReturnsSuccess, false,
     DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_MARKED_PENDING_NOT_RETURNED, "owner"},
};
INSTANTIATE_TEST_SUITE_P(OnTheCaller, FaultyDriver, ::testing::ValuesIn(kOnTheCaller),
                         [](const auto& info) { return std::string(info.param.name); });

// Faults committed on another platform thread after the commit request has returned: the bug
// check must still reach the test, also when the thread runs only after the test has asked for
// the machine's end (a queued work item or a new system thread keeps its driver loaded).
const FaultCase kOnOtherThreads[] = {
    {"DpcLowersIrql", FaultDpcLowersIrql, false, IRQL_UNEXPECTED_VALUE, PASSIVE_LEVEL, "DPC"},
    {"DpcKeepsSpinLock", FaultDpcKeepsSpinLock, false, IRQL_UNEXPECTED_VALUE, DISPATCH_LEVEL,
     "DPC"},
    {"DpcCompletesWithPending", FaultDpcCompletesWithPending, false,
     DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_COMPLETED_WITH_PENDING, "DPC"},
    {"WorkItemDoubleFree", FaultWorkItemDoubleFree, false, BAD_POOL_CALLER, POOL_DOUBLE_FREE,
     "work queue"},
    {"SystemThreadWaitsAtDispatch", FaultSystemThreadWaitsAtDispatch, false,
     DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_WAIT_AT_RAISED_IRQL, "faultydriver"},
};
INSTANTIATE_TEST_SUITE_P(OnOtherThreads, FaultyDriver, ::testing::ValuesIn(kOnOtherThreads),
                         [](const auto& info) { return std::string(info.param.name); });

// Faults committed when the device is removed (on the PnP manager's thread).
const FaultCase kAtRemoval[] = {
    {"DeleteWithOutstandingRequest", FaultDeleteWithOutstandingRequest, true,
     DRIVER_VERIFIER_IOMANAGER_VIOLATION, IO_DELETE_DEVICE_WITH_OUTSTANDING_IRP, "PnP"},
    {"DeleteAttachedDevice", FaultDeleteAttachedDevice, true, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
     IO_DELETE_ATTACHED_DEVICE, "PnP"},
    {"LeakPoolAtUnload", FaultLeakPoolAtUnload, true, DRIVER_VERIFIER_DETECTED_VIOLATION,
     VERIFIER_POOL_LEAK_AT_UNLOAD, "PnP", "pool still held by faultydriver"},
    {"UnloadWithTimerSet", FaultUnloadWithTimerSet, true,
     DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, kAnyParameter, "PnP"},
};
INSTANTIATE_TEST_SUITE_P(AtRemoval, FaultyDriver, ::testing::ValuesIn(kAtRemoval),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
