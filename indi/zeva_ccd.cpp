#include "indi/zeva_ccd.h"

#include <indilogger.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "client/explain.h"
#include "indi/host.h"
#include "indi/inputs.h"

namespace zeva::indi {

namespace {

constexpr unsigned kTickMs = 100;

bool IsBlank(const char* text) {
    return text == nullptr || text[std::strspn(text, " \t")] == '\0';
}

std::string DefaultEntry() {
    const char* env = std::getenv("ZEVA_PORTS");
    std::string e = env && *env ? env : "sim:gannet";
    const std::size_t comma = e.find(',');
    return comma == std::string::npos ? e : e.substr(0, comma);
}

}  // namespace

ZevaCCD::ZevaCCD() {
    setVersion(1, 0);
}

ZevaCCD::~ZevaCCD() {
    StopJob(0);
    StopJob(1);
    StopMonitor();
    CloseCamera();
    // The real-clock timer thread must be gone before the process ends.
    host::Shutdown();
}

const char* ZevaCCD::getDefaultName() {
    return "ZEVA CCD";
}

bool ZevaCCD::initProperties() {
    INDI::CCD::initProperties();
    SetCCDCapability(CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_COOLER |
                     CCD_HAS_SHUTTER | CCD_HAS_ST4_PORT | CCD_HAS_GUIDE_HEAD);
    addCaptureFormat({"INDI_MONO", "Mono", 16, true});

    IUFillText(&PortT[0], "ENTRY", "Port entry", DefaultEntry().c_str());
    IUFillTextVector(&PortTP, PortT, 1, getDeviceName(), "ZEVA_PORT", "Camera port", OPTIONS_TAB,
                     IP_RW, 0, IPS_IDLE);
    IUFillNumber(&CalibrationN[0], "READING_1", "Reading 1", "%.0f", 0, 4095, 1, 1000);
    IUFillNumber(&CalibrationN[1], "CELSIUS_1", "Celsius 1", "%.2f", -100, 100, 0.1, 25);
    IUFillNumber(&CalibrationN[2], "READING_2", "Reading 2", "%.0f", 0, 4095, 1, 3000);
    IUFillNumber(&CalibrationN[3], "CELSIUS_2", "Celsius 2", "%.2f", -100, 100, 0.1, -25);
    IUFillNumberVector(&CalibrationNP, CalibrationN, 4, getDeviceName(), "ZEVA_COOLER_CALIBRATION",
                       "Cooler calibration", OPTIONS_TAB, IP_RW, 0, IPS_IDLE);
    IUFillNumber(&RelayMapN[0], "NORTH", "North relay", "%.0f", 0, 3, 1, 0);
    IUFillNumber(&RelayMapN[1], "SOUTH", "South relay", "%.0f", 0, 3, 1, 1);
    IUFillNumber(&RelayMapN[2], "EAST", "East relay", "%.0f", 0, 3, 1, 2);
    IUFillNumber(&RelayMapN[3], "WEST", "West relay", "%.0f", 0, 3, 1, 3);
    IUFillNumberVector(&RelayMapNP, RelayMapN, 4, getDeviceName(), "ZEVA_RELAY_MAP", "Guide relays",
                       OPTIONS_TAB, IP_RW, 0, IPS_IDLE);

    IUFillSwitch(&CoolerS[0], "COOLER_ON", "On", ISS_OFF);
    IUFillSwitch(&CoolerS[1], "COOLER_OFF", "Off", ISS_ON);
    IUFillSwitchVector(&CoolerSP, CoolerS, 2, getDeviceName(), "CCD_COOLER", "Cooler",
                       MAIN_CONTROL_TAB, IP_RW, ISR_1OFMANY, 0, IPS_IDLE);
    IUFillNumber(&CoolerPowerN[0], "CCD_COOLER_VALUE", "Power (%)", "%.0f", 0, 100, 1, 0);
    IUFillNumberVector(&CoolerPowerNP, CoolerPowerN, 1, getDeviceName(), "CCD_COOLER_POWER",
                       "Cooler power", MAIN_CONTROL_TAB, IP_RO, 0, IPS_IDLE);
    for (int i = 0; i < 4; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "RELAY_%d", i);
        IUFillNumber(&RelayStatusN[i], name, name, "%.0f", 0, 1, 1, 0);
    }
    IUFillNumberVector(&RelayStatusNP, RelayStatusN, 4, getDeviceName(), "ZEVA_RELAY_STATUS",
                       "Relays closed", GUIDE_CONTROL_TAB, IP_RO, 0, IPS_IDLE);
    IUFillNumber(&TipTiltN[0], "TILT_X", "X", "%.0f", 0, 65535, 1, 2048);
    IUFillNumber(&TipTiltN[1], "TILT_Y", "Y", "%.0f", 0, 65535, 1, 2048);
    IUFillNumberVector(&TipTiltNP, TipTiltN, 2, getDeviceName(), "ZEVA_TIP_TILT", "Tip-tilt",
                       GUIDE_CONTROL_TAB, IP_RW, 0, IPS_IDLE);
    IUFillNumber(&PulseOutN[0], "PULSE_COUNT", "Count", "%.0f", 0, 255, 1, 1);
    IUFillNumber(&PulseOutN[1], "PULSE_WIDTH", "Width", "%.0f", 0, 65535, 1, 100);
    IUFillNumber(&PulseOutN[2], "PULSE_PERIOD", "Period", "%.0f", 0, 65535, 1, 200);
    IUFillNumberVector(&PulseOutNP, PulseOutN, 3, getDeviceName(), "ZEVA_PULSE_OUT", "Pulse output",
                       GUIDE_CONTROL_TAB, IP_RW, 0, IPS_IDLE);
    IUFillNumber(&ReadoutN[0], "PRIMARY", "Imaging (%)", "%.0f", 0, 100, 1, 0);
    IUFillNumber(&ReadoutN[1], "GUIDER", "Tracking (%)", "%.0f", 0, 100, 1, 0);
    IUFillNumberVector(&ReadoutNP, ReadoutN, 2, getDeviceName(), "ZEVA_READOUT", "Readout",
                       MAIN_CONTROL_TAB, IP_RO, 0, IPS_IDLE);

    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0, 167772, 0.01, false);
    GuideCCD.setMinMaxStep("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 0, 655, 0.01, false);
    addAuxControls();
    return true;
}

