// pecheck's PE reader on images assembled here byte by byte: a small but complete driver-like
// image, then the same image cut short or with a pointer bent out of range.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "PeImage.h"

namespace {

using pecheck::PeError;
using pecheck::PeImage;
using pecheck::ResourceKey;

// File layout of the synthetic image.
constexpr uint32_t kPeOffset = 0x40;
constexpr uint32_t kOptional = kPeOffset + 24;
constexpr uint32_t kSectionTable = kOptional + 224;
constexpr uint32_t kTextRaw = 0x200;     // .text: RVA 0x1000, 0x200 bytes
constexpr uint32_t kDataRaw = 0x400;     // .data: RVA 0x2000, 0x400 bytes
constexpr uint32_t kSymbols = 0x800;     // two symbols, then the string table
constexpr uint32_t kImports = 0x2000;    // RVAs inside .data
constexpr uint32_t kResources = 0x2100;
constexpr uint32_t kEntryRva = 0x1010;

class Builder {
 public:
  Builder() : bytes_(kSymbols, 0) {}

  void put16(uint32_t at, uint16_t v) {
    grow(at + 2);
    bytes_[at] = static_cast<uint8_t>(v);
    bytes_[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  void put32(uint32_t at, uint32_t v) {
    put16(at, static_cast<uint16_t>(v));
    put16(at + 2, static_cast<uint16_t>(v >> 16));
  }
  void putText(uint32_t at, const std::string& text) {
    grow(at + static_cast<uint32_t>(text.size()) + 1);
    std::memcpy(&bytes_[at], text.c_str(), text.size() + 1);
  }
  void putWide(uint32_t at, const std::string& text) {  // counted UTF-16, as resource names are
    put16(at, static_cast<uint16_t>(text.size()));
    for (size_t i = 0; i < text.size(); ++i) {
      put16(at + 2 + static_cast<uint32_t>(i) * 2, static_cast<uint8_t>(text[i]));
    }
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  void grow(size_t size) {
    if (bytes_.size() < size) {
      bytes_.resize(size, 0);
    }
  }
  std::vector<uint8_t> bytes_;
};

uint32_t dataOffset(uint32_t rva) { return kDataRaw + (rva - 0x2000); }

// An x86 driver image: entry at _DriverEntry@8, one import from ntoskrnl.exe, a
// MOFDATA/MOFRESOURCENAME/1033 resource, the pool tag in its code.
std::vector<uint8_t> driverImage() {
  Builder b;
  b.putText(0, "MZ");
  b.put32(0x3c, kPeOffset);
  b.putText(kPeOffset, "PE");

  b.put16(kPeOffset + 4, pecheck::kMachineI386);
  b.put16(kPeOffset + 6, 2);            // sections
  b.put32(kPeOffset + 12, kSymbols);    // symbol table
  b.put32(kPeOffset + 16, 2);           // symbols
  b.put16(kPeOffset + 20, 224);         // optional header size
  b.put16(kPeOffset + 22, 0x2102);

  b.put16(kOptional, 0x10b);
  b.put32(kOptional + 16, kEntryRva);
  b.put32(kOptional + 28, 0x10000);     // image base
  b.put16(kOptional + 68, pecheck::kSubsystemNative);
  b.put32(kOptional + 92, 16);          // data directories
  b.put32(kOptional + 96 + 8, kImports);
  b.put32(kOptional + 96 + 12, 40);
  b.put32(kOptional + 96 + 16, kResources);
  b.put32(kOptional + 96 + 20, 0x100);

  auto section = [&](int index, const char* name, uint32_t rva, uint32_t raw, uint32_t size) {
    const uint32_t at = kSectionTable + index * 40;
    b.putText(at, name);
    b.put32(at + 8, size);
    b.put32(at + 12, rva);
    b.put32(at + 16, size);
    b.put32(at + 20, raw);
    b.put32(at + 36, 0x60000020);
  };
  section(0, ".text", 0x1000, kTextRaw, 0x200);
  section(1, ".data", 0x2000, kDataRaw, 0x400);
  b.putText(kTextRaw + 0x40, "BulK");

  // One module, one routine by name.
  b.put32(dataOffset(kImports), 0x2040);       // lookup table
  b.put32(dataOffset(kImports) + 12, 0x2080);  // module name
  b.put32(dataOffset(kImports) + 16, 0x2060);  // address table
  b.put32(dataOffset(0x2040), 0x2090);
  b.put32(dataOffset(0x2060), 0x2090);
  b.putText(dataOffset(0x2080), "ntoskrnl.exe");
  b.putText(dataOffset(0x2090) + 2, "ExAllocatePoolWithTag");

  // Resource tree: named type -> named resource -> language 1033 -> data.
  const uint32_t rs = dataOffset(kResources);
  b.put16(rs + 12, 1);
  b.put32(rs + 16, 0x80000000u | 0x60);
  b.put32(rs + 20, 0x80000000u | 0x18);
  b.put16(rs + 0x18 + 12, 1);
  b.put32(rs + 0x18 + 16, 0x80000000u | 0x70);
  b.put32(rs + 0x18 + 20, 0x80000000u | 0x30);
  b.put16(rs + 0x30 + 14, 1);
  b.put32(rs + 0x30 + 16, 1033);
  b.put32(rs + 0x30 + 20, 0x48);
  b.put32(rs + 0x48, 0x2200);
  b.put32(rs + 0x48 + 4, 8);
  b.putWide(rs + 0x60, "MOFDATA");
  b.putWide(rs + 0x70, "MOFRESOURCENAME");
  b.putText(dataOffset(0x2200), "FOMB");

  // Symbols: the entry (long name, from the string table) and a short one.
  b.put32(kSymbols + 4, 4);
  b.put32(kSymbols + 8, kEntryRva - 0x1000);
  b.put16(kSymbols + 12, 1);
  b.putText(kSymbols + 18, "_helper");
  b.put16(kSymbols + 18 + 12, 1);
  const uint32_t strings = kSymbols + 36;
  b.put32(strings, 4 + 15);
  b.putText(strings + 4, "_DriverEntry@8");
  return b.take();
}

TEST(PeReader, ReadsADriverImage) {
  const PeImage image = PeImage::parse(driverImage());
  EXPECT_EQ(image.machine(), pecheck::kMachineI386);
  EXPECT_FALSE(image.isPe32Plus());
  EXPECT_EQ(image.subsystem(), pecheck::kSubsystemNative);
  EXPECT_EQ(image.imageBase(), 0x10000u);
  ASSERT_EQ(image.sections().size(), 2u);
  EXPECT_EQ(image.sections()[1].name, ".data");

  const pecheck::Symbol* entry = image.findSymbol("_DriverEntry@8");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(image.symbolRva(*entry), image.entryPointRva());
  EXPECT_NE(image.findSymbol("_helper"), nullptr);

  ASSERT_EQ(image.imports().size(), 1u);
  EXPECT_EQ(image.imports()[0].module, "ntoskrnl.exe");
  ASSERT_EQ(image.imports()[0].names.size(), 1u);
  EXPECT_EQ(image.imports()[0].names[0].name, "ExAllocatePoolWithTag");

  ASSERT_EQ(image.resources().size(), 1u);
  const pecheck::Resource& mof = image.resources()[0];
  EXPECT_TRUE(mof.type.matches(ResourceKey::parse("MofData")));
  EXPECT_TRUE(mof.name.matches(ResourceKey::parse("MOFRESOURCENAME")));
  EXPECT_EQ(mof.language, 1033);
  auto data = image.readRva(mof.dataRva, mof.size);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(std::string(data->begin(), data->begin() + 4), "FOMB");
}

TEST(PeReader, ChecksumLeavesItsOwnFieldOut) {
  std::vector<uint8_t> bytes = driverImage();
  const uint32_t sum = PeImage::parse(bytes).computeChecksum();
  const uint32_t field = PeImage::parse(bytes).checksumOffset();
  std::memcpy(&bytes[field], &sum, 4);
  const PeImage stamped = PeImage::parse(bytes);
  EXPECT_EQ(stamped.checksum(), sum);
  EXPECT_EQ(stamped.computeChecksum(), sum);
  bytes[kTextRaw] ^= 1;
  EXPECT_NE(PeImage::parse(bytes).computeChecksum(), sum);
}

struct Cut {
  size_t size;
  const char* message;
};
void PrintTo(const Cut& cut, std::ostream* out) { *out << cut.size << " bytes"; }

class TruncatedImage : public testing::TestWithParam<Cut> {};

TEST_P(TruncatedImage, SaysWhatWasCutOff) {
  std::vector<uint8_t> bytes = driverImage();
  ASSERT_LT(GetParam().size, bytes.size());
  bytes.resize(GetParam().size);
  try {
    PeImage::parse(std::move(bytes));
    FAIL() << "parsed an image cut to " << GetParam().size << " bytes";
  } catch (const PeError& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    PeReader, TruncatedImage,
    testing::Values(Cut{0, "too small for a DOS header"}, Cut{63, "too small for a DOS header"},
                    Cut{kPeOffset + 2, "past the end of the file"},
                    Cut{kPeOffset + 10, "COFF file header"}, Cut{kOptional + 100, "optional header"},
                    Cut{kSectionTable + 50, "section table"},
                    Cut{kDataRaw + 0x100, "raw data of section .data"},
                    Cut{kSymbols + 20, "COFF symbol table"}, Cut{kSymbols + 40, "COFF string table"}),
    [](const testing::TestParamInfo<Cut>& info) { return "CutTo" + std::to_string(info.param.size); });

struct Bend {
  const char* what;
  uint32_t offset;
  uint32_t value;
  const char* message;
};
void PrintTo(const Bend& bend, std::ostream* out) { *out << bend.what; }

class BentImage : public testing::TestWithParam<Bend> {};

TEST_P(BentImage, RejectsPointersOutOfRange) {
  std::vector<uint8_t> bytes = driverImage();
  const Bend& bend = GetParam();
  std::memcpy(&bytes[bend.offset], &bend.value, 4);
  try {
    PeImage::parse(std::move(bytes));
    FAIL() << bend.what << " was accepted";
  } catch (const PeError& error) {
    EXPECT_NE(std::string(error.what()).find(bend.message), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    PeReader, BentImage,
    testing::Values(
        Bend{"text file", 0, 0x64636261, "no MZ signature"},
        Bend{"PE signature", kPeOffset, 0x00004c45, "no PE signature"},
        Bend{"optional header magic", kOptional, 0x0107, "neither PE32 nor PE32+"},
        Bend{"DOS header pointer", 0x3c, 0x7fffffff, "past the end of the file"},
        Bend{"import directory", kOptional + 96 + 8, 0x9000, "import directory"},
        Bend{"imported module name", kDataRaw + 12, 0x5000, "imported module name"},
        Bend{"import table", kDataRaw + 0x40, 0x2400, "import table of ntoskrnl.exe"},
        Bend{"resource subdirectory", kDataRaw + 0x100 + 20, 0x80000000u | 0x3000, "resource directory"},
        Bend{"resource leaf", kDataRaw + 0x100 + 0x30 + 20, 0x80000000u | 0x18, "language entry is a directory"},
        Bend{"symbol name", kSymbols + 4, 0x1000, "outside the COFF string table"}),
    [](const testing::TestParamInfo<Bend>& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        c = c == ' ' ? '_' : c;
      }
      return name;
    });

TEST(PeReader, ResourceKeysCompareIdsAndNamesApart) {
  EXPECT_TRUE(ResourceKey::parse("1033").id.has_value());
  EXPECT_TRUE(ResourceKey::parse("10").matches(ResourceKey::parse("10")));
  EXPECT_FALSE(ResourceKey::parse("10").matches(ResourceKey::parse("RCDATA")));
  EXPECT_TRUE(ResourceKey::parse("MofResourceName").matches(ResourceKey::parse("MOFRESOURCENAME")));
  EXPECT_FALSE(ResourceKey::parse("70000").id.has_value());  // no such id: taken as a name
}

}  // namespace
