// A unit's life in the transport driver: numbering and names, the "Port Name" values, start
// and removal through Plug and Play, the failure paths of AddDevice, capabilities and recovery.
#include "Cvusbdrv.h"
#include "CvIoctl.h"
#include "UnitRig.h"
#include "wmi/WmiService.h"

namespace {

using rig::UnitRig;

class UnitLifecycle : public UnitRig {
protected:
    UnitExtension* Ext(int n)
    {
        PDEVICE_OBJECT d = Unit(n);
        return d != nullptr ? CV_EXTENSION(d) : nullptr;
    }
    std::u16string Name(int n) { return Prefix() + Widen(n); }
};

TEST_F(UnitLifecycle, UnitsTakeTheLowestFreeNumber)
{
    int first = Plug();
    int second = Plug();
    ASSERT_NE(nullptr, Unit(1));
    ASSERT_NE(nullptr, Unit(2));
    EXPECT_EQ(0, Ext(1)->unitIndex);
    EXPECT_EQ(1, Ext(2)->unitIndex);
    NTSTATUS status;
    EXPECT_EQ(Unit(1), M().Objects().Resolve(u"\\DosDevices\\" + Name(1), &status));
    EXPECT_EQ(Unit(2), M().Objects().Resolve(u"\\DosDevices\\" + Name(2), &status));
    EXPECT_EQ(Name(2), PortName(rig::ParametersKey(model_)));
    EXPECT_EQ(Name(1), PortName(NodeOfPort(first)->driverKey));
    EXPECT_EQ(Name(1), PortName(NodeOfPort(first)->hardwareKey));
    EXPECT_EQ(Name(2), PortName(NodeOfPort(second)->hardwareKey));

    Unplug(first);
    EXPECT_EQ(nullptr, Unit(1));
    EXPECT_FALSE(M().Objects().LinkExists(u"\\DosDevices\\" + Name(1)));
    EXPECT_EQ(u"", PortName(NodeOfPort(first)->driverKey)) << "given back: the empty name";
    int third = Plug();
    ASSERT_NE(nullptr, Unit(1)) << "number 0 is free again";
    EXPECT_EQ(Name(1), PortName(NodeOfPort(third)->driverKey));
    EXPECT_EQ(Name(1), PortName(rig::ParametersKey(model_)));
}

TEST_F(UnitLifecycle, NumbersNineAndUpNameLikeTheirPortsAndRunOutAt128)
{
    SetParameter("MaxUnitLv", 15); // small rings: 128 units fit in memory comfortably
    int last = 0;
    for (int i = 0; i < 128; ++i)
        last = Plug();
    ASSERT_NE(nullptr, Unit(9));
    ASSERT_NE(nullptr, Unit(10));
    EXPECT_EQ(9, Ext(10)->unitIndex);
    NTSTATUS status;
    EXPECT_EQ(Unit(10), M().Objects().Resolve(u"\\DosDevices\\" + Name(10), &status));
    EXPECT_EQ(Name(128), PortName(NodeOfPort(last)->driverKey));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Ext(128)->dosName)),
              u"\\DosDevices\\" + Name(128));

    int refused = Plug();
    EXPECT_EQ(host::DevnodeState::AddFailed, NodeOfPort(refused)->state);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, NodeOfPort(refused)->lastStatus);
}

TEST_F(UnitLifecycle, GivingBackANumberOutOfRangeClearsNothingButEmptiesThePortNames)
{
    int port = Plug();
    Plug(); // keeps the driver loaded
    Ext(1)->unitIndex = 200;
    Unplug(port);
    EXPECT_EQ(u"", PortName(NodeOfPort(port)->driverKey));
    EXPECT_EQ(u"", PortName(rig::ParametersKey(model_)));
    Plug();
    EXPECT_EQ(nullptr, Unit(1)) << "number 0 stays taken";
    ASSERT_NE(nullptr, Unit(3));
}

