#include "common/errors.h"

namespace zeva {

namespace {
struct ErrorEntry {
    std::uint16_t code;
    const char* name;
};
constexpr ErrorEntry kErrorNames[] = {
    {ErrNone, "ErrNone"},
    {ErrExposureInProgress, "ErrExposureInProgress"},
    {ErrUnknownCommand, "ErrUnknownCommand"},
    {ErrBadParameter, "ErrBadParameter"},
    {ErrTxTimeout, "ErrTxTimeout"},
    {ErrRxTimeout, "ErrRxTimeout"},
    {ErrNakReceived, "ErrNakReceived"},
    {ErrCanReceived, "ErrCanReceived"},
    {ErrUnknownResponse, "ErrUnknownResponse"},
    {ErrBadLength, "ErrBadLength"},
    {ErrDigitizerTimeout, "ErrDigitizerTimeout"},
    {ErrEepromChecksum, "ErrEepromChecksum"},
    {ErrEepromVersion, "ErrEepromVersion"},
    {ErrShutter, "ErrShutter"},
    {ErrCameraNotFound, "ErrCameraNotFound"},
    {ErrDriverNotFound, "ErrDriverNotFound"},
    {ErrDriverNotOpen, "ErrDriverNotOpen"},
    {ErrDriverAlreadyOpen, "ErrDriverAlreadyOpen"},
    {ErrTipTiltIncomplete, "ErrTipTiltIncomplete"},
    {ErrCloseDeviceFailed, "ErrCloseDeviceFailed"},
    {ErrOpenDeviceFailed, "ErrOpenDeviceFailed"},
    {ErrBadCcdInfoRequest, "ErrBadCcdInfoRequest"},
    {ErrPortCommandFailed, "ErrPortCommandFailed"},
};

constexpr bool IsFaultCode(std::uint16_t c) {
    return c == 104 || (c >= 109 && c <= 125) || c == 130 || c == 132 || (c >= 134 && c <= 145) ||
           (c >= 148 && c <= 155);
}
}  // namespace

const char* ErrorName(std::uint16_t code) {
    for (const auto& e : kErrorNames) {
        if (e.code == code) {
            return e.name;
        }
    }
    return IsFaultCode(code) ? "FaultCode" : nullptr;
}

}  // namespace zeva
