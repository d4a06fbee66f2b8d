// The I/O verifier's checks on what dispatch routines return, freed requests, buffered
// copy-back, and the IRQL at which each platform routine may be called.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "host/Machine.h"
#include "io/IoManager.h"
#include "verifier/IrqlRules.h"

namespace {

using host::BugCheckInfo;
using host::MachineCrash;

// Runs `f`, which must end in a bug check; returns what the machine reported.
template <typename F>
BugCheckInfo ExpectCrash(F&& f)
{
    try {
        f();
    } catch (const MachineCrash& crash) {
        host::Machine::Current()->TakeCrash(); // expected: it is no failure of the test
        return crash.info;
    }
    ADD_FAILURE() << "no bug check";
    return {};
}

// ---------------------------------------------------------------------------------------------
// A two-device stack whose dispatch routines do what each case says.

enum class Lower {
    CompleteReturnPending,     // completes, returns STATUS_PENDING unmarked
    MarkCompleteReturnSuccess, // marks, completes, returns STATUS_SUCCESS
    MarkKeepReturnSuccess,     // marks, keeps it, returns STATUS_SUCCESS
    MarkCompleteReturnPending, // marks, completes, returns STATUS_PENDING: right
    MarkKeepReturnPending,     // marks, keeps it, returns STATUS_PENDING: right
};
enum class Upper {
    Forward,              // completion routine marks when PendingReturned; returns the lower status
    Skip,                 // skips its location; returns the lower status
    ForwardReturnSuccess, // no completion routine; returns STATUS_SUCCESS whatever happened below
};

struct StackCase {
    Lower lower;
    Upper upper;
};

StackCase g_case;
PIRP g_kept = nullptr;
PDEVICE_OBJECT g_lowerDevice = nullptr;
ULONG g_outputBytes = 0;
NTSTATUS g_outputStatus = STATUS_SUCCESS;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    switch (g_case.lower) {
    case Lower::CompleteReturnPending:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case Lower::MarkCompleteReturnSuccess:
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Lower::MarkKeepReturnSuccess:
        IoMarkIrpPending(irp);
        g_kept = irp;
        return STATUS_SUCCESS;
    case Lower::MarkCompleteReturnPending:
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case Lower::MarkKeepReturnPending:
        IoMarkIrpPending(irp);
        g_kept = irp;
        return STATUS_PENDING;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    switch (g_case.upper) {
    case Upper::Forward:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(g_lowerDevice, irp);
    case Upper::Skip:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_lowerDevice, irp);
    case Upper::ForwardReturnSuccess:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoCallDriver(g_lowerDevice, irp);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// Completes buffered requests with g_outputStatus after writing g_outputBytes of 0xAB.
NTSTATUS NTAPI BufferedDispatch(PDEVICE_OBJECT, PIRP irp)
{
    std::memset(irp->AssociatedIrp.SystemBuffer, 0xAB, g_outputBytes);
    irp->IoStatus.Status = g_outputStatus;
    irp->IoStatus.Information = g_outputBytes;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_outputStatus;
}

class IoStack : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_kept = nullptr;
        auto& io = machine_.Io();
        lowerDriver_ = io.CreateDriver(u"\\Driver\\lower", u"", nullptr);
        upperDriver_ = io.CreateDriver(u"\\Driver\\upper", u"", nullptr);
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
            lowerDriver_->MajorFunction[i] = LowerDispatch;
            upperDriver_->MajorFunction[i] = UpperDispatch;
        }
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &lower_));
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(upperDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &upper_));
        ASSERT_EQ(lower_, IoAttachDeviceToDeviceStack(upper_, lower_));
        g_lowerDevice = lower_;
    }

    void TearDown() override
    {
        if (machine_.Sched().Crashed())
            return;
        IoDetachDevice(lower_);
        IoDeleteDevice(upper_);
        IoDeleteDevice(lower_);
        EXPECT_EQ(0u, machine_.Io().LiveIrps());
    }

    // Sends a request down the stack and, if it is still out, completes it from the lower
    // driver and waits for it; returns what the top dispatch routine returned.
    NTSTATUS SendAndFinish()
    {
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, upper_, nullptr, 0, nullptr, 0, TRUE,
                                                 &done, &iosb);
        NTSTATUS status = IoCallDriver(upper_, irp);
        if (g_kept != nullptr) {
            PIRP kept = g_kept;
            g_kept = nullptr;
            kept->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(kept, IO_NO_INCREMENT);
        }
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status;
    }

    host::Machine machine_;
    PDRIVER_OBJECT lowerDriver_ = nullptr;
    PDRIVER_OBJECT upperDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT upper_ = nullptr;
};

