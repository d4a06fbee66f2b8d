// Tagged pool with the verifier's tracking: every block a driver holds is known by address,
// size, tag, type and owning driver image; frees are checked (unknown address, double free,
// wrong tag, overrun of the guard bytes after the block, a queued timer or DPC inside).
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

private:
    Machine& machine_;
    std::mutex mutex_;
    std::map<uintptr_t, PoolBlock> live_;
    std::deque<std::pair<void*, size_t>> quarantine_;
    std::unordered_set<uintptr_t> freed_;
    size_t quarantineBytes_ = 0;
    uint64_t sequence_ = 0;
};

} // namespace host
