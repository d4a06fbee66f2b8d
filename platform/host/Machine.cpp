#include "Machine.h"

#include <cstdio>
#include <sstream>

#include "../io/IoManager.h"
#include "../io/ObjectManager.h"
#include "../kernel/Pool.h"
#include "../kernel/WorkQueue.h"
#include "../pnp/Loader.h"
#include "../pnp/PnpManager.h"
#include "../registry/RegistryStore.h"
#include "../usb/UsbBus.h"
#include "../verifier/Verifier.h"
#include "../wmi/WmiService.h"

namespace host {

namespace {
Machine* g_machine = nullptr;
Machine::FailureSink g_failureSink;

const char* ObjectTypeName(UCHAR type)
{
    switch (type) {
    case 0: return "notification event";
    case 1: return "synchronization event";
    case 2: return "mutex";
    case 5: return "semaphore";
    case 6: return "thread";
    case 8: return "notification timer";
    case 9: return "synchronization timer";
    default: return "object";
    }
}
} // namespace

Machine& M()
{
    if (g_machine == nullptr) {
        std::fprintf(stderr, "host platform: a platform routine was called with no machine\n");
        std::abort();
    }
    return *g_machine;
}

Machine* Machine::Current() { return g_machine; }

Machine::Machine(MachineOptions options) : options_(std::move(options))
{
    if (g_machine != nullptr) {
        std::fprintf(stderr, "host platform: only one machine may exist at a time\n");
        std::abort();
    }
    g_machine = this;
    scheduler_ = std::make_unique<Scheduler>(options_.mode, options_.seed,
                                             options_.preemptProbability);
    scheduler_->SetHangLimit(options_.hangAfter);
    scheduler_->AdoptOwner(options_.ownerName);
    verifier_ = std::make_unique<Verifier>();
    pool_ = std::make_unique<Pool>(*this);
    loader_ = std::make_unique<Loader>();
    registry_ = std::make_unique<RegistryStore>();
    objects_ = std::make_unique<ObjectManager>();
    io_ = std::make_unique<IoManager>(*this);
    work_ = std::make_unique<WorkQueues>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
    usb_ = std::make_unique<UsbBus>(*this);
    wmi_ = std::make_unique<WmiService>(*this);
    registry_->CreateKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services");
    registry_->CreateKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum");
    registry_->CreateKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class");
    scheduler_->SetObjectNamer([this](const void* object) {
        std::string name = scheduler_->NameOf(object);
        if (!name.empty())
            return name;
        std::ostringstream os;
        os << ObjectTypeName(static_cast<const DISPATCHER_HEADER*>(object)->Type);
        std::string where;
        if (pool_->Describe(object, &where))
            os << " in " << where;
        else
            os << " at " << object;
        return os.str();
    });
}

Machine::~Machine()
{
    if (!shutDown_ && !scheduler_->Crashed()) {
        try {
            Shutdown();
        } catch (const MachineCrash&) {
            // Reported below with everything else nobody took.
        }
    }
    // Every thread ends here; a crash one of them raised up to its end is still reported.
    scheduler_->Shutdown();
    for (const std::string& failure : UntakenFailures()) {
        if (g_failureSink) {
            g_failureSink(failure);
        } else {
            std::fprintf(stderr, "host platform: %s\n", failure.c_str());
            std::abort();
        }
    }
    wmi_.reset();
    usb_.reset();
    pnp_.reset();
    work_.reset();
    io_.reset();
    objects_.reset();
    loader_.reset();
    pool_.reset();
    registry_.reset();
    verifier_.reset();
    scheduler_.reset();
    g_machine = nullptr;
}

void Machine::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    // What was queued before the end runs first (a DPC, a work item, a new thread).
    scheduler_->Settle();
    for (int port : usb_->Ports())
        usb_->Unplug(port);
    pnp_->WaitIdle();
    pnp_->UnloadAll();
    io_->CheckFreedRequests();
    for (auto& text : io_->OutstandingRequests())
        verifier_->Report("at shutdown: " + text);
    if (size_t n = io_->LiveMdls())
        verifier_->Report("at shutdown: " + std::to_string(n) + " MDL(s) never freed");
    for (PDEVICE_OBJECT d : wmi_->Providers())
        verifier_->Report("at shutdown: a device is still registered with WMI (" +
                          std::to_string(reinterpret_cast<uintptr_t>(d)) + ")");
    CheckWhatShutdownLeft(*this);
}

