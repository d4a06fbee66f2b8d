// corv's command line: exit 0 for what it did, 1 when it could not do it (a bad settings file,
// a missing driver image), 2 for a command line it does not understand, each with a message
// that says what was wrong; --verbose shows the drivers' debug output a line at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "RunProgram.h"

namespace {

class CorvCli : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text)
    {
        std::string path = (scratch_.Path() / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    rig::ProgramOutcome Run(const std::vector<std::string>& args)
    {
        return rig::RunProgram(CV_CORV_PATH, args, scratch_.Path());
    }

    rig::ScratchDirectory scratch_{
        std::string("corv-cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(CorvCli, ExitStatusAndMessageForEachKindOfCommandLine)
{
    const std::string badReg = Write("bad.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                                "[HKEY_LOCAL_MACHINE\\SYSTEM\\x]\r\n"
                                                "\"Value\"=dword:nothex\r\n");
    const std::string goodReg = Write("good.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                                                  "Services\\CORVB\\Parameters]\r\n"
                                                  "\"MaxUnitLv\"=dword:00000010\r\n");
    const std::string directory = scratch_.Path().string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* stream; // "out" or "err": where the message goes
        const char* message; // a regular expression it must match
    };
    const Case cases[] = {
        {{"--help"}, 0, "out", "^usage: corv \\[options\\] <command>"},
        {{"-h"}, 0, "out", "^usage: corv"},
        {{"--version"}, 0, "out", "^corv [0-9]+\\.[0-9]+\\.[0-9]+\n$"},
        {{}, 2, "err", "^corv: no command given\n\\(run 'corv --help'"},
        {{"frobnicate"}, 2, "err", "^corv: unknown command 'frobnicate'"},
        {{"--frobnicate", "devices"}, 2, "err", "^corv: unknown option '--frobnicate'"},
        {{"devices", "extra"}, 2, "err", "^corv: unexpected argument 'extra'"},
        {{"devices", "--model"}, 2, "err", "^corv: --model needs A or B"},
        {{"--model", "C", "devices"}, 2, "err", "^corv: unknown model 'C'"},
        {{"--units", "0", "devices"}, 2, "err", "^corv: --units takes a count from 1 to 128"},
        {{"--units", "129", "devices"}, 2, "err", "^corv: --units takes a count from 1 to 128"},
        {{"--seed", "-1", "devices"}, 2, "err", "^corv: --seed takes a non-negative number"},
        {{"devices", "--set", "1"}, 2, "err", "^corv: unknown option '--set'"},
        {{"--registry", badReg, "devices"}, 1, "err", "^corv: .*bad\\.reg:4: "},
        {{"--registry", directory, "devices"}, 1, "err",
         "^corv: .*: is a directory, not a \\.reg file\n$"},
        {{"--registry", directory + "/absent.reg", "devices"}, 1, "err",
         "^corv: .*absent\\.reg: cannot open: No such file or directory\n$"},
        {{"--driver-dir", directory, "devices"}, 1, "err", "^corv: driver image not found: "},
        {{"--registry", goodReg, "devices"}, 0, "out", "^\\\\Device\\\\CvB1\n"},
        {{"--model", "A", "wmi"}, 0, "out", "^\\\\Device\\\\CvA1\n  WMI block"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += " " + a;
        SCOPED_TRACE("corv" + line);
        rig::ProgramOutcome o = Run(c.args);
        EXPECT_EQ(c.exitCode, o.exitCode) << o.err;
        const std::string& text = std::string(c.stream) == "out" ? o.out : o.err;
        EXPECT_TRUE(std::regex_search(text, std::regex(c.message))) << "got: " << text;
        if (c.exitCode != 0) {
            EXPECT_EQ("", o.out) << "a failure prints nothing on standard output";
        }
    }
}

// Every debug print of a driver is shown as a whole line, also one whose text has no line end.
TEST_F(CorvCli, VerboseShowsEachDebugPrintOnALineOfItsOwn)
{
    rig::ProgramOutcome o = Run({"--verbose", "devices"});
    EXPECT_EQ(0, o.exitCode) << o.err;
    std::istringstream lines(o.err);
    std::vector<std::string> shown;
    for (std::string line; std::getline(lines, line);)
        shown.push_back(line);
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Cvusbdrv DriverEntry exit."), shown.end())
        << o.err;
    EXPECT_TRUE(o.err.empty() || o.err.back() == '\n') << o.err;
}

} // namespace