TEST_F(UnitLifecycle, WithoutAParametersKeyNothingIsCreatedAndNoNumberIsLost)
{
    M().Registry().DeleteKey(rig::ParametersKey(model_));
    int port = Plug();
    EXPECT_EQ(host::DevnodeState::AddFailed, NodeOfPort(port)->state);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, NodeOfPort(port)->lastStatus);
    EXPECT_EQ(nullptr, Unit(1));
    M().Registry().CreateKey(rig::ParametersKey(model_));
    Plug();
    EXPECT_NE(nullptr, Unit(1));
}

// Every failure of AddDevice leaves nothing behind: no device, name, link or pool, and the
// next unit still gets the first number.
TEST_F(UnitLifecycle, AddDeviceFailuresUndoEverything)
{
    struct Case {
        const char* what;
        std::function<void(host::Machine&)> arm;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"device object", [](host::Machine& m) { m.Verify().FailTag(0x69766544); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"WMI registration",
         [](host::Machine& m) { m.Wmi().FailNextRegistration(STATUS_INSUFFICIENT_RESOURCES); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"attach", [](host::Machine& m) { m.Io().FailNextAttach(); }, STATUS_NO_SUCH_DEVICE},
        {"link",
         [this](host::Machine& m) { m.Objects().CreateLink(u"\\DosDevices\\" + Name(2), u"\\x"); },
         STATUS_OBJECT_NAME_COLLISION},
        {"shared request", [](host::Machine& m) { m.Verify().FailNth(host::ResourceKind::Irp, 1); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"AudioRate read",
         [this](host::Machine& m) {
             m.Registry().FailValueReads(rig::ParametersKey(model_), "AudioRate",
                                         STATUS_ACCESS_DENIED);
         },
         STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Plug(); // loads the driver, so the fault hits AddDevice and not DriverEntry
        c.arm(M());
        int port = Plug();
        M().Verify().ClearFaults();
        M().Registry().ClearFaults();
        M().Objects().DeleteLink(u"\\DosDevices\\" + Name(2));
        EXPECT_EQ(host::DevnodeState::AddFailed, NodeOfPort(port)->state);
        EXPECT_EQ(c.expected, NodeOfPort(port)->lastStatus);
        EXPECT_EQ(nullptr, Unit(2));
        Plug();
        EXPECT_NE(nullptr, Unit(2)) << "the number was given back";
        for (int p : M().Usb().Ports())
            Unplug(p);
        EXPECT_TRUE(M().Verify().Reports().empty());
    }
}

// Low-resources simulation: each pool allocation the driver makes while a unit arrives fails in
// turn; every one of them ends in a clean failure or, once none is left to fail, a running unit.
TEST_F(UnitLifecycle, EveryPoolFailureDuringArrivalIsClean)
{
    for (int n = 1;; ++n) {
        SCOPED_TRACE("failing pool allocation " + std::to_string(n));
        ASSERT_LT(n, 64) << "arrival never succeeded";
        M().Verify().FailNth(host::ResourceKind::Pool, n);
        int port = Plug();
        bool injected = M().Verify().InjectedFailures(host::ResourceKind::Pool) > 0;
        M().Verify().ClearFaults();
        host::Devnode* node = NodeOfPort(port);
        Unplug(port);
        ASSERT_TRUE(M().Verify().Reports().empty()) << M().Verify().Reports().front();
        if (!injected) {
            EXPECT_EQ(host::DevnodeState::Removed, node->state);
            break;
        }
        EXPECT_FALSE(NT_SUCCESS(node->lastStatus));
        machine_->Verify().ClearReports();
        machine_.reset();
        Boot(host::MachineOptions{});
    }
}

TEST_F(UnitLifecycle, DriverEntryPrintsItsLineAndSurvivesNoMemory)
{
    M().Verify().FailNth(host::ResourceKind::Pool, 1);
    int port = Plug();
    EXPECT_EQ(host::DevnodeState::NoDriver, NodeOfPort(port)->state);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, NodeOfPort(port)->lastStatus);
    auto log = M().DebugLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("Cvusbdrv DriverEntry exit.", log.back());
    Plug();
    EXPECT_NE(nullptr, Unit(1));
}

TEST_F(UnitLifecycle, StartReadsTheConfigurationAndRemovalTearsItDown)
{
    int port = Plug();
    UnitExtension* unit = Ext(1);
    ASSERT_NE(nullptr, unit);
    EXPECT_EQ(Running, unit->pnpState);
    ASSERT_NE(nullptr, unit->interfaceInfo);
    ASSERT_EQ(3u, unit->interfaceInfo->NumberOfPipes);
    const UCHAR endpoints[] = {CV_ENDPOINT_COMMAND, CV_ENDPOINT_RESPONSE, CV_ENDPOINT_STREAM};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(endpoints[i], unit->interfaceInfo->Pipes[i].EndpointAddress);
        EXPECT_EQ(UsbdPipeTypeBulk, unit->interfaceInfo->Pipes[i].PipeType);
        EXPECT_EQ(4096u, unit->interfaceInfo->Pipes[i].MaximumTransferSize);
        EXPECT_EQ(0, unit->pipeOpen[i]);
    }
    EXPECT_EQ(1, unit->ioCount);
    uint64_t aborts = M().Usb().AbortsSeen();
    Unplug(port);
    EXPECT_EQ(aborts + 3, M().Usb().AbortsSeen()) << "surprise removal aborts each pipe once";
    EXPECT_EQ(nullptr, Unit(1));
}

TEST_F(UnitLifecycle, OrderlyRemovalTearsDownInFull)
{
    int port = Plug();
    uint64_t aborts = M().Usb().AbortsSeen();
    M().Pnp().RequestRemoval(NodeOfPort(port));
    M().Pnp().WaitIdle();
    EXPECT_EQ(nullptr, Unit(1));
    EXPECT_EQ(aborts + 3, M().Usb().AbortsSeen());
    EXPECT_EQ(host::DevnodeState::Removed, NodeOfPort(port)->state);
}

TEST_F(UnitLifecycle, AFailedStartIsRemovedWithoutAbortingPipes)
{
    Plug(); // the driver is loaded
    M().Usb().FailNextUrbs(1, USBD_STATUS_DEV_NOT_RESPONDING);
    uint64_t aborts = M().Usb().AbortsSeen();
    int port = Plug();
    EXPECT_EQ(host::DevnodeState::StartFailed, NodeOfPort(port)->state);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, NodeOfPort(port)->lastStatus);
    EXPECT_EQ(aborts, M().Usb().AbortsSeen()) << "no pipe table yet: nothing to abort";
    EXPECT_EQ(nullptr, Unit(2));
}

