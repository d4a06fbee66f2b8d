// A machine with the transport driver installed and simulated units to plug into it: the
// fixture every transport test builds on. It ends each test by letting the machine go: its
// orderly end runs, and any bug check or verifier report the test did not take fails the test
// (see host::Machine).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CaptureUnit.h"
#include "Seeds.h"
#include "host/Client.h"
#include "host/Machine.h"
#include "io/IoManager.h"
#include "io/ObjectManager.h"
#include "pnp/PnpManager.h"
#include "registry/RegistryStore.h"
#include "usb/UsbBus.h"
#include "verifier/Verifier.h"

namespace rig {

inline const char* ParametersKey(hw::UnitModel model)
{
    return model == hw::UnitModel::A
               ? "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVA\\Parameters"
               : "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters";
}

inline std::string HardwareId(uint16_t product)
{
    char id[40];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", CV_VENDOR_ID, product);
    return id;
}

// Installs the transport driver of a model for its running and start-up identities.
inline void InstallTransport(host::Machine& machine, hw::UnitModel model)
{
    bool a = model == hw::UnitModel::A;
    std::string service = a ? "CORVA" : "CORVB";
    std::string image = a ? CV_CORVAC_PATH : CV_CORVBC_PATH;
    machine.Pnp().InstallPackage({HardwareId(hw::RunningProductId(model)), service, image});
    machine.Pnp().InstallPackage({HardwareId(CV_PRODUCT_STARTUP), service, image});
}

class UnitRig : public ::testing::Test {
protected:
    void SetUp() override { Boot(host::MachineOptions{}); }

    void Boot(host::MachineOptions options)
    {
        // The machine seed comes from CV_SEED unless the test chose one; failures name it.
        if (options.seed == host::MachineOptions{}.seed)
            options.seed = MachineSeed();
        if (seedTrace_ == nullptr)
            seedTrace_ = std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__,
                                                                  SeedTrace(options.seed));
        machine_ = std::make_unique<host::Machine>(options);
        InstallTransport(*machine_, model_);
    }

    void TearDown() override { machine_.reset(); }

    host::Machine& M() { return *machine_; }

    // Plugs a unit in and lets PnP finish with it; returns the port.
    int Plug(hw::UnitMode mode = hw::UnitMode::Running, hw::CaptureUnitOptions options = {})
    {
        auto unit = std::make_shared<hw::CaptureUnit>(model_, mode, options);
        int port = machine_->Usb().Plug(unit);
        machine_->Pnp().WaitIdle();
        return port;
    }

    void Unplug(int port)
    {
        machine_->Usb().Unplug(port);
        machine_->Pnp().WaitIdle();
    }

    std::u16string Prefix() const { return model_ == hw::UnitModel::A ? u"CvA" : u"CvB"; }

    // The functional device object named \Device\CvB<n> (or CvA), or null.
    PDEVICE_OBJECT Unit(int n)
    {
        NTSTATUS status;
        return machine_->Objects().Resolve(u"\\Device\\" + Prefix() + Widen(n), &status);
    }

    host::Devnode* NodeOfPort(int port) { return machine_->Usb().Port(port)->node; }

    std::optional<std::u16string> PortName(const std::string& key)
    {
        auto value = machine_->Registry().GetValue(key, "Port Name");
        if (!value)
            return std::nullopt;
        return value->AsString();
    }

    void SetParameter(const std::string& name, uint32_t value)
    {
        machine_->Registry().SetValue(ParametersKey(model_), name, host::RegValue::FromDword(value));
    }

    static std::u16string Widen(int n)
    {
        std::u16string s;
        for (char c : std::to_string(n))
            s += static_cast<char16_t>(c);
        return s;
    }

    hw::UnitModel model_ = CV_TEST_MODEL;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<::testing::ScopedTrace> seedTrace_;
};

} // namespace rig
