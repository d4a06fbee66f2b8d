// A capture unit on a fake bus port that records what the unit asks of the bus, with helpers
// that send the unit's vendor requests as the transport driver puts them on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureUnit.h"

namespace hw::test {

class FakeUsbPort final : public UsbPort {
public:
    struct Scheduled {
        int64_t delay;
        std::function<void()> work;
    };

    int64_t Now() const override { return now; }
    void Schedule(int64_t delay, std::function<void()> work) override
    {
        scheduled.push_back({delay, std::move(work)});
    }
    void DataReady(uint8_t endpointAddress) override { dataReady.push_back(endpointAddress); }
    void Reattach(int64_t delay) override { reattachDelays.push_back(delay); }

    // Runs the scheduled work in order, including work scheduled meanwhile.
    void RunScheduled()
    {
        for (size_t i = 0; i < scheduled.size(); ++i) {
            auto work = scheduled[i].work;
            work();
        }
        scheduled.clear();
    }

    int64_t now = 0;
    std::vector<Scheduled> scheduled;
    std::vector<uint8_t> dataReady;
    std::vector<int64_t> reattachDelays;
};

inline TransferResult VendorIn(CaptureUnit& unit, uint8_t request, uint16_t index,
                               std::vector<uint8_t>& buffer)
{
    SetupPacket setup{CV_VENDOR_REQUEST_TYPE_IN, request, 0, index,
                      static_cast<uint16_t>(buffer.size())};
    return unit.Control(setup, buffer.data());
}

inline TransferResult VendorOut(CaptureUnit& unit, uint8_t request, uint16_t index,
                                std::vector<uint8_t> data = {})
{
    SetupPacket setup{CV_VENDOR_REQUEST_TYPE_OUT, request, 0, index,
                      static_cast<uint16_t>(data.size())};
    return unit.Control(setup, data.data());
}

// The two status bytes as the host reads them.
inline std::vector<uint8_t> ReadStatusBytes(CaptureUnit& unit)
{
    std::vector<uint8_t> bytes(2);
    TransferResult result = VendorIn(unit, CV_VENDOR_BOOT_STATUS, 0, bytes);
    EXPECT_EQ(result.reply, UsbReply::Ack);
    bytes.resize(result.bytes);
    return bytes;
}

// A unit attached to a fake port and configured, as the transport driver leaves it after start.
struct UnitOnBus {
    explicit UnitOnBus(UnitModel model, UnitMode mode = UnitMode::StartUp,
                       CaptureUnitOptions options = {})
        : unit(model, mode, std::move(options))
    {
        unit.Attached(&port);
        EXPECT_TRUE(unit.SetConfiguration(1));
    }
    ~UnitOnBus() { unit.Detached(); }

    FakeUsbPort port;
    CaptureUnit unit;
};

inline std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 0)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

} // namespace hw::test
