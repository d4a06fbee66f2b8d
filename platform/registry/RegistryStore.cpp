#include "RegistryStore.h"

#include <algorithm>

namespace host {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i], advancing i past it. On a malformed sequence (bad lead
// or continuation byte, truncation, overlong form, surrogate, beyond U+10FFFF) advances one
// byte and returns nothing.
std::optional<char32_t> DecodeUtf8(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len;
  char32_t cp;
  char32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    ++i;
    return std::nullopt;
  }
  if (s.size() - i < len) {
    ++i;
    return std::nullopt;
  }
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += len;
  return cp;
}

void EncodeUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Simple uppercase mapping for the scripts most likely to appear in key and value names.
char32_t Upcase(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;  // Latin-1
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: alternating upper/lower pairs
    if ((c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
      return (c & 1) ? c - 1 : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : c - 1;
    return c;
  }
  if (c >= 0x370 && c <= 0x3FF) {  // Greek
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
    return c;
  }
  if (c >= 0x400 && c <= 0x52F) {  // Cyrillic
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
      return (c & 1) ? c - 1 : c;
    if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? c : c - 1;
    if (c == 0x4CF) return 0x4C0;
    return c;
  }
  if (c >= 0x561 && c <= 0x586) return c - 0x30;      // Armenian
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;    // fullwidth Latin
  return c;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    const size_t j = std::min(path.find('\\', i), path.size());
    if (j > i) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

std::string FoldedPath(std::string_view path) {
  std::string out;
  for (auto part : SplitPath(path)) {
    out += '\\';
    out += RegFoldName(part);
  }
  return out.empty() ? std::string("\\") : out;
}

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

uint64_t GetLe(const std::vector<uint8_t>& data, int bytes) {
  uint64_t v = 0;
  for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | data[static_cast<size_t>(k)];
  return v;
}

void PutUtf16(std::vector<uint8_t>& out, std::u16string_view s) {
  for (char16_t u : s) PutLe(out, u, 2);
  PutLe(out, 0, 2);
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8, bool* ok) {
  std::u16string out;
  out.reserve(utf8.size());
  bool clean = true;
  size_t i = 0;
  while (i < utf8.size()) {
    auto cp = DecodeUtf8(utf8, i);
    if (!cp) {
      clean = false;
      cp = kReplacement;
    }
    if (*cp >= 0x10000) {
      const char32_t v = *cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(*cp);
    }
  }
  if (ok) *ok = clean;
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16, bool* ok) {
  std::string out;
  out.reserve(utf16.size());
  bool clean = true;
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      clean = false;
      cp = kReplacement;
    }
    EncodeUtf8(cp, out);
  }
  if (ok) *ok = clean;
  return out;
}

std::string RegFoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  size_t i = 0;
  while (i < name.size()) {
    const size_t start = i;
    if (auto cp = DecodeUtf8(name, i)) {
      EncodeUtf8(Upcase(*cp), out);
    } else {
      out += name[start];
    }
  }
  return out;
}

bool RegNamesEqual(std::string_view a, std::string_view b) {
  return RegFoldName(a) == RegFoldName(b);
}

// ---- RegValue -------------------------------------------------------------------------------

RegValue RegValue::FromDword(uint32_t v) {
  RegValue r{RegType::Dword, {}};
  PutLe(r.data, v, 4);
  return r;
}

RegValue RegValue::FromQword(uint64_t v) {
  RegValue r{RegType::Qword, {}};
  PutLe(r.data, v, 8);
  return r;
}

RegValue RegValue::FromString(std::u16string_view s, RegType type) {
  RegValue r{type, {}};
  PutUtf16(r.data, s);
  return r;
}

RegValue RegValue::FromUtf8String(std::string_view s, RegType type) {
  return FromString(Utf8ToUtf16(s), type);
}

