#include "PnpManager.h"

#include <cstdio>
#include <sstream>

#include "../io/IoManager.h"
#include "../io/ObjectManager.h"
#include "../kernel/Pool.h"
#include "../registry/RegistryStore.h"
#include "../verifier/Verifier.h"
#include "Loader.h"

namespace host {

namespace {
const char* const kServicesRoot = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const char* const kEnumRoot = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
// The device setup class the capture units install under (media devices).
const char* const kClassRoot =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{4d36e96c-e325-11ce-bfc1-08002be10318}\\";

bool SameText(const std::string& a, const std::string& b)
{
    return RegNamesEqual(a, b);
}
} // namespace

const char* DevnodeStateName(DevnodeState state)
{
    switch (state) {
    case DevnodeState::Reported: return "reported";
    case DevnodeState::NoDriver: return "no driver";
    case DevnodeState::AddFailed: return "add failed";
    case DevnodeState::StartFailed: return "start failed";
    case DevnodeState::Started: return "started";
    case DevnodeState::Removed: return "removed";
    }
    return "?";
}

PnpManager::PnpManager(Machine& machine) : machine_(machine)
{
    KeInitializeEvent(&workReady_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&idle_, NotificationEvent, TRUE);
    machine_.Sched().NameObject(&workReady_, "its work-ready event (idle)");
    thread_ = machine_.Sched().CreateThread("PnP manager", [this] { Loop(); }, PASSIVE_LEVEL, true);
}

PnpManager::~PnpManager() = default;

void PnpManager::InstallPackage(const DriverPackage& package)
{
    std::lock_guard<std::mutex> lk(mutex_);
    packages_.push_back(package);
    // What the package's installation writes: the service key and its Parameters key.
    RegistryStore& reg = machine_.Registry();
    std::string service = std::string(kServicesRoot) + package.serviceName;
    reg.CreateKey(service + "\\Parameters");
    reg.SetValue(service, "ImagePath", RegValue::FromUtf8String(package.modulePath));
    reg.SetValue(service, "Type", RegValue::FromDword(1));
    reg.SetValue(service, "Start", RegValue::FromDword(3));
}

const DriverPackage* PnpManager::PackageFor(const std::string& hardwareId)
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& p : packages_) {
        if (SameText(p.hardwareId, hardwareId))
            return &p;
    }
    return nullptr;
}

void PnpManager::Queue(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> lk(mutex_);
        work_.push_back(std::move(work));
        busy_ = true;
    }
    KeClearEvent(&idle_);
    KeSetEvent(&workReady_, IO_NO_INCREMENT, FALSE);
}

void PnpManager::Loop()
{
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (!work_.empty()) {
                work = std::move(work_.front());
                work_.pop_front();
            } else {
                busy_ = false;
            }
        }
        if (!work) {
            KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&workReady_, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        work();
    }
}

void PnpManager::WaitIdle()
{
    for (;;) {
        KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
        std::lock_guard<std::mutex> lk(mutex_);
        if (!busy_ && work_.empty())
            return;
    }
}

