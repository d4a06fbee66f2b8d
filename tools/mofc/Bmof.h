// The binary form of a compiled MOF schema, as a driver carries it in its MOFDATA resource.
//
// Two layers:
//
//   container  "FOMB" | u32 compression type | u32 compressed size | u32 expanded size |
//              compressed payload
//   blob       the expanded payload: a dword signature 0x424D4F46 (the bytes "FOMB" on a
//              little-endian machine), the blob's length, then the objects.
//
// What is publicly described of the format, and what is ours:
//   * The container header (signature, compression type, both sizes, all little-endian
//     dwords) and the value 1 for the compression type are described publicly, as is the
//     expanded blob's leading signature and length, its NUL-terminated UTF-16 names and its
//     nesting of length-prefixed structures: objects holding a qualifier list and a property
//     list, properties holding a type, a name, a value and their own qualifier list. Also
//     public: the qualifier-flavor section after the objects is optional. We never write it.
//   * The type codes are the platform's documented CIM type numbers (CIM_UINT32 = 19 and
//     so on). Boolean values use the VARIANT_BOOL convention (0xFFFF for true).
//   * The exact field order inside objects, lists, qualifiers and properties, and the
//     padding, are our own layout built on that outline (see Bmof.cpp). So is the
//     compressed bitstream (see Lz.h): type 1 is described only as a variant of LZ77.
//     Round trips through our own reader are checked. Acceptance by the platform's schema
//     loader is not.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace mof {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CimType : uint32_t {
  Sint16 = 2,
  Sint32 = 3,
  String = 8,
  Boolean = 11,
  Sint8 = 16,
  Uint8 = 17,
  Uint16 = 18,
  Uint32 = 19,
  Sint64 = 20,
  Uint64 = 21,
};

// The MOF keyword for a type ("uint32"), or nullptr for a code we do not know.
const char* cimTypeName(CimType type);
std::optional<CimType> cimTypeFromName(const std::string& name);  // case-insensitive
bool isSigned(CimType type);
bool isInteger(CimType type);

struct Value {
  CimType type = CimType::Boolean;
  bool boolean = false;
  int64_t integer = 0;  // every integer type; unsigned 64-bit values are stored as their bits
  std::u16string string;

  static Value makeBool(bool b);
  static Value makeInt(CimType type, int64_t v);
  static Value makeString(std::u16string s);
  bool operator==(const Value&) const = default;
};

struct Qualifier {
  std::string name;
  Value value;
  bool operator==(const Qualifier&) const = default;
};

struct Property {
  std::string name;
  CimType type = CimType::Uint32;
  std::optional<Value> defaultValue;
  std::vector<Qualifier> qualifiers;

  const Qualifier* qualifier(const std::string& qualifierName) const;  // case-insensitive
  bool operator==(const Property&) const = default;
};

struct Class {
  std::string name;
  std::string superclass;  // empty when the class derives from nothing
  std::vector<Qualifier> qualifiers;
  std::vector<Property> properties;

  const Qualifier* qualifier(const std::string& qualifierName) const;  // case-insensitive
  const Property* property(const std::string& propertyName) const;    // case-insensitive
  bool operator==(const Class&) const = default;
};

constexpr uint32_t kBlobSignature = 0x424D4F46;  // "FOMB" in the file
constexpr uint32_t kBlobVersion = 1;
constexpr uint32_t kCompressionLz = 1;
constexpr size_t kContainerHeaderSize = 16;

// The expanded blob for these classes, and back. decodeBlob throws FormatError on any
// structure that does not fit inside its parent or holds an unknown type.
std::vector<uint8_t> encodeBlob(const std::vector<Class>& classes);
std::vector<Class> decodeBlob(std::span<const uint8_t> blob);

struct ContainerHeader {
  uint32_t compressionType = 0;
  uint32_t compressedSize = 0;
  uint32_t expandedSize = 0;
};

// The container around a blob (compressing it), and back (checking the header and the
// sizes against the data and expanding the payload).
std::vector<uint8_t> wrap(std::span<const uint8_t> blob);
ContainerHeader readHeader(std::span<const uint8_t> file);
std::vector<uint8_t> unwrap(std::span<const uint8_t> file);

// The whole path: classes to a .bmf image and back.
std::vector<uint8_t> compile(const std::vector<Class>& classes);
std::vector<Class> decompile(std::span<const uint8_t> file);

std::u16string toUtf16(const std::string& utf8);  // throws FormatError on malformed input
std::string toUtf8(const std::u16string& utf16);  // throws FormatError on lone surrogates

bool equalsIgnoreCase(const std::string& a, const std::string& b);

}  // namespace mof
