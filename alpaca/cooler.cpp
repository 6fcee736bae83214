// The cooler members of a camera device.
#include <cmath>

#include "alpaca/device.h"

namespace zeva::alpaca {

// GET with lock_ held; PUT takes it.
Reply CameraDevice::Cooler(const std::string& member, bool put, const Params& params,
                           std::optional<BadRequest>* bad) {
    if (put) {
        const bool isOn = member == "cooleron";
        const bool on = isOn ? params.Boolean("CoolerOn", bad) : false;
        const double celsius = isOn ? 0 : params.Number("SetCCDTemperature", bad);
        if (*bad)
            return Reply::Done();
        std::lock_guard<std::mutex> g(lock_);
        if (!connected_)
            return NotConnected();
        if (ccd_ != 0)
            return Reply::Error(AscomError::NotImplemented,
                                "the cooler is set through the imaging CCD's device, camera " +
                                    std::to_string(number_ - 1));
        client::TemperatureStatus t;
        Reply r = unit_.Temperature(&t);
        if (!r.ok())
            return r;
        const bool regulating = (t.regulationFlags & 1) != 0;
        if (!isOn) {
            double low, high;
            unit_.SetpointRange(&low, &high);
            if (celsius < low || celsius > high)
                return Invalid("SetCCDTemperature " + std::to_string(celsius) + " C (valid: " +
                               std::to_string(low) + " to " + std::to_string(high) + " C)");
            setpoint_ = celsius;
            haveSetpoint_ = true;
            return regulating ? unit_.SetRegulation(true, celsius) : Reply::Done();
        }
        if (!on)
            return unit_.SetRegulation(false, 0);
        if (!haveSetpoint_) {
            setpoint_ = unit_.settings().calibration.ToCelsius(t.reading2);
            haveSetpoint_ = true;
        }
        return unit_.SetRegulation(true, setpoint_);
    }
    if (member == "setccdtemperature" && ccd_ != 0)
        return Reply::Error(AscomError::NotImplemented,
                            "the cooler is set through the imaging CCD's device, camera " +
                                std::to_string(number_ - 1));
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    if (!r.ok())
        return r;
    const client::CoolerCalibration& cal = unit_.settings().calibration;
    if (member == "ccdtemperature")
        return Reply::Value(cal.ToCelsius(t.reading2));
    if (member == "cooleron")
        return Reply::Value((t.regulationFlags & 1) != 0);
    if (member == "coolerpower")
        return Reply::Value(std::round(t.power * 1000.0 / 255.0) / 10.0);
    // setccdtemperature
    return Reply::Value(haveSetpoint_ ? setpoint_ : cal.ToCelsius(t.setpoint));
}

}  // namespace zeva::alpaca
