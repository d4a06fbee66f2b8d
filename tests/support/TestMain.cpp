// The main of every test program that builds machines: whatever a machine finds and the test
// did not take (a bug check on any thread, a failure of its orderly end, verifier reports) is
// a failure of the test that owned the machine.
#include <gtest/gtest.h>

#include "host/Machine.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    host::Machine::SetFailureSink(
        [](const std::string& failure) { ADD_FAILURE() << "machine: " << failure; });
    return RUN_ALL_TESTS();
}