void ZevaCCD::ISGetProperties(const char* dev) {
    INDI::CCD::ISGetProperties(dev);
    defineProperty(&PortTP);
    defineProperty(&CalibrationNP);
    defineProperty(&RelayMapNP);
    // The saved configuration once, for the first client: every client that
    // joins later (a guider beside the capture program, a script) asks for
    // the properties again and must not have it applied over the session.
    if (!configLoaded_) {
        configLoaded_ = true;
        loadConfig(true, "ZEVA_PORT");
        loadConfig(true, "ZEVA_COOLER_CALIBRATION");
        loadConfig(true, "ZEVA_RELAY_MAP");
    }
}

bool ZevaCCD::updateProperties() {
    if (isConnected()) {
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, 3, 1, false);
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, 3, 1, false);
        if (hasTracking_) {
            GuideCCD.setMinMaxStep("GUIDER_BINNING", "HOR_BIN", 1, 2, 1, false);
            GuideCCD.setMinMaxStep("GUIDER_BINNING", "VER_BIN", 1, 2, 1, false);
        }
        UpdateTemperatureLimits();
    }
    INDI::CCD::updateProperties();
    if (isConnected()) {
        // The chips' sizes go out as updates of the properties just defined
        // (an update before the definition is an error to every client).
        const client::CcdInfo& im = info_[0];
        SetCCDParams(im.modes[0].width, im.modes[0].height, 16,
                     client::BcdHundredths(im.modes[0].pixelWidth),
                     client::BcdHundredths(im.modes[0].pixelHeight));
        if (hasTracking_) {
            const client::CcdInfo& tr = info_[1];
            SetGuiderParams(tr.modes[0].width, tr.modes[0].height, 16,
                            client::BcdHundredths(tr.modes[0].pixelWidth),
                            client::BcdHundredths(tr.modes[0].pixelHeight));
        }
        // The chips' settings as they are now are what the clients asked.
        for (unsigned ccd = 0; ccd < (hasTracking_ ? 2u : 1u); ++ccd) {
            INDI::CCDChip& chip = ccd ? GuideCCD : PrimaryCCD;
            requests_[ccd] =
                ChipRequest{chip.getSubX(), chip.getSubY(), chip.getSubW(),     chip.getSubH(),
                            chip.getBinX(), chip.getBinY(), chip.getFrameType()};
            chipType_[ccd] = chip.getFrameType();
        }
        defineProperty(&CoolerSP);
        defineProperty(&CoolerPowerNP);
        defineProperty(&RelayStatusNP);
        defineProperty(&TipTiltNP);
        defineProperty(&PulseOutNP);
        defineProperty(&ReadoutNP);
        timerId_ = SetTimer(kTickMs);
    } else {
        deleteProperty(CoolerSP.name);
        deleteProperty(CoolerPowerNP.name);
        deleteProperty(RelayStatusNP.name);
        deleteProperty(TipTiltNP.name);
        deleteProperty(PulseOutNP.name);
        deleteProperty(ReadoutNP.name);
        if (timerId_ >= 0)
            RemoveTimer(timerId_);
        timerId_ = -1;
    }
    return true;
}

