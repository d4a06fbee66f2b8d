#include "Pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "../host/Machine.h"
#include "../pnp/Loader.h"
#include "../verifier/Verifier.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CV_POOL_ASAN 1
#endif
#endif
#if !defined(CV_POOL_ASAN) && defined(__SANITIZE_ADDRESS__)
#define CV_POOL_ASAN 1
#endif
#if CV_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace host {

namespace {
constexpr size_t kFrontGuardBytes = 32; // keeps the block 16-byte aligned
constexpr size_t kMinTailGuardBytes = 64;
constexpr size_t kMaxTailGuardBytes = 4096;
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kNewFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDD;

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

// The tail region: the slack up to the next 16 bytes, then a guard as large as the block
// (so an index one element too far in an array of records still lands in it), within bounds.
size_t TailBytes(size_t size)
{
    size_t rounded = (size + 15) / 16 * 16;
    return rounded - size + std::min(std::max(rounded, kMinTailGuardBytes), kMaxTailGuardBytes);
}

unsigned char* RawOf(uintptr_t address)
{
    return reinterpret_cast<unsigned char*>(address) - kFrontGuardBytes;
}

size_t RawBytes(size_t size) { return kFrontGuardBytes + size + TailBytes(size); }

// The sanitizer build poisons what no one may touch: the guards of a live block and the whole
// of a quarantined one. The pool unpoisons before it checks or frees.
void Poison(const void* p, size_t n)
{
#if CV_POOL_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

void Unpoison(const void* p, size_t n)
{
#if CV_POOL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%zx", static_cast<size_t>(value));
    return text;
}
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
    for (auto& [address, block] : live_) {
        Unpoison(RawOf(address), RawBytes(block.size));
        std::free(RawOf(address));
    }
    for (auto& freed : quarantine_) {
        Unpoison(RawOf(freed.block.address), RawBytes(freed.block.size));
        std::free(RawOf(freed.block.address));
    }
}

PVOID Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller)
{
    PKTHREAD self = Scheduler::Current();
    KIRQL irql = self != nullptr ? self->irql : PASSIVE_LEVEL;
    if (size == 0)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_ZERO_BYTE_POOL_ALLOCATION, irql,
                 static_cast<uintptr_t>(type), 0,
                 "pool allocation of zero bytes with tag '" + TagText(tag) + "'");
    if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
        BugCheck(BAD_POOL_CALLER, POOL_PAGED_AT_DISPATCH, irql, static_cast<uintptr_t>(type), size,
                 "pool allocation of type " + std::to_string(type) + " at IRQL " +
                     std::to_string(irql));
    }
    const LoadedModule* module = machine_.Modules().ModuleOf(caller);
    if (module != nullptr && machine_.Verify().ShouldFail(ResourceKind::Pool, tag))
        return nullptr;
    auto* raw = static_cast<unsigned char*>(std::malloc(RawBytes(size)));
    if (raw == nullptr)
        return nullptr;
    unsigned char* p = raw + kFrontGuardBytes;
    std::memset(raw, kGuardFill, kFrontGuardBytes);
    std::memset(p, kNewFill, size);
    std::memset(p + size, kGuardFill, TailBytes(size));
    Poison(raw, kFrontGuardBytes);
    Poison(p + size, TailBytes(size));
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

Pool::Damage Pool::FindDamage(const PoolBlock& block, bool freed, ptrdiff_t* offset)
{
    unsigned char* raw = RawOf(block.address);
    Unpoison(raw, RawBytes(block.size));
    Damage found = Damage::None;
    // Nearest to the block first: that is where a run of damage most likely started.
    for (size_t i = kFrontGuardBytes; i-- > 0;) {
        if (raw[i] != kGuardFill) {
            *offset = static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(kFrontGuardBytes);
            found = Damage::Before;
            break;
        }
    }
    const unsigned char* p = raw + kFrontGuardBytes;
    if (found == Damage::None && freed) {
        for (size_t i = 0; i < block.size; ++i) {
            if (p[i] != kFreedFill) {
                *offset = static_cast<ptrdiff_t>(i);
                found = Damage::Inside;
                break;
            }
        }
    }
    if (found == Damage::None) {
        for (size_t i = 0, n = TailBytes(block.size); i < n; ++i) {
            if (p[block.size + i] != kGuardFill) {
                *offset = static_cast<ptrdiff_t>(block.size + i);
                found = Damage::After;
                break;
            }
        }
    }
    if (freed) {
        Poison(raw, RawBytes(block.size));
    } else {
        Poison(raw, kFrontGuardBytes);
        Poison(p + block.size, TailBytes(block.size));
    }
    return found;
}