TEST_F(UnitLifecycle, StopQueriesAndTheirCancels)
{
    int port = Plug();
    host::Devnode* node = NodeOfPort(port);
    UnitExtension* unit = Ext(1);
    auto send = [&](UCHAR minor) { return M().Pnp().SendPnp(node, minor, [](PIO_STACK_LOCATION) {}); };
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_CANCEL_STOP_DEVICE)) << "a spurious cancel succeeds";
    EXPECT_EQ(Running, unit->pnpState);
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(StopQueried, unit->pnpState);
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(Running, unit->pnpState);
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(RemoveQueried, unit->pnpState);
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(Running, unit->pnpState);

    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(Halted, unit->pnpState);
    EXPECT_EQ(nullptr, unit->interfaceInfo);
    EXPECT_EQ(STATUS_SUCCESS, send(IRP_MN_START_DEVICE));
    EXPECT_EQ(Running, unit->pnpState);
    ASSERT_NE(nullptr, unit->pipeOpen);
    EXPECT_EQ(0, unit->pipeOpen[0] | unit->pipeOpen[1] | unit->pipeOpen[2]);
}

TEST_F(UnitLifecycle, CapabilitiesGiveTheSleepState)
{
    struct Case {
        DEVICE_POWER_STATE s1, s2, s3, expected;
    };
    const Case cases[] = {
        {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
        {PowerDeviceD0, PowerDeviceD0, PowerDeviceD0, PowerDeviceD2},
    };
    int port = Plug();
    host::Devnode* node = NodeOfPort(port);
    for (const Case& c : cases) {
        M().Usb().Port(port)->capabilities = [c](DEVICE_CAPABILITIES& caps) {
            caps.DeviceState[PowerSystemSleeping1] = c.s1;
            caps.DeviceState[PowerSystemSleeping2] = c.s2;
            caps.DeviceState[PowerSystemSleeping3] = c.s3;
        };
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        EXPECT_EQ(STATUS_SUCCESS, M().Pnp().SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
            [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; }));
        EXPECT_EQ(c.expected, Ext(1)->sleepDeviceState);
        EXPECT_TRUE(caps.SurpriseRemovalOK);
        EXPECT_EQ(c.s3, Ext(1)->capabilities.DeviceState[PowerSystemSleeping3]);
    }
    DEVICE_CAPABILITIES old{};
    old.Size = sizeof old;
    old.Version = 0;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, M().Pnp().SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
        [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &old; }));
}

