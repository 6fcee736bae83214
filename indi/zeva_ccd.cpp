#include "indi/zeva_ccd.h"

#include <fcntl.h>
#include <indilogger.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/explain.h"
#include "indi/host.h"
#include "indi/inputs.h"

namespace zeva::indi {

namespace {

constexpr unsigned kTickMs = 100;

// Every device of the driver, made and destroyed on the main thread.
std::vector<ZevaCCD*> g_all;

}  // namespace

ZevaCCD::ZevaCCD(std::size_t index, std::size_t count, const std::string& entry)
    : index_(index), count_(count), startEntry_(entry) {
    setDeviceName(host::DeviceName(index).c_str());
    g_all.push_back(this);
    // A finished frame wakes the event loop at once rather than at its next tick.
    if (pipe2(finishedPipe_, O_NONBLOCK | O_CLOEXEC) == 0)
        IEAddCallback(finishedPipe_[0], &ZevaCCD::JobFinished, this);
    // DRIVER_VERSION is the project's ("3.30": major and minor as written).
    unsigned major = 0, minor = 0;
    if (std::sscanf(client::Version(), "%u.%u", &major, &minor) == 2)
        setVersion(static_cast<std::uint16_t>(major), static_cast<std::uint16_t>(minor));
}

ZevaCCD::~ZevaCCD() {
    StopJob(0);
    StopJob(1);
    StopMonitor();
    CloseCamera();
    for (int fd : finishedPipe_)
        if (fd >= 0)
            close(fd);
    g_all.erase(std::find(g_all.begin(), g_all.end(), this));
}

bool ZevaCCD::OtherDeviceUploading() {
    for (ZevaCCD* other : g_all)
        if (other != this && other->Uploading())
            return true;
    return false;
}

const char* ZevaCCD::getDefaultName() {
    return "ZEVA CCD";
}

bool ZevaCCD::initProperties() {
    INDI::CCD::initProperties();
    SetCCDCapability(CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_COOLER |
                     CCD_HAS_SHUTTER | CCD_HAS_ST4_PORT | CCD_HAS_GUIDE_HEAD);
    addCaptureFormat({"INDI_MONO", "Mono", 16, true});

    IUFillText(&PortT[0], "ENTRY", "Port entry", startEntry_.c_str());
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
    // libindidriver asks every device of the driver: another device's
    // name is not ours to take.
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) != 0)
        return;
    INDI::CCD::ISGetProperties(dev);
    defineProperty(&PortTP);
    defineProperty(&CalibrationNP);
    if (hasRelays_ || !isConnected())
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
        defineProperty(&ReadoutNP);
        if (hasRelays_)
            DefineRelayProperties();
        else
            deleteProperty(RelayMapNP.name);
        timerId_ = SetTimer(kTickMs);
    } else {
        deleteProperty(CoolerSP.name);
        deleteProperty(CoolerPowerNP.name);
        deleteProperty(ReadoutNP.name);
        if (hasRelays_)
            DeleteRelayProperties();
        else
            defineProperty(&RelayMapNP);  // for the next camera, which may have relays
        hasRelays_ = true;
        if (timerId_ >= 0)
            RemoveTimer(timerId_);
        timerId_ = -1;
    }
    return true;
}

void ZevaCCD::DefineRelayProperties() {
    defineProperty(&RelayStatusNP);
    defineProperty(&TipTiltNP);
    defineProperty(&PulseOutNP);
}

void ZevaCCD::DeleteRelayProperties() {
    deleteProperty(RelayStatusNP.name);
    deleteProperty(TipTiltNP.name);
    deleteProperty(PulseOutNP.name);
}

