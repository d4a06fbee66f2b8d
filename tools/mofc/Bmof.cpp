#include "Bmof.h"

#include <cctype>

#include "Lz.h"

// Our layout of the expanded blob. Every count and size is a little-endian dword; every
// size covers its structure from the size field itself to its end.
//
//   blob       u32 signature 0x424D4F46 | u32 blob size | u32 version (1) | u32 object count |
//              object*
//   object     u32 size | u32 kind (0 = class) | name | superclass name | qualifier list |
//              property list
//   qualifiers u32 size | u32 count | qualifier*
//   qualifier  u32 size | u32 CIM type | name | value
//   properties u32 size | u32 count | property*
//   property   u32 size | u32 CIM type | u32 flags (bit 0: has a default value) | name |
//              [value] | qualifier list
//   name       u32 byte length, including the two-byte NUL | UTF-16LE characters | NUL |
//              zero padding to a dword boundary (an empty superclass name is length 2)
//   value      by type: boolean as a 16-bit VARIANT_BOOL plus two padding bytes; 8-, 16- and
//              32-bit integers in one dword (sign-extended for signed types); 64-bit integers
//              in two dwords, low first; strings as a name.

namespace mof {
namespace {

constexpr uint32_t kKindClass = 0;
constexpr uint32_t kHasDefault = 1;

struct TypeInfo {
  CimType type;
  const char* name;
};
constexpr TypeInfo kTypes[] = {
    {CimType::Sint8, "sint8"},   {CimType::Uint8, "uint8"},     {CimType::Sint16, "sint16"},
    {CimType::Uint16, "uint16"}, {CimType::Sint32, "sint32"},   {CimType::Uint32, "uint32"},
    {CimType::Sint64, "sint64"}, {CimType::Uint64, "uint64"},   {CimType::Boolean, "boolean"},
    {CimType::String, "string"},
};

class Writer {
 public:
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
  }
  void u16(uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  void name(const std::u16string& s) {
    u32(static_cast<uint32_t>((s.size() + 1) * 2));
    for (char16_t c : s) {
      u16(c);
    }
    u16(0);
    while (bytes.size() % 4 != 0) {
      bytes.push_back(0);
    }
  }
  // Reserves a size dword and returns its position for patch().
  size_t begin() {
    size_t at = bytes.size();
    u32(0);
    return at;
  }
  void patch(size_t at) {
    auto size = static_cast<uint32_t>(bytes.size() - at);
    for (int i = 0; i < 4; ++i) {
      bytes[at + i] = static_cast<uint8_t>(size >> (8 * i));
    }
  }
  std::vector<uint8_t> bytes;
};

void writeValue(Writer& w, const Value& v) {
  switch (v.type) {
    case CimType::Boolean:
      w.u16(v.boolean ? 0xFFFF : 0x0000);
      w.u16(0);
      break;
    case CimType::String:
      w.name(v.string);
      break;
    case CimType::Sint64:
    case CimType::Uint64:
      w.u32(static_cast<uint32_t>(static_cast<uint64_t>(v.integer)));
      w.u32(static_cast<uint32_t>(static_cast<uint64_t>(v.integer) >> 32));
      break;
    default:
      w.u32(static_cast<uint32_t>(v.integer));
      break;
  }
}

void writeQualifiers(Writer& w, const std::vector<Qualifier>& qualifiers) {
  size_t list = w.begin();
  w.u32(static_cast<uint32_t>(qualifiers.size()));
  for (const Qualifier& q : qualifiers) {
    size_t at = w.begin();
    w.u32(static_cast<uint32_t>(q.value.type));
    w.name(toUtf16(q.name));
    writeValue(w, q.value);
    w.patch(at);
  }
  w.patch(list);
}

// A bounded view of one structure; every read checks it stays inside.
class Reader {
 public:
  Reader(std::span<const uint8_t> bytes, const char* what) : bytes_(bytes), what_(what) {}

