#include "client/explain.h"

#include <cstring>

#include "client/plan.h"
#include "common/errors.h"

namespace zeva::client {
namespace {

struct Entry {
    std::uint16_t code;
    Explanation text;
};

constexpr const char* kPowered = "is it plugged in and powered?";

constexpr Entry kExplanations[] = {
    {ErrExposureInProgress, {"an exposure is still in progress on the camera", nullptr}},
    {ErrUnknownCommand, {"the driver does not know this command", nullptr}},
    {ErrBadParameter, {"the driver refused a value of the request", nullptr}},
    {ErrTxTimeout, {"the camera does not answer", kPowered}},
    {ErrRxTimeout, {"the camera took the command but never answered", nullptr}},
    {ErrNakReceived, {"the camera's answers arrive garbled", "is the cable sound and short?"}},
    {ErrCanReceived, {"the camera's answers arrive garbled", "is the cable sound and short?"}},
    {ErrUnknownResponse, {"the camera's answers arrive garbled", "is the cable sound and short?"}},
    {ErrBadLength, {"the camera's answers arrive garbled", "is the cable sound and short?"}},
    {ErrDigitizerTimeout, {"the camera's digitizer stays busy", nullptr}},
    {ErrEepromChecksum, {"the camera's EEPROM failed its checksum", nullptr}},
    {ErrEepromVersion, {"the camera's EEPROM has a layout this driver does not know", nullptr}},
    {ErrShutter, {"the shutter reports a fault", nullptr}},
    // The driver returns it only when a camera answered the version request
    // with a model number it has no family for (the cable and power are fine).
    {ErrCameraNotFound,
     {"a camera answered with a model number this software does not support", nullptr}},
    {ErrDriverNotFound, {"the zeva driver is not installed or not running", nullptr}},
    {ErrDriverNotOpen, {"the driver is not open", nullptr}},
    {ErrDriverAlreadyOpen, {"the driver is already open in this program", nullptr}},
    {ErrTipTiltIncomplete, {"the tip-tilt unit did not take the whole move", nullptr}},
    {ErrCloseDeviceFailed, {"the camera's device could not be closed", nullptr}},
    {ErrOpenDeviceFailed,
     {"the camera's device could not be opened",
      "is a camera configured on that port, and no "
      "other program using it?"}},
    {ErrBadCcdInfoRequest, {"the camera has no such CCD information", nullptr}},
    {ErrPortCommandFailed, {"the port access was refused", nullptr}},
};

}  // namespace

const char* const kEepromFailedWarning =
    "the camera's identification could not be read; the model may be misidentified";

Explanation ExplanationOf(std::uint16_t code) {
    for (const Entry& e : kExplanations) {
        if (e.code == code)
            return e.text;
    }
    // The NT library's guard: a record the program passed could not be read or written.
    const char* name = ErrorName(code);
    if (name != nullptr && std::strcmp(name, "FaultCode") == 0)
        return {
            "the library could not read or write the request's records (a fault of the program)",
            nullptr};
    return {};
}

std::string Explain(const Status& status) {
    const Explanation e = ExplanationOf(status.code());
    if (e.meaning == nullptr)
        return status.Describe();
    std::string text = std::string(e.meaning) + " (" + status.Describe() + ")";
    if (e.ask != nullptr)
        text += std::string(": ") + e.ask;
    return text;
}

bool IsDefaultEepromImage(const EepromInfo& info) {
    bool blank = info.count == 0 && info.flag == 0;
    for (std::uint16_t w : info.words) blank = blank && w == 0;
    return blank && info.identification == "-";
}

Status CheckEeprom(Camera& camera, std::uint16_t cameraType, bool* failed) {
    *failed = false;
    if (IsSingleCcd(cameraType))
        return {};
    EepromInfo info;
    Status st = camera.GetEepromInfo(&info);
    if (!st.ok())
        return st;
    *failed = IsDefaultEepromImage(info);
    return st;
}

}  // namespace zeva::client
