// The host platform's registry: an in-memory tree of keys and typed values that the kernel
// registry routines (key open/create, value query/set, registry queries on behalf of drivers)
// are built on, plus test hooks to make individual opens and reads fail.
//
// Paths are kernel form, e.g. \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\CORVB.
// The leading backslash is optional; empty components (doubled or trailing separators) are
// dropped, so "REGISTRY\\MACHINE\" names the same key as "\REGISTRY\MACHINE". The empty path
// (or "\") is the store's root, which always exists and cannot be deleted.
//
// Key and value names are UTF-8 here; callers convert from UTF-16. Names compare
// case-insensitively (see RegNamesEqual) and keep the case they were first created with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

// UTF-8 <-> UTF-16 conversion. Malformed input (bad UTF-8 sequences, unpaired surrogates) is
// replaced by U+FFFD; *ok, when given, is set to false if that happened and true otherwise.
std::u16string Utf8ToUtf16(std::string_view utf8, bool* ok = nullptr);
std::string Utf16ToUtf8(std::u16string_view utf16, bool* ok = nullptr);

// The case-insensitive form of a name: each character mapped to its simple uppercase.
// Folding covers ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic, Armenian and fullwidth
// Latin letters; other characters compare exactly. Bytes that are not valid UTF-8 are kept.
std::string RegFoldName(std::string_view name);
bool RegNamesEqual(std::string_view a, std::string_view b);

// The platform's value type codes.
enum class RegType : uint32_t {
  None = 0,
  Sz = 1,
  ExpandSz = 2,
  Binary = 3,
  Dword = 4,
  DwordBigEndian = 5,
  Link = 6,
  MultiSz = 7,
  Qword = 11,
};

// A value as the platform stores it: the type code and the raw data bytes. Strings are
// UTF-16LE including the terminating NUL (a multi-string ends with an extra NUL), DWORDs are
// 4 little-endian bytes, QWORDs 8. Nothing forces data to match its type: a value of any type
// may hold any bytes, as on the platform.
struct RegValue {
  RegType type = RegType::None;
  std::vector<uint8_t> data;

  static RegValue FromDword(uint32_t v);
  static RegValue FromQword(uint64_t v);
  // Appends the terminating NUL. `type` is normally Sz or ExpandSz.
  static RegValue FromString(std::u16string_view s, RegType type = RegType::Sz);
  static RegValue FromUtf8String(std::string_view s, RegType type = RegType::Sz);
  static RegValue FromBinary(std::span<const uint8_t> bytes, RegType type = RegType::Binary);
  // Each string NUL-terminated, then one more NUL. An empty list is a single NUL.
  static RegValue FromMultiSz(const std::vector<std::u16string>& strings);

  // A Dword (or DwordBigEndian, byte-swapped) value of exactly 4 bytes.
  std::optional<uint32_t> AsDword() const;
  // A Qword value of exactly 8 bytes.
  std::optional<uint64_t> AsQword() const;
  // An Sz, ExpandSz or Link value: the text up to the first NUL (all of it when there is no
  // NUL). A trailing odd byte is ignored.
  std::optional<std::u16string> AsString() const;
  std::optional<std::string> AsUtf8String() const;
  // A MultiSz value: the strings before the terminating empty string. Data without the final
  // terminator is read to its end.
  std::optional<std::vector<std::u16string>> AsMultiSz() const;

  bool operator==(const RegValue&) const = default;
};

struct RegNamedValue {
  std::string name;  // empty: the key's default value
  RegValue value;
  bool operator==(const RegNamedValue&) const = default;
};

// A copy of one key and everything below it, in enumeration order.
struct RegKeySnapshot {
  std::string name;  // the key's own name as stored (empty for the store's root)
  std::vector<RegNamedValue> values;
  std::vector<RegKeySnapshot> subkeys;
  bool operator==(const RegKeySnapshot&) const = default;
};

// One change in a batch given to RegistryStore::Apply.
struct RegChange {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  std::string path;
  std::string name;  // SetValue / DeleteValue
  RegValue value;    // SetValue
};

class RegistryStore {
 public:
  RegistryStore();
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // "\A\B" form with the caller's case; "\" for the root.
  static std::string NormalizePath(std::string_view path);

  // Creates the key and any missing parents. True if the key itself was created by this call,
  // false if it already existed.
  bool CreateKey(std::string_view path);
  bool KeyExists(std::string_view path) const;
  // Deletes the key with all its subkeys and values. False if it does not exist or is the root.
  bool DeleteKey(std::string_view path);

  // Creates or replaces a value; the empty name is the key's default value. A replaced value
  // keeps its place in enumeration order and the case of its name. False if the key is missing.
  bool SetValue(std::string_view path, std::string_view name, RegValue value);
  std::optional<RegValue> GetValue(std::string_view path, std::string_view name) const;
  bool DeleteValue(std::string_view path, std::string_view name);

  // In creation order, names as first created. Empty when the key does not exist.
  std::vector<std::string> EnumSubKeys(std::string_view path) const;
  std::vector<RegNamedValue> EnumValues(std::string_view path) const;

  // A consistent copy of a subtree; *displayPath (if given) gets its path in stored case.
  std::optional<RegKeySnapshot> Snapshot(std::string_view path,
                                         std::string* displayPath = nullptr) const;

  // Applies the changes in order as one step: either all of them take effect or, when one fails,
  // none do, and no other thread sees a partial state. A SetValue fails when its key does not
  // exist at that point; deleting a key or value that is absent is not a failure, but deleting
  // the root is.
  bool Apply(std::span<const RegChange> changes);

  // Removes every key, value and fault.
  void Clear();

  // Fault injection. A fault is tied to a path (and value name), not to an existing key or
  // value, and survives the key's deletion and re-creation. The store's own operations ignore
  // faults: the kernel routines ask ReadFault / OpenFault before reading or opening and fail
  // with the returned status.
  void FailValueReads(std::string_view path, std::string_view name, int32_t status);
  void FailKeyOpens(std::string_view path, int32_t status);
  void ClearFaults();
  std::optional<int32_t> ReadFault(std::string_view path, std::string_view name) const;
  std::optional<int32_t> OpenFault(std::string_view path) const;

 private:
  struct Node;

  Node* Find(std::string_view path) const;

  mutable std::mutex mutex_;
  std::unique_ptr<Node> root_;
  std::map<std::pair<std::string, std::string>, int32_t> readFaults_;
  std::map<std::string, int32_t> openFaults_;
};

}  // namespace host
