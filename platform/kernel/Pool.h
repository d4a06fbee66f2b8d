// Tagged pool with the verifier's tracking: every block a driver holds is known by address,
// size, tag, type and owning driver image; frees are checked (unknown address, double free,
// wrong tag, a queued timer or DPC inside).
//
// Each block sits between a front guard and a tail guard region (the slack up to the next
// 16 bytes plus a guard as large as the block, within bounds), all filled with a pattern; a
// freed block is filled with another pattern and kept in a quarantine. The patterns are checked
// when a block is freed, when a freed block leaves the quarantine and at machine shutdown, so a
// write before a block, far past it or into it after its free ends in BAD_POOL_HEADER with the
// driver, tag, block and offset of the damage. In the sanitizer build the guards and the
// quarantined blocks are also poisoned, so the sanitizer reports the faulting access itself.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace host {

class Machine;
struct LoadedModule;

struct PoolBlock {
    uintptr_t address = 0;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    const LoadedModule* module = nullptr; // the driver that allocated it, or null
    uint64_t sequence = 0;
};

std::string TagText(ULONG tag);

class Pool {
public:
    explicit Pool(Machine& machine) : machine_(machine) {}
    ~Pool();

    // Returns null when the low-resources simulation fails the request.
    PVOID Allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller);
    void Free(PVOID block, ULONG tag, bool checkTag, const void* caller);

    // Blocks held now, by one driver image (or every block when module is null).
    std::vector<PoolBlock> Outstanding(const LoadedModule* module);
    size_t BytesOutstanding(const LoadedModule* module);
    // Words for an address inside a pool block ("pool block 'BulK' of corvbc +0x58").
    bool Describe(const void* address, std::string* text);
    static std::string Describe(const std::vector<PoolBlock>& blocks);

    // Checks the guards of every live block and the fill of every quarantined one (shutdown).
    void CheckAll();
    // How many freed bytes the quarantine keeps before the oldest block leaves it.
    void SetQuarantineLimit(size_t bytes);

private:
    struct Freed {
        PoolBlock block;
        std::string owner; // the allocating driver's name (the module may be gone by the check)
    };
    enum class Damage { None, Before, After, Inside };
    static Damage FindDamage(const PoolBlock& block, bool freed, ptrdiff_t* offset);
    [[noreturn]] static void ReportDamage(const PoolBlock& block, const std::string& owner,
                                          Damage damage, ptrdiff_t offset, const char* when);
    void Release(const Freed& freed); // a block leaves the quarantine; mutex_ held

    Machine& machine_;
    std::mutex mutex_;
    std::map<uintptr_t, PoolBlock> live_;
    std::deque<Freed> quarantine_;
    std::unordered_set<uintptr_t> freed_;
    size_t quarantineBytes_ = 0;
    size_t quarantineLimit_ = 64u << 20;
    uint64_t sequence_ = 0;
};

} // namespace host