  uint32_t u32() {
    need(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v |= uint32_t{bytes_[pos_ + i]} << (8 * i);
    }
    pos_ += 4;
    return v;
  }
  uint16_t u16() {
    need(2);
    auto v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::u16string name() {
    uint32_t length = u32();
    if (length < 2 || length % 2 != 0) {
      fail("a name with a bad length");
    }
    need(length);
    std::u16string s;
    for (uint32_t i = 0; i + 2 < length; i += 2) {
      s.push_back(static_cast<char16_t>(bytes_[pos_ + i] | (bytes_[pos_ + i + 1] << 8)));
    }
    if (bytes_[pos_ + length - 2] != 0 || bytes_[pos_ + length - 1] != 0) {
      fail("a name without its terminating NUL");
    }
    for (char16_t c : s) {
      if (c == 0) {
        fail("a name with an embedded NUL");
      }
    }
    pos_ += length;
    while (pos_ % 4 != 0) {
      need(1);
      if (bytes_[pos_++] != 0) {
        fail("non-zero padding");
      }
    }
    return s;
  }
  // The next structure: its size dword (from which it starts) bounds a nested reader.
  Reader sub(const char* what) {
    size_t start = pos_;
    uint32_t size = u32();
    if (size < 4 || size > bytes_.size() - start) {
      fail(std::string("a ") + what + " whose size does not fit");
    }
    pos_ = start + size;
    Reader nested(bytes_.subspan(start, size), what);
    nested.pos_ = 4;
    return nested;
  }
  void end() const {
    if (pos_ != bytes_.size()) {
      fail("bytes left over at its end");
    }
  }
  [[noreturn]] void fail(const std::string& message) const {
    throw FormatError(std::string(what_) + ": " + message);
  }

 private:
  void need(size_t n) const {
    if (n > bytes_.size() - pos_) {
      fail("runs past its end");
    }
  }
  std::span<const uint8_t> bytes_;
  const char* what_;
  size_t pos_ = 0;
};

CimType readType(Reader& r) {
  uint32_t code = r.u32();
  if (!cimTypeName(static_cast<CimType>(code))) {
    r.fail("unknown type code " + std::to_string(code));
  }
  return static_cast<CimType>(code);
}

Value readValue(Reader& r, CimType type) {
  Value v;
  v.type = type;
  switch (type) {
    case CimType::Boolean: {
      uint16_t b = r.u16();
      if ((b != 0 && b != 0xFFFF) || r.u16() != 0) {
        r.fail("a boolean that is neither 0 nor 0xFFFF");
      }
      v.boolean = b != 0;
      break;
    }
    case CimType::String:
      v.string = r.name();
      break;
    case CimType::Sint64:
    case CimType::Uint64: {
      uint64_t low = r.u32();
      uint64_t high = r.u32();
      v.integer = static_cast<int64_t>(low | (high << 32));
      break;
    }
    case CimType::Sint8:
      v.integer = static_cast<int8_t>(r.u32());
      break;
    case CimType::Sint16:
      v.integer = static_cast<int16_t>(r.u32());
      break;
    case CimType::Sint32:
      v.integer = static_cast<int32_t>(r.u32());
      break;
    case CimType::Uint8:
      v.integer = static_cast<uint8_t>(r.u32());
      break;
    case CimType::Uint16:
      v.integer = static_cast<uint16_t>(r.u32());
      break;
    default:
      v.integer = r.u32();
      break;
  }
  return v;
}

std::vector<Qualifier> readQualifiers(Reader& parent) {
  Reader list = parent.sub("qualifier list");
  uint32_t count = list.u32();
  std::vector<Qualifier> qualifiers;
  for (uint32_t i = 0; i < count; ++i) {
    Reader r = list.sub("qualifier");
    Qualifier q;
    CimType type = readType(r);
    q.name = toUtf8(r.name());
    q.value = readValue(r, type);
    r.end();
    qualifiers.push_back(std::move(q));
  }
  list.end();
  return qualifiers;
}

template <typename Item>
const Item* findByName(const std::vector<Item>& items, const std::string& name) {
  for (const Item& item : items) {
    if (equalsIgnoreCase(item.name, name)) {
      return &item;
    }
  }
  return nullptr;
}

uint32_t readLe32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

void appendLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

}  // namespace

const char* cimTypeName(CimType type) {
  for (const TypeInfo& t : kTypes) {
    if (t.type == type) {
      return t.name;
    }
  }
  return nullptr;
}

std::optional<CimType> cimTypeFromName(const std::string& name) {
  for (const TypeInfo& t : kTypes) {
    if (equalsIgnoreCase(t.name, name)) {
      return t.type;
    }
  }
  return std::nullopt;
}

bool isSigned(CimType type) {
  return type == CimType::Sint8 || type == CimType::Sint16 || type == CimType::Sint32 ||
         type == CimType::Sint64;
}

bool isInteger(CimType type) { return type != CimType::Boolean && type != CimType::String; }

Value Value::makeBool(bool b) {
  Value v;
  v.type = CimType::Boolean;
  v.boolean = b;
  return v;
}

Value Value::makeInt(CimType type, int64_t i) {
  Value v;
  v.type = type;
  v.integer = i;
  return v;
}

Value Value::makeString(std::u16string s) {
  Value v;
  v.type = CimType::String;
  v.string = std::move(s);
  return v;
}

const Qualifier* Property::qualifier(const std::string& qualifierName) const {
  return findByName(qualifiers, qualifierName);
}

const Qualifier* Class::qualifier(const std::string& qualifierName) const {
  return findByName(qualifiers, qualifierName);
}

const Property* Class::property(const std::string& propertyName) const {
  return findByName(properties, propertyName);
}

std::vector<uint8_t> encodeBlob(const std::vector<Class>& classes) {
  Writer w;
  w.u32(kBlobSignature);
  size_t blobSize = w.bytes.size();
  w.u32(0);
  w.u32(kBlobVersion);
  w.u32(static_cast<uint32_t>(classes.size()));
  for (const Class& c : classes) {
    size_t object = w.begin();
    w.u32(kKindClass);
    w.name(toUtf16(c.name));
    w.name(toUtf16(c.superclass));
    writeQualifiers(w, c.qualifiers);
    size_t list = w.begin();
    w.u32(static_cast<uint32_t>(c.properties.size()));
    for (const Property& p : c.properties) {
      size_t at = w.begin();
      w.u32(static_cast<uint32_t>(p.type));
      w.u32(p.defaultValue ? kHasDefault : 0);
      w.name(toUtf16(p.name));
      if (p.defaultValue) {
        writeValue(w, *p.defaultValue);
      }
      writeQualifiers(w, p.qualifiers);
      w.patch(at);
    }
    w.patch(list);
    w.patch(object);
  }
  auto size = static_cast<uint32_t>(w.bytes.size());
  for (int i = 0; i < 4; ++i) {
    w.bytes[blobSize + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  return std::move(w.bytes);
}

std::vector<Class> decodeBlob(std::span<const uint8_t> blob) {
  Reader top(blob, "blob");
  if (top.u32() != kBlobSignature) {
    top.fail("no BMOF signature");
  }
  // The blob size counts from the signature, so it sits one dword in.
  uint32_t size = top.u32();
  if (size != blob.size()) {
    top.fail("its size field says " + std::to_string(size) + " bytes, it holds " +
             std::to_string(blob.size()));
  }
  if (uint32_t version = top.u32(); version != kBlobVersion) {
    top.fail("unknown version " + std::to_string(version));
  }
  uint32_t count = top.u32();
  std::vector<Class> classes;
  for (uint32_t i = 0; i < count; ++i) {
    Reader r = top.sub("object");
    if (r.u32() != kKindClass) {
      r.fail("not a class (instances are not supported)");
    }
    Class c;
    c.name = toUtf8(r.name());
    c.superclass = toUtf8(r.name());
    c.qualifiers = readQualifiers(r);
    Reader list = r.sub("property list");
    uint32_t properties = list.u32();
    for (uint32_t j = 0; j < properties; ++j) {
      Reader pr = list.sub("property");
      Property p;
      p.type = readType(pr);
      uint32_t flags = pr.u32();
      if ((flags & ~kHasDefault) != 0) {
        pr.fail("unknown flags");
      }
      p.name = toUtf8(pr.name());
      if (flags & kHasDefault) {
        p.defaultValue = readValue(pr, p.type);
      }
      p.qualifiers = readQualifiers(pr);
      pr.end();
      c.properties.push_back(std::move(p));
    }
    list.end();
    r.end();
    classes.push_back(std::move(c));
  }
  top.end();
  return classes;
}

std::vector<uint8_t> wrap(std::span<const uint8_t> blob) {
  std::vector<uint8_t> payload = lzCompress(blob);
  std::vector<uint8_t> out = {'F', 'O', 'M', 'B'};
  appendLe32(out, kCompressionLz);
  appendLe32(out, static_cast<uint32_t>(payload.size()));
  appendLe32(out, static_cast<uint32_t>(blob.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

ContainerHeader readHeader(std::span<const uint8_t> file) {
  if (file.size() < kContainerHeaderSize) {
    throw FormatError("container: shorter than its header");
  }
  if (file[0] != 'F' || file[1] != 'O' || file[2] != 'M' || file[3] != 'B') {
    throw FormatError("container: no FOMB signature");
  }
  ContainerHeader h;
  h.compressionType = readLe32(file, 4);
  h.compressedSize = readLe32(file, 8);
  h.expandedSize = readLe32(file, 12);
  return h;
}

std::vector<uint8_t> unwrap(std::span<const uint8_t> file) {
  ContainerHeader h = readHeader(file);
  if (h.compressionType != kCompressionLz) {
    throw FormatError("container: unknown compression type " + std::to_string(h.compressionType));
  }
  if (h.compressedSize != file.size() - kContainerHeaderSize) {
    throw FormatError("container: compressed size " + std::to_string(h.compressedSize) +
                      " does not match the " + std::to_string(file.size() - kContainerHeaderSize) +
                      " bytes after the header");
  }
  return lzExpand(file.subspan(kContainerHeaderSize), h.expandedSize);
}

std::vector<uint8_t> compile(const std::vector<Class>& classes) {
  std::vector<uint8_t> blob = encodeBlob(classes);
  return wrap(blob);
}

std::vector<Class> decompile(std::span<const uint8_t> file) {
  std::vector<uint8_t> blob = unwrap(file);
  return decodeBlob(blob);
}

std::u16string toUtf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2
                : (lead >> 3) == 0x1E                 ? 3
                                                      : -1;
    if (extra < 0) {
      throw FormatError("malformed UTF-8");
    }
    uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= utf8.size()) {
        throw FormatError("malformed UTF-8");
      }
      auto cont = static_cast<unsigned char>(utf8[i + k]);
      if ((cont & 0xC0) != 0x80) {
        throw FormatError("malformed UTF-8");
      }
      cp = (cp << 6) | (cont & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      throw FormatError("malformed UTF-8");
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string toUtf8(const std::u16string& utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      throw FormatError("a lone UTF-16 surrogate");
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace mof