void Machine::ExpectCrash(uint32_t code) { expectedCrash_ = code; }

std::optional<BugCheckInfo> Machine::TakeCrash() { return scheduler_->TakeCrash(); }

std::vector<std::string> Machine::TakeReports()
{
    std::vector<std::string> reports = verifier_->Reports();
    verifier_->ClearReports();
    return reports;
}

void Machine::SetFailureSink(FailureSink sink) { g_failureSink = std::move(sink); }

std::vector<std::string> Machine::UntakenFailures()
{
    std::vector<std::string> failures;
    std::optional<BugCheckInfo> crash = scheduler_->UntakenCrash();
    if (expectedCrash_) {
        char expected[96];
        std::snprintf(expected, sizeof expected, "0x%08X %s", *expectedCrash_,
                      BugCheckName(*expectedCrash_));
        if (!scheduler_->Crashed())
            failures.push_back(std::string("the expected bug check ") + expected +
                               " did not happen");
        else if (crash && crash->code != *expectedCrash_)
            failures.push_back(std::string("the machine stopped, expecting ") + expected +
                               " but:\n" + Describe(*crash));
        crash.reset();
    }
    if (crash)
        failures.push_back("the machine stopped:\n" + Describe(*crash));
    for (const std::string& report : verifier_->Reports())
        failures.push_back("verifier: " + report);
    return failures;
}

std::vector<std::string> Machine::DebugLog()
{
    std::lock_guard<std::mutex> lk(logMutex_);
    return debugLog_;
}

void Machine::AppendDebugLog(const std::string& line)
{
    std::lock_guard<std::mutex> lk(logMutex_);
    debugLog_.push_back(line);
    // Each print is shown as a line of its own, ended by a line end even when the driver's
    // text carries none, so the next one does not run into it.
    if (options_.echoDebugOutput)
        std::fprintf(stderr, "%s%s", line.c_str(),
                     !line.empty() && line.back() == '\n' ? "" : "\n");
}

void Machine::Sleep(int64_t hundredNanoseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -hundredNanoseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

int64_t Machine::Now() { return scheduler_->Now(); }

void Machine::SetWdmVersion(UCHAR major, UCHAR minor)
{
    options_.wdmMajor = major;
    options_.wdmMinor = minor;
}

const char* BugCheckName(uint32_t code)
{
    switch (code) {
    case IRQL_NOT_GREATER_OR_EQUAL: return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED: return "SPIN_LOCK_NOT_OWNED";
    case THREAD_NOT_MUTEX_OWNER: return "THREAD_NOT_MUTEX_OWNER";
    case BAD_POOL_HEADER: return "BAD_POOL_HEADER";
    case NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case MULTIPLE_IRP_COMPLETE_REQUESTS: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case SYSTEM_THREAD_EXCEPTION_NOT_HANDLED: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case TIMER_OR_DPC_INVALID: return "TIMER_OR_DPC_INVALID";
    case IRQL_UNEXPECTED_VALUE: return "IRQL_UNEXPECTED_VALUE";
    case DRIVER_VERIFIER_IOMANAGER_VIOLATION: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
        return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case SIMULATION_DEADLOCK: return "SIMULATION_DEADLOCK";
    case SIMULATION_HANG: return "SIMULATION_HANG";
    default: return "BUGCHECK";
    }
}

std::string Describe(const BugCheckInfo& info)
{
    char head[160];
    std::snprintf(head, sizeof head, "*** STOP 0x%08X (0x%zX, 0x%zX, 0x%zX, 0x%zX) %s", info.code,
                  static_cast<size_t>(info.parameters[0]), static_cast<size_t>(info.parameters[1]),
                  static_cast<size_t>(info.parameters[2]), static_cast<size_t>(info.parameters[3]),
                  BugCheckName(info.code));
    std::string text = head;
    text += "\n    on thread ";
    if (info.threadId != 0)
        text += "#" + std::to_string(info.threadId) + " ";
    text += "\"" + info.thread + "\"";
    if (!info.startRoutine.empty())
        text += " started at " + info.startRoutine;
    if (!info.routine.empty())
        text += ", running " + info.routine;
    if (!info.detail.empty())
        text += ": " + info.detail;
    return text;
}

} // namespace host
