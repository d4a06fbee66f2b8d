// The verifier's reports and its low-resources simulation.
//
// Violations that the platform's own verifier answers with a bug check are bug checks here too
// (see BugCheck.h). What it only reports (pool still held by a driver when its last device is
// removed) goes to Reports(), which every test expects to be empty at its end.
//
// Low-resources simulation: a fault plan makes allocations requested by driver code fail: the
// Nth from now, each with a seeded probability, or those with a given pool tag; per kind of
// resource (pool, requests, MDLs, work items). Platform-internal allocations never fail.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace host {

class Machine;

// At the end of an orderly shutdown: reports references and handles still held and driver
// images still in use, and bug-checks for damaged pool guards or freed blocks (ShutdownChecks.cpp).
void CheckWhatShutdownLeft(Machine& machine);

enum class ResourceKind { Pool = 0, Irp, Mdl, WorkItem, Count };

const char* ResourceKindName(ResourceKind kind);

class Verifier {
public:
    // Fail the nth request of this kind from now on (1 = the next one); once.
    void FailNth(ResourceKind kind, int n);
    // Fail each request of this kind with this probability, drawn from `seed`.
    void FailRandomly(ResourceKind kind, double probability, uint64_t seed);
    // Fail every pool allocation with this tag (0 turns it off).
    void FailTag(ULONG tag);
    void ClearFaults();
    // Asked by the allocation routines for each driver request.
    bool ShouldFail(ResourceKind kind, ULONG tag);
    // How many driver requests of this kind were seen, and how many failed on purpose.
    uint64_t Requests(ResourceKind kind);
    uint64_t InjectedFailures(ResourceKind kind);

    void Report(const std::string& text);
    std::vector<std::string> Reports();
    void ClearReports();

private:
    struct KindPlan {
        int countdown = 0;
        double probability = 0.0;
        std::mt19937_64 rng;
        uint64_t requests = 0;
        uint64_t injected = 0;
    };
    std::mutex mutex_;
    KindPlan plans_[static_cast<int>(ResourceKind::Count)];
    ULONG failTag_ = 0;
    std::vector<std::string> reports_;
};

} // namespace host
