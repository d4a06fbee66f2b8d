// The bug check a platform call raised on the machine's owner thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "host/Machine.h"

namespace probe {

// Runs `call` and returns the bug check it raised; a call that raises none fails the test.
inline host::BugCheckInfo CrashOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const host::MachineCrash& crash) {
        host::Machine::Current()->TakeCrash(); // expected: it is no failure of the test
        return crash.info;
    }
    ADD_FAILURE() << "no bug check";
    return {};
}

} // namespace probe
