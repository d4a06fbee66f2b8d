#include <gtest/gtest.h>

#include "ByteOrder.h"
#include "UnitTestBench.h"

namespace hw::test {
namespace {

constexpr int64_t Ms = 10'000;

uint16_t ProductIdOf(const CaptureUnit& unit)
{
    return GetLe16(&unit.DeviceDescriptor()[10]);
}

// Writes `bytes` from address 0 the way the transport driver does: 4096 bytes per request.
void WriteImage(CaptureUnit& unit, const std::vector<uint8_t>& bytes)
{
    for (size_t at = 0; at < bytes.size(); at += CV_BOOT_TRANSFER_MAX) {
        size_t n = std::min<size_t>(CV_BOOT_TRANSFER_MAX, bytes.size() - at);
        std::vector<uint8_t> block(bytes.begin() + at, bytes.begin() + at + n);
        ASSERT_EQ(VendorOut(unit, CV_VENDOR_BOOT_WRITE_MEMORY, static_cast<uint16_t>(at), block)
                      .reply,
                  UsbReply::Ack);
    }
}

TEST(CaptureUnitLoader, StatusFollowsTheLoad)
{
    UnitOnBus bench(UnitModel::B);
    EXPECT_EQ(ReadStatusBytes(bench.unit), (std::vector<uint8_t>{0, 0}));
    VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0x100, {1, 2, 3});
    EXPECT_EQ(ReadStatusBytes(bench.unit), (std::vector<uint8_t>{1, 0}));

    // A longer buffer gets the two bytes; a one-byte buffer gets the state only.
    std::vector<uint8_t> eight(8, 0xAA);
    TransferResult result = VendorIn(bench.unit, CV_VENDOR_BOOT_STATUS, 0, eight);
    EXPECT_EQ(result.bytes, 2u);
    std::vector<uint8_t> one(1);
    EXPECT_EQ(VendorIn(bench.unit, CV_VENDOR_BOOT_STATUS, 0, one).bytes, 1u);
    EXPECT_EQ(one[0], 1);
}

TEST(CaptureUnitLoader, MemoryWritesAndReadsWrapAt64KiB)
{
    UnitOnBus bench(UnitModel::A);
    auto data = Pattern(CV_BOOT_TRANSFER_MAX);
    const uint16_t nearTop = 0x10000 - 2048;
    TransferResult write = VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, nearTop, data);
    EXPECT_EQ(write.reply, UsbReply::Ack);
    EXPECT_EQ(write.bytes, data.size());

    std::vector<uint8_t> back(CV_BOOT_TRANSFER_MAX);
    TransferResult read = VendorIn(bench.unit, CV_VENDOR_BOOT_READ_MEMORY, nearTop, back);
    EXPECT_EQ(read.reply, UsbReply::Ack);
    EXPECT_EQ(read.bytes, back.size());
    EXPECT_EQ(back, data);
    // The second half landed at address 0.
    EXPECT_EQ(bench.unit.PeekMemory(0, 2048),
              std::vector<uint8_t>(data.begin() + 2048, data.end()));
    EXPECT_EQ(bench.unit.PeekMemory(2048, 1), std::vector<uint8_t>{0});
}

TEST(CaptureUnitLoader, SendWritesConsecutiveBlocksFromAddressZero)
{
    UnitOnBus bench(UnitModel::B);
    auto data = Pattern(5000);
    VendorOut(bench.unit, CV_VENDOR_BOOT_SEND, 0, {data.begin(), data.begin() + 4096});
    VendorOut(bench.unit, CV_VENDOR_BOOT_SEND, 0, {data.begin() + 4096, data.end()});
    EXPECT_EQ(bench.unit.PeekMemory(0, 5000), data);
    EXPECT_EQ(bench.unit.Status().state, LoaderState::Loading);

    // A bus reset keeps the memory and takes the send cursor back to 0.
    bench.unit.BusReset();
    ASSERT_TRUE(bench.unit.SetConfiguration(1));
    VendorOut(bench.unit, CV_VENDOR_BOOT_SEND, 0, {0xAB});
    EXPECT_EQ(bench.unit.PeekMemory(0, 2), (std::vector<uint8_t>{0xAB, data[1]}));
    EXPECT_EQ(bench.unit.PeekMemory(4999, 1), std::vector<uint8_t>{data[4999]});
}