RegValue RegValue::FromBinary(std::span<const uint8_t> bytes, RegType type) {
  return RegValue{type, std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

RegValue RegValue::FromMultiSz(const std::vector<std::u16string>& strings) {
  RegValue r{RegType::MultiSz, {}};
  for (const auto& s : strings) PutUtf16(r.data, s);
  PutLe(r.data, 0, 2);
  return r;
}

std::optional<uint32_t> RegValue::AsDword() const {
  if (data.size() != 4) return std::nullopt;
  const auto v = static_cast<uint32_t>(GetLe(data, 4));
  if (type == RegType::Dword) return v;
  if (type == RegType::DwordBigEndian)
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
  return std::nullopt;
}

std::optional<uint64_t> RegValue::AsQword() const {
  if (type != RegType::Qword || data.size() != 8) return std::nullopt;
  return GetLe(data, 8);
}

std::optional<std::u16string> RegValue::AsString() const {
  if (type != RegType::Sz && type != RegType::ExpandSz && type != RegType::Link)
    return std::nullopt;
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (u == 0) break;
    s += u;
  }
  return s;
}

std::optional<std::string> RegValue::AsUtf8String() const {
  auto s = AsString();
  if (!s) return std::nullopt;
  return Utf16ToUtf8(*s);
}

std::optional<std::vector<std::u16string>> RegValue::AsMultiSz() const {
  if (type != RegType::MultiSz) return std::nullopt;
  std::vector<std::u16string> out;
  std::u16string cur;
  bool ended = false;
  for (size_t i = 0; i + 1 < data.size() && !ended; i += 2) {
    const auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (u != 0) {
      cur += u;
    } else if (cur.empty()) {
      ended = true;
    } else {
      out.push_back(std::move(cur));
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

// ---- the tree -------------------------------------------------------------------------------

struct RegistryStore::Node {
  struct Value {
    std::string name;
    std::string folded;
    RegValue value;
  };

  std::string name;
  std::string folded;
  std::vector<Value> values;
  std::vector<std::unique_ptr<Node>> children;

  Node* Child(std::string_view foldedName) const {
    for (const auto& c : children)
      if (c->folded == foldedName) return c.get();
    return nullptr;
  }

  Node* Walk(const std::vector<std::string_view>& parts) {
    Node* n = this;
    for (auto part : parts) {
      n = n->Child(RegFoldName(part));
      if (!n) return nullptr;
    }
    return n;
  }

  // Creates the key at `parts` below this node with missing parents; true if it was new.
  bool Create(const std::vector<std::string_view>& parts) {
    Node* n = this;
    bool created = false;
    for (auto part : parts) {
      std::string f = RegFoldName(part);
      Node* c = n->Child(f);
      created = !c;
      if (!c) {
        auto fresh = std::make_unique<Node>();
        fresh->name = std::string(part);
        fresh->folded = std::move(f);
        c = fresh.get();
        n->children.push_back(std::move(fresh));
      }
      n = c;
    }
    return created;
  }

  bool Remove(const std::vector<std::string_view>& parts) {
    if (parts.empty()) return false;
    Node* parent = Walk({parts.begin(), parts.end() - 1});
    if (!parent) return false;
    const std::string f = RegFoldName(parts.back());
    auto it = std::find_if(parent->children.begin(), parent->children.end(),
                           [&](const auto& c) { return c->folded == f; });
    if (it == parent->children.end()) return false;
    parent->children.erase(it);
    return true;
  }

  Value* FindValue(std::string_view valueName) {
    const std::string f = RegFoldName(valueName);
    for (auto& v : values)
      if (v.folded == f) return &v;
    return nullptr;
  }

  void Set(std::string_view valueName, RegValue value) {
    if (Value* v = FindValue(valueName)) {
      v->value = std::move(value);
      return;
    }
    values.push_back(Value{std::string(valueName), RegFoldName(valueName), std::move(value)});
  }

  bool Unset(std::string_view valueName) {
    const std::string f = RegFoldName(valueName);
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value& v) { return v.folded == f; });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
  }

  std::unique_ptr<Node> Clone() const {
    auto n = std::make_unique<Node>();
    n->name = name;
    n->folded = folded;
    n->values = values;
    n->children.reserve(children.size());
    for (const auto& c : children) n->children.push_back(c->Clone());
    return n;
  }

  RegKeySnapshot Snap() const {
    RegKeySnapshot s;
    s.name = name;
    for (const auto& v : values) s.values.push_back({v.name, v.value});
    for (const auto& c : children) s.subkeys.push_back(c->Snap());
    return s;
  }
};

RegistryStore::RegistryStore() : root_(std::make_unique<Node>()) {}
RegistryStore::~RegistryStore() = default;

std::string RegistryStore::NormalizePath(std::string_view path) {
  std::string out;
  for (auto part : SplitPath(path)) {
    out += '\\';
    out += part;
  }
  return out.empty() ? std::string("\\") : out;
}

RegistryStore::Node* RegistryStore::Find(std::string_view path) const {
  return root_->Walk(SplitPath(path));
}

bool RegistryStore::CreateKey(std::string_view path) {
  std::lock_guard lock(mutex_);
  return root_->Create(SplitPath(path));
}

bool RegistryStore::KeyExists(std::string_view path) const {
  std::lock_guard lock(mutex_);
  return Find(path) != nullptr;
}

bool RegistryStore::DeleteKey(std::string_view path) {
  std::lock_guard lock(mutex_);
  return root_->Remove(SplitPath(path));
}

bool RegistryStore::SetValue(std::string_view path, std::string_view name, RegValue value) {
  std::lock_guard lock(mutex_);
  Node* n = Find(path);
  if (!n) return false;
  n->Set(name, std::move(value));
  return true;
}

std::optional<RegValue> RegistryStore::GetValue(std::string_view path,
                                                std::string_view name) const {
  std::lock_guard lock(mutex_);
  Node* n = Find(path);
  if (!n) return std::nullopt;
  const Node::Value* v = n->FindValue(name);
  if (!v) return std::nullopt;
  return v->value;
}

bool RegistryStore::DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(mutex_);
  Node* n = Find(path);
  return n && n->Unset(name);
}

std::vector<std::string> RegistryStore::EnumSubKeys(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  if (const Node* n = Find(path))
    for (const auto& c : n->children) out.push_back(c->name);
  return out;
}

std::vector<RegNamedValue> RegistryStore::EnumValues(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<RegNamedValue> out;
  if (const Node* n = Find(path))
    for (const auto& v : n->values) out.push_back({v.name, v.value});
  return out;
}

std::optional<RegKeySnapshot> RegistryStore::Snapshot(std::string_view path,
                                                      std::string* displayPath) const {
  std::lock_guard lock(mutex_);
  const Node* n = root_.get();
  std::string shown;
  for (auto part : SplitPath(path)) {
    n = n->Child(RegFoldName(part));
    if (!n) return std::nullopt;
    shown += '\\';
    shown += n->name;
  }
  if (displayPath) *displayPath = shown.empty() ? std::string("\\") : shown;
  return n->Snap();
}

bool RegistryStore::Apply(std::span<const RegChange> changes) {
  std::lock_guard lock(mutex_);
  std::unique_ptr<Node> scratch = root_->Clone();
  for (const RegChange& e : changes) {
    const auto parts = SplitPath(e.path);
    switch (e.kind) {
      case RegChange::Kind::CreateKey:
        scratch->Create(parts);
        break;
      case RegChange::Kind::DeleteKey:
        if (parts.empty()) return false;
        scratch->Remove(parts);
        break;
      case RegChange::Kind::SetValue: {
        Node* n = scratch->Walk(parts);
        if (!n) return false;
        n->Set(e.name, e.value);
        break;
      }
      case RegChange::Kind::DeleteValue:
        if (Node* n = scratch->Walk(parts)) n->Unset(e.name);
        break;
    }
  }
  root_ = std::move(scratch);
  return true;
}

void RegistryStore::Clear() {
  std::lock_guard lock(mutex_);
  root_ = std::make_unique<Node>();
  readFaults_.clear();
  openFaults_.clear();
}

void RegistryStore::FailValueReads(std::string_view path, std::string_view name,
                                   int32_t status) {
  std::lock_guard lock(mutex_);
  readFaults_[{FoldedPath(path), RegFoldName(name)}] = status;
}

void RegistryStore::FailKeyOpens(std::string_view path, int32_t status) {
  std::lock_guard lock(mutex_);
  openFaults_[FoldedPath(path)] = status;
}

void RegistryStore::ClearFaults() {
  std::lock_guard lock(mutex_);
  readFaults_.clear();
  openFaults_.clear();
}

std::optional<int32_t> RegistryStore::ReadFault(std::string_view path,
                                                std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = readFaults_.find({FoldedPath(path), RegFoldName(name)});
  if (it == readFaults_.end()) return std::nullopt;
  return it->second;
}

std::optional<int32_t> RegistryStore::OpenFault(std::string_view path) const {
  std::lock_guard lock(mutex_);
  auto it = openFaults_.find(FoldedPath(path));
  if (it == openFaults_.end()) return std::nullopt;
  return it->second;
}

}  // namespace host
