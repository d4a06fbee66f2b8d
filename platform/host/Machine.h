// The host machine: one object owns everything a test or corv needs (scheduler and clock,
// pool, object namespace, registry, device tree, USB bus, loaded drivers). Each test builds a
// fresh machine on its own thread, which becomes the machine's owner thread, and tears it
// down; nothing leaks between machines. One machine exists at a time in a process.
//
// Nothing a machine finds is lost: a bug check on any of its threads, a bug check or verifier
// report during its orderly end, and verifier reports still there when it goes are failures,
// handed to the failure sink when the machine goes (the test support turns them into test
// failures, corv into exit status 3). A test that provokes a bug check on purpose says so:
// ExpectCrash(code) before, or TakeCrash() after, and checks the code; TakeReports() does the
// same for verifier reports.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../kernel/Scheduler.h"
#include "BugCheck.h"

namespace hw {
class UsbDeviceModel;
}

namespace host {

class RegistryStore;
class Pool;
class Verifier;
class Loader;
class ObjectManager;
class IoManager;
class PnpManager;
class UsbBus;
class WmiService;
class WorkQueues;
struct LoadedModule;

struct MachineOptions {
    TimeMode mode = TimeMode::Simulated;
    uint64_t seed = 1;
    // Chance that a preemption point hands the baton to another ready thread.
    double preemptProbability = 0.05;
    // The WDM version IoIsWdmVersionAvailable reports (1.0x20: the newest the drivers know).
    UCHAR wdmMajor = 1;
    UCHAR wdmMinor = 0x20;
    // Print debug output to standard error as well as keeping it in the log.
    bool echoDebugOutput = false;
    // Name of the owner thread in reports.
    std::string ownerName = "owner";
    // Simulated time: a run in which no thread but the DPC context runs for this long
    // (100-ns units) while every thread waits without a time-out is reported as hung
    // (SIMULATION_HANG). Zero turns the check off.
    int64_t hangAfter = 10LL * 60 * 10000000;
};

// What the function driver for a hardware identifier is, as a driver package would say.
struct DriverPackage {
    std::string hardwareId;  // e.g. "USB\VID_04F1&PID_0009"
    std::string serviceName; // e.g. "CORVB": the service key under ...\Services
    std::string modulePath;  // the driver image (a loadable module)
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine* Current();

    const MachineOptions& Options() const { return options_; }
    Scheduler& Sched() { return *scheduler_; }
    Pool& PoolManager() { return *pool_; }
    Verifier& Verify() { return *verifier_; }
    Loader& Modules() { return *loader_; }
    ObjectManager& Objects() { return *objects_; }
    IoManager& Io() { return *io_; }
    RegistryStore& Registry() { return *registry_; }
    PnpManager& Pnp() { return *pnp_; }
    UsbBus& Usb() { return *usb_; }
    WmiService& Wmi() { return *wmi_; }
    WorkQueues& Work() { return *work_; }

    // Debug output (DbgPrint) of every driver, in order.
    std::vector<std::string> DebugLog();
    void AppendDebugLog(const std::string& line);

    // Owner-thread conveniences.
    void Sleep(int64_t hundredNanoseconds); // lets the machine run for that long
    int64_t Now();                          // interrupt time, 100-ns units

    // Orderly end: every device leaves, every driver unloads, and the verifier's end checks
    // run (outstanding pool, requests, references). Throws MachineCrash for a bug check.
    void Shutdown();
    bool IsShutDown() const { return shutDown_; }

    // The test expects this bug check: when the machine goes, a crash with this code is taken,
    // and its absence or another code is a failure.
    void ExpectCrash(uint32_t code);
    // Takes the machine's crash over (the caller checks it): it is no failure then. Empty when
    // the machine has not crashed.
    std::optional<BugCheckInfo> TakeCrash();
    // Takes the verifier's reports over: they are no failure then.
    std::vector<std::string> TakeReports();

    // Where the machine's failures go when it goes: one call per failure, with its report.
    // Without a sink they are printed to standard error and the process aborts.
    using FailureSink = std::function<void(const std::string& failure)>;
    static void SetFailureSink(FailureSink sink);

    UCHAR WdmMajor() const { return options_.wdmMajor; }
    UCHAR WdmMinor() const { return options_.wdmMinor; }
    void SetWdmVersion(UCHAR major, UCHAR minor);

private:
    MachineOptions options_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<Loader> loader_;
    std::unique_ptr<RegistryStore> registry_;
    std::unique_ptr<ObjectManager> objects_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<WorkQueues> work_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<UsbBus> usb_;
    std::unique_ptr<WmiService> wmi_;
    std::mutex logMutex_;
    std::vector<std::string> debugLog_;
    bool shutDown_ = false;
    std::optional<uint32_t> expectedCrash_;

    // The failures nobody took, for the sink.
    std::vector<std::string> UntakenFailures();
};

// The machine of the calling code; a platform routine called without one is a host bug.
Machine& M();

// A bug check raised by the platform itself (the verifier), with words for the report.
[[noreturn]] void BugCheck(uint32_t code, uintptr_t p1, uintptr_t p2, uintptr_t p3, uintptr_t p4,
                           const std::string& detail);

} // namespace host