struct RefusedSetup {
    const char* name;
    SetupPacket setup;
};

void PrintTo(const RefusedSetup& item, std::ostream* out)
{
    *out << item.name;
}

// Requests the loader refuses; each would change memory or state if it were taken.
const RefusedSetup RefusedSetups[] = {
    {"WriteAbove4096", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_WRITE_MEMORY, 0, 0, 4097}},
    {"ReadAbove4096", {CV_VENDOR_REQUEST_TYPE_IN, CV_VENDOR_BOOT_READ_MEMORY, 0, 0, 4097}},
    {"SendAbove4096", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_SEND, 0, 0, 0xFFFF}},
    {"StatusAsOut", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_STATUS, 0, 0, 2}},
    {"WriteAsIn", {CV_VENDOR_REQUEST_TYPE_IN, CV_VENDOR_BOOT_WRITE_MEMORY, 0, 0, 16}},
    {"ReadAsOut", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_READ_MEMORY, 0, 0, 16}},
    {"WriteWithValue", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_WRITE_MEMORY, 1, 0, 16}},
    {"SendWithIndex", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_SEND, 0, 4, 16}},
    {"RunWithData", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_BOOT_RUN, 0, 0, 1}},
    {"RunAsIn", {CV_VENDOR_REQUEST_TYPE_IN, CV_VENDOR_BOOT_RUN, 0, 0, 0}},
    {"ResetInStartUp", {CV_VENDOR_REQUEST_TYPE_OUT, CV_VENDOR_RESET, 0, 0, 0}},
    {"Unknown", {CV_VENDOR_REQUEST_TYPE_OUT, 0x10, 0, 0, 16}},
    {"StandardType", {0x00, CV_VENDOR_BOOT_WRITE_MEMORY, 0, 0, 16}},
};

class CaptureUnitLoaderRefusal : public testing::TestWithParam<RefusedSetup> {};

TEST_P(CaptureUnitLoaderRefusal, StallsAndChangesNothing)
{
    UnitOnBus bench(UnitModel::B);
    WriteImage(bench.unit, BuildFirmwareImage(UnitModel::B, 1, Pattern(100)));
    auto before = bench.unit.PeekMemory(0, CV_BOOT_MEMORY_BYTES);
    std::vector<uint8_t> buffer(0x10000, 0x5A);

    TransferResult result = bench.unit.Control(GetParam().setup, buffer.data());
    EXPECT_EQ(result.reply, UsbReply::Stall);
    EXPECT_EQ(bench.unit.PeekMemory(0, CV_BOOT_MEMORY_BYTES), before);
    EXPECT_EQ(ReadStatusBytes(bench.unit), (std::vector<uint8_t>{1, 0}));
    EXPECT_TRUE(bench.port.scheduled.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureUnitLoaderRefusal, testing::ValuesIn(RefusedSetups),
                         [](const auto& info) { return std::string(info.param.name); });

class CaptureUnitStart : public testing::TestWithParam<UnitModel> {};

TEST_P(CaptureUnitStart, GoodImageStartsAndReattachesWithTheRunningIdentity)
{
    UnitModel model = GetParam();
    UnitOnBus bench(model);
    WriteImage(bench.unit, BuildFirmwareImage(model, 42, Pattern(10000)));

    TransferResult run = VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0);
    EXPECT_EQ(run.reply, UsbReply::Ack);
    EXPECT_EQ(run.bytes, 0u);
    EXPECT_EQ(ReadStatusBytes(bench.unit), (std::vector<uint8_t>{2, 0}));
    ASSERT_EQ(bench.port.scheduled.size(), 1u);
    EXPECT_EQ(bench.port.scheduled[0].delay, 10 * Ms);
    EXPECT_TRUE(bench.port.reattachDelays.empty());

    // The loader has handed over: it answers only its status until the program is up.
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, {1}).reply, UsbReply::Stall);
    EXPECT_EQ(ProductIdOf(bench.unit), CV_PRODUCT_STARTUP);

    bench.port.RunScheduled();
    EXPECT_EQ(bench.port.reattachDelays, std::vector<int64_t>{500 * Ms});
    EXPECT_EQ(bench.unit.Mode(), UnitMode::Running);
    EXPECT_EQ(ProductIdOf(bench.unit), RunningProductId(model));
    ASSERT_TRUE(bench.unit.StartedImage().has_value());
    EXPECT_EQ(bench.unit.StartedImage()->programVersion, 42u);

    // The bus takes the unit off and attaches it again; the program keeps running.
    bench.unit.Detached();
    bench.unit.Attached(&bench.port);
    EXPECT_EQ(bench.unit.Mode(), UnitMode::Running);
    EXPECT_EQ(bench.unit.ConfigurationValue(), 0);
    std::vector<uint8_t> status(2);
    EXPECT_EQ(VendorIn(bench.unit, CV_VENDOR_BOOT_STATUS, 0, status).reply, UsbReply::Stall);
}