struct DispatchViolation {
    const char* name;
    StackCase stack;
    uintptr_t subCode;
};

class DispatchResult : public IoStack, public ::testing::WithParamInterface<DispatchViolation> {};

TEST_P(DispatchResult, ContradictingThePendingMarkIsABugCheck)
{
    g_case = GetParam().stack;
    BugCheckInfo info = ExpectCrash([&] { SendAndFinish(); });
    EXPECT_EQ(host::DRIVER_VERIFIER_IOMANAGER_VIOLATION, info.code) << info.detail;
    EXPECT_EQ(GetParam().subCode, info.parameters[0]) << info.detail;
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, DispatchResult,
    ::testing::Values(
        // The request is completed and freed before the routine returns: the check still runs.
        DispatchViolation{"CompletedThenReturnedPendingUnmarked",
                          {Lower::CompleteReturnPending, Upper::Forward},
                          host::IO_PENDING_NOT_MARKED},
        DispatchViolation{"MarkedCompletedThenReturnedSuccess",
                          {Lower::MarkCompleteReturnSuccess, Upper::Forward},
                          host::IO_MARKED_PENDING_NOT_RETURNED},
        DispatchViolation{"MarkedKeptThenReturnedSuccess",
                          {Lower::MarkKeepReturnSuccess, Upper::Forward},
                          host::IO_MARKED_PENDING_NOT_RETURNED},
        // The I/O manager marks the upper level after its routine returned success.
        DispatchViolation{"MarkedAfterReturningSuccess",
                          {Lower::MarkKeepReturnPending, Upper::ForwardReturnSuccess},
                          host::IO_MARKED_PENDING_NOT_RETURNED},
        // The I/O manager marks the upper level while its routine still runs.
        DispatchViolation{"MarkedWhileReturningSuccess",
                          {Lower::MarkCompleteReturnPending, Upper::ForwardReturnSuccess},
                          host::IO_MARKED_PENDING_NOT_RETURNED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoStack, PendingMarkedWhereTheDocumentationAllowsIt)
{
    const StackCase cases[] = {
        // The completion routine marks its level before the upper routine returns.
        {Lower::MarkCompleteReturnPending, Upper::Forward},
        // The completion routine marks its level after the upper routine returned.
        {Lower::MarkKeepReturnPending, Upper::Forward},
        // A skipped location is marked by the driver below it.
        {Lower::MarkCompleteReturnPending, Upper::Skip},
        {Lower::MarkKeepReturnPending, Upper::Skip},
    };
    for (const StackCase& c : cases) {
        g_case = c;
        EXPECT_EQ(STATUS_PENDING, SendAndFinish());
    }
}

// ---------------------------------------------------------------------------------------------
// Buffered output reaches the caller for success and warning statuses, not for errors.

TEST(IoCopyBack, BufferedOutputIsCopiedUnlessTheStatusIsAnError)
{
    const struct {
        bool read; // an FSD read of a buffered device, else a buffered device control
        NTSTATUS status;
        bool copied;
    } cases[] = {
        {false, STATUS_SUCCESS, true},          {false, STATUS_BUFFER_OVERFLOW, true},
        {false, STATUS_BUFFER_TOO_SMALL, false}, {true, STATUS_SUCCESS, true},
        {true, STATUS_BUFFER_OVERFLOW, true},    {true, STATUS_INVALID_PARAMETER, false},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << (c.read ? "read " : "control ") << std::hex << c.status);
        host::Machine machine;
        PDRIVER_OBJECT driver = machine.Io().CreateDriver(u"\\Driver\\buffered", u"", nullptr);
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BufferedDispatch;
        driver->MajorFunction[IRP_MJ_READ] = BufferedDispatch;
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(STATUS_SUCCESS,
                  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        device->Flags |= DO_BUFFERED_IO;
        g_outputBytes = 4;
        g_outputStatus = c.status;
        unsigned char output[8] = {};
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = c.read ? IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, output,
                                                         sizeof output, nullptr, &done, &iosb)
                          : IoBuildDeviceIoControlRequest(
                                CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED,
                                         FILE_ANY_ACCESS),
                                device, nullptr, 0, output, sizeof output, FALSE, &done, &iosb);
        IoCallDriver(device, irp);
        EXPECT_EQ(c.status, iosb.Status);
        EXPECT_EQ(c.copied ? 0xAB : 0, output[0]);
        EXPECT_EQ(c.copied ? 0xAB : 0, output[3]);
        EXPECT_EQ(0, output[4]) << "only Information bytes are copied";
        IoDeleteDevice(device);
    }
}