bool ZevaCCD::Connect() {
    const std::string entry = PortT[0].text ? PortT[0].text : "sim:gannet";
    if (IsBlank(entry.c_str())) {
        LOG_ERROR("No camera port: the port entry is empty (e.g. sim:gannet, /dev/parport0).");
        return false;
    }
    std::string refused;
    if (!host::Claim(index_, count_, entry, &refused)) {
        LOGF_ERROR("Cannot start the camera port \"%s\": %s.", entry.c_str(), refused.c_str());
        return false;
    }
    client::Status st = driver_.Open();
    if (!st.ok()) {
        const std::string why = host::LastStartError();
        LOGF_ERROR("Cannot start the camera port \"%s\": %s", entry.c_str(),
                   why.empty() ? client::Explain(st).c_str() : why.c_str());
        host::Release(index_);
        return false;
    }
    st = camera_.Open(static_cast<std::uint16_t>(index_ + 1));
    if (!st.ok()) {
        LOGF_ERROR("Cannot open the camera on port \"%s\": %s", entry.c_str(),
                   client::Explain(st).c_str());
        CloseCamera();
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
    shutter_.SetTracking(hasTracking_);
    for (unsigned ccd = 0; ccd < (hasTracking_ ? 2u : 1u); ++ccd) {
        st = camera_.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info_[ccd]);
        if (!st.ok() || info_[ccd].modes.empty() || info_[ccd].modes[0].height == 0) {
            LOGF_ERROR("Cannot read the CCD information of the camera: %s",
                       st.ok() ? "no readout modes" : client::Explain(st).c_str());
            CloseCamera();
            return false;
        }
    }
    // Guiding pulses only where the camera has relays to send them with.
    hasRelays_ = client::HasGuideRelays(cameraType_);
    std::uint32_t cap = CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_COOLER;
    if (hasRelays_)
        cap |= CCD_HAS_ST4_PORT;
    if (client::HasShutter(cameraType_))
        cap |= CCD_HAS_SHUTTER;
    if (hasTracking_)
        cap |= CCD_HAS_GUIDE_HEAD;
    SetCCDCapability(cap);
    LOGF_INFO("Connected to %s (type %u, firmware %u) on \"%s\".", info_[0].name.c_str(),
              cameraType_, info_[0].firmwareVersion, entry.c_str());
    {
        // Nothing the monitor read from another camera is published.
        std::lock_guard<std::mutex> g(snapLock_);
        snapTempOk_ = snapRelayOk_ = false;
    }
    monitorStop_ = false;
    monitor_ = std::thread([this] { MonitorLoop(); });
    return true;
}

void ZevaCCD::CloseCamera() {
    std::lock_guard<client::CameraLock> g(ioLock_);
    camera_.Close();
    driver_.Close();
    host::Release(index_);
}

bool ZevaCCD::Disconnect() {
    // An exposure the disconnect ends is not left Busy for the next connect:
    // nothing would ever end it.
    const bool ended[2] = {jobs_[0] != nullptr || InExposure,
                           jobs_[1] != nullptr || InGuideExposure};
    StopJob(0);
    StopJob(1);
    for (unsigned ccd = 0; ccd < 2; ++ccd) {
        if (!ended[ccd])
            continue;
        (ccd == 0 ? InExposure : InGuideExposure) = false;
        INDI::PropertyNumber p = getNumber(ccd == 0 ? "CCD_EXPOSURE" : "GUIDER_EXPOSURE");
        if (INumberVectorProperty* nvp = p ? p.getNumber() : nullptr) {
            nvp->s = IPS_ALERT;
            IDSetNumber(nvp, "%s exposure ended by the disconnect.",
                        ccd == 0 ? "Imaging" : "Guide");
        }
    }
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
    PollJobs();
    PublishMonitor();
    timerId_ = SetTimer(kTickMs);
}

void ZevaCCD::PollJobs() {
    PollJob(PrimaryCCD, 0);
    if (hasTracking_)
        PollJob(GuideCCD, 1);
    // What clients asked while a frame was in flight, once it is written.
    ApplyRequest(PrimaryCCD, 0, false);
    if (hasTracking_)
        ApplyRequest(GuideCCD, 1, false);
}

void ZevaCCD::JobFinished(int fd, void* self) {
    char drained[16];
    while (read(fd, drained, sizeof drained) > 0) {
    }
    auto* ccd = static_cast<ZevaCCD*>(self);
    if (ccd->isConnected())
        ccd->PollJobs();
}

namespace {

// Every ZEVA_PORTS entry is a device of its own.  libindidriver runs the
// event loop and dispatches to each device by name.
struct Devices {
    Devices() {
        const std::vector<std::string> entries = host::StartEntries();
        for (std::size_t i = 0; i < entries.size(); ++i)
            all.push_back(std::make_unique<ZevaCCD>(i, entries.size(), entries[i]));
    }
    ~Devices() {
        all.clear();
        // The real-clock timer thread must be gone before the process ends.
        host::Shutdown();
    }
    std::vector<std::unique_ptr<ZevaCCD>> all;
};
Devices g_devices;

}  // namespace

}  // namespace zeva::indi
