// Error codes of the command set and the status form the driver reports them in.
#pragma once

#include <cstdint>

namespace zeva {

enum ErrorCode : std::uint16_t {
    ErrNone = 0,
    ErrExposureInProgress = 2,
    ErrUnknownCommand = 4,
    ErrBadParameter = 6,
    ErrTxTimeout = 7,
    ErrRxTimeout = 8,
    ErrNakReceived = 9,
    ErrCanReceived = 10,
    ErrUnknownResponse = 11,
    ErrBadLength = 12,
    ErrDigitizerTimeout = 13,
    ErrEepromChecksum = 15,
    ErrEepromVersion = 16,
    ErrShutter = 17,
    ErrCameraNotFound = 18,
    ErrDriverNotFound = 19,
    ErrDriverNotOpen = 20,
    ErrDriverAlreadyOpen = 21,
    ErrTipTiltIncomplete = 24,
    ErrCloseDeviceFailed = 107,
    ErrOpenDeviceFailed = 108,
    ErrBadCcdInfoRequest = 126,
    ErrPortCommandFailed = 133,
};

// The customer-defined status a driver routine returns for an error code.
constexpr std::uint32_t kErrorStatusBase = 0xE0000000u;
constexpr std::uint32_t ErrorStatus(std::uint16_t code) {
    return code == 0 ? 0u : kErrorStatusBase + code;
}
// The error code carried by a driver status (0 when it carries none).
constexpr std::uint16_t ErrorCodeOf(std::uint32_t status) {
    return (status & 0xFFFF0000u) == kErrorStatusBase ? static_cast<std::uint16_t>(status) : 0;
}

// Name of an error code ("ErrBadParameter"), or nullptr for a code the system never returns.
// Fault codes of the NT library's guard report as "FaultCode".
const char* ErrorName(std::uint16_t code);

}  // namespace zeva
