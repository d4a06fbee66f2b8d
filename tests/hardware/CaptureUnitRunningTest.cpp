#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "UnitTestBench.h"

namespace hw::test {
namespace {

TEST(CaptureUnitRunning, VendorResetIsCountedAndNeedsNoData)
{
    UnitOnBus bench(UnitModel::B, UnitMode::Running);
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_RESET, 0).reply, UsbReply::Ack);
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_RESET, 0).reply, UsbReply::Ack);
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_RESET, 0, {1}).reply, UsbReply::Stall);
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, {1}).reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.Activity().vendorResets, 2u);
}

TEST(CaptureUnitRunning, CommandsAreTakenAndRecordedAndNothingComesBack)
{
    UnitOnBus bench(UnitModel::A, UnitMode::Running);
    const std::vector<uint8_t> command = {0x01, 0x00, 0x02, 0x33};
    TransferResult out = bench.unit.BulkOut(CV_ENDPOINT_COMMAND, command.data(), command.size());
    EXPECT_EQ(out.reply, UsbReply::Ack);
    EXPECT_EQ(out.bytes, command.size());

    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer.data(), 16).reply, UsbReply::Nak);
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_STREAM, buffer.data(), 4096).reply, UsbReply::Nak);

    // Only the last CommandLogEntries commands are kept; the count covers all.
    for (size_t i = 0; i < CaptureUnit::CommandLogEntries; ++i) {
        uint8_t byte = static_cast<uint8_t>(i);
        bench.unit.BulkOut(CV_ENDPOINT_COMMAND, &byte, 1);
    }
    ProgramActivity activity = bench.unit.Activity();
    EXPECT_EQ(activity.commandTransfers, CaptureUnit::CommandLogEntries + 1);
    ASSERT_EQ(activity.lastCommands.size(), CaptureUnit::CommandLogEntries);
    EXPECT_EQ(activity.lastCommands.front(), std::vector<uint8_t>{0});
    EXPECT_EQ(activity.lastCommands.back(),
              std::vector<uint8_t>{static_cast<uint8_t>(CaptureUnit::CommandLogEntries - 1)});
}

struct WrongPipe {
    const char* name;
    bool out;
    uint8_t endpoint;
};

void PrintTo(const WrongPipe& item, std::ostream* out)
{
    *out << item.name;
}

const WrongPipe WrongPipes[] = {
    {"OutOnResponse", true, CV_ENDPOINT_RESPONSE},
    {"OutOnStream", true, CV_ENDPOINT_STREAM},
    {"OutOnUnknown", true, 0x02},
    {"InOnCommand", false, CV_ENDPOINT_COMMAND},
    {"InOnUnknown", false, 0x83},
};

class CaptureUnitWrongPipe : public testing::TestWithParam<WrongPipe> {};

TEST_P(CaptureUnitWrongPipe, Stalls)
{
    UnitOnBus bench(UnitModel::B, UnitMode::Running);
    uint8_t buffer[64] = {};
    TransferResult result = GetParam().out
                                ? bench.unit.BulkOut(GetParam().endpoint, buffer, sizeof buffer)
                                : bench.unit.BulkIn(GetParam().endpoint, buffer, sizeof buffer);
    EXPECT_EQ(result.reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.Activity().commandTransfers, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureUnitWrongPipe, testing::ValuesIn(WrongPipes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureUnitHalt, HaltedEndpointStallsUntilClearedOrReset)
{
    UnitOnBus bench(UnitModel::B, UnitMode::Running);
    uint8_t buffer[16] = {};
    EXPECT_FALSE(bench.unit.HaltEndpoint(0x05));
    ASSERT_TRUE(bench.unit.HaltEndpoint(CV_ENDPOINT_RESPONSE));
    ASSERT_TRUE(bench.unit.HaltEndpoint(CV_ENDPOINT_COMMAND));

    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16).reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16).reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 16).reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_STREAM, buffer, 16).reply, UsbReply::Nak);
    EXPECT_EQ(bench.unit.Activity().commandTransfers, 0u);

    bench.unit.ClearHalt(CV_ENDPOINT_RESPONSE);
    EXPECT_FALSE(bench.unit.EndpointHalted(CV_ENDPOINT_RESPONSE));
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16).reply, UsbReply::Nak);
    EXPECT_TRUE(bench.unit.EndpointHalted(CV_ENDPOINT_COMMAND));

    // A bus reset clears every halt and deconfigures; the program keeps running.
    bench.unit.HaltEndpoint(CV_ENDPOINT_STREAM);
    bench.unit.BusReset();
    EXPECT_FALSE(bench.unit.EndpointHalted(CV_ENDPOINT_COMMAND));
    EXPECT_FALSE(bench.unit.EndpointHalted(CV_ENDPOINT_STREAM));
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_STREAM, buffer, 16).reply, UsbReply::NoReply);
    ASSERT_TRUE(bench.unit.SetConfiguration(1));
    EXPECT_EQ(bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 16).reply, UsbReply::Ack);
    EXPECT_EQ(bench.unit.Mode(), UnitMode::Running);
}

TEST(CaptureUnitHalt, LoaderStallsCommandsAndHaltsThePipe)
{
    UnitOnBus bench(UnitModel::A);
    uint8_t buffer[16] = {};
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16).reply, UsbReply::Nak);
    EXPECT_EQ(bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 16).reply, UsbReply::Stall);
    EXPECT_TRUE(bench.unit.EndpointHalted(CV_ENDPOINT_COMMAND));
}

