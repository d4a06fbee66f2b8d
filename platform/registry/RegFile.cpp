#include "RegFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace host {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

struct Root {
  std::string_view name;
  std::string_view shortName;
  std::string_view kernelPath;
};

constexpr Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", "\\REGISTRY\\MACHINE"},
    {"HKEY_USERS", "HKU", "\\REGISTRY\\USER"},
    {"HKEY_CURRENT_CONFIG", "HKCC",
     "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
    {"HKEY_CLASSES_ROOT", "HKCR", "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
};

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool AsciiIEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool StartsWithI(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && AsciiIEquals(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to maxDigits hex digits, nothing else.
std::optional<uint32_t> ParseHex(std::string_view s, size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

// Text that is not valid UTF-8, read as one byte per character.
std::string Latin1ToUtf8(std::string_view s) {
  std::u16string wide(s.begin(), s.end());
  for (size_t i = 0; i < s.size(); ++i) wide[i] = static_cast<unsigned char>(s[i]);
  return Utf16ToUtf8(wide);
}

// The file split into lines, decoded to UTF-8 once the header tells how 8-bit text is read.
class Lines {
 public:
  // Returns an error for a file that cannot be text at all.
  std::optional<RegError> Load(std::string_view bytes) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE) return LoadWide(bytes.substr(2), false);
    if (bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF) return LoadWide(bytes.substr(2), true);
    if (bytes.size() >= 2 && b(0) != 0 && b(1) == 0) return LoadWide(bytes, false);
    if (bytes.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) bytes.remove_prefix(3);
    size_t i = 0;
    while (i <= bytes.size()) {
      size_t j = bytes.find('\n', i);
      if (j == std::string_view::npos) j = bytes.size();
      std::string_view line = bytes.substr(i, j - i);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.emplace_back(line);
      valid_.push_back(true);
      i = j + 1;
    }
    return std::nullopt;
  }

  size_t size() const { return lines_.size(); }

  // Line i (0-based) as UTF-8. 8-bit lines that are not UTF-8 are an error in a version 5
  // file and Latin-1 in a REGEDIT4 file, whose text is in an 8-bit code page.
  std::optional<RegError> Get(size_t i, bool eightBitFile, std::string& out) const {
    const int lineNo = static_cast<int>(i) + 1;
    if (!valid_[i]) return RegError{lineNo, "line is not valid UTF-16 text"};
    out = lines_[i];
    if (!wide_) {
      bool ok;
      Utf8ToUtf16(out, &ok);
      if (!ok) {
        if (!eightBitFile) return RegError{lineNo, "line is not valid UTF-8 text"};
        out = Latin1ToUtf8(lines_[i]);
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<RegError> LoadWide(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return RegError{0, "UTF-16 file has an odd number of bytes"};
    wide_ = true;
    std::u16string line;
    auto flush = [&] {
      if (!line.empty() && line.back() == u'\r') line.pop_back();
      bool ok;
      lines_.push_back(Utf16ToUtf8(line, &ok));
      valid_.push_back(ok);
      line.clear();
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(bytes[i + (bigEndian ? 1 : 0)]);
      const auto hi = static_cast<unsigned char>(bytes[i + (bigEndian ? 0 : 1)]);
      const auto u = static_cast<char16_t>(lo | (hi << 8));
      if (u == u'\n') {
        flush();
      } else {
        line += u;
      }
    }
    flush();
    return std::nullopt;
  }

  bool wide_ = false;
  std::vector<std::string> lines_;
  std::vector<bool> valid_;
};

class Importer {
 public:
  explicit Importer(const Lines& lines) : lines_(lines) {}

  std::optional<RegError> Run() {
    size_t i = 0;
    std::string line;
    for (; i < lines_.size(); ++i) {
      if (auto e = lines_.Get(i, true, line)) return e;
      if (!Trim(line).empty()) break;
    }
    if (i == lines_.size()) return RegError{0, "file is empty: no header line"};
    const std::string_view header = Trim(line);
    if (header == kHeader4) {
      regedit4_ = true;
    } else if (header != kHeader5) {
      return Error(i, "the first line must be \"" + std::string(kHeader5) + "\" or \"" +
                          std::string(kHeader4) + "\"");
    }
    for (++i; i < lines_.size(); ++i) {
      if (auto e = lines_.Get(i, regedit4_, line)) return e;
      const std::string_view s = Trim(line);
      if (s.empty() || s.front() == ';') continue;
      std::optional<RegError> e;
      if (s.front() == '[') {
        e = KeyLine(i, s);
      } else if (s.front() == '"' || s.front() == '@') {
        e = ValueLine(i, s);
      } else {
        e = Error(i, "unrecognised line: expected [key], a value line or a ; comment");
      }
      if (e) return e;
    }
    return std::nullopt;
  }

  const std::vector<RegChange>& Changes() const { return changes_; }

 private:
  static RegError Error(size_t index, std::string message) {
    return RegError{static_cast<int>(index) + 1, std::move(message)};
  }

  // Nothing but blanks or a comment.
  static bool IsEnd(std::string_view rest) {
    rest = Trim(rest);
    return rest.empty() || rest.front() == ';';
  }

  std::optional<RegError> KeyLine(size_t i, std::string_view s) {
    const size_t close = s.rfind(']');
    if (close == std::string_view::npos) return Error(i, "key line has no closing ']'");
    if (!IsEnd(s.substr(close + 1))) return Error(i, "unexpected text after ']'");
    std::string_view name = s.substr(1, close - 1);
    const bool remove = !name.empty() && name.front() == '-';
    if (remove) name.remove_prefix(1);
    const size_t sep = name.find('\\');
    const std::string_view rootName = name.substr(0, sep);
    const std::string_view rest = sep == std::string_view::npos ? "" : name.substr(sep);
    if (rootName.empty()) return Error(i, "key line has no root key name");
    const Root* root = nullptr;
    for (const Root& r : kRoots)
      if (AsciiIEquals(rootName, r.name) || AsciiIEquals(rootName, r.shortName)) root = &r;
    if (!root) return Error(i, "unknown root key '" + std::string(rootName) + "'");
    const std::string path = RegistryStore::NormalizePath(std::string(root->kernelPath) +
                                                          std::string(rest));
    if (remove) {
      if (path == RegistryStore::NormalizePath(root->kernelPath))
        return Error(i, "cannot delete the root key " + std::string(root->name));
      changes_.push_back({RegChange::Kind::DeleteKey, path, {}, {}});
      key_.reset();
      afterDelete_ = true;
    } else {
      changes_.push_back({RegChange::Kind::CreateKey, path, {}, {}});
      key_ = path;
    }
    return std::nullopt;
  }

  // A quoted string starting at s[pos] == '"'; pos ends past the closing quote.
  static std::optional<RegError> Quoted(size_t i, std::string_view s, size_t& pos,
                                        std::string& out, std::string_view what) {
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
      const char c = s[pos];
      if (c == '"') {
        ++pos;
        return std::nullopt;
      }
      if (c == '\\') {
        if (pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
          out += s[++pos];
          continue;
        }
        return Error(i, "unknown escape in " + std::string(what) +
                            ": write a backslash as \\\\ and a quote as \\\"");
      }
      out += c;
    }
    return Error(i, std::string(what) + " has no closing quote");
  }

  std::optional<RegError> ValueLine(size_t& i, std::string_view s) {
    const size_t first = i;
    if (!key_) {
      return Error(i, afterDelete_ ? "value line outside a key: the last key line deletes a key"
                                   : "value line outside a key: no [key] line before it");
    }
    std::string name;
    size_t pos = 0;
    if (s.front() == '@') {
      pos = 1;
    } else if (auto e = Quoted(i, s, pos, name, "value name")) {
      return e;
    }
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != '=') return Error(i, "expected '=' after the value name");
    std::string_view data = Trim(s.substr(pos + 1));

    if (!data.empty() && data.front() == '"') {
      std::string text;
      size_t p = 0;
      if (auto e = Quoted(i, data, p, text, "string")) return e;
      if (!IsEnd(data.substr(p))) return Error(i, "unexpected text after the string");
      return Set(name, RegValue::FromUtf8String(text));
    }
    if (!data.empty() && data.front() == '-' && IsEnd(data.substr(1))) {
      changes_.push_back({RegChange::Kind::DeleteValue, *key_, name, {}});
      return std::nullopt;
    }
    if (StartsWithI(data, "dword:")) {
      std::string_view digits = data.substr(6);
      digits = Trim(digits.substr(0, digits.find(';')));
      const auto v = ParseHex(digits, 8);
      if (!v) {
        return Error(i, "dword value must be 1 to 8 hex digits, not '" + std::string(digits) +
                            "'");
      }
      return Set(name, RegValue::FromDword(*v));
    }
    if (StartsWithI(data, "hex")) {
      RegType type = RegType::Binary;
      std::string_view rest = data.substr(3);
      if (!rest.empty() && rest.front() == '(') {
        const size_t close = rest.find(')');
        const auto code = close == std::string_view::npos
                              ? std::nullopt
                              : ParseHex(Trim(rest.substr(1, close - 1)), 8);
        if (!code) return Error(i, "hex(N) needs a type code of 1 to 8 hex digits");
        type = static_cast<RegType>(*code);
        rest = rest.substr(close + 1);
      }
      if (rest.empty() || rest.front() != ':') return Error(i, "expected ':' after hex");
      std::string list(Trim(rest.substr(1)));
      std::string next;
      while (!list.empty() && list.back() == '\\') {
        list.pop_back();
        if (++i >= lines_.size()) return Error(first, "file ends inside a continued value");
        if (auto e = lines_.Get(i, regedit4_, next)) return e;
        list += Trim(next);
      }
      std::vector<uint8_t> bytes;
      if (auto e = ByteList(first, list.substr(0, list.find(';')), bytes)) return e;
      if (regedit4_ && (type == RegType::Sz || type == RegType::ExpandSz ||
                        type == RegType::MultiSz))
        bytes = Widen(bytes);
      return Set(name, RegValue{type, std::move(bytes)});
    }
    return Error(i, "unrecognised value data: expected \"text\", dword:, hex:, hex(N): or -");
  }

  static std::optional<RegError> ByteList(size_t i, std::string_view list,
                                          std::vector<uint8_t>& out) {
    list = Trim(list);
    size_t pos = 0;
    while (pos < list.size()) {
      size_t comma = list.find(',', pos);
      if (comma == std::string_view::npos) comma = list.size();
      const std::string_view token = Trim(list.substr(pos, comma - pos));
      // A trailing comma is tolerated; an empty entry between two commas is not.
      if (token.empty() && comma + 1 >= list.size()) break;
      const auto v = ParseHex(token, 2);
      if (!v) return Error(i, "bad byte '" + std::string(token) + "' in hex list");
      out.push_back(static_cast<uint8_t>(*v));
      pos = comma + 1;
    }
    return std::nullopt;
  }

  // 8-bit string bytes (UTF-8, or Latin-1 when not valid UTF-8) as UTF-16LE.
  static std::vector<uint8_t> Widen(const std::vector<uint8_t>& bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    bool ok;
    std::u16string wide = Utf8ToUtf16(text, &ok);
    if (!ok) wide = Utf8ToUtf16(Latin1ToUtf8(text));
    std::vector<uint8_t> out;
    for (char16_t u : wide) {
      out.push_back(static_cast<uint8_t>(u & 0xFF));
      out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
  }

  std::optional<RegError> Set(const std::string& name, RegValue value) {
    changes_.push_back({RegChange::Kind::SetValue, *key_, name, std::move(value)});
    return std::nullopt;
  }

  const Lines& lines_;
  bool regedit4_ = false;
  std::optional<std::string> key_;
  bool afterDelete_ = false;
  std::vector<RegChange> changes_;
};

// ---- export ---------------------------------------------------------------------------------

// The .reg name of a kernel path, if it lies under a root the format can name.
std::optional<std::string> RegName(std::string_view kernelPath) {
  std::vector<std::string_view> parts;
  for (size_t i = 0; i <= kernelPath.size();) {
    size_t j = kernelPath.find('\\', i);
    if (j == std::string_view::npos) j = kernelPath.size();
    if (j > i) parts.push_back(kernelPath.substr(i, j - i));
    i = j + 1;
  }
  if (parts.size() < 2 || !RegNamesEqual(parts[0], "REGISTRY")) return std::nullopt;
  std::string out;
  if (RegNamesEqual(parts[1], "MACHINE")) {
    out = "HKEY_LOCAL_MACHINE";
  } else if (RegNamesEqual(parts[1], "USER")) {
    out = "HKEY_USERS";
  } else {
    return std::nullopt;
  }
  for (size_t k = 2; k < parts.size(); ++k) {
    out += '\\';
    out += parts[k];
  }
  return out;
}

std::string Escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// The text of a REG_SZ whose data is exactly that text plus one NUL, and which fits on a line.
std::optional<std::string> PlainString(const RegValue& v) {
  const auto& d = v.data;
  if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 2] != 0 || d.back() != 0)
    return std::nullopt;
  std::u16string s;
  for (size_t i = 0; i + 2 < d.size(); i += 2) {
    const auto u = static_cast<char16_t>(d[i] | (d[i + 1] << 8));
    if (u == 0 || u == u'\r' || u == u'\n') return std::nullopt;
    s += u;
  }
  bool ok;
  std::string text = Utf16ToUtf8(s, &ok);
  if (!ok) return std::nullopt;
  return text;
}

// Display width of UTF-8 text, counting each character once.
size_t Columns(std::string_view s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

void WriteValue(const RegNamedValue& nv, std::string& out) {
  std::string line = nv.name.empty() ? std::string("@=") : "\"" + Escape(nv.name) + "\"=";
  const RegValue& v = nv.value;
  if (v.type == RegType::Sz) {
    if (auto text = PlainString(v)) {
      out += line + "\"" + Escape(*text) + "\"\r\n";
      return;
    }
  }
  if (auto dw = v.AsDword(); dw && v.type == RegType::Dword) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", *dw);
    out += line + buf + "\r\n";
    return;
  }
  if (v.type == RegType::Binary) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    line += buf;
  }
  out += line;
  size_t column = Columns(line);
  for (size_t k = 0; k < v.data.size(); ++k) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v.data[k]);
    out += buf;
    column += 2;
    if (k + 1 < v.data.size()) {
      out += ',';
      ++column;
      if (column > 76) {
        out += "\\\r\n  ";
        column = 2;
      }
    }
  }
  out += "\r\n";
}

