#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

#include "ByteOrder.h"
#include "Crc32.h"
#include "FirmwareImage.h"
#include "UnitTestBench.h"

namespace hw::test {
namespace {

std::span<const uint8_t> Bytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Crc32, KnownVectors)
{
    EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(Crc32(Bytes("")), 0u);
    EXPECT_EQ(Crc32(Bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
}

TEST(FirmwareImage, BuildsTheDocumentedLayoutAndParsesBack)
{
    auto payload = Pattern(1000);
    auto image = BuildFirmwareImage(UnitModel::A, 0x00070003, payload);
    ASSERT_EQ(image.size(), FirmwareHeaderBytes + payload.size());
    EXPECT_EQ(std::memcmp(image.data(), "CVOP", 4), 0);
    EXPECT_EQ(GetLe16(&image[4]), FirmwareFormatVersion);
    EXPECT_EQ(image[6], 'A');
    EXPECT_EQ(GetLe32(&image[8]), 0x00070003u);
    EXPECT_EQ(GetLe32(&image[12]), payload.size());
    EXPECT_EQ(GetLe32(&image[16]), Crc32(payload));

    // Bytes after the payload (the rest of the loader memory) do not matter.
    image.resize(CV_BOOT_MEMORY_BYTES, 0xEE);
    ImageCheck check = ParseFirmwareImage(image, UnitModel::A);
    ASSERT_TRUE(check.Ok()) << check.message;
    EXPECT_TRUE(check.message.empty());
    EXPECT_EQ(check.header.model, UnitModel::A);
    EXPECT_EQ(check.header.programVersion, 0x00070003u);
    EXPECT_EQ(check.header.payloadBytes, payload.size());
    EXPECT_TRUE(std::equal(check.payload.begin(), check.payload.end(), payload.begin(),
                           payload.end()));
}

TEST(FirmwareImage, PayloadSizeLimitsAreThoseOfTheLoaderMemory)
{
    auto largest = BuildFirmwareImage(UnitModel::B, 1, Pattern(FirmwarePayloadMaxBytes));
    ASSERT_EQ(largest.size(), size_t{CV_BOOT_MEMORY_BYTES});
    EXPECT_TRUE(ParseFirmwareImage(largest, UnitModel::B).Ok());
    EXPECT_TRUE(BuildFirmwareImage(UnitModel::B, 1, Pattern(FirmwarePayloadMaxBytes + 1)).empty());

    auto empty = BuildFirmwareImage(UnitModel::B, 1, {});
    EXPECT_EQ(empty.size(), FirmwareHeaderBytes);
    EXPECT_TRUE(ParseFirmwareImage(empty, UnitModel::B).Ok());
}

struct BadImageCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> spoil;
    ImageError error;
};

void PrintTo(const BadImageCase& item, std::ostream* out)
{
    *out << item.name;
}

void SetHeader(std::vector<uint8_t>& image, const FirmwareImageHeader& header)
{
    auto bytes = EncodeFirmwareHeader(header);
    std::copy(bytes.begin(), bytes.end(), image.begin());
}

FirmwareImageHeader HeaderOf(const std::vector<uint8_t>& image)
{
    return ParseFirmwareImage(image, UnitModel::B).header;
}

// Each case spoils one thing of a good 100-byte model B image, checked by a model B unit.
const BadImageCase BadImages[] = {
    {"NoBytes", [](auto& image) { image.clear(); }, ImageError::TooShort},
    {"ShortHeader", [](auto& image) { image.resize(FirmwareHeaderBytes - 1); },
     ImageError::TooShort},
    {"Magic", [](auto& image) { image[3] = 'Q'; }, ImageError::BadMagic},
    {"FormatVersion0",
     [](auto& image) {
         auto header = HeaderOf(image);
         header.formatVersion = 0;
         SetHeader(image, header);
     },
     ImageError::UnsupportedVersion},
    {"FormatVersion2",
     [](auto& image) {
         auto header = HeaderOf(image);
         header.formatVersion = 2;
         SetHeader(image, header);
     },
     ImageError::UnsupportedVersion},
    {"OtherModel",
     [](auto& image) {
         auto header = HeaderOf(image);
         header.model = UnitModel::A;
         SetHeader(image, header);
     },
     ImageError::WrongModel},
    {"NoModel", [](auto& image) { image[6] = 'C'; }, ImageError::WrongModel},
    {"LargerThanMemory",
     [](auto& image) {
         auto header = HeaderOf(image);
         header.payloadBytes = FirmwarePayloadMaxBytes + 1;
         SetHeader(image, header);
         image.resize(CV_BOOT_MEMORY_BYTES + 1);
     },
     ImageError::TooLarge},
    {"HugeLength",
     [](auto& image) {
         auto header = HeaderOf(image);
         header.payloadBytes = 0xFFFFFFFF;
         SetHeader(image, header);
     },
     ImageError::TooLarge},
    {"PayloadCutShort", [](auto& image) { image.pop_back(); }, ImageError::LengthMismatch},
    {"PayloadByteChanged", [](auto& image) { image[FirmwareHeaderBytes + 50] ^= 0x01; },
     ImageError::CrcMismatch},
    {"CrcChanged", [](auto& image) { image[16] ^= 0x80; }, ImageError::CrcMismatch},
};

class FirmwareImageRefusal : public testing::TestWithParam<BadImageCase> {};

TEST_P(FirmwareImageRefusal, NamesTheFirstFault)
{
    auto image = BuildFirmwareImage(UnitModel::B, 1, Pattern(100));
    GetParam().spoil(image);
    ImageCheck check = ParseFirmwareImage(image, UnitModel::B);
    EXPECT_EQ(check.error, GetParam().error) << ImageErrorName(check.error);
    EXPECT_FALSE(check.message.empty());
    EXPECT_TRUE(check.payload.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FirmwareImageRefusal, testing::ValuesIn(BadImages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareImage, MessagesSayWhatIsWrong)
{
    auto image = BuildFirmwareImage(UnitModel::B, 1, Pattern(100));
    EXPECT_EQ(ParseFirmwareImage(image, UnitModel::A).message,
              "image is for model B, this unit is model A");
    image.resize(60);
    EXPECT_EQ(ParseFirmwareImage(image, UnitModel::B).message,
              "image declares 100 payload bytes but 40 follow the header");
}

} // namespace
} // namespace hw::test
