// The settings a unit reads at arrival, the ring it builds from them, and what it learns from
// its descriptors and from the platform's WDM version.
#include <map>

#include "Cvusbdrv.h"
#include "UnitRig.h"
#include "kernel/Pool.h"

namespace {

using rig::UnitRig;

class Settings : public UnitRig {
protected:
    UnitExtension* Ext() { return Unit(1) != nullptr ? CV_EXTENSION(Unit(1)) : nullptr; }
};

struct SettingsCase {
    std::map<std::string, uint32_t> values;
    const char* field;
    uint32_t expected;
};

[[maybe_unused]] uint32_t BigEndianField(const void* p, size_t n)
{
    auto* b = static_cast<const uint8_t*>(p);
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v << 8 | b[i];
    return v;
}

uint32_t Field(const StreamContext& s, const std::string& name)
{
    if (name == "unitCount")
        return s.unitCount;
    if (name == "videoMode")
        return s.videoMode;
    if (name == "audioRateCode")
        return s.audioRateCode;
#if defined(CV_MODEL_B)
    if (name == "bitRateCode")
        return s.bitRateCode;
    if (name == "frameRateCode")
        return s.frameRateCode;
#else
    if (name == "bitRate")
        return BigEndianField(&s.bitRate, 4);
    if (name == "rateLimit")
        return BigEndianField(&s.rateLimit, 4);
    if (name == "frameRate")
        return BigEndianField(&s.frameRate, 2);
#endif
    ADD_FAILURE() << "no field " << name;
    return 0;
}

TEST_F(Settings, RegistryValuesAreClampedOrReplaced)
{
    const SettingsCase cases[] = {
        {{}, "unitCount", 30},
        {{{"MaxUnitLv", 0}}, "unitCount", 30},
        {{{"MaxUnitLv", 45}}, "unitCount", 45},
        {{{"MaxUnitLv", 20}}, "unitCount", 75},
        {{{"MaxUnitLv", 16}}, "unitCount", 15},
        {{{"MaxUnitLv", 31}}, "unitCount", 15},
        {{{"MaxUnitLv", 14}}, "unitCount", 90},
        {{{"MaxUnitLv", 100}}, "unitCount", 90},
        {{{"MaxUnitLv", 256}}, "unitCount", 30},
        {{{"AudioRate", 3}}, "audioRateCode", 3},
        {{{"AudioRate", 4}}, "audioRateCode", 0},
#if defined(CV_MODEL_B)
        {{}, "videoMode", 1},
        {{{"VMode", 0}}, "videoMode", 0},
        {{{"VMode", 2}}, "videoMode", 1},
        {{}, "bitRateCode", 13},
        {{{"Bitrate", 15}}, "bitRateCode", 15},
        {{{"Bitrate", 16}}, "bitRateCode", 0},
        {{{"fps", 2}}, "frameRateCode", 2},
        {{{"fps", 3}}, "frameRateCode", 0},
#else
        {{}, "videoMode", 0},
        {{{"VMode", 1}}, "videoMode", 1},
        {{{"VMode", 2}}, "videoMode", 0},
        {{}, "bitRate", 0x200000},
        {{{"Bitrate", 0x1FFFFF}}, "bitRate", 0x200000},
        {{{"Bitrate", 0x500000}}, "bitRate", 0x500000},
        {{{"Bitrate", 0x500001}}, "bitRate", 0x200000},
        {{}, "rateLimit", 0x5000},
        {{{"Limit", 0x4FFF}}, "rateLimit", 0x5000},
        {{{"Limit", 0x7800}}, "rateLimit", 0x7800},
        {{{"Limit", 0x7801}}, "rateLimit", 0x5000},
        {{}, "frameRate", 0x3A89},
        {{{"fps", 0}}, "frameRate", 0},
        {{{"fps", 0x12345}}, "frameRate", 0x2345},
#endif
    };
    for (const SettingsCase& c : cases) {
        std::string label;
        for (auto& [name, value] : c.values) {
            SetParameter(name, value);
            label += name + "=" + std::to_string(value) + " ";
        }
        int port = Plug();
        ASSERT_NE(nullptr, Ext()) << label;
        EXPECT_EQ(c.expected, Field(Ext()->stream, c.field)) << label << "-> " << c.field;
        EXPECT_EQ(0, Ext()->stream.unitWait) << "no standard yet: unit waits do not block";
        Unplug(port);
        for (auto& [name, value] : c.values)
            M().Registry().DeleteValue(rig::ParametersKey(model_), name);
    }
}

TEST_F(Settings, AFailedReadYieldsZeroWhereAnAbsentValueKeepsTheDefault)
{
#if defined(CV_MODEL_B)
    const char* value = "Bitrate";
    const char* field = "bitRateCode";
    uint32_t expected = 0; // a failed read stores 0, which is in range
#else
    const char* value = "Bitrate";
    const char* field = "bitRate";
    uint32_t expected = 0x200000; // a failed read is replaced by the default
#endif
    M().Registry().FailValueReads(rig::ParametersKey(model_), value, STATUS_ACCESS_DENIED);
    Plug();
    ASSERT_NE(nullptr, Ext());
    EXPECT_EQ(expected, Field(Ext()->stream, field));
}

TEST_F(Settings, AStringWhereANumberBelongsIsRefusedNotCopied)
{
    M().Registry().SetValue(rig::ParametersKey(model_), "MaxUnitLv",
                            host::RegValue::FromUtf8String("a string far longer than four bytes"));
    Plug();
    ASSERT_NE(nullptr, Ext());
    EXPECT_EQ(30, Ext()->stream.unitCount);
}

TEST_F(Settings, TheRingIsACircleOfUnitsOverOneBlock)
{
    Plug();
    StreamContext& s = Ext()->stream;
    ASSERT_EQ(30, s.unitCount);
    bool dataBlock = false, descriptorBlock = false;
    for (auto& block : M().PoolManager().Outstanding(nullptr)) {
        if (block.tag != CV_POOL_TAG)
            continue;
        if (block.address == reinterpret_cast<uintptr_t>(s.ringData)) {
            EXPECT_EQ(1966050u, block.size);
            dataBlock = true;
        }
        if (block.address == reinterpret_cast<uintptr_t>(s.units)) {
            EXPECT_EQ(30 * sizeof(UnitDescriptor), block.size);
            descriptorBlock = true;
        }
    }
    EXPECT_TRUE(dataBlock);
    EXPECT_TRUE(descriptorBlock);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(s.ringData + i * 65535, s.units[i].data);
        EXPECT_EQ(i, s.units[i].index);
        EXPECT_EQ(0u, s.units[i].length);
        EXPECT_EQ(&s.units[(i + 1) % 30], s.units[i].next);
    }
    EXPECT_EQ(&s.units[0], s.videoReadCursor);
    EXPECT_EQ(&s.units[0], s.audioLeadCursor);
    EXPECT_EQ(1, s.videoResync);
    EXPECT_EQ(1, s.audioResync);
    EXPECT_NE(nullptr, s.sharedIrp);
}