[[noreturn]] void Pool::ReportDamage(const PoolBlock& block, const std::string& owner,
                                     Damage damage, ptrdiff_t offset, const char* when)
{
    std::string what;
    switch (damage) {
    case Damage::Before:
        what = "write " + std::to_string(-offset) + " byte(s) before the start of";
        break;
    case Damage::After:
        what = "write " + std::to_string(offset - static_cast<ptrdiff_t>(block.size) + 1) +
               " byte(s) past the end of";
        break;
    case Damage::Inside:
        what = "write into freed";
        break;
    case Damage::None:
        break;
    }
    std::string sign = offset < 0 ? "-" : "+";
    auto magnitude = static_cast<uintptr_t>(offset < 0 ? -offset : offset);
    BugCheck(BAD_POOL_HEADER, POOL_PATTERN_CHECK_FAILED, block.address, block.size,
             block.address + static_cast<uintptr_t>(offset),
             what + " pool block '" + TagText(block.tag) + "' of " + std::to_string(block.size) +
                 " bytes at " + Hex(block.address) + " allocated by " +
                 (owner.empty() ? std::string("the platform") : owner) + " (allocation #" +
                 std::to_string(block.sequence) + "): damage at offset " + sign +
                 Hex(magnitude) + ", found " + when);
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
    std::string owner = block.module != nullptr ? block.module->name : std::string();
    ptrdiff_t offset = 0;
    Damage damage = FindDamage(block, false, &offset);
    if (damage != Damage::None)
        ReportDamage(block, owner, damage, offset, "when it was freed");
    {
        std::string what;
        std::unique_lock<std::mutex> slk(machine_.Sched().Lock());
        bool busy = machine_.Sched().TimerOrDpcIn(address, address + block.size, &what);
        slk.unlock();
        if (busy)
            BugCheck(TIMER_OR_DPC_INVALID, 0, address, block.size, 0,
                     "pool block '" + TagText(block.tag) + "' freed while it holds " + what);
    }
    std::unique_lock<std::mutex> lk(mutex_);
    live_.erase(address);
    unsigned char* raw = RawOf(address);
    Unpoison(raw, RawBytes(block.size));
    std::memset(raw + kFrontGuardBytes, kFreedFill, block.size);
    Poison(raw, RawBytes(block.size));
    freed_.insert(address);
    quarantine_.push_back(Freed{block, owner});
    quarantineBytes_ += block.size;
    while (quarantineBytes_ > quarantineLimit_ && !quarantine_.empty()) {
        Freed oldest = std::move(quarantine_.front());
        quarantine_.pop_front();
        quarantineBytes_ -= oldest.block.size;
        freed_.erase(oldest.block.address);
        damage = FindDamage(oldest.block, true, &offset);
        Release(oldest);
        if (damage != Damage::None) {
            lk.unlock();
            ReportDamage(oldest.block, oldest.owner, damage, offset,
                         "when it left the quarantine of freed blocks");
        }
    }
}

void Pool::Release(const Freed& freed)
{
    unsigned char* raw = RawOf(freed.block.address);
    Unpoison(raw, RawBytes(freed.block.size));
    std::free(raw);
}

void Pool::SetQuarantineLimit(size_t bytes)
{
    std::lock_guard<std::mutex> lk(mutex_);
    quarantineLimit_ = bytes;
}

void Pool::CheckAll()
{
    std::unique_lock<std::mutex> lk(mutex_);
    ptrdiff_t offset = 0;
    for (auto& [address, block] : live_) {
        Damage damage = FindDamage(block, false, &offset);
        if (damage != Damage::None) {
            PoolBlock copy = block;
            std::string owner = block.module != nullptr ? block.module->name : std::string();
            lk.unlock();
            ReportDamage(copy, owner, damage, offset, "at shutdown");
        }
    }
    for (auto& freed : quarantine_) {
        Damage damage = FindDamage(freed.block, true, &offset);
        if (damage != Damage::None) {
            Freed copy = freed;
            lk.unlock();
            ReportDamage(copy.block, copy.owner, damage, offset, "in the quarantine at shutdown");
        }
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
