#include "FirmwareImage.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "ByteOrder.h"
#include "Crc32.h"

namespace hw {
namespace {

constexpr size_t MagicOffset = 0;
constexpr size_t FormatVersionOffset = 4;
constexpr size_t ModelOffset = 6;
constexpr size_t ProgramVersionOffset = 8;
constexpr size_t PayloadBytesOffset = 12;
constexpr size_t PayloadCrcOffset = 16;

bool IsModel(uint8_t value)
{
    return value == static_cast<uint8_t>(UnitModel::A) ||
           value == static_cast<uint8_t>(UnitModel::B);
}

ImageCheck Refuse(ImageCheck check, ImageError error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

ImageCheck Refuse(ImageCheck check, ImageError error, const char* format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    check.error = error;
    check.message = text;
    return check;
}

} // namespace

const char* ImageErrorName(ImageError error)
{
    switch (error) {
    case ImageError::None: return "None";
    case ImageError::TooShort: return "TooShort";
    case ImageError::BadMagic: return "BadMagic";
    case ImageError::UnsupportedVersion: return "UnsupportedVersion";
    case ImageError::WrongModel: return "WrongModel";
    case ImageError::TooLarge: return "TooLarge";
    case ImageError::LengthMismatch: return "LengthMismatch";
    case ImageError::CrcMismatch: return "CrcMismatch";
    }
    return "Unknown";
}

std::array<uint8_t, FirmwareHeaderBytes> EncodeFirmwareHeader(const FirmwareImageHeader& header)
{
    std::array<uint8_t, FirmwareHeaderBytes> bytes{};
    std::copy(FirmwareMagic.begin(), FirmwareMagic.end(), bytes.begin() + MagicOffset);
    PutLe16(&bytes[FormatVersionOffset], header.formatVersion);
    bytes[ModelOffset] = static_cast<uint8_t>(header.model);
    PutLe32(&bytes[ProgramVersionOffset], header.programVersion);
    PutLe32(&bytes[PayloadBytesOffset], header.payloadBytes);
    PutLe32(&bytes[PayloadCrcOffset], header.payloadCrc32);
    return bytes;
}

std::vector<uint8_t> BuildFirmwareImage(UnitModel model, uint32_t programVersion,
                                        std::span<const uint8_t> payload)
{
    if (payload.size() > FirmwarePayloadMaxBytes) {
        return {};
    }
    FirmwareImageHeader header;
    header.model = model;
    header.programVersion = programVersion;
    header.payloadBytes = static_cast<uint32_t>(payload.size());
    header.payloadCrc32 = Crc32(payload);
    auto headerBytes = EncodeFirmwareHeader(header);

    std::vector<uint8_t> image(headerBytes.begin(), headerBytes.end());
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

ImageCheck ParseFirmwareImage(std::span<const uint8_t> bytes, UnitModel unitModel)
{
    ImageCheck check;
    if (bytes.size() < FirmwareHeaderBytes) {
        return Refuse(check, ImageError::TooShort,
                      "image has %zu bytes, fewer than the %zu-byte header", bytes.size(),
                      FirmwareHeaderBytes);
    }
    if (!std::equal(FirmwareMagic.begin(), FirmwareMagic.end(), bytes.begin() + MagicOffset)) {
        return Refuse(check, ImageError::BadMagic, "image does not start with \"CVOP\"");
    }

    FirmwareImageHeader& header = check.header;
    header.formatVersion = GetLe16(&bytes[FormatVersionOffset]);
    uint8_t modelByte = bytes[ModelOffset];
    header.model = static_cast<UnitModel>(modelByte);
    header.programVersion = GetLe32(&bytes[ProgramVersionOffset]);
    header.payloadBytes = GetLe32(&bytes[PayloadBytesOffset]);
    header.payloadCrc32 = GetLe32(&bytes[PayloadCrcOffset]);

    if (header.formatVersion != FirmwareFormatVersion) {
        return Refuse(check, ImageError::UnsupportedVersion,
                      "image format version %u is not supported (expected %u)",
                      header.formatVersion, FirmwareFormatVersion);
    }
    if (!IsModel(modelByte)) {
        return Refuse(check, ImageError::WrongModel,
                      "image names model byte 0x%02X, this unit is model %c", modelByte,
                      UnitModelLetter(unitModel));
    }
    if (header.model != unitModel) {
        return Refuse(check, ImageError::WrongModel, "image is for model %c, this unit is model %c",
                      UnitModelLetter(header.model), UnitModelLetter(unitModel));
    }
    uint64_t imageBytes = uint64_t{FirmwareHeaderBytes} + header.payloadBytes;
    if (imageBytes > FirmwareImageMaxBytes) {
        return Refuse(check, ImageError::TooLarge,
                      "image of %llu bytes does not fit the %zu-byte loader memory",
                      static_cast<unsigned long long>(imageBytes), FirmwareImageMaxBytes);
    }
    if (imageBytes > bytes.size()) {
        return Refuse(check, ImageError::LengthMismatch,
                      "image declares %u payload bytes but %zu follow the header",
                      header.payloadBytes, bytes.size() - FirmwareHeaderBytes);
    }
    auto payload = bytes.subspan(FirmwareHeaderBytes, header.payloadBytes);
    uint32_t crc = Crc32(payload);
    if (crc != header.payloadCrc32) {
        return Refuse(check, ImageError::CrcMismatch,
                      "payload CRC-32 0x%08X does not match 0x%08X in the header", crc,
                      header.payloadCrc32);
    }
    check.payload = payload;
    return check;
}

} // namespace hw
