// corv: brings up the host machine with a capture unit on its USB bus, loads the transport
// driver for it, and does what the user asks of the unit.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "CaptureUnit.h"
#include "CvIoctl.h"
#include "host/Client.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "io/ObjectManager.h"
#include "pnp/PnpManager.h"
#include "registry/RegFile.h"
#include "registry/RegistryStore.h"
#include "usb/UsbBus.h"
#include "verifier/Verifier.h"
#include "wmi/WmiService.h"

#ifndef CV_DRIVER_DIR
#define CV_DRIVER_DIR "."
#endif
#ifndef CV_VERSION
#define CV_VERSION "0.1.0"
#endif

namespace {

const char kUsage[] =
    "usage: corv [options] <command> [command options]\n"
    "\n"
    "Brings up the host machine with a simulated capture unit, loads the transport driver\n"
    "for it and does what the command asks.\n"
    "\n"
    "commands:\n"
    "  devices            list each unit: device name, DOS link, port name, USB identity,\n"
    "                     start-up or running mode, wake support\n"
    "  wmi [--set VALUE]  read each unit's WMI block (and first set its value)\n"
    "\n"
    "options:\n"
    "  --model A|B        the unit's model (default B)\n"
    "  --startup          plug the unit in before its operating program runs\n"
    "  --units N          plug N units (default 1, at most 128)\n"
    "  --registry FILE    load settings from a .reg file first\n"
    "  --seed N           seed of the simulated machine (default 1)\n"
    "  --real-time        run the machine in real time instead of simulated time\n"
    "  --driver-dir DIR   where the driver images are (default: next to this program)\n"
    "  --verbose          print the drivers' debug output\n"
    "  -h, --help         this help\n"
    "  --version          the program's version\n";

struct Options {
    hw::UnitModel model = hw::UnitModel::B;
    bool startup = false;
    int units = 1;
    std::string registryFile;
    uint64_t seed = 1;
    bool realTime = false;
    bool verbose = false;
    std::string driverDir;
    std::string command;
    std::optional<uint32_t> wmiSet;
};

[[noreturn]] void UsageError(const std::string& message)
{
    std::fprintf(stderr, "corv: %s\n(run 'corv --help' for the commands and options)\n",
                 message.c_str());
    std::exit(2);
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || text[0] == '-' || v > max)
        return false;
    *out = v;
    return true;
}

std::string DefaultDriverDir(const char* argv0)
{
    std::string self = argv0;
    char resolved[4096];
    if (realpath("/proc/self/exe", resolved) != nullptr)
        self = resolved;
    auto slash = self.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    std::string beside = dir + "/../../Cvusbdrv";
    if (realpath((beside + "/corvbc.so").c_str(), resolved) != nullptr)
        return beside;
    return CV_DRIVER_DIR;
}

Options Parse(int argc, char** argv)
{
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= args.size())
                UsageError(a + " needs " + what);
            return args[++i];
        };
        uint64_t n = 0;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("corv %s\n", CV_VERSION);
            std::exit(0);
        } else if (a == "--model") {
            std::string m = value("A or B");
            if (m == "A" || m == "a")
                o.model = hw::UnitModel::A;
            else if (m == "B" || m == "b")
                o.model = hw::UnitModel::B;
            else
                UsageError("unknown model '" + m + "' (A or B)");
        } else if (a == "--startup") {
            o.startup = true;
        } else if (a == "--units") {
            if (!ParseNumber(value("a count"), 128, &n) || n == 0)
                UsageError("--units takes a count from 1 to 128");
            o.units = static_cast<int>(n);
        } else if (a == "--registry") {
            o.registryFile = value("a .reg file");
        } else if (a == "--seed") {
            if (!ParseNumber(value("a number"), UINT64_MAX, &n))
                UsageError("--seed takes a non-negative number");
            o.seed = n;
        } else if (a == "--real-time") {
            o.realTime = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--driver-dir") {
            o.driverDir = value("a directory");
        } else if (a == "--set" && o.command == "wmi") {
            if (!ParseNumber(value("a value"), UINT32_MAX, &n))
                UsageError("--set takes a 32-bit value");
            o.wmiSet = static_cast<uint32_t>(n);
        } else if (!a.empty() && a[0] == '-') {
            UsageError("unknown option '" + a + "'");
        } else if (o.command.empty()) {
            if (a != "devices" && a != "wmi")
                UsageError("unknown command '" + a + "'");
            o.command = a;
        } else {
            UsageError("unexpected argument '" + a + "'");
        }
    }
    if (o.command.empty())
        UsageError("no command given");
    if (o.driverDir.empty())
        o.driverDir = DefaultDriverDir(argv[0]);
    return o;
}

