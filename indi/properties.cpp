// What clients ask of the driver's own properties (port entry, cooler
// switch, calibration, relay map, tip-tilt, pulse output) and the checks
// every request passes before the base class sees it.
#include <indilogger.h>

#include <cstring>

#include "client/explain.h"
#include "indi/host.h"
#include "indi/inputs.h"
#include "indi/zeva_ccd.h"

namespace zeva::indi {

bool ZevaCCD::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    const bool mine = dev && std::strcmp(dev, getDeviceName()) == 0;
    // Before anything is echoed: an over-long text never reaches a property.
    if (mine) {
        INDI::PropertyText p = getText(name);
        const bool port = std::strcmp(name, PortTP.name) == 0;
        if (RefuseLongText(getDeviceName(), p ? p.getText() : nullptr, texts, names, n,
                           port ? kMaxPortEntry : kMaxText))
            return true;
        if (port)
            return NewPortEntry(texts, names, n);
    }
    return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool ZevaCCD::NewPortEntry(char* texts[], char* names[], int n) {
    const char* entry = nullptr;
    for (int i = 0; i < n; ++i)
        if (std::strcmp(names[i], PortT[0].name) == 0)
            entry = texts[i] ? texts[i] : "";
    if (entry == nullptr)
        return true;  // no element of ours
    if (isConnected()) {
        // The entry in use, sent again (a saved configuration, a client
        // restoring its settings), changes nothing.
        if (PortT[0].text && std::strcmp(entry, PortT[0].text) == 0) {
            PortTP.s = IPS_OK;
            IDSetText(&PortTP, nullptr);
        } else {
            PortTP.s = IPS_ALERT;
            IDSetText(&PortTP, "Disconnect before choosing another camera port.");
        }
        return true;
    }
    if (IsBlank(entry)) {
        PortTP.s = IPS_ALERT;
        IDSetText(&PortTP, "The port entry is empty (e.g. sim:gannet, /dev/parport0).");
        return true;
    }
    // Checked now, as the connection would parse it: the old entry stays.
    std::string error;
    if (!host::CheckEntry(entry, &error)) {
        PortTP.s = IPS_ALERT;
        IDSetText(&PortTP, "%s", error.c_str());
        return true;
    }
    IUUpdateText(&PortTP, texts, names, n);
    host::SetEntry(index_, count_, entry);
    PortTP.s = IPS_OK;
    IDSetText(&PortTP, nullptr);
    saveConfig(true, PortTP.name);
    return true;
}

bool ZevaCCD::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                          int n) {
    if (dev && std::strcmp(dev, getDeviceName()) == 0 && std::strcmp(name, CoolerSP.name) == 0)
        return NewCoolerSwitch(states, names, n);
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool ZevaCCD::NewCoolerSwitch(ISState* states, char* names[], int n) {
    IUUpdateSwitch(&CoolerSP, states, names, n);
    const bool on = CoolerS[0].s == ISS_ON;
    client::Status st;
    if (on) {
        const double target = haveTarget_ ? lastTarget_ : Temperature()->np[0].value;
        const std::uint16_t r = calibration_.ToReading(target);
        st = Locked([&](client::Camera& c) { return c.SetTemperatureRegulation(1, r); });
    } else {
        st = Locked([&](client::Camera& c) { return c.SetTemperatureRegulation(0, 0); });
    }
    if (!st.ok()) {
        LOGF_ERROR("Switching the cooler failed: %s.", client::Explain(st).c_str());
        CoolerSP.s = IPS_ALERT;
        IDSetSwitch(&CoolerSP, nullptr);
        return true;
    }
    CoolerCommanded();
    CoolerSP.s = on ? IPS_BUSY : IPS_OK;
    IDSetSwitch(&CoolerSP, nullptr);
    return true;
}

bool ZevaCCD::ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                          int n) {
    if (!dev || std::strcmp(dev, getDeviceName()) != 0)
        return INDI::CCD::ISNewNumber(dev, name, values, names, n);
    // Refused values change nothing: checked here, before any handler.
    INDI::PropertyNumber p = getNumber(name);
    INumberVectorProperty* nvp = p ? p.getNumber() : nullptr;
    if (RefuseNonFinite(getDeviceName(), nvp, values, names, n))
        return true;
    if ((std::strcmp(name, "CCD_BINNING") == 0 || std::strcmp(name, "GUIDER_BINNING") == 0 ||
         std::strcmp(name, RelayMapNP.name) == 0) &&
        RefuseFraction(nvp, values, names, n))
        return true;
    if (std::strcmp(name, "CCD_FRAME") == 0 &&
        RefuseFrame(nvp, values, names, n, PrimaryCCD.getXRes(), PrimaryCCD.getYRes()))
        return true;
    if (std::strncmp(name, "GUIDER_", 7) == 0 && isConnected() && !hasTracking_) {
        LOGF_ERROR("This camera has no tracking CCD: there is no guide head for %s.", name);
        return true;
    }
    if (std::strcmp(name, "GUIDER_FRAME") == 0 &&
        RefuseFrame(nvp, values, names, n, GuideCCD.getXRes(), GuideCCD.getYRes()))
        return true;
    if (std::strcmp(name, CalibrationNP.name) == 0)
        return NewCalibration(values, names, n);
    if (std::strcmp(name, RelayMapNP.name) == 0)
        return NewRelayMap(values, names, n);
    if (std::strcmp(name, TipTiltNP.name) == 0)
        return NewOutput(&TipTiltNP, values, names, n);
    if (std::strcmp(name, PulseOutNP.name) == 0)
        return NewOutput(&PulseOutNP, values, names, n);
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool ZevaCCD::NewCalibration(double values[], char* names[], int n) {
    double old[4];
    for (int i = 0; i < 4; ++i) old[i] = CalibrationN[i].value;
    if (IUUpdateNumber(&CalibrationNP, values, names, n) < 0)
        return true;  // refused, and said so, by libindi
    client::CoolerCalibration c{CalibrationN[0].value, CalibrationN[1].value, CalibrationN[2].value,
                                CalibrationN[3].value};
    if (!c.Valid()) {
        for (int i = 0; i < 4; ++i) CalibrationN[i].value = old[i];
        CalibrationNP.s = IPS_ALERT;
        IDSetNumber(&CalibrationNP,
                    "The two calibration points must differ in reading and temperature.");
        return true;
    }
    calibration_ = c;
    UpdateTemperatureLimits();
    CalibrationNP.s = IPS_OK;
    IDSetNumber(&CalibrationNP, nullptr);
    saveConfig(true, CalibrationNP.name);
    return true;
}

bool ZevaCCD::NewRelayMap(double values[], char* names[], int n) {
    double old[4];
    for (int i = 0; i < 4; ++i) old[i] = RelayMapN[i].value;
    if (IUUpdateNumber(&RelayMapNP, values, names, n) < 0)
        return true;
    client::RelayMap m{
        static_cast<unsigned>(RelayMapN[0].value), static_cast<unsigned>(RelayMapN[1].value),
        static_cast<unsigned>(RelayMapN[2].value), static_cast<unsigned>(RelayMapN[3].value)};
    std::lock_guard<std::mutex> g(guideLock_);
    if (!m.Valid() || pulses_[0].active || pulses_[1].active) {
        for (int i = 0; i < 4; ++i) RelayMapN[i].value = old[i];
        RelayMapNP.s = IPS_ALERT;
        IDSetNumber(&RelayMapNP,
                    "Each direction needs its own relay 0 to 3 (and no pulse running).");
        return true;
    }
    relayMap_ = m;
    RelayMapNP.s = IPS_OK;
    IDSetNumber(&RelayMapNP, nullptr);
    saveConfig(true, RelayMapNP.name);
    return true;
}

// The tip-tilt position and the pulse output: sent to the camera as set.
bool ZevaCCD::NewOutput(INumberVectorProperty* nvp, double values[], char* names[], int n) {
    if (IUUpdateNumber(nvp, values, names, n) < 0)
        return true;
    const bool tipTilt = nvp == &TipTiltNP;
    client::Status st = Locked([&](client::Camera& c) {
        if (tipTilt)
            return c.AOTipTilt(static_cast<std::uint16_t>(TipTiltN[0].value),
                               static_cast<std::uint16_t>(TipTiltN[1].value));
        return c.PulseOut(static_cast<std::uint16_t>(PulseOutN[0].value),
                          static_cast<std::uint16_t>(PulseOutN[1].value),
                          static_cast<std::uint16_t>(PulseOutN[2].value));
    });
    if (!st.ok())
        LOGF_ERROR("%s failed: %s.", tipTilt ? "Moving the tip-tilt unit" : "Pulse output",
                   client::Explain(st).c_str());
    nvp->s = st.ok() ? IPS_OK : IPS_ALERT;
    IDSetNumber(nvp, nullptr);
    return true;
}

bool ZevaCCD::saveConfigItems(FILE* fp) {
    INDI::CCD::saveConfigItems(fp);
    IUSaveConfigText(fp, &PortTP);
    IUSaveConfigNumber(fp, &CalibrationNP);
    IUSaveConfigNumber(fp, &RelayMapNP);
    return true;
}

}  // namespace zeva::indi