// ---------------------------------------------------------------------------------------------
// Freed requests.

#if defined(__SANITIZE_ADDRESS__)
#define CV_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CV_TEST_ASAN 1
#endif
#endif

#ifdef CV_TEST_ASAN
// The sanitizer reports the access itself: the platform poisons what it quarantines.
TEST(FreedRequest, ReadOrWriteIsReportedByTheSanitizer)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            host::Machine machine;
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            irp->IoStatus.Information = 1;
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            host::Machine machine;
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            volatile NTSTATUS status = irp->IoStatus.Status;
            (void)status;
        },
        "use-after-poison");
}
#else
TEST(FreedRequest, WriteIsFoundWhenItLeavesTheQuarantineOrAtShutdown)
{
    for (bool atShutdown : {false, true}) {
        SCOPED_TRACE(atShutdown ? "at shutdown" : "leaving the quarantine");
        host::Machine machine;
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoFreeIrp(irp);
        irp->IoStatus.Information = 1;
        BugCheckInfo info = ExpectCrash([&] {
            if (atShutdown) {
                machine.Shutdown();
                return;
            }
            for (int i = 0; i < 300; ++i)
                IoFreeIrp(IoAllocateIrp(2, FALSE));
        });
        EXPECT_EQ(host::DRIVER_VERIFIER_IOMANAGER_VIOLATION, info.code) << info.detail;
        EXPECT_EQ(host::IO_FREED_IRP_WRITTEN, info.parameters[0]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(irp), info.parameters[1]);
    }
}
#endif

TEST(FreedRequest, UntouchedRequestsPassTheQuarantine)
{
    host::Machine machine;
    for (int i = 0; i < 300; ++i)
        IoFreeIrp(IoAllocateIrp(3, FALSE));
    machine.Shutdown();
}

// ---------------------------------------------------------------------------------------------
// The platform's own locking around its bug checks.

