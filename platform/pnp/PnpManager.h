// The Plug and Play manager: device nodes reported by bus drivers, driver packages matched by
// hardware identifier, driver loading and unloading, AddDevice, the start sequence (start,
// then capabilities), and removal (surprise removal and remove when a device leaves its bus,
// query remove and remove when it is taken out in order). All of it runs on one PnP thread,
// one request at a time, as the platform does.
#pragma once

#include <wdm.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../host/Machine.h"

namespace host {

enum class DevnodeState { Reported, NoDriver, AddFailed, StartFailed, Started, Removed };

const char* DevnodeStateName(DevnodeState state);

struct Devnode {
    std::string hardwareId;   // "USB\VID_04F1&PID_0009"
    std::string instancePath; // "USB\VID_04F1&PID_0009\5&1f2e3d&0&1"
    std::string hardwareKey;  // ...\Enum\<instance>\Device Parameters
    std::string driverKey;    // ...\Control\Class\{GUID}\NNNN
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT functionDriver = nullptr;
    DevnodeState state = DevnodeState::Reported;
    NTSTATUS lastStatus = STATUS_SUCCESS; // of AddDevice or start
    DEVICE_CAPABILITIES capabilities{};
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    bool present = true;       // still on its bus
    bool surpriseSent = false; // surprise removal already sent
    bool removePending = false;
    bool stackRemoved = false; // the remove request went down the stack
    // Told by the PnP manager when the stack is gone, so the bus can let go of the PDO.
    std::function<void()> onRemoved;
};

class PnpManager {
public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();

    void InstallPackage(const DriverPackage& package);
    // A bus reports a new child. Processing happens on the PnP thread.
    Devnode* ReportDevice(PDEVICE_OBJECT pdo, const std::string& hardwareId,
                          const std::string& instanceSuffix, std::function<void()> onRemoved);
    // A bus reports that a child left (surprise removal, then remove once no file is open).
    void ReportGone(Devnode* node);
    // An orderly removal: query remove, then remove.
    void RequestRemoval(Devnode* node);
    // Sends a PnP request to the top of a device node's stack and waits (any platform thread).
    NTSTATUS SendPnp(Devnode* node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill);
    // Runs `work` on the PnP thread and waits for it.
    void RunOnPnpThread(std::function<void()> work);
    // Waits until the PnP thread has nothing left to do.
    void WaitIdle();

    std::vector<Devnode*> Devnodes();
    Devnode* NodeOf(PDEVICE_OBJECT device);

    // Loads a driver by service name outside a device arrival (a driver without hardware).
    NTSTATUS LoadDriver(const std::string& serviceName, PDRIVER_OBJECT* driver);
    PDRIVER_OBJECT LoadedDriver(const std::string& serviceName);
    void UnloadIfUnused(PDRIVER_OBJECT driver);
    void UnloadAll();

    // A file object on a device of this stack was closed (a pending remove may now go).
    void FileClosed(PDEVICE_OBJECT device);

    POWER_STATE SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                             PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp);

private:
    struct LoadedDriverInfo {
        std::string serviceName;
        PDRIVER_OBJECT driver = nullptr;
        LoadedModule* module = nullptr;
        std::set<uint64_t> baseline; // pool blocks held when DriverEntry returned
    };
    void Queue(std::function<void()> work);
    void Loop();
    void Arrive(Devnode* node);
    void StartStack(Devnode* node);
    void RemoveStack(Devnode* node);
    void Unload(LoadedDriverInfo& info);
    void CheckLastDeviceGone(LoadedDriverInfo& info);
    LoadedDriverInfo* InfoOf(PDRIVER_OBJECT driver);
    bool FilesOpenOn(Devnode* node);
    const DriverPackage* PackageFor(const std::string& hardwareId);

    Machine& machine_;
    std::mutex mutex_;
    std::vector<DriverPackage> packages_;
    std::vector<std::unique_ptr<Devnode>> nodes_;
    std::vector<std::unique_ptr<LoadedDriverInfo>> drivers_;
    std::deque<std::function<void()>> work_;
    KEVENT workReady_;
    KEVENT idle_;
    bool busy_ = false;
    PKTHREAD thread_ = nullptr;
    unsigned nextDriverInstance_ = 0;
    unsigned nextInstance_ = 1;
};

} // namespace host
