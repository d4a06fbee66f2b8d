#include <gtest/gtest.h>

#include "ByteOrder.h"
#include "UnitTestBench.h"

namespace hw::test {
namespace {

struct EndpointFields {
    uint8_t address;
    uint8_t attributes;
    uint16_t maxPacketBytes;
};

// The configuration descriptor walked as a host does: by each descriptor's own length.
struct ParsedConfiguration {
    uint16_t totalLength = 0;
    uint8_t interfaceCount = 0;
    uint8_t configurationValue = 0;
    uint8_t attributes = 0;
    uint8_t maxPower = 0;
    int interfaceDescriptors = 0;
    uint8_t interfaceNumber = 0xFF;
    uint8_t alternateSetting = 0xFF;
    uint8_t declaredEndpoints = 0;
    uint8_t interfaceClass = 0;
    std::vector<EndpointFields> endpoints;
};

ParsedConfiguration ParseConfiguration(const std::vector<uint8_t>& bytes)
{
    ParsedConfiguration out;
    EXPECT_GE(bytes.size(), 9u);
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(bytes[1], 2);
    out.totalLength = GetLe16(&bytes[2]);
    out.interfaceCount = bytes[4];
    out.configurationValue = bytes[5];
    out.attributes = bytes[7];
    out.maxPower = bytes[8];
    for (size_t at = bytes[0]; at < bytes.size();) {
        uint8_t length = bytes[at];
        EXPECT_GE(length, 2) << "descriptor at " << at;
        EXPECT_LE(at + length, bytes.size()) << "descriptor at " << at;
        if (length < 2 || at + length > bytes.size()) {
            break;
        }
        if (bytes[at + 1] == 4) {
            EXPECT_EQ(length, 9);
            ++out.interfaceDescriptors;
            out.interfaceNumber = bytes[at + 2];
            out.alternateSetting = bytes[at + 3];
            out.declaredEndpoints = bytes[at + 4];
            out.interfaceClass = bytes[at + 5];
        } else if (bytes[at + 1] == 5) {
            EXPECT_EQ(length, 7);
            out.endpoints.push_back({bytes[at + 2], bytes[at + 3], GetLe16(&bytes[at + 4])});
        }
        at += length;
    }
    return out;
}

struct IdentityCase {
    UnitModel model;
    UnitMode mode;
    uint16_t productId;
};

class CaptureUnitIdentity : public testing::TestWithParam<IdentityCase> {};

TEST_P(CaptureUnitIdentity, DeviceAndConfigurationDescriptors)
{
    CaptureUnit unit(GetParam().model, GetParam().mode);
    EXPECT_EQ(unit.Speed(), UsbSpeed::High);

    auto device = unit.DeviceDescriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[1], 1);
    EXPECT_EQ(GetLe16(&device[2]), 0x0200);
    EXPECT_EQ(device[4], 0xFF);
    EXPECT_EQ(device[7], 64) << "a high-speed device's default pipe takes 64-byte packets";
    EXPECT_EQ(GetLe16(&device[8]), CV_VENDOR_ID);
    EXPECT_EQ(GetLe16(&device[10]), GetParam().productId);
    EXPECT_EQ(device[17], 1);

    auto bytes = unit.ConfigurationDescriptor();
    ParsedConfiguration config = ParseConfiguration(bytes);
    EXPECT_EQ(config.totalLength, bytes.size());
    EXPECT_EQ(bytes.size(), 9u + 9u + 3 * 7u);
    EXPECT_EQ(config.interfaceCount, 1);
    EXPECT_EQ(config.configurationValue, 1);
    EXPECT_EQ(config.attributes, 0xA0);
    EXPECT_EQ(config.maxPower, 250);
    EXPECT_EQ(config.interfaceDescriptors, 1);
    EXPECT_EQ(config.interfaceNumber, 0);
    EXPECT_EQ(config.alternateSetting, 0);
    EXPECT_EQ(config.declaredEndpoints, 3);
    EXPECT_EQ(config.interfaceClass, 0xFF);
    ASSERT_EQ(config.endpoints.size(), 3u);
    const uint8_t order[] = {CV_ENDPOINT_COMMAND, CV_ENDPOINT_RESPONSE, CV_ENDPOINT_STREAM};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(config.endpoints[i].address, order[i]) << "pipe " << i;
        EXPECT_EQ(config.endpoints[i].attributes, 0x02) << "pipe " << i;
        EXPECT_EQ(config.endpoints[i].maxPacketBytes, 512) << "pipe " << i << ": high-speed bulk";
    }
    EXPECT_EQ(config.endpoints[0].address & 0x80, 0) << "pipe 0 is OUT";
}

INSTANTIATE_TEST_SUITE_P(
    ModelsAndModes, CaptureUnitIdentity,
    testing::Values(IdentityCase{UnitModel::A, UnitMode::StartUp, CV_PRODUCT_STARTUP},
                    IdentityCase{UnitModel::B, UnitMode::StartUp, CV_PRODUCT_STARTUP},
                    IdentityCase{UnitModel::A, UnitMode::Running, CV_PRODUCT_RUNNING_A},
                    IdentityCase{UnitModel::B, UnitMode::Running, CV_PRODUCT_RUNNING_B}),
    [](const auto& info) {
        return std::string(info.param.model == UnitModel::A ? "ModelA" : "ModelB") +
               (info.param.mode == UnitMode::StartUp ? "StartUp" : "Running");
    });

TEST(CaptureUnitOptions, OverrideWakeSupportAndIdentity)
{
    CaptureUnitOptions options;
    options.configAttributes = 0x80;
    options.runningProductId = CV_PRODUCT_RUNNING_A;
    options.vendorId = 0x1234;
    CaptureUnit unit(UnitModel::B, UnitMode::Running, options);

    auto device = unit.DeviceDescriptor();
    EXPECT_EQ(GetLe16(&device[8]), 0x1234);
    EXPECT_EQ(GetLe16(&device[10]), CV_PRODUCT_RUNNING_A);
    EXPECT_EQ(ParseConfiguration(unit.ConfigurationDescriptor()).attributes, 0x80);
}

} // namespace
} // namespace hw::test