TEST_F(UnitLifecycle, RecoverResetsOnlyAConnectedDisabledPort)
{
    int port = Plug();
    host::DeviceHandle handle;
    ASSERT_EQ(STATUS_SUCCESS, handle.Open(u"\\DosDevices\\" + Name(1)));
    EXPECT_EQ(1, Ext(1)->openCount);
    const struct {
        ULONG portStatus;
        bool resets;
    } cases[] = {{0x2, true}, {0x3, false}, {0x0, false}};
    for (auto c : cases) {
        M().Usb().Port(port)->portStatusOverride = c.portStatus;
        uint64_t resets = M().Usb().PortResets();
        EXPECT_EQ(STATUS_SUCCESS, handle.Control(IOCTL_CORV_RECOVER, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_EQ(resets + (c.resets ? 1 : 0), M().Usb().PortResets()) << c.portStatus;
    }
    handle.Close();
    EXPECT_EQ(0, Ext(1)->openCount);
}

TEST_F(UnitLifecycle, ReadConfigWantsRoomForTheWholeDescriptor)
{
    Plug();
    host::DeviceHandle handle;
    ASSERT_EQ(STATUS_SUCCESS, handle.Open(u"\\Device\\" + Name(1)));
    USHORT total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Ext(1)->configDescriptor)->wTotalLength;
    std::vector<UCHAR> buffer(total);
    ULONG_PTR information = 99;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              handle.Control(IOCTL_CORV_READ_CONFIG, nullptr, 0, buffer.data(), total - 1, &information));
    EXPECT_EQ(0u, information);
    EXPECT_EQ(STATUS_SUCCESS,
              handle.Control(IOCTL_CORV_READ_CONFIG, nullptr, 0, buffer.data(), total, &information));
    EXPECT_EQ(total, information);
    EXPECT_EQ(0, memcmp(buffer.data(), Ext(1)->configDescriptor, total));
}

// A unit that is stopped and started again by hand, with its faults scripted in between.
class Restart : public UnitLifecycle {
protected:
    void SetUp() override
    {
        UnitLifecycle::SetUp();
        unit_ = std::make_shared<hw::CaptureUnit>(model_, hw::UnitMode::Running);
        node_ = NodeOfPort(M().Usb().Plug(unit_));
        M().Pnp().WaitIdle();
        real_ = ReadConfig();
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_STOP_DEVICE));
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    }
    NTSTATUS Send(UCHAR minor)
    {
        return M().Pnp().SendPnp(node_, minor, [](PIO_STACK_LOCATION) {});
    }

    // The descriptor IOCTL_CORV_READ_CONFIG gives, read with room to spare.
    std::vector<UCHAR> ReadConfig()
    {
        host::DeviceHandle handle;
        EXPECT_EQ(STATUS_SUCCESS, handle.Open(u"\\Device\\" + Name(1)));
        std::vector<UCHAR> buffer(0x10000);
        ULONG_PTR information = 0;
        EXPECT_EQ(STATUS_SUCCESS, handle.Control(IOCTL_CORV_READ_CONFIG, nullptr, 0, buffer.data(),
                                                 static_cast<ULONG>(buffer.size()), &information));
        buffer.resize(information);
        return buffer;
    }

    std::shared_ptr<hw::CaptureUnit> unit_;
    host::Devnode* node_ = nullptr;
    std::vector<UCHAR> real_; // the descriptor of the first start
};

