// Machine seeds for tests. The seed drives every scheduling choice of a simulated machine, so a
// suite that runs more than one seed sees more interleavings of the same code.
//
//   CV_SEED=S    every machine a test builds uses seed S (replays a failure the trace names)
//   CV_SEEDS=N   tests that sweep seeds run seeds 1..N (3 when unset, to keep CI fast)
//
// The transport tests build one machine each; ctest runs them again with CV_SEED set to each
// seed from 2 up to the CMake setting CV_SEED_SWEEP (3 unless configured otherwise).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace rig {

inline uint64_t SeedFromEnvironment(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    return end != nullptr && *end == '\0' ? value : fallback;
}

// The seed of a test that builds one machine.
inline uint64_t MachineSeed() { return SeedFromEnvironment("CV_SEED", 1); }

// The seeds a sweeping test runs: CV_SEED alone when it is set, else 1..CV_SEEDS.
inline std::vector<uint64_t> Seeds()
{
    if (std::getenv("CV_SEED") != nullptr)
        return {MachineSeed()};
    uint64_t count = SeedFromEnvironment("CV_SEEDS", 3);
    std::vector<uint64_t> seeds;
    for (uint64_t s = 1; s <= count; ++s)
        seeds.push_back(s);
    return seeds;
}

// The line a failure prints so that its run can be replayed.
inline std::string SeedTrace(uint64_t seed)
{
    return "machine seed " + std::to_string(seed) + " (replay with CV_SEED=" +
           std::to_string(seed) + ")";
}

} // namespace rig
