// The driver loader: each driver image is a loadable module opened with local symbols, so
// every driver has its own globals and two builds of one source load side by side.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

struct LoadedModule {
    std::string name; // image name without directory and extension, e.g. "corvbc"
    std::string path;
    void* handle = nullptr;
    uintptr_t start = 0; // address range of the image
    uintptr_t end = 0;
    PDRIVER_INITIALIZE entry = nullptr;
    PDRIVER_OBJECT driver = nullptr;
};

class Loader {
public:
    ~Loader();
    // Opens the image and finds DriverEntry; null with `error` filled on failure.
    LoadedModule* Load(const std::string& path, std::string* error);
    void Unload(LoadedModule* module);
    LoadedModule* ModuleOf(const void* address);
    LoadedModule* Find(const std::string& name);
    std::vector<LoadedModule*> All();

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<LoadedModule>> modules_;
};

} // namespace host