TEST(IoLocking, FreeOfAnUnknownMdlBugChecksAndLeavesTheIoManagerUsable)
{
    host::Machine machine;
    MDL bogus{};
    BugCheckInfo info = ExpectCrash([&] { IoFreeMdl(&bogus); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, info.code);
    // The I/O manager's lock was released exactly once: it can be taken again.
    EXPECT_EQ(0u, machine.Io().LiveMdls());
}

// ---------------------------------------------------------------------------------------------
// The IRQL table: one routine of each ceiling, called at its ceiling and one above it.

struct IrqlCase {
    const char* routine;
    KIRQL ceiling;
    uint32_t code;
    uintptr_t parameter1;
    // Calls the routine; leaves nothing behind when it returns.
    std::function<void(host::Machine&)> call;
};

PDEVICE_OBJECT MakeDevice(host::Machine& machine)
{
    PDRIVER_OBJECT driver = machine.Io().CreateDriver(u"\\Driver\\irql", u"", nullptr);
    PDEVICE_OBJECT device = nullptr;
    KIRQL old = KeGetCurrentIrql();
    KeLowerIrql(PASSIVE_LEVEL);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    KIRQL ignored;
    KeRaiseIrql(old, &ignored);
    return device;
}

void NTAPI NoThread(PVOID) {}

const IrqlCase kIrqlCases[] = {
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_IO_PASSIVE1,
     [](host::Machine& m) {
         IO_STATUS_BLOCK iosb;
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoFreeIrp(IoBuildDeviceIoControlRequest(0x222000, MakeDevice(m), nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb));
     }},
    {"PsCreateSystemThread", PASSIVE_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_PS_PASSIVE,
     [](host::Machine&) {
         HANDLE thread;
         PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, NoThread, nullptr);
         ZwClose(thread);
     }},
    {"ZwClose", PASSIVE_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION, host::IRQL_RULE_ZW_PASSIVE,
     [](host::Machine&) { ZwClose(reinterpret_cast<HANDLE>(0x1234)); }},
    {"IoBuildSynchronousFsdRequest", PASSIVE_LEVEL, host::IRQL_NOT_LESS_OR_EQUAL, 0,
     [](host::Machine& m) {
         IO_STATUS_BLOCK iosb;
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoFreeIrp(IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, MakeDevice(m), nullptr, 0,
                                                nullptr, &event, &iosb));
     }},
    {"KeDelayExecutionThread", APC_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_KE_APC_LTE1,
     [](host::Machine&) {
         LARGE_INTEGER interval;
         interval.QuadPart = -10;
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"IoDeleteDevice", APC_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_IO_APC_LTE, [](host::Machine& m) { IoDeleteDevice(MakeDevice(m)); }},
    {"KeSetEvent", DISPATCH_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_KE_SET_EVENT,
     [](host::Machine&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
     }},
    {"IoAllocateIrp", DISPATCH_LEVEL, host::IRQL_NOT_LESS_OR_EQUAL, 0,
     [](host::Machine&) { IoFreeIrp(IoAllocateIrp(1, FALSE)); }},
    {"KeAcquireSpinLock", DISPATCH_LEVEL, host::DRIVER_VERIFIER_DETECTED_VIOLATION,
     host::IRQL_RULE_KE_DISPATCH_LTE,
     [](host::Machine&) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, old);
     }},
};

class IrqlTable : public ::testing::TestWithParam<IrqlCase> {};

TEST_P(IrqlTable, AtItsCeilingRuns)
{
    host::Machine machine;
    KIRQL old;
    KeRaiseIrql(GetParam().ceiling, &old);
    GetParam().call(machine);
    KeLowerIrql(old);
    EXPECT_FALSE(machine.Sched().Crashed());
}

TEST_P(IrqlTable, AboveItsCeilingIsABugCheck)
{
    host::Machine machine;
    KIRQL above = static_cast<KIRQL>(GetParam().ceiling + 1);
    BugCheckInfo info = ExpectCrash([&] {
        KIRQL old;
        KeRaiseIrql(above, &old);
        GetParam().call(machine);
    });
    EXPECT_EQ(GetParam().code, info.code) << info.detail;
    if (GetParam().parameter1 != 0) {
        EXPECT_EQ(GetParam().parameter1, info.parameters[0]);
    }
    EXPECT_EQ(above, info.parameters[1]);
    EXPECT_NE(std::string::npos, info.detail.find(GetParam().routine)) << info.detail;
}

INSTANTIATE_TEST_SUITE_P(Verifier, IrqlTable, ::testing::ValuesIn(kIrqlCases),
                         [](const auto& info) { return std::string(info.param.routine); });

} // namespace
