#include "Loader.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>

namespace host {

namespace {
struct RangeQuery {
    uintptr_t probe;
    uintptr_t start;
    uintptr_t end;
    bool found;
};

int FindRange(struct dl_phdr_info* info, size_t, void* data)
{
    auto* q = static_cast<RangeQuery*>(data);
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        uintptr_t s = info->dlpi_addr + ph.p_vaddr;
        lo = std::min(lo, s);
        hi = std::max(hi, s + ph.p_memsz);
    }
    if (q->probe >= lo && q->probe < hi) {
        q->start = lo;
        q->end = hi;
        q->found = true;
        return 1;
    }
    return 0;
}

std::string BaseName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}
} // namespace

Loader::~Loader()
{
    for (auto& m : modules_) {
        if (m->handle != nullptr)
            dlclose(m->handle);
    }
}

LoadedModule* Loader::Load(const std::string& path, std::string* error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = dlerror();
        return nullptr;
    }
    void* entry = dlsym(handle, "DriverEntry");
    if (entry == nullptr) {
        *error = path + " has no DriverEntry";
        dlclose(handle);
        return nullptr;
    }
    RangeQuery q{reinterpret_cast<uintptr_t>(entry), 0, 0, false};
    dl_iterate_phdr(FindRange, &q);
    auto module = std::make_unique<LoadedModule>();
    module->name = BaseName(path);
    module->path = path;
    module->handle = handle;
    module->start = q.start;
    module->end = q.end;
    module->entry = reinterpret_cast<PDRIVER_INITIALIZE>(entry);
    std::lock_guard<std::mutex> lk(mutex_);
    modules_.push_back(std::move(module));
    return modules_.back().get();
}

void Loader::Unload(LoadedModule* module, std::function<void()> onClosed)
{
    std::unique_lock<std::mutex> lk(mutex_);
    module->unloaded = true;
    module->onClosed = std::move(onClosed);
    if (module->holds == 0)
        Close(lk, module);
}

void Loader::Close(std::unique_lock<std::mutex>& lk, LoadedModule* module)
{
    for (auto it = modules_.begin(); it != modules_.end(); ++it) {
        if (it->get() == module) {
            std::unique_ptr<LoadedModule> owned = std::move(*it);
            modules_.erase(it);
            lk.unlock();
            if (owned->onClosed)
                owned->onClosed();
            if (owned->handle != nullptr)
                dlclose(owned->handle);
            lk.lock();
            return;
        }
    }
}

void Loader::Hold(LoadedModule* module)
{
    if (module == nullptr)
        return;
    std::lock_guard<std::mutex> lk(mutex_);
    ++module->holds;
}

LoadedModule* Loader::HoldCode(const void* address)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& m : modules_) {
        if (a >= m->start && a < m->end) {
            ++m->holds;
            return m.get();
        }
    }
    return nullptr;
}

void Loader::Release(LoadedModule* module)
{
    if (module == nullptr)
        return;
    std::unique_lock<std::mutex> lk(mutex_);
    if (--module->holds == 0 && module->unloaded)
        Close(lk, module);
}

std::vector<std::string> Loader::StillHeld()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::string> out;
    for (auto& m : modules_) {
        if (m->unloaded)
            out.push_back("driver image " + m->name + " unloaded but still mapped: " +
                          std::to_string(m->holds) +
                          " device object(s), work item(s) or system thread(s) can run its code");
    }
    return out;
}

LoadedModule* Loader::ModuleOf(const void* address)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& m : modules_) {
        if (a >= m->start && a < m->end)
            return m.get();
    }
    return nullptr;
}

LoadedModule* Loader::Find(const std::string& name)
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& m : modules_) {
        if (m->name == name && !m->unloaded)
            return m.get();
    }
    return nullptr;
}

std::vector<LoadedModule*> Loader::All()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<LoadedModule*> out;
    for (auto& m : modules_)
        out.push_back(m.get());
    return out;
}

} // namespace host
