// Command numbers, driver functions and control codes: the command language
// shared by the driver, the user libraries and applications.
#pragma once

#include <cstdint>

namespace zeva {

enum Command : std::uint16_t {
    CmdStartExposure = 1,
    CmdEndExposure = 2,
    CmdReadoutLine = 3,
    CmdDumpLines = 4,
    CmdSetTemperatureRegulation = 5,
    CmdQueryTemperatureStatus = 6,
    CmdActivateRelay = 7,
    CmdPulseOut = 8,
    CmdEstablishLink = 9,
    CmdGetDriverInfo = 10,
    CmdGetCCDInfo = 11,
    CmdQueryCommandStatus = 12,
    CmdMiscellaneousControl = 13,
    CmdReadSubtractLine = 14,
    CmdNoOperation = 15,
    CmdReadOffset = 16,
    CmdOpenDriver = 17,
    CmdCloseDriver = 18,
    CmdTxSerialBytes = 19,
    CmdGetSerialStatus = 20,
    CmdAOTipTilt = 21,
    CmdAOSetFocus = 22,
    CmdAODelay = 23,
    CmdGetTurboStatus = 24,
    CmdEndReadout = 25,
    CmdGetUSTimer = 26,
    CmdOpenDevice = 27,
    CmdCloseDevice = 28,
    CmdSetIrql = 29,
    CmdGetIrql = 30,
    CmdGetDriverHandle = 33,
    CmdSetDriverHandle = 34,
    CmdPortReadData = 102,
    CmdPortWriteData = 103,
    CmdPortReadStatus = 104,
    CmdPortWriteStatus = 105,
    CmdPortReadControl = 106,
    CmdPortWriteControl = 107,
    CmdPortReadEcr = 120,
    CmdPortWriteEcr = 121,
    CmdPortReadAddress = 122,
    CmdPortWriteAddress = 123,
    CmdPortWriteThenRead = 124,
    CmdPortSetBits = 125,
    CmdPortClearBits = 126,
    CmdPortNoOperation = 127,
};

// Buffered device I/O control code: device type 40000 (0x9C40), any access,
// function in bits 13..2, method buffered.
constexpr std::uint32_t kDeviceTypeZeva = 40000;
constexpr std::uint32_t ControlCode(std::uint32_t function) {
    return (kDeviceTypeZeva << 16) | (function << 2);
}
constexpr std::uint32_t FunctionOf(std::uint32_t code) { return (code >> 2) & 0xFFFu; }

// Driver function of a command: 2100 + n for 1..26, 2127/2128 for 29/30,
// 3000 + n for the raw port commands; 0 for commands with no driver function.
constexpr std::uint32_t DriverFunction(std::uint16_t command) {
    if (command >= 1 && command <= 26 && command != CmdReadSubtractLine &&
        command != CmdOpenDriver && command != CmdCloseDriver) {
        return 2100u + command;
    }
    if (command == CmdSetIrql) {
        return 2127;
    }
    if (command == CmdGetIrql) {
        return 2128;
    }
    if ((command >= 102 && command <= 107) || (command >= 120 && command <= 127)) {
        return 3000u + command;
    }
    return 0;
}

// Record sizes as they reach the driver (the aligned forms).
namespace record_size {
constexpr std::uint32_t StartExposureParams = 12;
constexpr std::uint32_t PackedStartExposureParams = 10;
constexpr std::uint32_t EndExposureParams = 2;
constexpr std::uint32_t ReadoutLineParams = 8;
constexpr std::uint32_t DumpLinesParams = 6;
constexpr std::uint32_t TemperatureRegulationParams = 4;
constexpr std::uint32_t TemperatureStatusResults = 10;
constexpr std::uint32_t RelayParams = 8;
constexpr std::uint32_t PulseOutParams = 6;
constexpr std::uint32_t EstablishLinkResults = 2;
constexpr std::uint32_t DriverInfoParams = 2;
constexpr std::uint32_t DriverInfoResult = 68;
constexpr std::uint32_t CcdInfoParams = 2;
constexpr std::uint32_t CcdInfoResult = 392;
constexpr std::uint32_t PackedCcdInfoResult = 390;
constexpr std::uint32_t CcdInfoExtResult = 22;
constexpr std::uint32_t CcdInfoStatusResult = 4;
constexpr std::uint32_t QueryCommandStatusParams = 2;
constexpr std::uint32_t QueryCommandStatusResult = 2;
constexpr std::uint32_t MiscellaneousControlParams = 6;
constexpr std::uint32_t ReadOffsetParams = 2;
constexpr std::uint32_t TxSerialBytesResults = 2;
constexpr std::uint32_t SerialStatusResults = 2;
constexpr std::uint32_t TipTiltParams = 4;
constexpr std::uint32_t AODelayParams = 4;
constexpr std::uint32_t TurboStatusResults = 2;
constexpr std::uint32_t EndReadoutParams = 2;
constexpr std::uint32_t USTimerResults = 4;
constexpr std::uint32_t OpenDeviceParams = 2;
constexpr std::uint32_t DeviceHandleRecord = 4;
constexpr std::uint32_t IrqlParams = 2;
constexpr std::uint32_t PortAddressParams = 4;
constexpr std::uint32_t PortWriteParams = 4;
constexpr std::uint32_t PortWriteReadParams = 6;
}  // namespace record_size

}  // namespace zeva