void PnpManager::RunOnPnpThread(std::function<void()> work)
{
    if (Scheduler::Current() == thread_) {
        work();
        return;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Queue([&] {
        work();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

std::vector<Devnode*> PnpManager::Devnodes()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<Devnode*> out;
    for (auto& n : nodes_)
        out.push_back(n.get());
    return out;
}

Devnode* PnpManager::NodeOf(PDEVICE_OBJECT device)
{
    return static_cast<Devnode*>(IoManager::RecordOf(IoManager::BottomOf(device))->devnode);
}

Devnode* PnpManager::ReportDevice(PDEVICE_OBJECT pdo, const std::string& hardwareId,
                                  const std::string& instanceSuffix, std::function<void()> onRemoved)
{
    auto node = std::make_unique<Devnode>();
    node->pdo = pdo;
    node->hardwareId = hardwareId;
    node->instancePath = hardwareId + "\\" + instanceSuffix;
    node->hardwareKey = std::string(kEnumRoot) + node->instancePath + "\\Device Parameters";
    node->onRemoved = std::move(onRemoved);
    Devnode* raw = node.get();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        char index[8];
        std::snprintf(index, sizeof index, "%04u", nextDriverInstance_++);
        raw->driverKey = std::string(kClassRoot) + index;
        nodes_.push_back(std::move(node));
    }
    machine_.Registry().CreateKey(raw->hardwareKey);
    machine_.Registry().CreateKey(raw->driverKey);
    IoManager::RecordOf(pdo)->devnode = raw;
    Queue([this, raw] { Arrive(raw); });
    return raw;
}

PnpManager::LoadedDriverInfo* PnpManager::InfoOf(PDRIVER_OBJECT driver)
{
    for (auto& d : drivers_) {
        if (d->driver == driver)
            return d.get();
    }
    return nullptr;
}

PDRIVER_OBJECT PnpManager::LoadedDriver(const std::string& serviceName)
{
    for (auto& d : drivers_) {
        if (SameText(d->serviceName, serviceName))
            return d->driver;
    }
    return nullptr;
}

NTSTATUS PnpManager::LoadDriver(const std::string& serviceName, PDRIVER_OBJECT* out)
{
    if (PDRIVER_OBJECT existing = LoadedDriver(serviceName)) {
        *out = existing;
        return STATUS_SUCCESS;
    }
    const DriverPackage* package = nullptr;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        for (auto& p : packages_) {
            if (SameText(p.serviceName, serviceName))
                package = &p;
        }
    }
    if (package == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::string error;
    LoadedModule* module = machine_.Modules().Load(package->modulePath, &error);
    if (module == nullptr) {
        machine_.AppendDebugLog("PnP: cannot load " + package->modulePath + ": " + error + "\n");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string serviceKey = Widen(std::string(kServicesRoot) + package->serviceName);
    PDRIVER_OBJECT driver =
        machine_.Io().CreateDriver(u"\\Driver\\" + Widen(module->name), serviceKey, module);
    auto info = std::make_unique<LoadedDriverInfo>();
    info->serviceName = package->serviceName;
    info->driver = driver;
    info->module = module;
    UNICODE_STRING path;
    path.Buffer = driver->DriverExtension->ServiceKeyName.Buffer;
    path.Length = driver->DriverExtension->ServiceKeyName.Length;
    path.MaximumLength = path.Length;
    NTSTATUS status = module->entry(driver, &path);
    if (!NT_SUCCESS(status)) {
        machine_.Io().DeleteDriver(driver);
        machine_.Modules().Unload(module);
        return status;
    }
    for (auto& block : machine_.PoolManager().Outstanding(module))
        info->baseline.insert(block.sequence);
    drivers_.push_back(std::move(info));
    *out = driver;
    return STATUS_SUCCESS;
}

void PnpManager::Arrive(Devnode* node)
{
    const DriverPackage* package = PackageFor(node->hardwareId);
    if (package == nullptr) {
        node->state = DevnodeState::NoDriver;
        return;
    }
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoadDriver(package->serviceName, &driver);
    if (!NT_SUCCESS(status)) {
        node->state = DevnodeState::NoDriver;
        node->lastStatus = status;
        return;
    }
    node->functionDriver = driver;
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    status = addDevice != nullptr ? addDevice(driver, node->pdo) : STATUS_NOT_IMPLEMENTED;
    node->lastStatus = status;
    if (!NT_SUCCESS(status)) {
        node->state = DevnodeState::AddFailed;
        // What the driver did not undo stays; a driver left without devices is unloaded.
        if (LoadedDriverInfo* info = InfoOf(driver)) {
            if (driver->DeviceObject == nullptr)
                Unload(*info);
        }
        return;
    }
    StartStack(node);
}

void PnpManager::StartStack(Devnode* node)
{
    NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {});
    node->lastStatus = status;
    if (!NT_SUCCESS(status)) {
        node->state = DevnodeState::StartFailed;
        RemoveStack(node);
        return;
    }
    node->state = DevnodeState::Started;
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    status = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(status))
        node->capabilities = caps;
}

NTSTATUS PnpManager::SendPnp(Devnode* node, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)>& fill)
{
    return machine_.Io().SendAndWait(node->pdo, [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = minor;
        fill(s);
    }, nullptr);
}

bool PnpManager::FilesOpenOn(Devnode* node)
{
    for (PDEVICE_OBJECT d = node->pdo; d != nullptr; d = d->AttachedDevice) {
        if (machine_.Objects().References(d) > 1)
            return true;
    }
    return false;
}

void PnpManager::ReportGone(Devnode* node)
{
    Queue([this, node] {
        node->present = false;
        if (node->stackRemoved) {
            // Removed in order earlier: the bus may now let go of its device object.
            if (node->onRemoved)
                node->onRemoved();
            return;
        }
        if (node->state != DevnodeState::Started) {
            RemoveStack(node);
            return;
        }
        SendPnp(node, IRP_MN_SURPRISE_REMOVAL, [](PIO_STACK_LOCATION) {});
        node->surpriseSent = true;
        if (FilesOpenOn(node))
            node->removePending = true;
        else
            RemoveStack(node);
    });
}

void PnpManager::RequestRemoval(Devnode* node)
{
    Queue([this, node] {
        if (node->state == DevnodeState::Started) {
            NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
            if (!NT_SUCCESS(status)) {
                SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
                return;
            }
        }
        RemoveStack(node);
    });
}

