// Requests through device stacks: completion routines, pending propagation, cancellation, and
// the verifier's I/O and pool checks.
#include <gtest/gtest.h>

#include "MachineChecks.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "pnp/PnpManager.h"

namespace {


// A two-device stack of host drivers whose behaviour each test sets.
struct Stack {
    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    PIRP parked = nullptr; // the lower driver's pending request
};
Stack* g_stack = nullptr;

enum class Lower { CompleteNow, Pend, CompleteTwice, PendUnmarked };
Lower g_lower = Lower::CompleteNow;
bool g_upperStops = false; // the upper completion routine returns MORE_PROCESSING_REQUIRED
bool g_sawPendingReturned = false;
int g_upperCompletions = 0;

void NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_stack->parked = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    switch (g_lower) {
    case Lower::Pend:
        IoMarkIrpPending(irp);
        g_stack->parked = irp;
        IoSetCancelRoutine(irp, CancelParked);
        return STATUS_PENDING;
    case Lower::PendUnmarked:
        g_stack->parked = irp;
        return STATUS_PENDING;
    case Lower::CompleteTwice:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Lower::CompleteNow:
    default:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
}

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    ++g_upperCompletions;
    g_sawPendingReturned = irp->PendingReturned;
    if (g_upperStops)
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(g_stack->lower, irp);
    if (g_upperStops) {
        // The completion routine kept the request: this driver owns it and finishes it later.
        IoMarkIrpPending(irp);
        g_stack->parked = irp;
        return STATUS_PENDING;
    }
    return status;
}

class Io : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_stack = &stack_;
        g_lower = Lower::CompleteNow;
        g_upperStops = false;
        g_sawPendingReturned = false;
        g_upperCompletions = 0;
        auto& io = machine_.Io();
        stack_.lowerDriver = io.CreateDriver(u"\\Driver\\lower", u"", nullptr);
        stack_.upperDriver = io.CreateDriver(u"\\Driver\\upper", u"", nullptr);
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
            stack_.lowerDriver->MajorFunction[i] = LowerDispatch;
            stack_.upperDriver->MajorFunction[i] = UpperDispatch;
        }
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(stack_.lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &stack_.lower));
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(stack_.upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &stack_.upper));
        ASSERT_EQ(stack_.lower, IoAttachDeviceToDeviceStack(stack_.upper, stack_.lower));
    }

    void TearDown() override
    {
        // A crashed machine's devices stay as they are; the crash fails the test unless the
        // test took it, when the machine goes.
        if (machine_.Sched().Crashed())
            return;
        IoDetachDevice(stack_.lower);
        IoDeleteDevice(stack_.upper);
        IoDeleteDevice(stack_.lower);
        EXPECT_EQ(0u, machine_.Io().LiveIrps());
    }

    // Sends a device-control request down the stack; returns the dispatch's status.
    NTSTATUS Send(IO_STATUS_BLOCK* iosb, KEVENT* done)
    {
        KeInitializeEvent(done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack_.upper, nullptr, 0, nullptr, 0, TRUE,
                                                 done, iosb);
        return IoCallDriver(stack_.upper, irp);
    }

    host::Machine machine_;
    Stack stack_;
};

TEST_F(Io, ACompletedRequestReachesItsCallerThroughTheCompletionRoutine)
{
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    EXPECT_EQ(STATUS_SUCCESS, Send(&iosb, &done));
    EXPECT_EQ(1, g_upperCompletions);
    EXPECT_FALSE(g_sawPendingReturned);
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(7u, iosb.Information);
    EXPECT_EQ(1, KeReadStateEvent(&done));
}

TEST_F(Io, PendingPropagatesUpAndCancelCompletesOnce)
{
    g_lower = Lower::Pend;
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    EXPECT_EQ(STATUS_PENDING, Send(&iosb, &done));
    EXPECT_EQ(0, KeReadStateEvent(&done));
    PIRP irp = stack_.parked;
    ASSERT_NE(nullptr, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_TRUE(g_sawPendingReturned);
    EXPECT_EQ(STATUS_CANCELLED, iosb.Status);
    EXPECT_EQ(1, g_upperCompletions);
}

TEST_F(Io, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain)
{
    g_upperStops = true;
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack_.upper, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack_.upper, irp));
    EXPECT_EQ(irp, stack_.parked);
    EXPECT_EQ(1, g_upperCompletions);
    EXPECT_EQ(0, KeReadStateEvent(&done)) << "the caller has not seen it yet";
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(1, KeReadStateEvent(&done));
}

struct Violation {
    Lower lower;
    uint32_t code;
    uintptr_t parameter;
};

class IoViolation : public Io, public ::testing::WithParamInterface<Violation> {};

TEST_P(IoViolation, IsABugCheck)
{
    g_lower = GetParam().lower;
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    host::BugCheckInfo crash = rig::BugCheckOf(machine_, [&] { Send(&iosb, &done); });
    EXPECT_EQ(GetParam().code, crash.code) << host::Describe(crash);
    if (GetParam().parameter != 0) {
        EXPECT_EQ(GetParam().parameter, crash.parameters[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, IoViolation,
    ::testing::Values(Violation{Lower::CompleteTwice, host::MULTIPLE_IRP_COMPLETE_REQUESTS, 0},
                      Violation{Lower::PendUnmarked, host::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                                host::IO_PENDING_NOT_MARKED}));

TEST(Verifier, PoolHeldPastUnloadIsABugCheck)
{
    host::Machine machine;
    machine.Pnp().InstallPackage({"ROOT\\LEAKY", "LEAKY", CV_LEAKY_DRIVER_PATH});
    PDRIVER_OBJECT driver = nullptr;
    machine.Pnp().RunOnPnpThread([&] { machine.Pnp().LoadDriver("LEAKY", &driver); });
    ASSERT_NE(nullptr, driver);
    host::BugCheckInfo crash =
        rig::BugCheckOf(machine, [&] { machine.Pnp().UnloadIfUnused(driver); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, crash.code);
    EXPECT_EQ(host::VERIFIER_POOL_LEAK_AT_UNLOAD, crash.parameters[0]);
    EXPECT_NE(std::string::npos, crash.detail.find("64 bytes tag 'Leak'")) << host::Describe(crash);
    EXPECT_EQ("PnP manager", crash.thread);
}

// The overrun is written out of the sanitizer's sight (which now sees the pool's guards), so
// that what catches it is the platform's own check.
__attribute__((no_sanitize("address"))) void WritePastEnd(PUCHAR block, size_t size)
{
    block[size] = 0;
}

TEST(Verifier, BadFreesAreBugChecks)
{
    const struct {
        bool overrun;
        bool twice;
        uint32_t code;
    } cases[] = {{true, false, host::BAD_POOL_HEADER}, {false, true, host::BAD_POOL_CALLER}};
    for (auto c : cases) {
        host::Machine machine;
        auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554));
        if (c.overrun)
            WritePastEnd(block, 16); // one past the end
        host::BugCheckInfo crash = rig::BugCheckOf(machine, [&] {
            ExFreePoolWithTag(block, 0x74736554);
            if (c.twice)
                ExFreePoolWithTag(block, 0x74736554);
        });
        EXPECT_EQ(c.code, crash.code) << host::Describe(crash);
    }
}

} // namespace
