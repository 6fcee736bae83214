// Field offsets and sizes of the command records.  Records cross every
// boundary as little-endian bytes: read and write them with common/le.h at
// these offsets, never through a struct overlay.
#pragma once

#include <cstddef>

namespace zeva::rec {

namespace StartExposureParams {
constexpr std::size_t Ccd = 0;           // u16; bytes 2..3 are an alignment gap
constexpr std::size_t ExposureTime = 4;  // u32
constexpr std::size_t OptionCode = 8;    // u16
constexpr std::size_t ShutterMode = 10;  // u16
constexpr std::size_t kSize = 12;
}  // namespace StartExposureParams

namespace PackedStartExposureParams {
constexpr std::size_t Ccd = 0;           // u16
constexpr std::size_t ExposureTime = 2;  // u32
constexpr std::size_t OptionCode = 6;    // u16
constexpr std::size_t ShutterMode = 8;   // u16
constexpr std::size_t kSize = 10;
}  // namespace PackedStartExposureParams

namespace EndExposureParams {
constexpr std::size_t CcdAndSkipDelay = 0;  // u16: bits 0..14 Ccd, bit 15 SkipDelay
constexpr std::size_t kSize = 2;
}  // namespace EndExposureParams

namespace ReadoutLineParams {
constexpr std::size_t Ccd = 0;             // u16
constexpr std::size_t ReadoutMode = 2;     // u8
constexpr std::size_t VerticalFactor = 3;  // u8
constexpr std::size_t PixelStart = 4;      // u16
constexpr std::size_t PixelLength = 6;     // u16
constexpr std::size_t kSize = 8;
}  // namespace ReadoutLineParams

namespace DumpLinesParams {
constexpr std::size_t Ccd = 0;             // u16
constexpr std::size_t ReadoutMode = 2;     // u8
constexpr std::size_t VerticalFactor = 3;  // u8
constexpr std::size_t LineCount = 4;       // u16
constexpr std::size_t kSize = 6;
}  // namespace DumpLinesParams

namespace TemperatureRegulationParams {
constexpr std::size_t Regulation = 0;  // u16
constexpr std::size_t Setpoint = 2;    // u16
constexpr std::size_t kSize = 4;
}  // namespace TemperatureRegulationParams

namespace TemperatureStatusResults {
constexpr std::size_t RegulationFlags = 0;  // u16
constexpr std::size_t Setpoint = 2;         // u16
constexpr std::size_t Power = 4;            // u16
constexpr std::size_t Reading1 = 6;         // u16
constexpr std::size_t Reading2 = 8;         // u16
constexpr std::size_t kSize = 10;
}  // namespace TemperatureStatusResults

namespace RelayParams {
constexpr std::size_t RelayTime = 0;  // u16 x 4, outputs 0..3
constexpr std::size_t kRelayCount = 4;
constexpr std::size_t kSize = 8;
}  // namespace RelayParams

namespace PulseOutParams {
constexpr std::size_t PulseCount = 0;   // u16
constexpr std::size_t PulseWidth = 2;   // u16
constexpr std::size_t PulsePeriod = 4;  // u16
constexpr std::size_t kSize = 6;
}  // namespace PulseOutParams

namespace EstablishLinkResults {
constexpr std::size_t CameraType = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace EstablishLinkResults

namespace DriverInfoParams {
constexpr std::size_t Request = 0;  // i16
constexpr std::size_t kSize = 2;
}  // namespace DriverInfoParams

namespace DriverInfoResult {
constexpr std::size_t Version = 0;  // u16, hexadecimal digits (0x0330 = 3.30)
constexpr std::size_t Name = 2;     // 64 bytes, zero-terminated, rest zero
constexpr std::size_t kNameSize = 64;
constexpr std::size_t MaxRequest = 66;  // u16
constexpr std::size_t kSize = 68;
}  // namespace DriverInfoResult

namespace CcdInfoParams {
constexpr std::size_t Request = 0;  // i16: 0 imaging, 1 tracking, 2 EEPROM, 3 status
constexpr std::size_t kSize = 2;
}  // namespace CcdInfoParams

namespace ReadoutModeInfo {
constexpr std::size_t Mode = 0;          // u16
constexpr std::size_t Width = 2;         // u16
constexpr std::size_t Height = 4;        // u16
constexpr std::size_t Gain = 6;          // u16, BCD
constexpr std::size_t PixelWidth = 8;    // u32, BCD in the low 16 bits
constexpr std::size_t PixelHeight = 12;  // u32, BCD in the low 16 bits
constexpr std::size_t kSize = 16;
}  // namespace ReadoutModeInfo

namespace CcdInfoResult {
constexpr std::size_t FirmwareVersion = 0;  // u16
constexpr std::size_t CameraType = 2;       // u16
constexpr std::size_t Name = 4;             // 64 bytes, zero-terminated
constexpr std::size_t kNameSize = 64;
constexpr std::size_t ReadoutModeCount = 68;  // u16; bytes 70..71 gap, 0
constexpr std::size_t Modes = 72;             // 20 x ReadoutModeInfo
constexpr std::size_t kModeCount = 20;
constexpr std::size_t Mode(std::size_t i) {
    return Modes + ReadoutModeInfo::kSize * i;
}
constexpr std::size_t kSize = 392;
}  // namespace CcdInfoResult

namespace PackedCcdInfoResult {
constexpr std::size_t FirmwareVersion = 0;  // u16
constexpr std::size_t CameraType = 2;       // u16
constexpr std::size_t Name = 4;             // 64 bytes
constexpr std::size_t kNameSize = 64;
constexpr std::size_t ReadoutModeCount = 68;  // u16
constexpr std::size_t Modes = 70;             // 20 x ReadoutModeInfo
constexpr std::size_t kModeCount = 20;
constexpr std::size_t Mode(std::size_t i) {
    return Modes + ReadoutModeInfo::kSize * i;
}
constexpr std::size_t kSize = 390;
}  // namespace PackedCcdInfoResult

namespace CcdInfoExtResult {
constexpr std::size_t EepromCount = 0;  // u16
constexpr std::size_t EepromWords = 2;  // u16 x 4
constexpr std::size_t kEepromWordCount = 4;
constexpr std::size_t EepromFlag = 10;          // u16
constexpr std::size_t IdentificationText = 12;  // 10 bytes, zero-terminated
constexpr std::size_t kIdentificationTextSize = 10;
constexpr std::size_t kSize = 22;
}  // namespace CcdInfoExtResult

namespace CcdInfoStatusResult {
constexpr std::size_t StatusVariant = 0;  // u16
constexpr std::size_t StatusCode = 2;     // u16
constexpr std::size_t kSize = 4;
}  // namespace CcdInfoStatusResult

namespace QueryCommandStatusParams {
constexpr std::size_t Command = 0;  // i16, 0..95
constexpr std::size_t kSize = 2;
}  // namespace QueryCommandStatusParams

namespace QueryCommandStatusResult {
constexpr std::size_t Status = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace QueryCommandStatusResult

namespace MiscellaneousControlParams {
constexpr std::size_t FanEnable = 0;       // u16, nonzero = on
constexpr std::size_t ShutterCommand = 2;  // u16, bits 0..1
constexpr std::size_t LedState = 4;        // u16, bits 0..1
constexpr std::size_t kSize = 6;
}  // namespace MiscellaneousControlParams

namespace ReadOffsetParams {
constexpr std::size_t Ccd = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace ReadOffsetParams

namespace ReadOffsetResult {
constexpr std::size_t Offset = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace ReadOffsetResult

namespace TxSerialBytesParams {
constexpr std::size_t ByteCount = 0;  // u16, 0..255
constexpr std::size_t Data = 2;       // u8 x ByteCount
constexpr std::size_t kMaxByteCount = 255;
constexpr std::size_t kHeaderSize = 2;
constexpr std::size_t SizeFor(std::size_t count) {
    return kHeaderSize + count;
}
}  // namespace TxSerialBytesParams

namespace TxSerialBytesResults {
constexpr std::size_t BytesSent = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace TxSerialBytesResults

namespace SerialStatusResults {
constexpr std::size_t SerialStatus = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace SerialStatusResults

namespace TipTiltParams {
constexpr std::size_t TiltX = 0;  // u16
constexpr std::size_t TiltY = 2;  // u16
constexpr std::size_t kSize = 4;
}  // namespace TipTiltParams

namespace AODelayParams {
constexpr std::size_t Microseconds = 0;  // u32
constexpr std::size_t kSize = 4;
}  // namespace AODelayParams

namespace TurboStatusResults {
constexpr std::size_t TurboStatus = 0;  // u16, always 0
constexpr std::size_t kSize = 2;
}  // namespace TurboStatusResults

namespace EndReadoutParams {
constexpr std::size_t Ccd = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace EndReadoutParams

namespace USTimerResults {
constexpr std::size_t Microseconds = 0;  // u32
constexpr std::size_t kSize = 4;
}  // namespace USTimerResults

namespace OpenDeviceParams {
constexpr std::size_t PortNumber = 0;  // u16, unsigned
constexpr std::size_t kSize = 2;
}  // namespace OpenDeviceParams

namespace DeviceHandleRecord {
constexpr std::size_t Handle = 0;  // one device handle, 32 bits
constexpr std::size_t kSize = 4;
}  // namespace DeviceHandleRecord

namespace IrqlParams {
constexpr std::size_t Level = 0;  // u16
constexpr std::size_t kSize = 2;
}  // namespace IrqlParams

namespace PortAddressParams {
constexpr std::size_t Address = 0;  // u16; bytes 2..3 unused
constexpr std::size_t kSize = 4;
}  // namespace PortAddressParams

namespace PortWriteParams {
constexpr std::size_t Address = 0;  // u16
constexpr std::size_t Value = 2;    // u8; byte 3 unused
constexpr std::size_t kSize = 4;
}  // namespace PortWriteParams

namespace PortWriteReadParams {
constexpr std::size_t WriteAddress = 0;  // u16
constexpr std::size_t ReadAddress = 2;   // u16
constexpr std::size_t WriteValue = 4;    // u8
constexpr std::size_t Mask = 5;          // u8
constexpr std::size_t kSize = 6;
}  // namespace PortWriteReadParams

// PortNoOperation's records: two bytes each way that nobody reads.
namespace PortNoOperationRecord {
constexpr std::size_t kSize = 2;
}  // namespace PortNoOperationRecord

// Single-register port commands carry one byte.
namespace PortByte {
constexpr std::size_t Value = 0;
constexpr std::size_t kSize = 1;
}  // namespace PortByte

// The aligned and packed forms differ only by the 2-byte gap.
static_assert(CcdInfoResult::Mode(CcdInfoResult::kModeCount) == CcdInfoResult::kSize);
static_assert(PackedCcdInfoResult::Mode(PackedCcdInfoResult::kModeCount) ==
              PackedCcdInfoResult::kSize);
static_assert(DriverInfoResult::Name + DriverInfoResult::kNameSize == DriverInfoResult::MaxRequest);
static_assert(CcdInfoExtResult::IdentificationText + CcdInfoExtResult::kIdentificationTextSize ==
              CcdInfoExtResult::kSize);

}  // namespace zeva::rec