void PnpManager::FileClosed(PDEVICE_OBJECT device)
{
    Devnode* node = NodeOf(device);
    if (node == nullptr || !node->removePending)
        return;
    Queue([this, node] {
        if (node->removePending && !FilesOpenOn(node)) {
            node->removePending = false;
            RemoveStack(node);
        }
    });
}

void PnpManager::RemoveStack(Devnode* node)
{
    if (node->stackRemoved)
        return;
    node->stackRemoved = true;
    PDRIVER_OBJECT driver = node->functionDriver;
    SendPnp(node, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
    if (node->state != DevnodeState::StartFailed)
        node->state = DevnodeState::Removed;
    if (driver != nullptr) {
        if (LoadedDriverInfo* info = InfoOf(driver)) {
            if (driver->DeviceObject == nullptr) {
                CheckLastDeviceGone(*info);
                Unload(*info);
            }
        }
    }
    if (node->onRemoved)
        node->onRemoved();
}

void PnpManager::CheckLastDeviceGone(LoadedDriverInfo& info)
{
    std::vector<PoolBlock> leaked;
    for (auto& block : machine_.PoolManager().Outstanding(info.module)) {
        if (info.baseline.count(block.sequence) == 0)
            leaked.push_back(block);
    }
    if (!leaked.empty()) {
        machine_.Verify().Report("pool still held by " + info.module->name +
                                 " after its last device was removed:\n" + Pool::Describe(leaked));
    }
}

void PnpManager::Unload(LoadedDriverInfo& info)
{
    PDRIVER_OBJECT driver = info.driver;
    LoadedModule* module = info.module;
    if (driver->DeviceObject != nullptr)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNLOAD_WITH_DEVICES,
                 reinterpret_cast<uintptr_t>(driver), 0, 0,
                 module->name + " unloaded with device objects left");
    if (driver->DriverUnload != nullptr)
        driver->DriverUnload(driver);
    auto leaked = machine_.PoolManager().Outstanding(module);
    if (!leaked.empty())
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_POOL_LEAK_AT_UNLOAD,
                 reinterpret_cast<uintptr_t>(driver), leaked.size(), 0,
                 module->name + " unloaded without freeing its pool:\n" + Pool::Describe(leaked));
    // A timer or DPC still queued whose routine or memory is in the image would run or be
    // written after the image is gone.
    std::string what;
    bool pending;
    {
        std::lock_guard<std::mutex> lk(machine_.Sched().Lock());
        pending = machine_.Sched().RoutineIn(module->start, module->end, &what);
        if (!pending && machine_.Sched().TimerOrDpcIn(module->start, module->end, &what)) {
            pending = true;
            what += " in the image's own memory";
        }
    }
    if (pending)
        BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                 reinterpret_cast<uintptr_t>(driver), 0, 0, 0,
                 module->name + " unloaded leaving " + what);
    // A DPC of the image that the DPC context is still running finishes before the image goes.
    KeFlushQueuedDpcs();
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
        if (it->get() == &info) {
            drivers_.erase(it);
            break;
        }
    }
    // Device objects still referenced, work items and system threads of the driver keep the
    // image (and its driver object) until they are done.
    machine_.Modules().Unload(module, [this, driver] { machine_.Io().DeleteDriver(driver); });
}

void PnpManager::UnloadIfUnused(PDRIVER_OBJECT driver)
{
    RunOnPnpThread([&] {
        if (LoadedDriverInfo* info = InfoOf(driver)) {
            if (driver->DeviceObject == nullptr)
                Unload(*info);
        }
    });
}

void PnpManager::UnloadAll()
{
    RunOnPnpThread([&] {
        while (!drivers_.empty()) {
            LoadedDriverInfo& info = *drivers_.back();
            Unload(info);
        }
    });
}

POWER_STATE PnpManager::SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type,
                                      POWER_STATE state)
{
    POWER_STATE old{};
    Devnode* node = NodeOf(device);
    if (node != nullptr && type == DevicePowerState) {
        old.DeviceState = node->devicePower;
        node->devicePower = state.DeviceState;
    }
    return old;
}

NTSTATUS PnpManager::RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                     PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* out)
{
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoManager::TopOf(device);
    PIRP irp = machine_.Io().BuildHostRequest(top, [device, minor, state, completion,
                                                     context](PIRP done) {
        if (completion != nullptr) {
            IO_STATUS_BLOCK iosb = done->IoStatus;
            completion(device, minor, state, context, &iosb);
        }
    });
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        s->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State = state;
    }
    if (out != nullptr)
        *out = irp;
    machine_.Io().CallDriver(top, irp);
    return STATUS_PENDING;
}

} // namespace host
