// The cooler: setpoints through the two-point calibration, and what the
// monitor thread read published on the event loop.
#include <indilogger.h>

#include <algorithm>
#include <cmath>

#include "client/explain.h"
#include "indi/zeva_ccd.h"

namespace zeva::indi {

void ZevaCCD::UpdateTemperatureLimits() {
    const double a = calibration_.ToCelsius(0), b = calibration_.ToCelsius(4095);
    TemperatureN[0].min = std::min(a, b);
    TemperatureN[0].max = std::max(a, b);
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
    CoolerS[0].s = ISS_ON;
    CoolerS[1].s = ISS_OFF;
    CoolerSP.s = IPS_BUSY;
    IDSetSwitch(&CoolerSP, nullptr);
    return 0;
}

void ZevaCCD::PublishCooler(const client::TemperatureStatus& t) {
    const double c = calibration_.ToCelsius(t.reading2);
    const bool on = (t.regulationFlags & 1) != 0;
    const double power = std::round(t.power * 100.0 / 255.0);
    IPState tempState = TemperatureNP.s;
    if (tempState == IPS_BUSY && on && t.reading2 == t.setpoint)
        tempState = IPS_OK;
    if (std::fabs(c - TemperatureN[0].value) > 1e-9 || tempState != TemperatureNP.s) {
        TemperatureN[0].value = c;
        TemperatureNP.s = tempState;
        IDSetNumber(&TemperatureNP, nullptr);
    }
    if (power != CoolerPowerN[0].value) {
        CoolerPowerN[0].value = power;
        CoolerPowerNP.s = IPS_OK;
        IDSetNumber(&CoolerPowerNP, nullptr);
    }
    const ISState want = on ? ISS_ON : ISS_OFF;
    if (CoolerS[0].s != want || CoolerSP.s == IPS_BUSY || CoolerSP.s == IPS_IDLE) {
        CoolerS[0].s = want;
        CoolerS[1].s = on ? ISS_OFF : ISS_ON;
        CoolerSP.s = on ? IPS_BUSY : IPS_OK;
        if (on && tempState == IPS_OK)
            CoolerSP.s = IPS_OK;
        IDSetSwitch(&CoolerSP, nullptr);
    }
}

}  // namespace zeva::indi
