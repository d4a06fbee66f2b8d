// pecheck shown bad images. Each is a copy of a good kernel image from a Windows build with
// one thing wrong; but for the checksum case the checksum is made right again, so exactly the
// check in question must refuse the image, and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "PeImage.h"
#include "RunProgram.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Get32(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v)
{
    Put16(b, at, static_cast<uint16_t>(v));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// Where the headers' fields lie in the file.
size_t FileHeader(const Bytes& b) { return Get32(b, 0x3C) + 4; }
size_t OptionalHeader(const Bytes& b) { return FileHeader(b) + 20; }
constexpr size_t kCharacteristics = 18;   // in the file header
constexpr size_t kEntryPoint = 16;        // in the optional header, PE32 and PE32+ alike
constexpr size_t kSubsystem = 68;

// Replaces every occurrence of `from` by `to`, of the same length.
bool ReplaceText(Bytes& b, const std::string& from, const std::string& to)
{
    bool found = false;
    for (auto it = std::search(b.begin(), b.end(), from.begin(), from.end()); it != b.end();
         it = std::search(it, b.end(), from.begin(), from.end())) {
        std::memcpy(&*it, to.data(), to.size());
        found = true;
    }
    return found;
}

struct BadImage {
    const char* name;
    const char* check;   // the one check that must fail
    const char* message; // what it must say, a regular expression
    std::function<bool(Bytes&)> patch;
    bool fixChecksum = true;
};

const BadImage kBadImages[] = {
    {"WrongSubsystem", "subsystem", "2, expected native \\(1\\)",
     [](Bytes& b) { Put16(b, OptionalHeader(b) + kSubsystem, 2); return true; }},
    {"ForeignImport", "imports", "kernel32\\.dll is not an allowed module",
     [](Bytes& b) { return ReplaceText(b, "ntoskrnl.exe", "kernel32.dll"); }},
    {"BadChecksum", "checksum", "header says 0x[0-9a-f]{8}, image sums to 0x[0-9a-f]{8}",
     [](Bytes& b) {
         size_t at = pecheck::PeImage::parse(b).checksumOffset();
         Put32(b, at, Get32(b, at) ^ 0x10);
         return true;
     },
     false},
    {"NoEntryPoint", "entry", "entry point 0x00000000 is not _?DriverEntry",
     [](Bytes& b) { Put32(b, OptionalHeader(b) + kEntryPoint, 0); return true; }},
    {"DllFlag", "image kind", "IMAGE_FILE_DLL \\(0x2000\\) is set",
     [](Bytes& b) {
         size_t at = FileHeader(b) + kCharacteristics;
         Put16(b, at, static_cast<uint16_t>(b[at] | b[at + 1] << 8 | 0x2000));
         return true;
     }},
};

struct Machine {
    const char* name;   // pecheck's --machine
    const char* preset; // the build that makes the image
};
const Machine kMachines[] = {{"x86", "win-x86"}, {"x64", "win-x64"}};

void PrintTo(const Machine& machine, std::ostream* out) { *out << machine.name; }
void PrintTo(const BadImage& bad, std::ostream* out) { *out << bad.name; }

class BadImages : public ::testing::TestWithParam<std::tuple<Machine, BadImage>> {
protected:
    // The transport driver's image of that machine's build, or a failure naming the build.
    Bytes GoodImage(const Machine& machine)
    {
        std::string path = std::string(CV_WINDOWS_BUILD_ROOT) + "/" + machine.preset +
                           "/Cvusbdrv/corvbc.sys";
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            ADD_FAILURE() << "missing image " << path << "; build it with: cmake --preset "
                          << machine.preset << " && cmake --build --preset " << machine.preset;
            return {};
        }
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    rig::ProgramOutcome Check(const Machine& machine, const Bytes& image)
    {
        std::string path = (scratch_.Path() / "image.sys").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), image.size());
        return rig::RunProgram(CV_PECHECK_PATH,
                               {"--machine", machine.name, "--allow",
                                "ntoskrnl.exe,hal.dll,usbd.sys,wmilib.sys", path},
                               scratch_.Path());
    }

    rig::ScratchDirectory scratch_{"pecheck-bad-images"};
};

TEST_P(BadImages, AreRefusedByTheirCheckAlone)
{
    const auto& [machine, bad] = GetParam();
    Bytes image = GoodImage(machine);
    ASSERT_FALSE(image.empty());
    rig::ProgramOutcome good = Check(machine, image);
    ASSERT_EQ(0, good.exitCode) << "the unpatched image passes:\n" << good.out << good.err;

    ASSERT_TRUE(bad.patch(image)) << "the patch found nothing to change";
    if (bad.fixChecksum) {
        size_t at = pecheck::PeImage::parse(image).checksumOffset();
        Put32(image, at, pecheck::PeImage::parse(image).computeChecksum());
    }
    rig::ProgramOutcome o = Check(machine, image);
    EXPECT_EQ(1, o.exitCode) << o.out << o.err;
    std::regex failLine("  FAIL  ([^:]+): (.*)");
    std::vector<std::pair<std::string, std::string>> failed;
    for (auto it = std::sregex_iterator(o.out.begin(), o.out.end(), failLine);
         it != std::sregex_iterator(); ++it)
        failed.emplace_back((*it)[1], (*it)[2]);
    ASSERT_EQ(1u, failed.size()) << o.out;
    EXPECT_EQ(bad.check, failed[0].first) << o.out;
    EXPECT_TRUE(std::regex_search(failed[0].second, std::regex(bad.message))) << o.out;
}

INSTANTIATE_TEST_SUITE_P(
    Images, BadImages,
    ::testing::Combine(::testing::ValuesIn(kMachines), ::testing::ValuesIn(kBadImages)),
    [](const ::testing::TestParamInfo<BadImages::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

} // namespace
