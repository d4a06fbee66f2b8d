#include "PeImage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace pecheck {
namespace {

std::string hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Little-endian reads from the file, each naming what it reads so that a short file says
// which structure it cut off.
class FileReader {
 public:
  explicit FileReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  void require(uint64_t offset, uint64_t size, const char* what) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) {
      throw PeError(std::string("truncated: ") + what + " at offset " + hex(offset) + " (" +
                    std::to_string(size) + " bytes) runs past the end of the file (" +
                    std::to_string(bytes_.size()) + " bytes)");
    }
  }
  uint8_t u8(uint64_t offset, const char* what) const {
    require(offset, 1, what);
    return bytes_[offset];
  }
  uint16_t u16(uint64_t offset, const char* what) const {
    require(offset, 2, what);
    return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
  }
  uint32_t u32(uint64_t offset, const char* what) const {
    require(offset, 4, what);
    return static_cast<uint32_t>(bytes_[offset]) | static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes_[offset + 3]) << 24;
  }
  uint64_t u64(uint64_t offset, const char* what) const {
    return u32(offset, what) | static_cast<uint64_t>(u32(offset + 4, what)) << 32;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

uint16_t le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(le16(b, at)) | static_cast<uint32_t>(le16(b, at + 2)) << 16;
}

std::string fixedName(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n] != 0) {
    ++n;
  }
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

}  // namespace

std::string machineName(uint16_t machine) {
  switch (machine) {
    case kMachineI386: return "i386";
    case kMachineAmd64: return "amd64";
    case 0x01c0: return "arm";
    case 0x01c4: return "armnt";
    case 0xaa64: return "arm64";
    default: return "unknown (" + hex(machine) + ")";
  }
}

ResourceKey ResourceKey::parse(const std::string& text) {
  ResourceKey key;
  if (!text.empty() && text.size() <= 5 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    unsigned long value = std::stoul(text);
    if (value <= 0xffff) {
      key.id = static_cast<uint16_t>(value);
      return key;
    }
  }
  key.name = text;
  return key;
}

bool ResourceKey::matches(const ResourceKey& other) const {
  if (id.has_value() || other.id.has_value()) {
    return id == other.id;
  }
  return upper(name) == upper(other.name);
}

std::string ResourceKey::toString() const { return id ? std::to_string(*id) : name; }

PeImage PeImage::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw PeError("cannot open " + path);
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    throw PeError("cannot read " + path);
  }
  return parse(std::move(bytes));
}

PeImage PeImage::parse(std::vector<uint8_t> bytes) {
  PeImage image;
  image.bytes_ = std::move(bytes);
  image.parseHeaders();
  return image;
}