bool ZevaCCD::Connect() {
    const std::string entry = PortT[0].text ? PortT[0].text : "sim:gannet";
    if (IsBlank(entry.c_str())) {
        LOG_ERROR("No camera port: the port entry is empty (e.g. sim:gannet, /dev/parport0).");
        return false;
    }
    host::SelectPortEntry(entry);
    client::Status st = driver_.Open();
    if (!st.ok()) {
        const std::string why = host::LastStartError();
        LOGF_ERROR("Cannot start the camera port \"%s\": %s", entry.c_str(),
                   why.empty() ? client::Explain(st).c_str() : why.c_str());
        return false;
    }
    st = camera_.Open(1);
    if (!st.ok()) {
        LOGF_ERROR("Cannot open the camera on port \"%s\": %s", entry.c_str(),
                   client::Explain(st).c_str());
        driver_.Close();
        return false;
    }
    st = camera_.EstablishLink(&cameraType_);
    if (!st.ok()) {
        LOGF_ERROR("Linking to the camera on port \"%s\" failed: %s", entry.c_str(),
                   client::Explain(st).c_str());
        CloseCamera();
        return false;
    }
    bool eepromFailed = false;
    if (client::CheckEeprom(camera_, cameraType_, &eepromFailed).ok() && eepromFailed)
        LOGF_WARN("%s.", client::kEepromFailedWarning);
    hasTracking_ = client::HasTrackingCcd(cameraType_);
    for (unsigned ccd = 0; ccd < (hasTracking_ ? 2u : 1u); ++ccd) {
        st = camera_.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info_[ccd]);
        if (!st.ok() || info_[ccd].modes.empty() || info_[ccd].modes[0].height == 0) {
            LOGF_ERROR("Cannot read the CCD information of the camera: %s",
                       st.ok() ? "no readout modes" : client::Explain(st).c_str());
            CloseCamera();
            return false;
        }
    }
    std::uint32_t cap =
        CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_COOLER | CCD_HAS_ST4_PORT;
    if (!client::IsSingleCcd(cameraType_))
        cap |= CCD_HAS_SHUTTER;
    if (hasTracking_)
        cap |= CCD_HAS_GUIDE_HEAD;
    SetCCDCapability(cap);
    LOGF_INFO("Connected to %s (type %u, firmware %u) on \"%s\".", info_[0].name.c_str(),
              cameraType_, info_[0].firmwareVersion, entry.c_str());
    monitorStop_ = false;
    monitor_ = std::thread([this] { MonitorLoop(); });
    return true;
}

void ZevaCCD::CloseCamera() {
    std::lock_guard<std::mutex> g(ioLock_);
    camera_.Close();
    driver_.Close();
}

bool ZevaCCD::Disconnect() {
    StopJob(0);
    StopJob(1);
    StopMonitor();
    {
        std::lock_guard<std::mutex> g(guideLock_);
        if (pulses_[0].active || pulses_[1].active)
            Locked([](client::Camera& c) { return c.ActivateRelay({0, 0, 0, 0}); });
        pulses_[0] = Pulse{};
        pulses_[1] = Pulse{};
    }
    CloseCamera();
    LOG_INFO("Disconnected.");
    return true;
}

void ZevaCCD::StopMonitor() {
    monitorStop_ = true;
    if (monitor_.joinable())
        monitor_.join();
}

void ZevaCCD::TimerHit() {
    if (!isConnected())
        return;
    PollJob(PrimaryCCD, 0);
    if (hasTracking_)
        PollJob(GuideCCD, 1);
    // What clients asked while a frame was in flight, once it is written.
    ApplyRequest(PrimaryCCD, 0, false);
    if (hasTracking_)
        ApplyRequest(GuideCCD, 1, false);
    PublishMonitor();
    timerId_ = SetTimer(kTickMs);
}

// ---------------------------------------------------------------------------
// Properties

