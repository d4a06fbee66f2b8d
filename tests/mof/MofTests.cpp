#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "Bmof.h"
#include "Lz.h"
#include "MofParser.h"

namespace {

using mof::CimType;
using mof::FormatError;

std::vector<uint8_t> readCompiled() {
  std::ifstream in(CV_MOF_COMPILED_PATH, std::ios::binary);
  EXPECT_TRUE(in) << CV_MOF_COMPILED_PATH;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

// --- The committed schema -----------------------------------------------------------

TEST(CompiledSchema, ContainerHeaderDescribesThePayload) {
  std::vector<uint8_t> file = readCompiled();
  ASSERT_GE(file.size(), mof::kContainerHeaderSize);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "FOMB");
  mof::ContainerHeader h = mof::readHeader(file);
  EXPECT_EQ(h.compressionType, 1u);
  EXPECT_EQ(h.compressedSize, file.size() - mof::kContainerHeaderSize);
  std::vector<uint8_t> blob = mof::unwrap(file);
  EXPECT_EQ(blob.size(), h.expandedSize);
  EXPECT_LT(h.compressedSize, h.expandedSize);
  // The expanded blob opens with its own signature and its length.
  ASSERT_GE(blob.size(), 8u);
  EXPECT_EQ(std::string(blob.begin(), blob.begin() + 4), "FOMB");
  EXPECT_EQ(le32(blob, 4), blob.size());
}

TEST(CompiledSchema, DescribesTheUnitInformationBlock) {
  std::vector<mof::Class> classes = mof::decompile(readCompiled());
  ASSERT_EQ(classes.size(), 1u);
  const mof::Class& c = classes[0];

  const mof::Qualifier* guid = c.qualifier("guid");
  ASSERT_NE(guid, nullptr);
  ASSERT_EQ(guid->value.type, CimType::String);
  EXPECT_EQ(guid->value.string, u"{BBA21300-6DD3-11D2-B844-00C04FAD5171}");

  for (const char* flag : {"Dynamic", "WMI"}) {
    const mof::Qualifier* q = c.qualifier(flag);
    ASSERT_NE(q, nullptr) << flag;
    EXPECT_EQ(q->value, mof::Value::makeBool(true)) << flag;
  }
  ASSERT_NE(c.qualifier("Provider"), nullptr);
  EXPECT_EQ(c.qualifier("Provider")->value.string, u"WMIProv");
  ASSERT_NE(c.qualifier("locale"), nullptr);
  EXPECT_EQ(c.qualifier("locale")->value.string, u"MS\\0x409");

  const mof::Property* instanceName = c.property("InstanceName");
  ASSERT_NE(instanceName, nullptr);
  EXPECT_EQ(instanceName->type, CimType::String);
  EXPECT_NE(instanceName->qualifier("key"), nullptr);
  const mof::Property* active = c.property("Active");
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(active->type, CimType::Boolean);
}

TEST(CompiledSchema, DataItemsMatchTheDriversLayout) {
  std::vector<mof::Class> classes = mof::decompile(readCompiled());
  ASSERT_EQ(classes.size(), 1u);
  std::vector<const mof::Property*> items(3, nullptr);
  for (const mof::Property& p : classes[0].properties) {
    if (const mof::Qualifier* id = p.qualifier("WmiDataId")) {
      ASSERT_EQ(id->value.type, CimType::Sint32) << p.name;
      ASSERT_TRUE(id->value.integer == 1 || id->value.integer == 2) << p.name;
      ASSERT_EQ(items[id->value.integer], nullptr) << "WmiDataId given twice";
      items[id->value.integer] = &p;
    }
  }
  // Item 1: the settable 32-bit value at offset 0.
  ASSERT_NE(items[1], nullptr);
  EXPECT_EQ(items[1]->type, CimType::Uint32);
  EXPECT_NE(items[1]->qualifier("read"), nullptr);
  EXPECT_NE(items[1]->qualifier("write"), nullptr);
  // Item 2: the model name, a counted string, read-only.
  ASSERT_NE(items[2], nullptr);
  EXPECT_EQ(items[2]->type, CimType::String);
  EXPECT_EQ(items[2]->name, "ModelName");
  EXPECT_NE(items[2]->qualifier("read"), nullptr);
  EXPECT_EQ(items[2]->qualifier("write"), nullptr);
}

// --- Payload coding -----------------------------------------------------------------

void expectRoundTrip(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> packed = mof::lzCompress(data);
  EXPECT_EQ(mof::lzExpand(packed, data.size()), data);
}

TEST(LzCoding, RoundTripsEdgeShapes) {
  expectRoundTrip({});
  expectRoundTrip({0x42});
  // A run far longer than its offset: the copy overlaps the bytes it produces.
  expectRoundTrip(std::vector<uint8_t>(70000, 0xAA));

  // Repeats at distances in each offset class, including the window's far edge.
  std::mt19937 rng(7);
  std::vector<uint8_t> data;
  for (size_t distance : {1u, 64u, 65u, 320u, 321u, 4416u, 4417u}) {
    std::vector<uint8_t> chunk(distance);
    for (uint8_t& b : chunk) {
      b = static_cast<uint8_t>(rng());
    }
    data.insert(data.end(), chunk.begin(), chunk.end());
    data.insert(data.end(), chunk.begin(), chunk.begin() + std::min<size_t>(distance, 40));
  }
  expectRoundTrip(data);

  std::vector<uint8_t> noise(5000);
  for (uint8_t& b : noise) {
    b = static_cast<uint8_t>(rng());
  }
  expectRoundTrip(noise);
}

TEST(LzCoding, ExpanderRejectsMalformedStreams) {
  std::vector<uint8_t> text(200);
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<uint8_t>("schema"[i % 6]);
  }
  std::vector<uint8_t> packed = mof::lzCompress(text);

