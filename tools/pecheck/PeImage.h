// A reader for PE/COFF images, as much of the format as checking a kernel driver image
// needs: headers, sections, the COFF symbol table, imports and resources.
//
// Every structure is read with bounds checks against the file; anything that points outside
// it is reported as a PeError naming what was being read and where, so a truncated or
// foreign file gives a clear message rather than a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pecheck {

struct PeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t kMachineI386 = 0x014c;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;
inline constexpr uint16_t kFileDll = 0x2000;

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

struct Symbol {
  std::string name;
  uint32_t value = 0;
  int16_t section = 0;  // 1-based; 0 undefined, negative for absolute and debug symbols
  uint16_t type = 0;
  uint8_t storageClass = 0;
};

struct ImportedName {
  std::string name;  // empty when imported by ordinal
  uint16_t ordinal = 0;
};

struct ImportedModule {
  std::string module;
  std::vector<ImportedName> names;
};

// A resource directory entry's identity: a number, or a name (upper-cased by resource
// compilers; compared without regard to case).
struct ResourceKey {
  std::optional<uint16_t> id;
  std::string name;

  static ResourceKey parse(const std::string& text);  // digits give an id, anything else a name
  bool matches(const ResourceKey& other) const;
  std::string toString() const;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t dataRva = 0;
  uint32_t size = 0;
};

class PeImage {
 public:
  // Parses a whole image file. Throws PeError when the bytes are not a PE image or any
  // structure the reader relies on lies outside them.
  static PeImage parse(std::vector<uint8_t> bytes);
  static PeImage load(const std::string& path);

  const std::vector<uint8_t>& bytes() const { return bytes_; }

  uint16_t machine() const { return machine_; }
  uint16_t fileCharacteristics() const { return fileCharacteristics_; }
  bool isPe32Plus() const { return pe32Plus_; }
  uint32_t entryPointRva() const { return entryRva_; }
  uint64_t imageBase() const { return imageBase_; }
  uint16_t subsystem() const { return subsystem_; }
  uint16_t dllCharacteristics() const { return dllCharacteristics_; }
  uint32_t checksum() const { return checksum_; }
  uint32_t checksumOffset() const { return checksumOffset_; }
  bool hasRelocations() const { return relocationSize_ != 0; }

  const std::vector<Section>& sections() const { return sections_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }
  const std::vector<ImportedModule>& imports() const { return imports_; }
  const std::vector<Resource>& resources() const { return resources_; }

  // The defined symbol of that name (an image may also carry undefined leftovers of it).
  const Symbol* findSymbol(const std::string& name) const;
  // A defined symbol's address relative to the image base.
  std::optional<uint32_t> symbolRva(const Symbol& symbol) const;
  // The file bytes behind [rva, rva + size), if they lie in one section's raw data.
  std::optional<std::span<const uint8_t>> readRva(uint32_t rva, uint32_t size) const;

  // The image checksum as the platform's loader computes it.
  uint32_t computeChecksum() const;

 private:
  void parseHeaders();
  void parseSymbols(uint32_t pointer, uint32_t count);
  void parseImports(uint32_t rva, uint32_t size);
  void parseResources(uint32_t rva, uint32_t size);

  std::vector<uint8_t> bytes_;
  uint16_t machine_ = 0;
  uint16_t fileCharacteristics_ = 0;
  bool pe32Plus_ = false;
  uint32_t entryRva_ = 0;
  uint64_t imageBase_ = 0;
  uint16_t subsystem_ = 0;
  uint16_t dllCharacteristics_ = 0;
  uint32_t checksum_ = 0;
  uint32_t checksumOffset_ = 0;
  uint32_t relocationSize_ = 0;
  std::vector<Section> sections_;
  std::vector<Symbol> symbols_;
  std::vector<ImportedModule> imports_;
  std::vector<Resource> resources_;
};

std::string machineName(uint16_t machine);

}  // namespace pecheck
