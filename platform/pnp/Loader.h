// The driver loader: each driver image is a loadable module opened with local symbols, so
// every driver has its own globals and two builds of one source load side by side.
//
// An image stays mapped while anything can still run its code: each device object the driver
// created (until its memory goes, which a queued work item's reference delays), each work item
// queued with a routine in it, each of its system threads. Unloading such an image only marks
// it; the last of those holds closes it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
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
    // What keeps the image mapped (guarded by the loader's mutex).
    int holds = 0;
    bool unloaded = false;           // unloaded, waiting for the last hold to go
    std::function<void()> onClosed;  // runs when the image is finally closed
};

class Loader {
public:
    ~Loader();
    // Opens the image and finds DriverEntry; null with `error` filled on failure.
    LoadedModule* Load(const std::string& path, std::string* error);
    // Closes the image now, or when its last hold goes; `onClosed` runs then.
    void Unload(LoadedModule* module, std::function<void()> onClosed = {});
    // Keeps an image mapped; null is allowed and ignored. HoldCode finds the image by an
    // address in it and returns it (null for code outside every driver image).
    void Hold(LoadedModule* module);
    LoadedModule* HoldCode(const void* address);
    void Release(LoadedModule* module);
    // Finds the image holding an address, also one unloaded but still mapped.
    LoadedModule* ModuleOf(const void* address);
    LoadedModule* Find(const std::string& name); // loaded images only
    std::vector<LoadedModule*> All();
    // Images unloaded but still held, described in words (for the shutdown report).
    std::vector<std::string> StillHeld();

private:
    void Close(std::unique_lock<std::mutex>& lk, LoadedModule* module);

    std::mutex mutex_;
    std::vector<std::unique_ptr<LoadedModule>> modules_;
};

} // namespace host
