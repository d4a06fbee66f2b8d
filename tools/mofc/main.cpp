// mofc: compiles a driver's MOF schema into the binary form its MOFDATA resource carries.
//
//   mofc SCHEMA.mof -o OUT.bmf     write the compiled schema
//   mofc SCHEMA.mof --check BMF    exit 1 unless BMF is exactly what SCHEMA.mof compiles to
//   mofc --dump BMF                decode BMF and print its classes as MOF text
//
// Exit status: 0 success, 1 check mismatch or bad input, 2 usage error.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Bmof.h"
#include "MofParser.h"

namespace {

constexpr const char* kUsage =
    "usage: mofc SCHEMA.mof -o OUT.bmf\n"
    "       mofc SCHEMA.mof --check BMF\n"
    "       mofc --dump BMF\n";

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  return out + "\"";
}

std::string valueText(const mof::Value& v) {
  switch (v.type) {
    case mof::CimType::Boolean: return v.boolean ? "true" : "false";
    case mof::CimType::String: return quote(mof::toUtf8(v.string));
    case mof::CimType::Uint64: return std::to_string(static_cast<uint64_t>(v.integer));
    default: return std::to_string(v.integer);
  }
}

std::string qualifierText(const std::vector<mof::Qualifier>& qualifiers) {
  if (qualifiers.empty()) {
    return "";
  }
  std::string out = "[";
  for (size_t i = 0; i < qualifiers.size(); ++i) {
    const mof::Qualifier& q = qualifiers[i];
    out += (i ? ", " : "") + q.name;
    if (!(q.value.type == mof::CimType::Boolean && q.value.boolean)) {
      out += "(" + valueText(q.value) + ")";
    }
  }
  return out + "] ";
}

void dump(const std::vector<mof::Class>& classes) {
  for (const mof::Class& c : classes) {
    std::string qualifiers = qualifierText(c.qualifiers);
    if (!qualifiers.empty()) {
      qualifiers.back() = '\n';
    }
    std::cout << qualifiers << "class " << c.name;
    if (!c.superclass.empty()) {
      std::cout << " : " << c.superclass;
    }
    std::cout << "\n{\n";
    for (const mof::Property& p : c.properties) {
      std::cout << "  " << qualifierText(p.qualifiers) << mof::cimTypeName(p.type) << " "
                << p.name;
      if (p.defaultValue) {
        std::cout << " = " << valueText(*p.defaultValue);
      }
      std::cout << ";\n";
    }
    std::cout << "};\n";
  }
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<uint8_t> bytes;
  if (args.size() == 2 && args[0] == "--dump") {
    if (!readFile(args[1], bytes)) {
      std::cerr << "mofc: cannot read " << args[1] << "\n";
      return 1;
    }
    mof::ContainerHeader h = mof::readHeader(bytes);
    std::cout << "// compression type " << h.compressionType << ", " << h.compressedSize
              << " bytes compressed, " << h.expandedSize << " expanded\n";
    dump(mof::decompile(bytes));
    return 0;
  }
  if (args.size() != 3 || (args[1] != "-o" && args[1] != "--check")) {
    std::cerr << kUsage;
    return 2;
  }
  std::vector<uint8_t> source;
  if (!readFile(args[0], source)) {
    std::cerr << "mofc: cannot read " << args[0] << "\n";
    return 1;
  }
  std::vector<mof::Class> classes =
      mof::parseMof(std::string(source.begin(), source.end()), args[0]);
  std::vector<uint8_t> image = mof::compile(classes);
  // Never emit what our own reader cannot take back to the same classes.
  if (mof::decompile(image) != classes) {
    std::cerr << "mofc: internal error: the compiled schema does not decode to its source\n";
    return 1;
  }
  if (args[1] == "--check") {
    if (!readFile(args[2], bytes)) {
      std::cerr << "mofc: cannot read " << args[2] << "\n";
      return 1;
    }
    if (bytes != image) {
      std::cerr << "mofc: " << args[2] << " is not the compiled form of " << args[0]
                << "; regenerate it (cmake --build <dir> --target mof_regenerate)\n";
      return 1;
    }
    return 0;
  }
  std::ofstream out(args[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::cerr << "mofc: cannot write " << args[2] << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "mofc: " << e.what() << "\n";
    return 1;
  }
}