INSTANTIATE_TEST_SUITE_P(Models, CaptureUnitStart, testing::Values(UnitModel::A, UnitModel::B),
                         [](const auto& info) {
                             return std::string(1, UnitModelLetter(info.param));
                         });

TEST(CaptureUnitStart, ImageSentInBlocksStartsToo)
{
    UnitOnBus bench(UnitModel::A);
    auto image = BuildFirmwareImage(UnitModel::A, 1, Pattern(6000));
    VendorOut(bench.unit, CV_VENDOR_BOOT_SEND, 0, {image.begin(), image.begin() + 4096});
    VendorOut(bench.unit, CV_VENDOR_BOOT_SEND, 0, {image.begin() + 4096, image.end()});
    VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0);
    bench.port.RunScheduled();
    EXPECT_EQ(bench.unit.Mode(), UnitMode::Running);
}

struct BadLoad {
    const char* name;
    std::function<std::vector<uint8_t>()> memory; // what is written from address 0
    ImageError error;
};

void PrintTo(const BadLoad& item, std::ostream* out)
{
    *out << item.name;
}

std::vector<uint8_t> ImageWithHeader(std::function<void(FirmwareImageHeader&)> change)
{
    auto image = BuildFirmwareImage(UnitModel::B, 1, Pattern(300));
    FirmwareImageHeader header = ParseFirmwareImage(image, UnitModel::B).header;
    change(header);
    auto bytes = EncodeFirmwareHeader(header);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    return image;
}

const BadLoad BadLoads[] = {
    {"NothingLoaded", [] { return std::vector<uint8_t>{}; }, ImageError::BadMagic},
    {"OtherModel", [] { return BuildFirmwareImage(UnitModel::A, 1, Pattern(300)); },
     ImageError::WrongModel},
    {"FormatVersion",
     [] { return ImageWithHeader([](auto& header) { header.formatVersion = 9; }); },
     ImageError::UnsupportedVersion},
    {"LongerThanMemory",
     [] {
         return ImageWithHeader(
             [](auto& header) { header.payloadBytes = FirmwarePayloadMaxBytes + 1; });
     },
     ImageError::TooLarge},
    {"Corrupted",
     [] {
         auto image = BuildFirmwareImage(UnitModel::B, 1, Pattern(300));
         image.back() ^= 0xFF;
         return image;
     },
     ImageError::CrcMismatch},
};

class CaptureUnitStartRefusal : public testing::TestWithParam<BadLoad> {};

