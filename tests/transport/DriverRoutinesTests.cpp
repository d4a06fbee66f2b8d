// The transport driver's shared routines, called directly on a zeroed unit record.
#include <gtest/gtest.h>

#include "Cvusbdrv.h"
#include "host/Machine.h"

namespace {

class DriverRoutines : public ::testing::Test {
protected:
    void SetUp() override
    {
        unit_ = static_cast<UnitExtension*>(calloc(1, sizeof(UnitExtension)));
        KeInitializeEvent(&unit_->ioDrainedEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&unit_->ioSettledEvent, SynchronizationEvent, TRUE);
        KeInitializeSpinLock(&unit_->ioCountLock);
        unit_->ioCount = 1;
    }
    void TearDown() override
    {
        free(unit_);
        machine_.Shutdown();
    }
    host::Machine machine_;
    UnitExtension* unit_ = nullptr;
};

TEST_F(DriverRoutines, IoCountMovesItsTwoEvents)
{
    EXPECT_EQ(2, IoCountUp(unit_));
    EXPECT_EQ(0, KeReadStateEvent(&unit_->ioSettledEvent)) << "1 to 2 clears settled";
    EXPECT_EQ(3, IoCountUp(unit_));
    EXPECT_EQ(2, IoCountDown(unit_));
    EXPECT_EQ(0, KeReadStateEvent(&unit_->ioSettledEvent));
    EXPECT_EQ(1, IoCountDown(unit_));
    EXPECT_EQ(1, KeReadStateEvent(&unit_->ioSettledEvent)) << "2 to 1 sets settled";
    EXPECT_EQ(0, KeReadStateEvent(&unit_->ioDrainedEvent));
    EXPECT_EQ(0, IoCountDown(unit_));
    EXPECT_EQ(1, KeReadStateEvent(&unit_->ioDrainedEvent)) << "1 to 0 sets drained";
}

TEST_F(DriverRoutines, IoCountAtDispatchLevelTakesNoLock)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(2, IoCountUp(unit_));
    EXPECT_EQ(1, IoCountDown(unit_));
    KeLowerIrql(old);
    EXPECT_EQ(1, KeReadStateEvent(&unit_->ioSettledEvent));
}

TEST_F(DriverRoutines, CanIdleOnlyWithNoHandleAndTheBaseReference)
{
    EXPECT_TRUE(CanIdle(unit_));
    unit_->openCount = 1;
    EXPECT_FALSE(CanIdle(unit_));
    unit_->openCount = 0;
    IoCountUp(unit_);
    EXPECT_FALSE(CanIdle(unit_));
    IoCountDown(unit_);
}

struct WaitCase {
    UCHAR standard;
    UCHAR videoMode;
    UCHAR frameRateCode; // model B
    USHORT frameRate;    // model A, thousandths of a frame per second
    LONG expected;
};

TEST_F(DriverRoutines, UnitWaitFollowsStandardModeAndRate)
{
#if defined(CV_MODEL_B)
    const WaitCase cases[] = {
        {0, 0, 0, 0, -330000}, {1, 0, 2, 0, -400000}, {0, 1, 0, 0, -330000},
        {0, 1, 1, 0, -495000}, {1, 1, 1, 0, -600000}, {0, 1, 2, 0, -660000},
        {1, 1, 2, 0, -800000}, {3, 1, 3, 0, -400000}, {2, 0, 0, 0, -330000},
    };
#else
    const WaitCase cases[] = {
        {0, 0, 0, 14985, -330000}, {1, 0, 0, 14985, -400000}, {0, 1, 0, 14985, -660000},
        {1, 1, 0, 29970, -330000}, {1, 1, 0, 0, -400000},     {0, 1, 0, 499, -330000},
        {0, 1, 0, 500, -10000000},
    };
#endif
    for (const WaitCase& c : cases) {
        unit_->stream.videoStandard = c.standard;
        unit_->stream.videoMode = c.videoMode;
#if defined(CV_MODEL_B)
        unit_->stream.frameRateCode = c.frameRateCode;
#else
        auto* bytes = reinterpret_cast<UCHAR*>(&unit_->stream.frameRate);
        bytes[0] = static_cast<UCHAR>(c.frameRate >> 8);
        bytes[1] = static_cast<UCHAR>(c.frameRate);
#endif
        UnitWaitFromSettings(unit_);
        EXPECT_EQ(c.expected, unit_->stream.unitWait)
            << "standard " << int(c.standard) << " mode " << int(c.videoMode) << " rate "
            << int(c.frameRateCode) << "/" << c.frameRate;
    }
}

} // namespace