void PeImage::parseHeaders() {
  const FileReader file(bytes_);
  if (bytes_.size() < 64) {
    throw PeError("not a PE image: " + std::to_string(bytes_.size()) +
                  " bytes is too small for a DOS header (64 bytes)");
  }
  if (bytes_[0] != 'M' || bytes_[1] != 'Z') {
    throw PeError("not a PE image: no MZ signature at the start of the file");
  }
  const uint32_t peOffset = file.u32(0x3c, "DOS header");
  if (static_cast<uint64_t>(peOffset) + 4 > bytes_.size()) {
    throw PeError("not a PE image: the DOS header points at offset " + hex(peOffset) +
                  ", past the end of the file (" + std::to_string(bytes_.size()) + " bytes)");
  }
  if (file.u32(peOffset, "PE signature") != 0x00004550) {
    throw PeError("not a PE image: no PE signature at offset " + hex(peOffset));
  }

  const uint64_t coff = peOffset + 4ULL;
  file.require(coff, 20, "COFF file header");
  machine_ = file.u16(coff, "COFF file header");
  const uint16_t sectionCount = file.u16(coff + 2, "COFF file header");
  const uint32_t symbolPointer = file.u32(coff + 8, "COFF file header");
  const uint32_t symbolCount = file.u32(coff + 12, "COFF file header");
  const uint16_t optionalSize = file.u16(coff + 16, "COFF file header");
  fileCharacteristics_ = file.u16(coff + 18, "COFF file header");

  const uint64_t opt = coff + 20;
  file.require(opt, optionalSize, "optional header");
  const uint16_t magic = optionalSize >= 2 ? file.u16(opt, "optional header") : 0;
  uint64_t directories = 0;
  uint32_t directoryCount = 0;
  if (magic == 0x10b && optionalSize >= 96) {
    pe32Plus_ = false;
    imageBase_ = file.u32(opt + 28, "optional header");
    directoryCount = file.u32(opt + 92, "optional header");
    directories = opt + 96;
  } else if (magic == 0x20b && optionalSize >= 112) {
    pe32Plus_ = true;
    imageBase_ = file.u64(opt + 24, "optional header");
    directoryCount = file.u32(opt + 108, "optional header");
    directories = opt + 112;
  } else {
    throw PeError("not a PE image: optional header of " + std::to_string(optionalSize) +
                  " bytes with magic " + hex(magic) + " is neither PE32 nor PE32+");
  }
  entryRva_ = file.u32(opt + 16, "optional header");
  checksumOffset_ = static_cast<uint32_t>(opt + 64);
  checksum_ = file.u32(opt + 64, "optional header");
  subsystem_ = file.u16(opt + 68, "optional header");
  dllCharacteristics_ = file.u16(opt + 70, "optional header");
  directoryCount = std::min<uint32_t>(directoryCount, 16);
  if (directories + directoryCount * 8ULL > opt + optionalSize) {
    throw PeError("malformed: " + std::to_string(directoryCount) +
                  " data directories do not fit the optional header");
  }
  auto directory = [&](uint32_t index) -> std::pair<uint32_t, uint32_t> {
    if (index >= directoryCount) {
      return {0, 0};
    }
    return {file.u32(directories + index * 8ULL, "data directory"),
            file.u32(directories + index * 8ULL + 4, "data directory")};
  };

  const uint64_t table = opt + optionalSize;
  file.require(table, sectionCount * 40ULL, "section table");
  std::vector<std::string> longNames;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const uint64_t at = table + i * 40ULL;
    Section section;
    section.name = fixedName(&bytes_[at], 8);
    section.virtualSize = file.u32(at + 8, "section table");
    section.virtualAddress = file.u32(at + 12, "section table");
    section.rawSize = file.u32(at + 16, "section table");
    section.rawOffset = file.u32(at + 20, "section table");
    section.characteristics = file.u32(at + 36, "section table");
    if (section.rawSize != 0) {
      file.require(section.rawOffset, section.rawSize,
                   ("raw data of section " + section.name).c_str());
    }
    sections_.push_back(section);
  }

  if (symbolPointer != 0 && symbolCount != 0) {
    parseSymbols(symbolPointer, symbolCount);
  }
  relocationSize_ = directory(5).second;
  if (auto [rva, size] = directory(1); rva != 0) {
    parseImports(rva, size);
  }
  if (auto [rva, size] = directory(2); rva != 0) {
    parseResources(rva, size);
  }
}

void PeImage::parseSymbols(uint32_t pointer, uint32_t count) {
  const FileReader file(bytes_);
  const uint64_t tableSize = count * 18ULL;
  file.require(pointer, tableSize, "COFF symbol table");
  const uint64_t strings = pointer + tableSize;
  const uint32_t stringsSize = file.u32(strings, "COFF string table");
  if (stringsSize < 4) {
    throw PeError("malformed: COFF string table size " + std::to_string(stringsSize));
  }
  file.require(strings, stringsSize, "COFF string table");
  auto stringAt = [&](uint32_t offset) {
    if (offset < 4 || offset >= stringsSize) {
      throw PeError("malformed: symbol name offset " + std::to_string(offset) +
                    " outside the COFF string table (" + std::to_string(stringsSize) + " bytes)");
    }
    return fixedName(&bytes_[strings + offset], stringsSize - offset);
  };

  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = pointer + i * 18ULL;
    Symbol symbol;
    if (file.u32(at, "COFF symbol table") == 0) {
      symbol.name = stringAt(file.u32(at + 4, "COFF symbol table"));
    } else {
      symbol.name = fixedName(&bytes_[at], 8);
    }
    symbol.value = file.u32(at + 8, "COFF symbol table");
    symbol.section = static_cast<int16_t>(file.u16(at + 12, "COFF symbol table"));
    symbol.type = file.u16(at + 14, "COFF symbol table");
    symbol.storageClass = file.u8(at + 16, "COFF symbol table");
    const uint8_t aux = file.u8(at + 17, "COFF symbol table");
    symbols_.push_back(std::move(symbol));
    i += aux;
  }

  for (Section& section : sections_) {
    if (section.name.size() > 1 && section.name[0] == '/') {
      const std::string digits = section.name.substr(1);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        section.name = stringAt(static_cast<uint32_t>(std::stoul(digits)));
      }
    }
  }
}

