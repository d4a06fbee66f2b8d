// Helpers for tests that provoke bug checks on purpose, and for tests of the failure reporting
// itself.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/Machine.h"

namespace rig {

// Runs `body`, which must end in a bug check thrown to the owner; takes the crash from the
// machine (so it is no failure) and returns it for the test to check. A body that returns
// normally is a failure, and the result's code is 0.
template <class Body>
host::BugCheckInfo BugCheckOf(host::Machine& machine, Body&& body)
{
    try {
        body();
        ADD_FAILURE() << "no bug check";
    } catch (const host::MachineCrash&) {
    }
    std::optional<host::BugCheckInfo> crash = machine.TakeCrash();
    return crash ? *crash : host::BugCheckInfo{};
}

// The failures `body` reports to GoogleTest, captured so that they do not fail the calling
// test: for tests that show a fault is reported as a failure.
template <class Body>
std::vector<std::string> FailuresOf(Body&& body)
{
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        body();
    }
    std::vector<std::string> failures;
    for (int i = 0; i < results.size(); ++i) {
        if (results.GetTestPartResult(i).failed())
            failures.push_back(results.GetTestPartResult(i).message());
    }
    return failures;
}

// The scheduler's trace as lines of "time text", for comparing two runs of one seed.
inline std::vector<std::string> TraceLines(host::Machine& machine)
{
    std::vector<std::string> lines;
    for (auto& e : machine.Sched().Trace())
        lines.push_back(std::to_string(e.time) + " " + e.text);
    return lines;
}

inline std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (auto& line : lines)
        text += line + "\n";
    return text;
}

} // namespace rig
