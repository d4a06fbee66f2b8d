// CRC-32 of the IEEE 802.3 kind: reflected, polynomial 0xEDB88320, initial value and final
// complement 0xFFFFFFFF. It guards the payload of an operating-program image.
#pragma once

#include <cstdint>
#include <span>

namespace hw {

uint32_t Crc32(std::span<const uint8_t> bytes);

} // namespace hw