std::optional<std::span<const uint8_t>> PeImage::readRva(uint32_t rva, uint32_t size) const {
  for (const Section& section : sections_) {
    const uint64_t extent = std::max(section.virtualSize, section.rawSize);
    if (rva < section.virtualAddress || rva - section.virtualAddress >= extent) {
      continue;
    }
    const uint64_t offset = rva - section.virtualAddress;
    if (offset + size > section.rawSize) {
      return std::nullopt;
    }
    return std::span<const uint8_t>(bytes_.data() + section.rawOffset + offset, size);
  }
  return std::nullopt;
}

namespace {

// Reads within the mapped image by RVA, failing with the name of the structure read.
class ImageReader {
 public:
  ImageReader(const PeImage& image, std::string what) : image_(image), what_(std::move(what)) {}

  std::span<const uint8_t> bytes(uint64_t rva, uint32_t size) const {
    std::optional<std::span<const uint8_t>> data;
    if (rva <= 0xffffffffULL) {
      data = image_.readRva(static_cast<uint32_t>(rva), size);
    }
    if (!data) {
      throw PeError("malformed: " + what_ + " at RVA " + hex(rva) + " (" + std::to_string(size) +
                    " bytes) is not in the file");
    }
    return *data;
  }
  uint16_t u16(uint64_t rva) const { return le16(bytes(rva, 2), 0); }
  uint32_t u32(uint64_t rva) const { return le32(bytes(rva, 4), 0); }
  uint64_t u64(uint64_t rva) const {
    auto b = bytes(rva, 8);
    return le32(b, 0) | static_cast<uint64_t>(le32(b, 4)) << 32;
  }
  std::string string(uint64_t rva) const {
    std::string text;
    for (uint64_t at = rva;; ++at) {
      const uint8_t c = bytes(at, 1)[0];
      if (c == 0) {
        return text;
      }
      if (text.size() >= 4096) {
        throw PeError("malformed: " + what_ + " string at RVA " + hex(rva) + " has no end");
      }
      text.push_back(static_cast<char>(c));
    }
  }

 private:
  const PeImage& image_;
  std::string what_;
};

}  // namespace

void PeImage::parseImports(uint32_t rva, uint32_t) {
  const ImageReader reader(*this, "import directory");
  const uint32_t thunkSize = pe32Plus_ ? 8 : 4;
  const uint64_t ordinalFlag = pe32Plus_ ? 1ULL << 63 : 1ULL << 31;
  for (uint64_t at = rva;; at += 20) {
    const uint32_t lookup = reader.u32(at);
    const uint32_t nameRva = reader.u32(at + 12);
    const uint32_t firstThunk = reader.u32(at + 16);
    if (lookup == 0 && nameRva == 0 && firstThunk == 0) {
      break;
    }
    if (imports_.size() >= 4096) {
      throw PeError("malformed: import directory has no terminating entry");
    }
    ImportedModule module;
    module.module = ImageReader(*this, "imported module name").string(nameRva);
    const ImageReader thunks(*this, "import table of " + module.module);
    for (uint64_t thunk = lookup != 0 ? lookup : firstThunk;; thunk += thunkSize) {
      const uint64_t entry = pe32Plus_ ? thunks.u64(thunk) : thunks.u32(thunk);
      if (entry == 0) {
        break;
      }
      if (module.names.size() >= 65536) {
        throw PeError("malformed: import table of " + module.module + " has no end");
      }
      ImportedName name;
      if (entry & ordinalFlag) {
        name.ordinal = static_cast<uint16_t>(entry & 0xffff);
      } else {
        const uint64_t hintName = entry & 0x7fffffff;
        name.ordinal = thunks.u16(hintName);  // the hint
        name.name = thunks.string(hintName + 2);
      }
      module.names.push_back(std::move(name));
    }
    imports_.push_back(std::move(module));
  }
}

