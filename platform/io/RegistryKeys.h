// Open registry keys as kernel handles refer to them.
#pragma once

#include <wdm.h>

#include <string>

namespace host {

struct KeyObject {
    std::string path; // normalised store path
    ACCESS_MASK access;
};

// Opens (or creates) a key and returns a kernel handle to it.
NTSTATUS OpenKeyHandle(const std::string& path, ACCESS_MASK access, bool create, PHANDLE handle);

} // namespace host