TEST_P(CaptureUnitStartRefusal, StaysInStartUpAndSaysWhy)
{
    UnitOnBus bench(UnitModel::B);
    WriteImage(bench.unit, GetParam().memory());

    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0).reply, UsbReply::Ack);
    EXPECT_EQ(ReadStatusBytes(bench.unit),
              (std::vector<uint8_t>{3, static_cast<uint8_t>(GetParam().error)}));
    EXPECT_TRUE(bench.port.scheduled.empty());
    EXPECT_EQ(bench.unit.Mode(), UnitMode::StartUp);
    EXPECT_EQ(ProductIdOf(bench.unit), CV_PRODUCT_STARTUP);

    // The loader is still there: a good image loaded afterwards starts.
    WriteImage(bench.unit, BuildFirmwareImage(UnitModel::B, 2, Pattern(300)));
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0).reply, UsbReply::Ack);
    EXPECT_EQ(ReadStatusBytes(bench.unit), (std::vector<uint8_t>{2, 0}));
    bench.port.RunScheduled();
    EXPECT_EQ(bench.unit.Mode(), UnitMode::Running);
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureUnitStartRefusal, testing::ValuesIn(BadLoads),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureUnitPower, UnplugLosesTheLoadAndAnyPendingStart)
{
    UnitOnBus bench(UnitModel::B);
    WriteImage(bench.unit, BuildFirmwareImage(UnitModel::B, 1, Pattern(300)));
    VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0);
    ASSERT_EQ(bench.port.scheduled.size(), 1u);

    bench.unit.Detached();
    bench.port.RunScheduled(); // the start that was due finds the unit unplugged
    EXPECT_TRUE(bench.port.reattachDelays.empty());

    bench.unit.Attached(&bench.port);
    EXPECT_EQ(bench.unit.Mode(), UnitMode::StartUp);
    EXPECT_EQ(bench.unit.Status().state, LoaderState::Empty);
    EXPECT_EQ(bench.unit.PeekMemory(0, 4), (std::vector<uint8_t>{0, 0, 0, 0}));

    // A unit built running comes back running after an unplug.
    CaptureUnit running(UnitModel::A, UnitMode::Running);
    running.Attached(&bench.port);
    running.Detached();
    EXPECT_EQ(running.Mode(), UnitMode::Running);
}

TEST(CaptureUnitFaults, ScriptedControlFaultsApplyInOrder)
{
    UnitOnBus bench(UnitModel::B);
    bench.unit.InjectControlFaults({ControlFaultKind::Pass});
    bench.unit.InjectControlFaults({ControlFaultKind::Stall});
    bench.unit.InjectControlFaults({ControlFaultKind::NoReply});
    bench.unit.InjectControlFaults({ControlFaultKind::Short, 1});

    std::vector<uint8_t> status(2);
    std::vector<TransferResult> results;
    for (int i = 0; i < 5; ++i) {
        results.push_back(VendorIn(bench.unit, CV_VENDOR_BOOT_STATUS, 0, status));
    }
    const std::pair<UsbReply, size_t> expected[] = {{UsbReply::Ack, 2},
                                                    {UsbReply::Stall, 0},
                                                    {UsbReply::NoReply, 0},
                                                    {UsbReply::Ack, 1},
                                                    {UsbReply::Ack, 2}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(results[i].reply, expected[i].first) << "request " << i;
        EXPECT_EQ(results[i].bytes, expected[i].second) << "request " << i;
    }
}

TEST(CaptureUnitFaults, FaultedWritesTakeNothingOrOnlyTheFirstBytes)
{
    UnitOnBus bench(UnitModel::B);
    bench.unit.InjectControlFaults({ControlFaultKind::Stall});
    bench.unit.InjectControlFaults({ControlFaultKind::NoReply});
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, {1, 2, 3}).reply,
              UsbReply::Stall);
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, {1, 2, 3}).reply,
              UsbReply::NoReply);
    EXPECT_EQ(bench.unit.Status().state, LoaderState::Empty);

    bench.unit.InjectControlFaults({ControlFaultKind::Short, 2});
    TransferResult result = VendorOut(bench.unit, CV_VENDOR_BOOT_WRITE_MEMORY, 0, {1, 2, 3});
    EXPECT_EQ(result.reply, UsbReply::Ack);
    EXPECT_EQ(result.bytes, 2u);
    EXPECT_EQ(bench.unit.PeekMemory(0, 3), (std::vector<uint8_t>{1, 2, 0}));

    // A stalled run starts nothing.
    WriteImage(bench.unit, BuildFirmwareImage(UnitModel::B, 1, Pattern(30)));
    bench.unit.InjectControlFaults({ControlFaultKind::Stall}, 3);
    bench.unit.ClearControlFaults();
    bench.unit.InjectControlFaults({ControlFaultKind::Stall});
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0).reply, UsbReply::Stall);
    EXPECT_TRUE(bench.port.scheduled.empty());
    EXPECT_EQ(VendorOut(bench.unit, CV_VENDOR_BOOT_RUN, 0).reply, UsbReply::Ack);
    EXPECT_EQ(bench.port.scheduled.size(), 1u);
}

} // namespace
} // namespace hw::test