bool ZevaCCD::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    const bool mine = dev && std::strcmp(dev, getDeviceName()) == 0;
    // Before anything is echoed: an over-long text never reaches a property.
    if (mine) {
        INDI::PropertyText p = getText(name);
        const bool port = std::strcmp(name, PortTP.name) == 0;
        if (RefuseLongText(getDeviceName(), p ? p.getText() : nullptr, texts, names, n,
                           port ? kMaxPortEntry : kMaxText))
            return true;
    }
    if (mine && std::strcmp(name, PortTP.name) == 0) {
        if (isConnected()) {
            // The entry in use, sent again (a saved configuration, a client
            // restoring its settings), changes nothing.
            bool same = true;
            for (int i = 0; i < n; ++i)
                if (std::strcmp(names[i], PortT[0].name) == 0)
                    same = texts[i] && PortT[0].text && std::strcmp(texts[i], PortT[0].text) == 0;
            if (same) {
                PortTP.s = IPS_OK;
                IDSetText(&PortTP, nullptr);
                return true;
            }
            PortTP.s = IPS_ALERT;
            IDSetText(&PortTP, "Disconnect before choosing another camera port.");
            return true;
        }
        for (int i = 0; i < n; ++i) {
            if (std::strcmp(names[i], PortT[0].name) == 0 && IsBlank(texts[i])) {
                PortTP.s = IPS_ALERT;
                IDSetText(&PortTP, "The port entry is empty (e.g. sim:gannet, /dev/parport0).");
                return true;
            }
        }
        IUUpdateText(&PortTP, texts, names, n);
        PortTP.s = IPS_OK;
        IDSetText(&PortTP, nullptr);
        saveConfig(true, PortTP.name);
        return true;
    }
    return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool ZevaCCD::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                          int n) {
    if (dev && std::strcmp(dev, getDeviceName()) == 0 && std::strcmp(name, CoolerSP.name) == 0) {
        IUUpdateSwitch(&CoolerSP, states, names, n);
        const bool on = CoolerS[0].s == ISS_ON;
        client::Status st;
        if (on) {
            const double target = haveTarget_ ? lastTarget_ : TemperatureN[0].value;
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
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
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
    if (std::strcmp(name, CalibrationNP.name) == 0) {
        double old[4];
        for (int i = 0; i < 4; ++i) old[i] = CalibrationN[i].value;
        if (IUUpdateNumber(&CalibrationNP, values, names, n) < 0)
            return true;  // refused, and said so, by libindi
        client::CoolerCalibration c{CalibrationN[0].value, CalibrationN[1].value,
                                    CalibrationN[2].value, CalibrationN[3].value};
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
    if (std::strcmp(name, RelayMapNP.name) == 0) {
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
    if (std::strcmp(name, TipTiltNP.name) == 0) {
        if (IUUpdateNumber(&TipTiltNP, values, names, n) < 0)
            return true;
        client::Status st = Locked([&](client::Camera& c) {
            return c.AOTipTilt(static_cast<std::uint16_t>(TipTiltN[0].value),
                               static_cast<std::uint16_t>(TipTiltN[1].value));
        });
        if (!st.ok())
            LOGF_ERROR("Moving the tip-tilt unit failed: %s.", client::Explain(st).c_str());
        TipTiltNP.s = st.ok() ? IPS_OK : IPS_ALERT;
        IDSetNumber(&TipTiltNP, nullptr);
        return true;
    }
    if (std::strcmp(name, PulseOutNP.name) == 0) {
        if (IUUpdateNumber(&PulseOutNP, values, names, n) < 0)
            return true;
        client::Status st = Locked([&](client::Camera& c) {
            return c.PulseOut(static_cast<std::uint16_t>(PulseOutN[0].value),
                              static_cast<std::uint16_t>(PulseOutN[1].value),
                              static_cast<std::uint16_t>(PulseOutN[2].value));
        });
        if (!st.ok())
            LOGF_ERROR("Pulse output failed: %s.", client::Explain(st).c_str());
        PulseOutNP.s = st.ok() ? IPS_OK : IPS_ALERT;
        IDSetNumber(&PulseOutNP, nullptr);
        return true;
    }
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool ZevaCCD::saveConfigItems(FILE* fp) {
    INDI::CCD::saveConfigItems(fp);
    IUSaveConfigText(fp, &PortTP);
    IUSaveConfigNumber(fp, &CalibrationNP);
    IUSaveConfigNumber(fp, &RelayMapNP);
    return true;
}

}  // namespace zeva::indi

// libindidriver runs the event loop and dispatches to the device.
static std::unique_ptr<zeva::indi::ZevaCCD> g_camera(new zeva::indi::ZevaCCD());