std::string Hex4(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

std::string Utf8(const std::u16string& s) { return host::Utf16ToUtf8(s); }

// The functional device of a started unit: the device attached above its physical one.
PDEVICE_OBJECT FunctionDevice(host::Devnode* node)
{
    return node->state == host::DevnodeState::Started ? node->pdo->AttachedDevice : nullptr;
}

std::string LinkTo(host::Machine& m, const std::u16string& deviceName)
{
    for (auto& entry : m.Objects().Entries()) {
        if (entry.isLink && entry.target == deviceName)
            return Utf8(entry.name);
    }
    return "(none)";
}

int ListDevices(host::Machine& m, const Options& o)
{
    int listed = 0;
    for (host::Devnode* node : m.Pnp().Devnodes()) {
        PDEVICE_OBJECT fdo = FunctionDevice(node);
        if (fdo == nullptr) {
            std::printf("%s: not started (%s, status 0x%08X)\n", node->instancePath.c_str(),
                        host::DevnodeStateName(node->state),
                        static_cast<unsigned>(node->lastStatus));
            continue;
        }
        std::u16string name = host::IoManager::RecordOf(fdo)->name;
        std::string link = LinkTo(m, name);
        auto port = m.Registry().GetValue(node->driverKey, "Port Name");
        unsigned vid = 0, pid = 0;
        std::sscanf(node->hardwareId.c_str(), "USB\\VID_%4x&PID_%4x", &vid, &pid);
        bool running = pid == hw::RunningProductId(o.model);
        // The wake capability is bit 5 of the configuration's attributes, read through the
        // driver's own control code.
        std::string wake = "unknown";
        host::DeviceHandle handle;
        if (NT_SUCCESS(handle.Open(name))) {
            std::vector<uint8_t> config(512);
            ULONG_PTR got = 0;
            NTSTATUS s = handle.Control(IOCTL_CORV_READ_CONFIG, nullptr, 0, config.data(),
                                        static_cast<ULONG>(config.size()), &got);
            if (NT_SUCCESS(s) && got >= 9)
                wake = (config[7] & 0x20) ? "supported (remote wakeup)" : "not supported";
        }
        std::printf("%s\n", Utf8(name).c_str());
        std::printf("  DOS link:   %s\n", link.c_str());
        std::printf("  port name:  %s\n", port && port->AsString() ? Utf8(*port->AsString()).c_str() : "(none)");
        std::printf("  USB:        vendor %s product %s\n", Hex4(vid).c_str(), Hex4(pid).c_str());
        std::printf("  mode:       %s\n", running ? "running (operating program loaded)"
                                                  : "start-up (loader waiting for a program)");
        std::printf("  wake:       %s\n", wake.c_str());
        ++listed;
    }
    return listed > 0 ? 0 : 1;
}

int ShowWmi(host::Machine& m, const Options& o)
{
    const GUID block = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
    int shown = 0;
    for (host::Devnode* node : m.Pnp().Devnodes()) {
        PDEVICE_OBJECT fdo = FunctionDevice(node);
        if (fdo == nullptr)
            continue;
        std::string name = Utf8(host::IoManager::RecordOf(fdo)->name);
        if (o.wmiSet && shown == 0) {
            std::vector<uint8_t> data(4);
            std::memcpy(data.data(), &*o.wmiSet, 4);
            NTSTATUS s = m.Wmi().SetSingleItem(fdo, block, 0, 1, data);
            if (!NT_SUCCESS(s)) {
                std::fprintf(stderr, "corv: %s: setting the WMI value failed (0x%08X)\n",
                             name.c_str(), static_cast<unsigned>(s));
                return 1;
            }
        }
        auto result = m.Wmi().QuerySingleInstance(fdo, block, 0, 64);
        if (!NT_SUCCESS(result.status) || result.data.size() < 6) {
            std::fprintf(stderr, "corv: %s: WMI query failed (0x%08X)\n", name.c_str(),
                         static_cast<unsigned>(result.status));
            return 1;
        }
        uint32_t value;
        std::memcpy(&value, result.data.data(), 4);
        size_t bytes = result.data[4] | result.data[5] << 8;
        std::u16string model;
        for (size_t i = 0; i + 1 < bytes && 6 + i + 1 < result.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(result.data[6 + i] | result.data[7 + i] << 8);
            if (c == 0)
                break;
            model += c;
        }
        std::printf("%s\n  WMI block %s\n  value:      %u (0x%08X)\n  model name: %s\n",
                    name.c_str(), host::GuidText(block).c_str(), value, value,
                    Utf8(model).c_str());
        ++shown;
    }
    return shown > 0 ? 0 : 1;
}

// The settings file must exist, be readable and not be a directory (a pipe will do); what is
// wrong with it is told before the machine comes up. Returns the reason, or nothing.
std::optional<std::string> RegistryFileProblem(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return std::string("cannot open: ") + std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "is a directory, not a .reg file";
    if (access(path.c_str(), R_OK) != 0)
        return std::string("cannot open: ") + std::strerror(errno);
    return std::nullopt;
}

// Loads the settings file into the machine's registry; false (with the message printed) when
// it cannot be read or is not a valid .reg file.
bool ImportSettings(host::Machine& machine, const std::string& path)
{
    std::optional<host::RegError> error;
    try {
        error = host::ImportRegFile(machine.Registry(), path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corv: %s: cannot read: %s\n", path.c_str(), e.what());
        return false;
    }
    if (!error)
        return true;
    if (error->line > 0)
        std::fprintf(stderr, "corv: %s:%d: %s\n", path.c_str(), error->line,
                     error->message.c_str());
    else
        std::fprintf(stderr, "corv: %s: %s\n", path.c_str(), error->message.c_str());
    return false;
}

int Run(const Options& o)
{
    if (!o.registryFile.empty()) {
        if (auto problem = RegistryFileProblem(o.registryFile)) {
            std::fprintf(stderr, "corv: %s: %s\n", o.registryFile.c_str(), problem->c_str());
            return 1;
        }
    }
    host::MachineOptions mo;
    mo.mode = o.realTime ? host::TimeMode::Real : host::TimeMode::Simulated;
    mo.seed = o.seed;
    mo.echoDebugOutput = o.verbose;
    mo.ownerName = "corv";
    host::Machine machine(mo);
    bool a = o.model == hw::UnitModel::A;
    std::string service = a ? "CORVA" : "CORVB";
    std::string image = o.driverDir + (a ? "/corvac.so" : "/corvbc.so");
    char id[40];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", CV_VENDOR_ID, hw::RunningProductId(o.model));
    if (access(image.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "corv: driver image not found: %s (see --driver-dir)\n", image.c_str());
        return 1;
    }
    machine.Pnp().InstallPackage({id, service, image});
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", CV_VENDOR_ID, CV_PRODUCT_STARTUP);
    machine.Pnp().InstallPackage({id, service, image});
    if (!o.registryFile.empty() && !ImportSettings(machine, o.registryFile))
        return 1;
    for (int i = 0; i < o.units; ++i) {
        auto unit = std::make_shared<hw::CaptureUnit>(
            o.model, o.startup ? hw::UnitMode::StartUp : hw::UnitMode::Running);
        machine.Usb().Plug(unit);
    }
    machine.Pnp().WaitIdle();
    int rc = o.command == "devices" ? ListDevices(machine, o) : ShowWmi(machine, o);
    machine.Shutdown();
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    Options o = Parse(argc, argv);
    // The machine hands over what it found and nobody took (a bug check on any of its threads,
    // at its end too, and verifier reports) when it goes: each is printed and the run fails.
    bool machineFailed = false;
    host::Machine::SetFailureSink([&machineFailed](const std::string& failure) {
        std::fprintf(stderr, "corv: %s\n", failure.c_str());
        machineFailed = true;
    });
    int rc;
    try {
        rc = Run(o);
    } catch (const host::MachineCrash&) {
        rc = 3; // the report was printed when the machine went
    }
    return machineFailed ? 3 : rc;
}