// The second read of the configuration descriptor must bring exactly the bytes the header of
// the first announced. A descriptor that grows, shrinks or comes back cut short fails the
// start; the unit then starts with its real descriptor, and nothing is left behind.
TEST_F(Restart, AConfigurationDescriptorThatChangesBetweenReadsFailsTheStart)
{
    auto setTotal = [](std::vector<uint8_t>& d, uint16_t total) {
        d[2] = static_cast<uint8_t>(total);
        d[3] = static_cast<uint8_t>(total >> 8);
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> edit;
    };
    const Case cases[] = {
        {"grows to 65535 bytes", [&](auto& d) { setTotal(d, 0xFFFF); d.resize(0xFFFF); }},
        {"grows by an endpoint",
         [&](auto& d) {
             d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x84, 2, 64, 0, 0});
             d[13]++; // bNumEndpoints
             setTotal(d, static_cast<uint16_t>(d.size()));
         }},
        {"loses its last endpoint",
         [&](auto& d) {
             d.resize(d.size() - 7);
             d[13]--;
             setTotal(d, static_cast<uint16_t>(d.size()));
         }},
        {"comes back cut short", [](auto& d) { d.resize(20); }},
        {"keeps its length but says it is shorter", [&](auto& d) { setTotal(d, 25); }},
    };
    ASSERT_FALSE(real_.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unit_->RewriteConfigurationDescriptor([&c](std::vector<uint8_t>& d, unsigned read) {
            if (read == 2)
                c.edit(d);
        });
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Send(IRP_MN_START_DEVICE));
        EXPECT_EQ(nullptr, Ext(1)->configDescriptor);
        EXPECT_EQ(nullptr, Ext(1)->interfaceInfo);
        unit_->RewriteConfigurationDescriptor(nullptr);
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
        EXPECT_EQ(Running, Ext(1)->pnpState);
        EXPECT_EQ(real_, ReadConfig());
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_STOP_DEVICE));
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    }
}

// A start that fails after reading the descriptors (the unit refuses its configuration) keeps
// them; the next start frees them before reading again. The verifier's pool check at the end
// of the test finds any that leaked.
TEST_F(Restart, AStartAfterAFailedStartFreesWhatTheFailedOneRead)
{
    unit_->RefuseConfigurations(1);
    EXPECT_FALSE(NT_SUCCESS(Send(IRP_MN_START_DEVICE)));
    EXPECT_NE(nullptr, Ext(1)->configDescriptor) << "the failed start read the descriptor";
    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
    EXPECT_EQ(Running, Ext(1)->pnpState);
    EXPECT_EQ(0, Ext(1)->pipeOpen[0] | Ext(1)->pipeOpen[1] | Ext(1)->pipeOpen[2]);
}

} // namespace

namespace {

class RealTimeLifecycle : public rig::UnitRig {
protected:
    void SetUp() override
    {
        host::MachineOptions options;
        options.mode = host::TimeMode::Real;
        Boot(options);
    }
};

TEST_F(RealTimeLifecycle, UnitsArriveAndLeaveOnTheRealClock)
{
    int first = Plug();
    int second = Plug();
    ASSERT_NE(nullptr, Unit(1));
    ASSERT_NE(nullptr, Unit(2));
    EXPECT_EQ(Running, CV_EXTENSION(Unit(2))->pnpState);
    Unplug(first);
    EXPECT_EQ(nullptr, Unit(1));
    Unplug(second);
    EXPECT_EQ(nullptr, Unit(2));
}

} // namespace
