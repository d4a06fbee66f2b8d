// Each unit as a WMI data provider, seen from a WMI consumer.
#include <cstring>

#include "Cvusbdrv.h"
#include "UnitRig.h"
#include "wmi/WmiService.h"

namespace {

using rig::UnitRig;

const GUID kBlock = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

std::vector<uint8_t> Dword(uint32_t v)
{
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

uint32_t ValueOf(const std::vector<uint8_t>& block)
{
    uint32_t v = 0;
    std::memcpy(&v, block.data(), 4);
    return v;
}

class Wmi : public UnitRig {};

TEST_F(Wmi, RegistrationNamesTheBlockTheServiceKeyAndTheMof)
{
    Plug();
    auto info = M().Wmi().QueryRegInfo(Unit(1));
    ASSERT_EQ(STATUS_SUCCESS, info.status);
    ASSERT_EQ(1u, info.guids.size());
    EXPECT_EQ(0, std::memcmp(&kBlock, &info.guids[0].guid, sizeof(GUID)));
    EXPECT_EQ(1u, info.guids[0].instanceCount);
    EXPECT_TRUE(info.guids[0].flags & WMIREG_FLAG_INSTANCE_PDO);
    std::u16string service = model_ == hw::UnitModel::A ? u"CORVA" : u"CORVB";
    EXPECT_EQ(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service,
              info.registryPath);
    EXPECT_EQ(u"MofResourceName", info.mofResourceName);
}

TEST_F(Wmi, TheBlockHoldsTheValueAndTheModelName)
{
    Plug();
    auto small = M().Wmi().QuerySingleInstance(Unit(1), kBlock, 0, 25);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, small.status);
    EXPECT_EQ(26u, small.sizeNeeded);
    auto block = M().Wmi().QuerySingleInstance(Unit(1), kBlock, 0, 26);
    ASSERT_EQ(STATUS_SUCCESS, block.status);
    ASSERT_EQ(26u, block.data.size());
    EXPECT_EQ(0x7FFFFFFFu, ValueOf(block.data));
    EXPECT_EQ(20, block.data[4] | block.data[5] << 8);
    const char16_t name[] = u"Tolmerida";
    EXPECT_EQ(0, std::memcmp(name, block.data.data() + 6, sizeof name));
    auto all = M().Wmi().QueryAllData(Unit(1), kBlock, 64);
    ASSERT_EQ(STATUS_SUCCESS, all.status);
    EXPECT_EQ(block.data, all.data);
}

TEST_F(Wmi, SettingTheValueChangesItForEveryUnit)
{
    Plug();
    Plug();
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
              M().Wmi().SetSingleInstance(Unit(1), kBlock, 0, std::vector<uint8_t>(26)));
    EXPECT_EQ(STATUS_SUCCESS, M().Wmi().SetSingleInstance(Unit(1), kBlock, 0, Dword(1234)));
    EXPECT_EQ(1234u, ValueOf(M().Wmi().QuerySingleInstance(Unit(2), kBlock, 0, 26).data));
    EXPECT_EQ(STATUS_WMI_READ_ONLY, M().Wmi().SetSingleItem(Unit(2), kBlock, 0, 2, Dword(5)));
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
              M().Wmi().SetSingleItem(Unit(2), kBlock, 0, 1, std::vector<uint8_t>(2)));
    EXPECT_EQ(STATUS_SUCCESS, M().Wmi().SetSingleItem(Unit(2), kBlock, 0, 1, Dword(77)));
    EXPECT_EQ(77u, ValueOf(M().Wmi().QuerySingleInstance(Unit(1), kBlock, 0, 26).data));
}

TEST_F(Wmi, OtherGuidsAndOtherProvidersAreNotAnswered)
{
    int port = Plug();
    const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, M().Wmi().QuerySingleInstance(Unit(1), other, 0, 26).status);
    // A request for another provider is passed down the stack (the bus answers it).
    std::vector<uint8_t> buffer(64);
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              M().Wmi().Send(Unit(1), IRP_MN_QUERY_ALL_DATA,
                             reinterpret_cast<ULONG_PTR>(M().Usb().Port(port)->pdo), &kBlock,
                             buffer, &information));
}

} // namespace
