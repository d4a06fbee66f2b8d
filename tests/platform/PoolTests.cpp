// The verifier's pool checks: guards before and after each block, the fill of freed blocks in
// the quarantine (checked at free, when a block leaves the quarantine and at shutdown), the
// zero-byte allocation, and in the sanitizer build the poisoning that lets the sanitizer see
// the same faults as they happen.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "CrashExpect.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "kernel/Pool.h"
#include "pnp/PnpManager.h"
#include "ProbeDriver.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CV_TEST_ASAN 1
#endif
#endif
#if !defined(CV_TEST_ASAN) && defined(__SANITIZE_ADDRESS__)
#define CV_TEST_ASAN 1
#endif

namespace {

using probe::CrashOf;

constexpr ULONG kTag = 0x74736554; // "Test"

// Writes one byte as a faulty driver would, out of the sanitizer's sight, so that what catches
// it is the platform's own check.
__attribute__((no_sanitize("address"))) void Scribble(void* block, ptrdiff_t offset)
{
    static_cast<volatile unsigned char*>(block)[offset] = 0x42;
}

enum class Found { AtFree, AtShutdown, LeavingQuarantine };

struct Damage {
    const char* what;
    size_t size;
    ptrdiff_t offset; // from the start of the block
    bool afterFree;
    Found found;
    const char* report; // words the report must hold
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.what; }

class PoolDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(PoolDamage, IsABadPoolHeaderNamingTheBlockAndOffset)
{
    const Damage& d = GetParam();
    host::Machine machine;
    machine.PoolManager().SetQuarantineLimit(d.size);
    void* block = ExAllocatePoolWithTag(NonPagedPool, d.size, kTag);
    host::BugCheckInfo crash = CrashOf([&] {
        if (d.afterFree)
            ExFreePoolWithTag(block, kTag);
        Scribble(block, d.offset);
        switch (d.found) {
        case Found::AtFree:
            ExFreePoolWithTag(block, kTag);
            break;
        case Found::LeavingQuarantine:
            // The next free pushes the damaged block out of the quarantine.
            ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, d.size, kTag), kTag);
            break;
        case Found::AtShutdown:
            machine.Shutdown();
            break;
        }
    });
    EXPECT_EQ(host::BAD_POOL_HEADER, crash.code) << crash.detail;
    EXPECT_EQ(host::POOL_PATTERN_CHECK_FAILED, crash.parameters[0]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block), crash.parameters[1]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) + d.offset, crash.parameters[3]);
    EXPECT_NE(std::string::npos, crash.detail.find(d.report)) << crash.detail;
    EXPECT_NE(std::string::npos, crash.detail.find("'Test'")) << crash.detail;
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, PoolDamage,
    ::testing::Values(
        Damage{"ByteBefore", 24, -1, false, Found::AtFree, "1 byte(s) before the start"},
        Damage{"FrontGuardEdge", 24, -32, false, Found::AtFree, "32 byte(s) before the start"},
        Damage{"SlackAfter", 20, 20, false, Found::AtFree, "1 byte(s) past the end"},
        Damage{"FarPastEnd", 64, 64 + 60, false, Found::AtFree, "61 byte(s) past the end"},
        Damage{"FarPastLargeBlock", 1000, 1000 + 900, false, Found::AtFree,
               "901 byte(s) past the end"},
        Damage{"LiveAtShutdown", 32, 40, false, Found::AtShutdown, "9 byte(s) past the end"},
        Damage{"FreedAtShutdown", 48, 5, true, Found::AtShutdown,
               "write into freed pool block"},
        Damage{"FreedLeavingQuarantine", 48, 47, true, Found::LeavingQuarantine,
               "left the quarantine"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return info.param.what; });

TEST(Verifier, PoolDamageReportNamesTheDriver)
{
    host::Machine machine;
    machine.Pnp().InstallPackage({"ROOT\\PROBE", "PROBE", CV_PROBE_DRIVER_PATH});
    PDRIVER_OBJECT driver = nullptr;
    machine.Pnp().RunOnPnpThread([&] { machine.Pnp().LoadDriver("PROBE", &driver); });
    ASSERT_NE(nullptr, driver);
    PDEVICE_OBJECT device = driver->DeviceObject;
    auto control = [&](ULONG code, PVOID buffer, ULONG in, ULONG out) {
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, buffer, in, buffer, out, FALSE,
                                                 &done, &iosb);
        return IoCallDriver(device, irp);
    };
    union {
        ULONG size;
        PVOID block;
    } io{};
    io.size = 40;
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_PROBE_ALLOCATE, &io, sizeof io, sizeof io));
    void* block = io.block;
    Scribble(block, 40 + 30);
    host::BugCheckInfo crash =
        CrashOf([&] { control(IOCTL_PROBE_FREE, &block, sizeof block, 0); });
    EXPECT_EQ(host::BAD_POOL_HEADER, crash.code);
    EXPECT_NE(std::string::npos, crash.detail.find("'Prob' of 40 bytes")) << crash.detail;
    EXPECT_NE(std::string::npos, crash.detail.find("allocated by probedriver")) << crash.detail;
    EXPECT_NE(std::string::npos, crash.detail.find("offset +0x46")) << crash.detail;
}

TEST(Verifier, ZeroByteAllocationIsABugCheck)
{
    host::Machine machine;
    host::BugCheckInfo crash = CrashOf([] { ExAllocatePoolWithTag(PagedPool, 0, kTag); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, crash.code);
    EXPECT_EQ(host::VERIFIER_ZERO_BYTE_POOL_ALLOCATION, crash.parameters[0]);
    EXPECT_EQ(static_cast<uintptr_t>(PASSIVE_LEVEL), crash.parameters[1]);
    EXPECT_EQ(static_cast<uintptr_t>(PagedPool), crash.parameters[2]);
    EXPECT_EQ(0u, crash.parameters[3]);
}

#if CV_TEST_ASAN
// The quarantine keeps freed blocks allocated; the sanitizer sees through it because the pool
// poisons them, and poisons the guards of live blocks.
TEST(PoolDeathTest, TheSanitizerSeesAccessesToGuardsAndFreedBlocks)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::Machine machine;
            auto* block = static_cast<volatile unsigned char*>(
                ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
            ExFreePoolWithTag(const_cast<unsigned char*>(block), kTag);
            block[3] = 1;
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            host::Machine machine;
            auto* block = static_cast<volatile unsigned char*>(
                ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
            (void)block[-4];
        },
        "use-after-poison");
}
#endif

} // namespace
