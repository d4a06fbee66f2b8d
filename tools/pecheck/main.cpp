// pecheck: checks that a PE image is a kernel driver image as the platform loads one.
//
// Prints one line per check and exits 0 when all pass, 1 when any fails, 2 when the command
// line is wrong or the file cannot be read as a PE image.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "PeImage.h"

namespace {

using pecheck::PeImage;

constexpr const char* kUsage = R"(usage: pecheck [options] IMAGE

Checks a kernel driver image. Always checked: native subsystem, linked as a driver (not as
a DLL), entry point at the DriverEntry symbol, imports by bare name, relocatable, header
checksum, no static constructors. Options add checks:

  --machine x86|x64          expected machine (i386 or amd64); also picks the entry symbol
  --entry SYMBOL             entry symbol (default _DriverEntry@8 on x86, DriverEntry on x64)
  --allow MODULE,...         modules the image may import from (case-insensitive)
  --require-string TEXT      the image holds these bytes (repeatable)
  --require-bytes HEX        the image holds these bytes, given in hex (repeatable)
  --require-resource TYPE/NAME/LANG
                             the image has this resource; numbers are ids (repeatable)
  --resource-prefix TEXT     the preceding --require-resource's data starts with TEXT
  --list                     print sections, imports and resources
  --help                     print this text
)";

struct UsageError {
  std::string message;
};

struct RequiredResource {
  std::string text;
  pecheck::ResourceKey type;
  pecheck::ResourceKey name;
  uint16_t language = 0;
  std::string prefix;
};

struct Options {
  std::string image;
  std::string machine;  // "", "x86" or "x64"
  std::string entry;
  bool haveAllow = false;
  std::vector<std::string> allow;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> requiredBytes;  // label, bytes
  std::vector<RequiredResource> resources;
  bool list = false;
};

std::string lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::vector<uint8_t> parseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
    } else if (c != ' ' && c != ':') {
      throw UsageError{"--require-bytes: '" + text + "' is not hex"};
    }
  }
  if (digits.empty() || digits.size() % 2 != 0) {
    throw UsageError{"--require-bytes: '" + text + "' needs an even number of hex digits"};
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

RequiredResource parseResource(const std::string& text) {
  const size_t first = text.find('/');
  const size_t second = first == std::string::npos ? first : text.find('/', first + 1);
  if (second == std::string::npos || text.find('/', second + 1) != std::string::npos) {
    throw UsageError{"--require-resource: '" + text + "' is not TYPE/NAME/LANG"};
  }
  RequiredResource resource;
  resource.text = text;
  resource.type = pecheck::ResourceKey::parse(text.substr(0, first));
  resource.name = pecheck::ResourceKey::parse(text.substr(first + 1, second - first - 1));
  const pecheck::ResourceKey language = pecheck::ResourceKey::parse(text.substr(second + 1));
  if (!language.id || resource.type.toString().empty() || resource.name.toString().empty()) {
    throw UsageError{"--require-resource: '" + text + "' needs a type, a name and a numeric language"};
  }
  resource.language = *language.id;
  return resource;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) {
      throw UsageError{std::string(argv[i]) + " needs a value"};
    }
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (arg == "--machine") {
      options.machine = value(i);
      if (options.machine != "x86" && options.machine != "x64") {
        throw UsageError{"--machine must be x86 or x64, not '" + options.machine + "'"};
      }
    } else if (arg == "--entry") {
      options.entry = value(i);
    } else if (arg == "--allow") {
      options.haveAllow = true;
      std::stringstream list(value(i));
      for (std::string module; std::getline(list, module, ',');) {
        if (!module.empty()) {
          options.allow.push_back(lower(module));
        }
      }
    } else if (arg == "--require-string") {
      const std::string text = value(i);
      if (text.empty()) {
        throw UsageError{"--require-string needs a non-empty value"};
      }
      options.requiredBytes.emplace_back("string \"" + text + "\"",
                                         std::vector<uint8_t>(text.begin(), text.end()));
    } else if (arg == "--require-bytes") {
      const std::string text = value(i);
      options.requiredBytes.emplace_back("bytes " + text, parseHex(text));
    } else if (arg == "--require-resource") {
      options.resources.push_back(parseResource(value(i)));
    } else if (arg == "--resource-prefix") {
      if (options.resources.empty()) {
        throw UsageError{"--resource-prefix must follow a --require-resource"};
      }
      options.resources.back().prefix = value(i);
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError{"unknown option " + arg};
    } else if (options.image.empty()) {
      options.image = arg;
    } else {
      throw UsageError{"more than one image given ('" + options.image + "', '" + arg + "')"};
    }
  }
  if (options.image.empty()) {
    throw UsageError{"no image given"};
  }
  return options;
}

