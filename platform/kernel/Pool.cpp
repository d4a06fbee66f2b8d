#include "Pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "../host/Machine.h"
#include "../pnp/Loader.h"
#include "../verifier/Verifier.h"

namespace host {

namespace {
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kNewFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kQuarantineLimitBytes = 64u << 20;

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }
} // namespace

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

Pool::~Pool()
{
    for (auto& [address, block] : live_)
        std::free(reinterpret_cast<void*>(address));
    for (auto& [p, size] : quarantine_)
        std::free(p);
}

PVOID Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller)
{
    PKTHREAD self = Scheduler::Current();
    KIRQL irql = self != nullptr ? self->irql : PASSIVE_LEVEL;
    if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
        BugCheck(BAD_POOL_CALLER, POOL_PAGED_AT_DISPATCH, irql, static_cast<uintptr_t>(type), size,
                 "pool allocation of type " + std::to_string(type) + " at IRQL " +
                     std::to_string(irql));
    }
    const LoadedModule* module = machine_.Modules().ModuleOf(caller);
    if (module != nullptr && machine_.Verify().ShouldFail(ResourceKind::Pool, tag))
        return nullptr;
    auto* p = static_cast<unsigned char*>(std::malloc(size + kGuardBytes));
    if (p == nullptr)
        return nullptr;
    std::memset(p, kNewFill, size);
    std::memset(p + size, kGuardFill, kGuardBytes);
    std::lock_guard<std::mutex> lk(mutex_);
    PoolBlock block;
    block.address = reinterpret_cast<uintptr_t>(p);
    block.size = size;
    block.tag = tag;
    block.type = type;
    block.module = module;
    block.sequence = ++sequence_;
    live_[block.address] = block;
    freed_.erase(block.address);
    return p;
}

void Pool::Free(PVOID pointer, ULONG tag, bool checkTag, const void* caller)
{
    (void)caller;
    auto address = reinterpret_cast<uintptr_t>(pointer);
    PoolBlock block;
    {
        std::unique_lock<std::mutex> lk(mutex_);
        auto it = live_.find(address);
        if (it == live_.end()) {
            bool twice = freed_.count(address) != 0;
            lk.unlock();
            if (twice)
                BugCheck(BAD_POOL_CALLER, POOL_DOUBLE_FREE, address, 0, 0,
                         "pool block freed twice");
            BugCheck(BAD_POOL_CALLER, POOL_FREE_OF_UNKNOWN_ADDRESS, address, 0, 0,
                     "free of an address that is not a pool block");
        }
        block = it->second;
    }
    PKTHREAD self = Scheduler::Current();
    KIRQL irql = self != nullptr ? self->irql : PASSIVE_LEVEL;
    if (irql > DISPATCH_LEVEL || (IsPaged(block.type) && irql > APC_LEVEL))
        BugCheck(BAD_POOL_CALLER, POOL_PAGED_AT_DISPATCH, irql, address, 0,
                 "pool free at IRQL " + std::to_string(irql));
    if (checkTag && tag != block.tag)
        BugCheck(BAD_POOL_CALLER, POOL_FREE_WRONG_TAG, address, tag, block.tag,
                 "pool block '" + TagText(block.tag) + "' freed with tag '" + TagText(tag) + "'");
    auto* bytes = reinterpret_cast<unsigned char*>(address);
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (bytes[block.size + i] != kGuardFill)
            BugCheck(BAD_POOL_HEADER, address, block.size, block.tag, i,
                     "write past the end of pool block '" + TagText(block.tag) + "' of " +
                         std::to_string(block.size) + " bytes");
    }
    {
        std::string what;
        std::unique_lock<std::mutex> slk(machine_.Sched().Lock());
        bool busy = machine_.Sched().TimerOrDpcIn(address, address + block.size, &what);
        slk.unlock();
        if (busy)
            BugCheck(TIMER_OR_DPC_INVALID, 0, address, block.size, 0,
                     "pool block '" + TagText(block.tag) + "' freed while it holds " + what);
    }
    std::lock_guard<std::mutex> lk(mutex_);
    live_.erase(address);
    std::memset(bytes, kFreedFill, block.size);
    freed_.insert(address);
    quarantine_.emplace_back(bytes, block.size);
    quarantineBytes_ += block.size;
    while (quarantineBytes_ > kQuarantineLimitBytes && !quarantine_.empty()) {
        auto [old, size] = quarantine_.front();
        quarantine_.pop_front();
        quarantineBytes_ -= size;
        freed_.erase(reinterpret_cast<uintptr_t>(old));
        std::free(old);
    }
}

std::vector<PoolBlock> Pool::Outstanding(const LoadedModule* module)
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<PoolBlock> out;
    for (auto& [address, block] : live_) {
        if (module == nullptr ? block.module != nullptr : block.module == module)
            out.push_back(block);
    }
    return out;
}

size_t Pool::BytesOutstanding(const LoadedModule* module)
{
    size_t total = 0;
    for (auto& block : Outstanding(module))
        total += block.size;
    return total;
}

bool Pool::Describe(const void* address, std::string* text)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = live_.upper_bound(a);
    if (it == live_.begin())
        return false;
    --it;
    if (a >= it->first + it->second.size)
        return false;
    std::ostringstream os;
    os << "pool block '" << TagText(it->second.tag) << "'";
    if (it->second.module != nullptr)
        os << " of " << it->second.module->name;
    os << " +0x" << std::hex << (a - it->first);
    *text = os.str();
    return true;
}

std::string Pool::Describe(const std::vector<PoolBlock>& blocks)
{
    std::ostringstream os;
    for (auto& b : blocks) {
        os << "  " << b.size << " bytes tag '" << TagText(b.tag) << "'"
           << (IsPaged(b.type) ? " paged" : " non-paged") << " (allocation #" << b.sequence
           << ")\n";
    }
    return os.str();
}

} // namespace host
