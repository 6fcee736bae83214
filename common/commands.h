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
constexpr std::uint32_t FunctionOf(std::uint32_t code) {
    return (code >> 2) & 0xFFFu;
}

// The Windows 95/98 library sends command c (sign-extended from 16 bits) to
// zeva32.vxd as control code kVxdCodeBase + c.
constexpr std::int32_t kVxdCodeBase = 1000;

}  // namespace zeva
