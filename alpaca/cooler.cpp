// The cooler members of a camera device (the device's lock held).  The status
// comes from the camera unit, at most a second old; temperatures are given
// to 0.1 C, the camera's readings being coarser than that.
#include <cmath>
#include <cstdio>

#include "alpaca/device.h"

namespace zeva::alpaca {

namespace {

double Tenths(double celsius) {
    return std::round(celsius * 10.0) / 10.0;
}

std::string Format(const char* format, double a, double b, double c) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

Reply NotHere(unsigned number) {
    return Reply::Error(
        AscomError::NotImplemented,
        "the cooler is set through the imaging CCD's device, camera " + std::to_string(number - 1));
}

}  // namespace

Reply CameraDevice::CcdTemperature() {
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    if (!r.ok())
        return r;
    return Reply::Value(Tenths(unit_.settings().calibration.ToCelsius(t.reading2)));
}

Reply CameraDevice::CoolerOn() {
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    return r.ok() ? Reply::Value((t.regulationFlags & 1) != 0) : r;
}

Reply CameraDevice::CoolerPower() {
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    return r.ok() ? Reply::Value(std::round(t.power * 1000.0 / 255.0) / 10.0) : r;
}

// The last setpoint a client set; before any, the current temperature (the
// camera's own setpoint register means nothing until regulation was started).
Reply CameraDevice::Setpoint() {
    if (ccd_ != 0)
        return NotHere(number_);
    if (haveSetpoint_)
        return Reply::Value(Tenths(setpoint_));
    return CcdTemperature();
}

Reply CameraDevice::SetSetpoint(const Params& params, std::optional<BadRequest>* bad) {
    const double celsius = params.Number("SetCCDTemperature", bad);
    if (*bad)
        return Reply::Done();
    if (ccd_ != 0)
        return NotHere(number_);
    double low, high;
    unit_.SetpointRange(&low, &high);
    if (celsius < low || celsius > high)
        return Invalid(Format("SetCCDTemperature %g C (valid: %g to %g C)", celsius, low, high));
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    if (!r.ok())
        return r;
    setpoint_ = celsius;
    haveSetpoint_ = true;
    return (t.regulationFlags & 1) != 0 ? unit_.SetRegulation(true, celsius) : Reply::Done();
}

Reply CameraDevice::SetCoolerOn(const Params& params, std::optional<BadRequest>* bad) {
    const bool on = params.Boolean("CoolerOn", bad);
    if (*bad)
        return Reply::Done();
    if (ccd_ != 0)
        return NotHere(number_);
    if (!on)
        return unit_.SetRegulation(false, 0);
    client::TemperatureStatus t;
    Reply r = unit_.Temperature(&t);
    if (!r.ok())
        return r;
    if (!haveSetpoint_) {
        setpoint_ = unit_.settings().calibration.ToCelsius(t.reading2);
        haveSetpoint_ = true;
    }
    return unit_.SetRegulation(true, setpoint_);
}

}  // namespace zeva::alpaca
