// The platform's registry text format (.reg files): import into and export from a
// RegistryStore.
//
// Import reads UTF-16LE (with BOM, or without one when the text starts with an ASCII
// character), UTF-16BE with BOM, and UTF-8 with or without BOM; lines end in CRLF or LF. The
// first non-blank line is the header "Windows Registry Editor Version 5.00" or "REGEDIT4".
// Lines are:
//   [ROOT\path]            create the key (and its parents); later values go into it
//   [-ROOT\path]           delete the key and its subtree; values may not follow it
//   "name"="text"          string (\\ and \" are the only escapes)
//   @=...                  the key's default value, any of the data forms
//   "name"=dword:1e        up to 8 hex digits
//   "name"=hex:01,02       binary; hex(N): any type code N (hex), e.g. hex(2) expandable
//                          string, hex(7) multi-string, hex(b) qword, hex(0) none. Byte lists
//                          continue on the next line after a trailing backslash.
//   "name"=-               delete the value
//   ; comment              and blank lines are ignored; a comment may also end a value line
// ROOT is HKEY_LOCAL_MACHINE (HKLM), HKEY_USERS (HKU), HKEY_CURRENT_CONFIG (HKCC) or
// HKEY_CLASSES_ROOT (HKCR). In a REGEDIT4 file, strings are 8-bit text, so hex(1), hex(2) and
// hex(7) bytes are widened to UTF-16LE.
//
// Import is all or nothing: the whole file is checked first and its changes are then applied
// as one step, so a file with an error changes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "RegistryStore.h"

namespace host {

struct RegError {
  int line;  // 1-based line of the fault (the first line of a continued value); 0 for the file
  std::string message;
};

std::optional<RegError> ImportRegText(RegistryStore& store, std::string_view fileBytes);
std::optional<RegError> ImportRegFile(RegistryStore& store, const std::string& path);

enum class RegTextEncoding { Utf16Le, Utf8 };

// The subtree at rootPath (kernel form) as .reg text: the version 5.00 header, a blank line,
// then each key (parent before children, in creation order) with its values and a blank line.
// Keys are named from HKEY_LOCAL_MACHINE (\REGISTRY\MACHINE) or HKEY_USERS (\REGISTRY\USER);
// a key outside those (e.g. \REGISTRY itself) is not written, but its subkeys are. Values that
// the quoted or dword forms cannot carry exactly (a string without its NUL, with embedded NULs
// or line breaks; a dword not 4 bytes long) are written as hex(N). Lines end in CRLF; Utf16Le
// output starts with a BOM, Utf8 output has none. A missing root gives just the header.
std::string ExportRegText(const RegistryStore& store, std::string_view rootPath,
                          RegTextEncoding enc = RegTextEncoding::Utf16Le);
// False if the file cannot be written.
bool ExportRegFile(const RegistryStore& store, std::string_view rootPath, const std::string& path,
                   RegTextEncoding enc = RegTextEncoding::Utf16Le);

}  // namespace host