void WriteKey(const RegKeySnapshot& key, const std::string& kernelPath, std::string& out) {
  if (auto name = RegName(kernelPath)) {
    out += "[" + *name + "]\r\n";
    for (const auto& v : key.values) WriteValue(v, out);
    out += "\r\n";
  }
  for (const auto& sub : key.subkeys) {
    const std::string childPath =
        (kernelPath == "\\" ? std::string() : kernelPath) + "\\" + sub.name;
    WriteKey(sub, childPath, out);
  }
}

}  // namespace

std::optional<RegError> ImportRegText(RegistryStore& store, std::string_view fileBytes) {
  Lines lines;
  if (auto e = lines.Load(fileBytes)) return e;
  Importer importer(lines);
  if (auto e = importer.Run()) return e;
  if (!store.Apply(importer.Changes())) return RegError{0, "the changes could not be applied"};
  return std::nullopt;
}

std::optional<RegError> ImportRegFile(RegistryStore& store, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return RegError{0, "cannot open '" + path + "'"};
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return RegError{0, "cannot read '" + path + "'"};
  return ImportRegText(store, bytes);
}

std::string ExportRegText(const RegistryStore& store, std::string_view rootPath,
                          RegTextEncoding enc) {
  std::string text = std::string(kHeader5) + "\r\n\r\n";
  std::string displayPath;
  if (auto snap = store.Snapshot(rootPath, &displayPath)) WriteKey(*snap, displayPath, text);
  if (enc == RegTextEncoding::Utf8) return text;
  std::string out = "\xFF\xFE";
  for (char16_t u : Utf8ToUtf16(text)) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

bool ExportRegFile(const RegistryStore& store, std::string_view rootPath, const std::string& path,
                   RegTextEncoding enc) {
  const std::string text = ExportRegText(store, rootPath, enc);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

}  // namespace host
