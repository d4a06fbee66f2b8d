// Runs a program of the build as a user would and keeps what it printed: for the tests of
// command-line tools (exit status, standard output, standard error).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace rig {

struct ProgramOutcome {
    int exitCode = -1; // 128 + the signal for a program killed by one
    std::string out;
    std::string err;
};

inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `program` with `args`; its output goes through files in `scratch`, a directory of the
// caller's.
inline ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                                 const std::filesystem::path& scratch)
{
    const std::string outPath = (scratch / "stdout").string();
    const std::string errPath = (scratch / "stderr").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (!std::freopen(outPath.c_str(), "w", stdout) ||
            !std::freopen(errPath.c_str(), "w", stderr))
            _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ProgramOutcome outcome;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child)
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = ReadWholeFile(outPath);
    outcome.err = ReadWholeFile(errPath);
    return outcome;
}

// A fresh directory for one test, removed with everything in it when the test ends.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                (name + "-" + std::to_string(getpid())))
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path_); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace rig