  std::vector<uint8_t> truncated(packed.begin(), packed.end() - 1);
  EXPECT_THROW(mof::lzExpand(truncated, text.size()), FormatError);
  std::vector<uint8_t> trailing = packed;
  trailing.push_back(0);
  EXPECT_THROW(mof::lzExpand(trailing, text.size()), FormatError);
  // Stated size smaller than what the last copy produces.
  EXPECT_THROW(mof::lzExpand(packed, text.size() - 1), FormatError);
  // First code a copy (flag bit 1): nothing precedes it.
  EXPECT_THROW(mof::lzExpand(std::vector<uint8_t>{0x01, 0x02}, 4), FormatError);
}

// --- Container and blob -------------------------------------------------------------

mof::Class sampleClass() {
  return mof::parseMof(R"(
    [WMI, guid("{00000000-0000-0000-0000-000000000001}")]
    class Sample : Base {
      [WmiDataId(1)] uint8 A = 255;
      [WmiDataId(2)] sint8 B = -128;
      uint16 C = 65535;
      sint16 D = -32768;
      sint32 E = -2147483648;
      uint32 F = 0xFFFFFFFF;
      sint64 G = -9223372036854775808;
      uint64 H = 18446744073709551615;
      boolean I = false;
      [Description("tab\there " "and \"quotes\" \x00e9")] string J = "";
    };)")
      .at(0);
}

TEST(Blob, EveryTypeRoundTripsThroughTheContainer) {
  mof::Class c = sampleClass();
  EXPECT_EQ(c.superclass, "Base");
  EXPECT_EQ(c.property("J")->qualifier("Description")->value.string,
            u"tab\there and \"quotes\" \u00e9");
  std::vector<mof::Class> back = mof::decompile(mof::compile({c}));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], c);
  EXPECT_EQ(static_cast<uint64_t>(back[0].property("H")->defaultValue->integer), UINT64_MAX);
  EXPECT_EQ(back[0].property("G")->defaultValue->integer, INT64_MIN);
}

TEST(Blob, ReaderRejectsDamagedFiles) {
  std::vector<uint8_t> good = mof::compile({sampleClass()});

  std::vector<uint8_t> magic = good;
  magic[3] = 'X';
  EXPECT_THROW(mof::unwrap(magic), FormatError);
  std::vector<uint8_t> type = good;
  putLe32(type, 4, 2);
  EXPECT_THROW(mof::unwrap(type), FormatError);
  std::vector<uint8_t> size = good;
  putLe32(size, 8, le32(good, 8) + 1);
  EXPECT_THROW(mof::unwrap(size), FormatError);
  EXPECT_THROW(mof::unwrap(std::vector<uint8_t>(good.begin(), good.begin() + 10)), FormatError);

  std::vector<uint8_t> blob = mof::encodeBlob({sampleClass()});
  std::vector<uint8_t> length = blob;
  putLe32(length, 4, static_cast<uint32_t>(blob.size() + 4));
  EXPECT_THROW(mof::decodeBlob(length), FormatError);
  // The object's size (first dword after the 16-byte blob header) reaching past the blob.
  std::vector<uint8_t> object = blob;
  putLe32(object, 16, le32(blob, 16) + 4);
  EXPECT_THROW(mof::decodeBlob(object), FormatError);
  std::vector<uint8_t> cut(blob.begin(), blob.end() - 4);
  putLe32(cut, 4, static_cast<uint32_t>(cut.size()));
  EXPECT_THROW(mof::decodeBlob(cut), FormatError);
}

// --- MOF text -----------------------------------------------------------------------

TEST(MofText, RejectsWhatWouldMisdescribeABlock) {
  const char* bad[] = {
      // WMI class without a guid, or with a malformed one
      "[WMI] class A { };",
      "[WMI, guid(\"BBA21300-6DD3-11D2-B844-00C04FAD5171\")] class A { };",
      // data item ids must be distinct and positive
      "[WMI, guid(\"{BBA21300-6DD3-11D2-B844-00C04FAD5171}\")] class A {"
      " [WmiDataId(1)] uint32 X; [WmiDataId(1)] uint32 Y; };",
      "[WMI, guid(\"{BBA21300-6DD3-11D2-B844-00C04FAD5171}\")] class A {"
      " [WmiDataId(0)] uint32 X; };",
      "class A { uint8 X = 256; };",
      "class A { sint8 X = -129; };",
      "class A { uint32 X = -1; };",
      "class A { uint32 X; uint32 x; };",
      "[read, READ] class A { };",
      "class A { uint32 X[]; };",
      "class A { string X = \"open; };",
      "class A { uint32 X; }",
      "/* open comment class A { };",
      "#pragma namespace(\"\\\\\\\\.\\\\root\\\\wmi\")",
  };
  for (const char* text : bad) {
    EXPECT_THROW(mof::parseMof(text), mof::ParseError) << text;
  }
}

TEST(MofText, ErrorsNameTheirPosition) {
  try {
    mof::parseMof("class A {\n  uint32 X\n};", "unit.mof");
    FAIL() << "expected a parse error";
  } catch (const mof::ParseError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("unit.mof:3:1:", 0), 0u) << e.what();
  }
}

}  // namespace