std::string hex32(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%08llx", static_cast<unsigned long long>(value));
  return text;
}

class Report {
 public:
  void pass(const std::string& check, const std::string& detail) { line("ok  ", check, detail); }
  void fail(const std::string& check, const std::string& detail) {
    ++failures_;
    line("FAIL", check, detail);
  }
  int failures() const { return failures_; }

 private:
  static void line(const char* verdict, const std::string& check, const std::string& detail) {
    std::cout << "  " << verdict << "  " << check << ": " << detail << "\n";
  }
  int failures_ = 0;
};

void list(const PeImage& image) {
  std::cout << "machine " << pecheck::machineName(image.machine()) << ", "
            << (image.isPe32Plus() ? "PE32+" : "PE32") << ", image base "
            << hex32(image.imageBase()) << ", entry " << hex32(image.entryPointRva())
            << ", subsystem " << image.subsystem() << "\n";
  std::cout << "sections:\n";
  for (const auto& s : image.sections()) {
    std::printf("  %-10s rva 0x%08x vsize 0x%08x raw 0x%08x+0x%08x flags 0x%08x\n", s.name.c_str(),
                s.virtualAddress, s.virtualSize, s.rawOffset, s.rawSize, s.characteristics);
  }
  std::cout << "imports:\n";
  for (const auto& module : image.imports()) {
    std::cout << "  " << module.module << "\n";
    for (const auto& name : module.names) {
      std::cout << "    " << (name.name.empty() ? "#" + std::to_string(name.ordinal) : name.name)
                << "\n";
    }
  }
  std::cout << "resources:\n";
  for (const auto& r : image.resources()) {
    std::cout << "  " << r.type.toString() << "/" << r.name.toString() << "/" << r.language << " ("
              << r.size << " bytes)\n";
  }
  std::cout << "symbols: " << image.symbols().size() << "\n";
}

bool contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

void checkEntry(const PeImage& image, const std::string& entry, Report& report) {
  if (image.symbols().empty()) {
    report.fail("entry", "the image carries no COFF symbol table (stripped), so the entry at " +
                             hex32(image.entryPointRva()) + " cannot be matched to " + entry +
                             "; link without stripping");
    return;
  }
  const pecheck::Symbol* symbol = image.findSymbol(entry);
  if (symbol == nullptr) {
    report.fail("entry", "no symbol " + entry + " in the image");
    return;
  }
  const auto rva = image.symbolRva(*symbol);
  if (rva && *rva == image.entryPointRva()) {
    report.pass("entry", entry + " at " + hex32(*rva));
  } else {
    report.fail("entry", "entry point " + hex32(image.entryPointRva()) + " is not " + entry +
                             (rva ? " (at " + hex32(*rva) + ")" : ""));
  }
}

void checkImports(const PeImage& image, const Options& options, Report& report) {
  std::vector<std::string> problems;
  size_t count = 0;
  for (const auto& module : image.imports()) {
    const std::string name = lower(module.module);
    if (options.haveAllow &&
        std::find(options.allow.begin(), options.allow.end(), name) == options.allow.end()) {
      problems.push_back(module.module + " is not an allowed module");
    }
    for (const auto& imported : module.names) {
      ++count;
      // System modules export bare names; a decorated one means a wrong import library.
      if (imported.name.find('@') != std::string::npos) {
        problems.push_back(module.module + "!" + imported.name + " is a decorated name");
      }
    }
  }
  if (problems.empty()) {
    std::string modules;
    for (const auto& module : image.imports()) {
      modules += (modules.empty() ? "" : ", ") + module.module;
    }
    report.pass("imports", std::to_string(count) + " routines from " +
                               (modules.empty() ? std::string("no module") : modules));
    return;
  }
  std::string detail;
  for (const auto& problem : problems) {
    detail += (detail.empty() ? "" : "; ") + problem;
  }
  report.fail("imports", detail);
}

// Static constructors go to the list the linker builds between the __CTOR_LIST__ marker and
// a null entry. A driver has no runtime to run them, so the list must be empty.
void checkConstructors(const PeImage& image, Report& report) {
  const bool x86 = image.machine() == pecheck::kMachineI386;
  const pecheck::Symbol* list = image.findSymbol(x86 ? "___CTOR_LIST__" : "__CTOR_LIST__");
  if (image.symbols().empty() || list == nullptr) {
    report.pass("constructors", "no constructor list in the image");
    return;
  }
  const uint32_t word = image.isPe32Plus() ? 8 : 4;
  const auto rva = image.symbolRva(*list);
  const auto words = rva ? image.readRva(*rva + word, word) : std::nullopt;
  if (!words) {
    report.fail("constructors", "the constructor list is not readable");
    return;
  }
  if (std::all_of(words->begin(), words->end(), [](uint8_t b) { return b == 0; })) {
    report.pass("constructors", "none");
  } else {
    report.fail("constructors", "the image has static constructors, which nothing would run");
  }
}

