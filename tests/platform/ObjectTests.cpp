// Object references: device and thread objects are counted like file objects, a dereference
// below zero is a bug check, a device object's memory goes only once it is deleted, no longer
// referenced and nothing is attached to it, and what is still held at shutdown is reported.
#include <gtest/gtest.h>

#include <string>

#include "CrashExpect.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "io/ObjectManager.h"
#include "verifier/Verifier.h"

namespace {

using probe::CrashOf;

void NTAPI WaitThenReturn(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

class Objects : public ::testing::Test {
protected:
    void SetUp() override
    {
        driver_ = machine_.Io().CreateDriver(u"\\Driver\\objects", u"", nullptr);
    }

    PDEVICE_OBJECT Create(PCWSTR name)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 16, name != nullptr ? &text : nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        return device;
    }

    bool Named(const std::u16string& name)
    {
        NTSTATUS status;
        return machine_.Objects().Resolve(name, &status) != nullptr;
    }

    host::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(Objects, AThreadObjectIsCountedAndADereferenceBelowZeroIsABugCheck)
{
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenReturn, &go));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr));
    EXPECT_EQ(2, machine_.Objects().References(thread)) << "the handle's and ours";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(1, machine_.Objects().References(thread));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
    EXPECT_FALSE(machine_.Objects().Tracked(thread, nullptr));
    host::BugCheckInfo crash = CrashOf([&] { ObDereferenceObject(thread); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, crash.code);
    EXPECT_EQ(host::VERIFIER_BAD_OBJECT_REFERENCE, crash.parameters[0]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(thread), crash.parameters[1]);
}

TEST_F(Objects, AReferencedDeviceObjectOutlivesItsDeletionButNotItsName)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\Held");
    size_t live = machine_.Io().LiveDeviceObjects();
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_FALSE(Named(u"\\Device\\Held")) << "deletion takes the name at once";
    EXPECT_TRUE(machine_.Objects().Tracked(device, nullptr));
    EXPECT_EQ(live, machine_.Io().LiveDeviceObjects()) << "memory kept for the reference";
    ObDereferenceObject(device);
    EXPECT_FALSE(machine_.Objects().Tracked(device, nullptr));
    EXPECT_EQ(live - 1, machine_.Io().LiveDeviceObjects());
}

TEST_F(Objects, DroppingAReferenceANamedDeviceNeverGotIsABugCheck)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\Named");
    host::BugCheckInfo crash = CrashOf([&] { ObDereferenceObject(device); });
    EXPECT_EQ(host::DRIVER_VERIFIER_DETECTED_VIOLATION, crash.code);
    EXPECT_EQ(host::VERIFIER_BAD_OBJECT_REFERENCE, crash.parameters[0]);
    EXPECT_NE(std::string::npos, crash.detail.find("\\Device\\Named")) << crash.detail;
    EXPECT_TRUE(Named(u"\\Device\\Named"));
}

TEST_F(Objects, ADeletedDeviceKeepsItsMemoryWhileAnotherIsAttachedToIt)
{
    PDEVICE_OBJECT lower = Create(nullptr);
    PDEVICE_OBJECT upper = Create(nullptr);
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    size_t live = machine_.Io().LiveDeviceObjects();
    IoDeleteDevice(lower); // the bus deletes its device before the function driver detaches
    EXPECT_EQ(live, machine_.Io().LiveDeviceObjects());
    IoDetachDevice(lower);
    EXPECT_EQ(live - 1, machine_.Io().LiveDeviceObjects());
    IoDeleteDevice(upper);
    EXPECT_EQ(live - 2, machine_.Io().LiveDeviceObjects());
}

TEST_F(Objects, ReferencesAndHandlesStillHeldAtShutdownAreReported)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\Kept");
    ObReferenceObject(device);
    IoDeleteDevice(device);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenReturn, &go));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    machine_.Shutdown();
    auto reports = machine_.Verify().Reports();
    auto count = [&](const char* a, const char* b) {
        int n = 0;
        for (auto& r : reports)
            n += r.find(a) != std::string::npos && r.find(b) != std::string::npos;
        return n;
    };
    EXPECT_EQ(1, count("device object \\Device\\Kept", "1 reference(s) held")) << reports.size();
    EXPECT_EQ(1, count("thread", "1 reference(s) held"));
    EXPECT_EQ(1, count("handle", "still open"));
    EXPECT_EQ(3u, reports.size());
    machine_.Verify().ClearReports();
}

} // namespace
