// The operating-program image the unit's loader accepts.
//
// An image is a 20-byte header followed by the payload, all fields little-endian:
//
//   offset  size  field
//        0     4  magic "CVOP"
//        4     2  formatVersion, 1
//        6     1  model, 'A' or 'B': the model the program is built for
//        7     1  reserved, written as 0, not checked
//        8     4  programVersion: the program's own version, free for its builder
//       12     4  payloadBytes
//       16     4  payloadCrc32: CRC-32 (IEEE 802.3) of the payload bytes
//       20     n  payload
//
// The loader finds the image at address 0 of its 64 KiB memory, so header and payload together
// must fit in CV_BOOT_MEMORY_BYTES. Bytes after the payload are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "UnitModel.h"

namespace hw {

constexpr std::array<uint8_t, 4> FirmwareMagic = {'C', 'V', 'O', 'P'};
constexpr uint16_t FirmwareFormatVersion = 1;
constexpr size_t FirmwareHeaderBytes = 20;
constexpr size_t FirmwareImageMaxBytes = CV_BOOT_MEMORY_BYTES;
constexpr size_t FirmwarePayloadMaxBytes = FirmwareImageMaxBytes - FirmwareHeaderBytes;

struct FirmwareImageHeader {
    uint16_t formatVersion = FirmwareFormatVersion;
    UnitModel model = UnitModel::B;
    uint32_t programVersion = 0;
    uint32_t payloadBytes = 0;
    uint32_t payloadCrc32 = 0;
};

// Why an image was refused. The values are also the loader's error byte (its second status
// byte), so they never change meaning.
enum class ImageError : uint8_t {
    None = 0,
    TooShort = 1,           // fewer bytes than a header
    BadMagic = 2,           // does not start with "CVOP"
    UnsupportedVersion = 3, // formatVersion other than 1
    WrongModel = 4,         // built for the other model, or a model byte that names none
    TooLarge = 5,           // header plus declared payload exceed the loader memory
    LengthMismatch = 6,     // the declared payload runs past the bytes given
    CrcMismatch = 7,        // the payload's CRC-32 differs from the header's
};

const char* ImageErrorName(ImageError error);

// The outcome of checking an image.
struct ImageCheck {
    ImageError error = ImageError::None;
    std::string message;               // one line for people; empty when the image is good
    FirmwareImageHeader header;        // as far as it could be read
    std::span<const uint8_t> payload;  // inside the checked bytes; empty unless good

    bool Ok() const { return error == ImageError::None; }
};

// The 20 header bytes for `header` exactly as given, so that tests can write bad headers too.
std::array<uint8_t, FirmwareHeaderBytes> EncodeFirmwareHeader(const FirmwareImageHeader& header);

// A complete image of `payload` for `model`. Returns an empty vector when the payload does not
// fit the loader memory (more than FirmwarePayloadMaxBytes); a good image is never empty.
std::vector<uint8_t> BuildFirmwareImage(UnitModel model, uint32_t programVersion,
                                        std::span<const uint8_t> payload);

// Checks the image at the start of `bytes` for a unit of model `unitModel`. The checks run in
// the order of the ImageError values and the first that fails is reported.
ImageCheck ParseFirmwareImage(std::span<const uint8_t> bytes, UnitModel unitModel);

} // namespace hw