void checkResources(const PeImage& image, const Options& options, Report& report) {
  for (const auto& want : options.resources) {
    const pecheck::Resource* found = nullptr;
    for (const auto& r : image.resources()) {
      if (r.type.matches(want.type) && r.name.matches(want.name) && r.language == want.language) {
        found = &r;
        break;
      }
    }
    const std::string check = "resource " + want.text;
    if (found == nullptr) {
      report.fail(check, "not in the image");
      continue;
    }
    std::string detail = std::to_string(found->size) + " bytes";
    if (!want.prefix.empty()) {
      const auto data = found->size >= want.prefix.size()
                            ? image.readRva(found->dataRva, static_cast<uint32_t>(want.prefix.size()))
                            : std::nullopt;
      if (!data || !std::equal(data->begin(), data->end(), want.prefix.begin())) {
        report.fail(check, "data does not start with \"" + want.prefix + "\"");
        continue;
      }
      detail += ", starts with \"" + want.prefix + "\"";
    }
    report.pass(check, detail);
  }
}

int run(const Options& options) {
  const PeImage image = PeImage::load(options.image);
  std::cout << "pecheck: " << options.image << "\n";
  if (options.list) {
    list(image);
  }
  Report report;

  std::string machine = options.machine;
  const uint16_t expected = machine == "x86" ? pecheck::kMachineI386 : pecheck::kMachineAmd64;
  if (!machine.empty()) {
    if (image.machine() == expected) {
      report.pass("machine", pecheck::machineName(image.machine()));
    } else {
      report.fail("machine", pecheck::machineName(image.machine()) + ", expected " +
                                 pecheck::machineName(expected));
    }
  } else {
    machine = image.machine() == pecheck::kMachineI386 ? "x86" : "x64";
  }

  if (image.subsystem() == pecheck::kSubsystemNative) {
    report.pass("subsystem", "native (1)");
  } else {
    report.fail("subsystem", std::to_string(image.subsystem()) + ", expected native (1)");
  }

  // Kernel images are linked as images of their own, not as DLLs: the platform's linker
  // leaves IMAGE_FILE_DLL clear for a driver, and loaders of kernel images go by that.
  const uint16_t characteristics = image.fileCharacteristics();
  if (characteristics & pecheck::kFileDll) {
    report.fail("image kind", "IMAGE_FILE_DLL (0x2000) is set: linked as a DLL, not as a driver");
  } else if (!(characteristics & pecheck::kFileExecutableImage)) {
    report.fail("image kind", "IMAGE_FILE_EXECUTABLE_IMAGE (0x0002) is clear: not a linked image");
  } else {
    report.pass("image kind", "driver image (IMAGE_FILE_DLL clear)");
  }

  checkEntry(image, !options.entry.empty() ? options.entry
                    : machine == "x86"     ? "_DriverEntry@8"
                                           : "DriverEntry",
             report);
  checkImports(image, options, report);

  if (image.fileCharacteristics() & pecheck::kFileRelocsStripped) {
    report.fail("relocatable", "relocation information stripped; the loader cannot move the image");
  } else {
    report.pass("relocatable", image.hasRelocations() ? "base relocations present"
                                                      : "no absolute fixups needed");
  }

  const uint32_t checksum = image.computeChecksum();
  if (image.checksum() == checksum) {
    report.pass("checksum", hex32(checksum));
  } else {
    report.fail("checksum", "header says " + hex32(image.checksum()) + ", image sums to " +
                                hex32(checksum));
  }

  checkConstructors(image, report);

  for (const auto& [label, bytes] : options.requiredBytes) {
    if (contains(image.bytes(), bytes)) {
      report.pass("contains", label);
    } else {
      report.fail("contains", label + " not found");
    }
  }
  checkResources(image, options, report);

  if (report.failures() != 0) {
    std::cout << "pecheck: " << report.failures() << " check(s) failed\n";
    return 1;
  }
  std::cout << "pecheck: all checks passed\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "pecheck: " << error.message << "\ntry 'pecheck --help'\n";
    return 2;
  }
  try {
    return run(options);
  } catch (const pecheck::PeError& error) {
    std::cerr << "pecheck: " << options.image << ": " << error.what() << "\n";
    return 2;
  }
}