void PeImage::parseResources(uint32_t base, uint32_t) {
  const ImageReader reader(*this, "resource directory");
  auto keyOf = [&](uint32_t field) {
    ResourceKey key;
    if (field & 0x80000000u) {
      const uint64_t at = base + static_cast<uint64_t>(field & 0x7fffffff);
      const uint16_t length = reader.u16(at);
      auto units = reader.bytes(at + 2, length * 2u);
      for (uint16_t i = 0; i < length; ++i) {
        const uint16_t unit = le16(units, i * 2u);
        key.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
      }
    } else {
      key.id = static_cast<uint16_t>(field);
    }
    return key;
  };
  // The three levels: type, name, language.
  auto entries = [&](uint32_t directoryOffset) {
    const uint64_t at = base + static_cast<uint64_t>(directoryOffset);
    const uint32_t count = static_cast<uint32_t>(reader.u16(at + 12)) + reader.u16(at + 14);
    std::vector<std::pair<uint32_t, uint32_t>> list;
    for (uint32_t i = 0; i < count; ++i) {
      list.emplace_back(reader.u32(at + 16 + i * 8ULL), reader.u32(at + 20 + i * 8ULL));
    }
    return list;
  };
  auto subdirectory = [](uint32_t field, const char* level) {
    if (!(field & 0x80000000u)) {
      throw PeError(std::string("malformed: resource ") + level + " entry is not a directory");
    }
    return field & 0x7fffffff;
  };
  for (auto [typeField, typeData] : entries(0)) {
    const ResourceKey type = keyOf(typeField);
    for (auto [nameField, nameData] : entries(subdirectory(typeData, "type"))) {
      const ResourceKey name = keyOf(nameField);
      for (auto [langField, langData] : entries(subdirectory(nameData, "name"))) {
        if (langData & 0x80000000u) {
          throw PeError("malformed: resource language entry is a directory");
        }
        Resource resource;
        resource.type = type;
        resource.name = name;
        resource.language = static_cast<uint16_t>(langField);
        resource.dataRva = reader.u32(base + static_cast<uint64_t>(langData));
        resource.size = reader.u32(base + static_cast<uint64_t>(langData) + 4);
        resources_.push_back(std::move(resource));
      }
    }
  }
}

const Symbol* PeImage::findSymbol(const std::string& name) const {
  for (const Symbol& symbol : symbols_) {
    if (symbol.section > 0 && symbol.name == name) {
      return &symbol;
    }
  }
  return nullptr;
}

std::optional<uint32_t> PeImage::symbolRva(const Symbol& symbol) const {
  if (symbol.section <= 0 || static_cast<size_t>(symbol.section) > sections_.size()) {
    return std::nullopt;
  }
  return sections_[symbol.section - 1].virtualAddress + symbol.value;
}

uint32_t PeImage::computeChecksum() const {
  auto byteAt = [&](size_t i) -> uint32_t {
    if (i >= bytes_.size() || (i >= checksumOffset_ && i < checksumOffset_ + 4ULL)) {
      return 0;
    }
    return bytes_[i];
  };
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes_.size(); i += 2) {
    sum += byteAt(i) | byteAt(i + 1) << 8;
    sum = (sum & 0xffff) + (sum >> 16);
  }
  sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes_.size());
}

}  // namespace pecheck
