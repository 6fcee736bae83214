// The cooler: setpoints through the two-point calibration, and what the
// monitor thread read published on the event loop.
#include <indilogger.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "client/explain.h"
#include "indi/zeva_ccd.h"

namespace zeva::indi {

namespace {
// One step of the camera's temperature converter on the reading scale: the
// camera reports readings and setpoints in their top 8 bits (about 0.4 C).
constexpr int kReadingStep = 16;
}  // namespace

void ZevaCCD::UpdateTemperatureLimits() {
    const double a = calibration_.ToCelsius(0), b = calibration_.ToCelsius(4095);
    INumber& t = Temperature()->np[0];
    t.min = std::min(a, b);
    t.max = std::max(a, b);
}

// ---------------------------------------------------------------------------
// Cooler

int ZevaCCD::SetTemperature(double temperature) {
    if (!isConnected())
        return -1;
    const std::uint16_t reading = calibration_.ToReading(temperature);
    client::Status st =
        Locked([&](client::Camera& c) { return c.SetTemperatureRegulation(1, reading); });
    if (!st.ok()) {
        LOGF_ERROR("Setting the cooler failed: %s.", client::Explain(st).c_str());
        return -1;
    }
    lastTarget_ = temperature;
    haveTarget_ = true;
    CoolerCommanded();
    SetCoolerSwitch(true, IPS_BUSY);
    return 0;
}

void ZevaCCD::CoolerCommanded() {
    // A reading taken before the command would show the old regulation.
    {
        std::lock_guard<std::mutex> g(snapLock_);
        ++coolerCommands_;
        snapTempOk_ = false;
    }
    coolerDue_ = true;
}

void ZevaCCD::PublishCooler(const client::TemperatureStatus& t) {
    const double c = calibration_.ToCelsius(t.reading2);
    const bool on = (t.regulationFlags & 1) != 0;
    const double power = std::round(t.power * 100.0 / 255.0);
    // At the setpoint within one step of the camera's converter (a reading
    // can jump over the setpoint); away from it beyond two (no flapping
    // between the two while the regulation holds).
    const int away = std::abs(static_cast<int>(t.reading2) - static_cast<int>(t.setpoint));
    INumberVectorProperty* temperature = Temperature();
    IPState tempState = IPS_BUSY;
    if (!on)
        tempState = IPS_IDLE;
    else if (away <= kReadingStep || (away <= 2 * kReadingStep && temperature->s == IPS_OK))
        tempState = IPS_OK;
    if (c != temperature->np[0].value || tempState != temperature->s) {
        temperature->np[0].value = c;
        temperature->s = tempState;
        IDSetNumber(temperature, nullptr);
    }
    if (power != CoolerPowerN[0].value || CoolerPowerNP.s != IPS_OK) {
        CoolerPowerN[0].value = power;
        CoolerPowerNP.s = IPS_OK;
        IDSetNumber(&CoolerPowerNP, nullptr);
    }
    SetCoolerSwitch(on, on && tempState != IPS_OK ? IPS_BUSY : IPS_OK);
}

void ZevaCCD::SetCoolerSwitch(bool on, IPState state) {
    const ISState want = on ? ISS_ON : ISS_OFF;
    if (CoolerS[0].s == want && CoolerSP.s == state)
        return;
    CoolerS[0].s = want;
    CoolerS[1].s = on ? ISS_OFF : ISS_ON;
    CoolerSP.s = state;
    IDSetSwitch(&CoolerSP, nullptr);
}

}  // namespace zeva::indi