TEST(CaptureUnitConfiguration, OnlyValueOneOrZeroAndRefusalsOnRequest)
{
    CaptureUnit unit(UnitModel::B, UnitMode::Running);
    FakeUsbPort port;
    unit.Attached(&port);
    uint8_t byte = 0;
    EXPECT_EQ(unit.BulkOut(CV_ENDPOINT_COMMAND, &byte, 1).reply, UsbReply::NoReply);
    EXPECT_FALSE(unit.SetConfiguration(2));
    unit.RefuseConfigurations(1);
    EXPECT_FALSE(unit.SetConfiguration(1));
    EXPECT_TRUE(unit.SetConfiguration(1));
    EXPECT_EQ(unit.ConfigurationValue(), 1);
    EXPECT_TRUE(unit.SetConfiguration(0));
    EXPECT_EQ(unit.BulkOut(CV_ENDPOINT_COMMAND, &byte, 1).reply, UsbReply::NoReply);
    unit.Detached();
}

// A program that answers from a queue, asks the bus to retry once it has data, and stalls an
// empty command.
class ScriptedProgram final : public UnitProgram {
public:
    explicit ScriptedProgram(UnitProgramHost& host) : host(host) {}
    TransferResult CommandOut(const uint8_t*, size_t length) override
    {
        if (length == 0) {
            return {UsbReply::Stall, 0};
        }
        host.Schedule(1000, [this] {
            ready = true;
            host.DataReady(CV_ENDPOINT_RESPONSE);
        });
        return {UsbReply::Ack, length};
    }
    TransferResult ResponseIn(uint8_t* data, size_t length) override
    {
        if (!ready) {
            return {UsbReply::Nak, 0};
        }
        std::fill_n(data, length, 0x77);
        return {UsbReply::Ack, length + 100}; // claims more than fits: the unit caps it
    }
    TransferResult StreamIn(uint8_t*, size_t) override { return {UsbReply::Nak, 0}; }
    void VendorReset() override { ready = false; }

private:
    UnitProgramHost& host;
    bool ready = false;
};

TEST(CaptureUnitProgram, TheStartedProgramServesTheBulkPipesThroughItsHost)
{
    CaptureUnitOptions options;
    UnitModel startedFor{};
    options.programFactory = [&](UnitModel model, UnitProgramHost& host) {
        startedFor = model;
        return std::make_unique<ScriptedProgram>(host);
    };
    UnitOnBus bench(UnitModel::A, UnitMode::StartUp, options);
    auto image = BuildFirmwareImage(UnitModel::A, 1, Pattern(10));
    VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, image);
    VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0);
    bench.port.RunScheduled();
    EXPECT_EQ(startedFor, UnitModel::A);
    bench.unit.Detached();
    bench.unit.Attached(&bench.port);
    ASSERT_TRUE(bench.unit.SetConfiguration(1));

    uint8_t buffer[16] = {};
    EXPECT_EQ(bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 4).reply, UsbReply::Ack);
    EXPECT_EQ(bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16).reply, UsbReply::Nak);
    ASSERT_EQ(bench.port.scheduled.size(), 1u);
    EXPECT_EQ(bench.port.scheduled[0].delay, 1000);
    bench.port.RunScheduled();
    EXPECT_EQ(bench.port.dataReady, std::vector<uint8_t>{CV_ENDPOINT_RESPONSE});
    TransferResult in = bench.unit.BulkIn(CV_ENDPOINT_RESPONSE, buffer, 16);
    EXPECT_EQ(in.reply, UsbReply::Ack);
    EXPECT_EQ(in.bytes, 16u);

    // A stall from the program halts the pipe.
    EXPECT_EQ(bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 0).reply, UsbReply::Stall);
    EXPECT_TRUE(bench.unit.EndpointHalted(CV_ENDPOINT_COMMAND));

    // Work scheduled before the unit drops off the bus is dropped.
    bench.unit.ClearHalt(CV_ENDPOINT_COMMAND);
    bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, 4);
    bench.unit.Detached();
    bench.port.dataReady.clear();
    bench.port.RunScheduled();
    EXPECT_TRUE(bench.port.dataReady.empty());
    bench.unit.Attached(&bench.port);
}

// Test hooks from another thread while the bus works the unit; meant for the ThreadSanitizer
// build, where a missing lock shows as a race.
TEST(CaptureUnitThreads, HooksFromAnotherThreadWhileTheBusWorks)
{
    UnitOnBus bench(UnitModel::B, UnitMode::Running);
    std::atomic<bool> done{false};
    std::thread hooks([&] {
        while (!done) {
            bench.unit.HaltEndpoint(CV_ENDPOINT_STREAM);
            bench.unit.InjectControlFaults({ControlFaultKind::Pass});
            (void)bench.unit.Activity();
        }
    });
    uint8_t buffer[64] = {};
    for (int i = 0; i < 2000; ++i) {
        bench.unit.BulkOut(CV_ENDPOINT_COMMAND, buffer, sizeof buffer);
        bench.unit.BulkIn(CV_ENDPOINT_STREAM, buffer, sizeof buffer);
        bench.unit.ClearHalt(CV_ENDPOINT_STREAM);
        VendorOut(bench.unit, CV_VENDOR_RESET, 0);
    }
    done = true;
    hooks.join();
    EXPECT_EQ(bench.unit.Activity().commandTransfers, 2000u);
}

} // namespace
} // namespace hw::test