TEST_F(Settings, DescriptorsDecideRunningModeAndWake)
{
    const struct {
        hw::UnitMode mode;
        std::optional<uint16_t> product;
        uint8_t attributes;
        UCHAR running;
        ULONG wake;
    } cases[] = {
        {hw::UnitMode::Running, std::nullopt, 0xA0, 1, 1},
        {hw::UnitMode::Running, std::nullopt, 0x80, 1, 0},
        {hw::UnitMode::StartUp, std::nullopt, 0xA0, 0, 1},
        {hw::UnitMode::Running, CV_PRODUCT_RUNNING_A, 0x80, model_ == hw::UnitModel::A, 0},
        {hw::UnitMode::Running, CV_PRODUCT_RUNNING_B, 0x80, model_ == hw::UnitModel::B, 0},
    };
    for (auto& c : cases) {
        hw::CaptureUnitOptions options;
        options.configAttributes = c.attributes;
        options.runningProductId = c.product;
        if (c.product)
            M().Pnp().InstallPackage({rig::HardwareId(*c.product), model_ == hw::UnitModel::A ? "CORVA" : "CORVB",
                                      model_ == hw::UnitModel::A ? CV_CORVAC_PATH : CV_CORVBC_PATH});
        int port = Plug(c.mode, options);
        ASSERT_NE(nullptr, Ext());
        EXPECT_EQ(c.running, Ext()->stream.runningFirmware);
        EXPECT_EQ(c.wake, Ext()->wakeSupported);
        EXPECT_EQ(c.wake, M().Usb().Port(port)->waitWakeIrp != nullptr) << "wake armed at start";
        Unplug(port);
    }
}

TEST_F(Settings, WdmVersionGivesTheOsLevelAndOnlyTheNewestReadsSSEnable)
{
    const struct {
        UCHAR minor;
        ULONG level;
    } cases[] = {{0x30, 0}, {0x20, 0}, {0x10, 1}, {0x05, 2}, {0x00, 3}};
    SetParameter("SSEnable", 1);
    for (auto& c : cases) {
        M().SetWdmVersion(1, c.minor);
        int port = Plug();
        ASSERT_NE(nullptr, Ext());
        EXPECT_EQ(c.level, Ext()->osLevel);
        EXPECT_EQ(c.level == 0 ? 1u : 0u, Ext()->idleSuspendSetting);
        EXPECT_EQ(c.level == 0 ? 1u : 0u, Ext()->idleSuspendActive);
        Unplug(port);
    }
}

TEST_F(Settings, WithoutSSEnableNoIdleMachineryIsSetUp)
{
    int port = Plug();
    ASSERT_NE(nullptr, Ext());
    EXPECT_EQ(0u, Ext()->idleSuspendSetting);
    EXPECT_EQ(0, Ext()->idleDpc.Type) << "the idle DPC was never initialised";
    EXPECT_EQ(0, Ext()->idleTimer.Header.Type);
    M().Sleep(200000000); // 20 s
    EXPECT_EQ(0u, M().Usb().Port(port)->idleCallbacks);
}

TEST_F(Settings, WithSSEnableAnIdleUnitIsOfferedForSuspendAfterFiveSeconds)
{
    SetParameter("SSEnable", 1);
    int port = Plug();
    M().Sleep(45000000); // 4.5 s
    EXPECT_EQ(0u, M().Usb().Port(port)->idleCallbacks);
    M().Sleep(10000000); // 5.5 s
    EXPECT_EQ(1u, M().Usb().Port(port)->idleCallbacks);
    EXPECT_EQ(PowerDeviceD2, NodeOfPort(port)->devicePower) << "the idle callback asked for D2";
}

} // namespace
