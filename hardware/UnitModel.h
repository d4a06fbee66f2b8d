// The two product variants of the unit and the two modes it can be in.
#pragma once

#include <cstdint>

#include "CvProtocol.h"

namespace hw {

// The value of each model is its byte in an operating-program image.
enum class UnitModel : uint8_t {
    A = 'A',
    B = 'B',
};

enum class UnitMode : uint8_t {
    StartUp, // the loader runs and waits for an operating program
    Running, // the operating program runs
};

constexpr uint16_t RunningProductId(UnitModel model)
{
    return model == UnitModel::A ? CV_PRODUCT_RUNNING_A : CV_PRODUCT_RUNNING_B;
}

constexpr char UnitModelLetter(UnitModel model)
{
    return static_cast<char>(model);
}

} // namespace hw
