#include "indi/zeva_ccd.h"

#include <indilogger.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "indi/host.h"

namespace zeva::indi {

namespace {

constexpr unsigned kTickMs = 100;

bool HasTrackingCcd(std::uint16_t type) {
    return type == 4 || type == 5 || type == 10 || type == 12;
}
bool SingleCcd(std::uint16_t type) {
    return type == 6 || type == 8;
}

using host::NowNs;
using host::Wait;

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
    loadConfig(true, "ZEVA_PORT");
    loadConfig(true, "ZEVA_COOLER_CALIBRATION");
    loadConfig(true, "ZEVA_RELAY_MAP");
}

void ZevaCCD::UpdateTemperatureLimits() {
    const double a = calibration_.ToCelsius(0), b = calibration_.ToCelsius(4095);
    TemperatureN[0].min = std::min(a, b);
    TemperatureN[0].max = std::max(a, b);
}

bool ZevaCCD::updateProperties() {
    if (isConnected()) {
        const client::CcdInfo& im = info_[0];
        SetCCDParams(im.modes[0].width, im.modes[0].height, 16,
                     client::BcdHundredths(im.modes[0].pixelWidth),
                     client::BcdHundredths(im.modes[0].pixelHeight));
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, 3, 1, false);
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, 3, 1, false);
        if (hasTracking_) {
            const client::CcdInfo& tr = info_[1];
            SetGuiderParams(tr.modes[0].width, tr.modes[0].height, 16,
                            client::BcdHundredths(tr.modes[0].pixelWidth),
                            client::BcdHundredths(tr.modes[0].pixelHeight));
            GuideCCD.setMinMaxStep("GUIDER_BINNING", "HOR_BIN", 1, 2, 1, false);
            GuideCCD.setMinMaxStep("GUIDER_BINNING", "VER_BIN", 1, 2, 1, false);
        }
        UpdateTemperatureLimits();
    }
    INDI::CCD::updateProperties();
    if (isConnected()) {
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
    host::SelectPortEntry(entry);
    client::Status st = driver_.Open();
    if (!st.ok()) {
        const std::string why = host::LastStartError();
        LOGF_ERROR("Cannot start the camera port \"%s\": %s", entry.c_str(),
                   why.empty() ? st.Describe().c_str() : why.c_str());
        return false;
    }
    st = camera_.Open(1);
    if (!st.ok()) {
        LOGF_ERROR("Cannot open the camera on port \"%s\": %s", entry.c_str(),
                   st.Describe().c_str());
        driver_.Close();
        return false;
    }
    st = camera_.EstablishLink(&cameraType_);
    if (!st.ok()) {
        LOGF_ERROR("No camera answers on port \"%s\" (%s): is it plugged in and powered?",
                   entry.c_str(), st.Describe().c_str());
        CloseCamera();
        return false;
    }
    hasTracking_ = HasTrackingCcd(cameraType_);
    for (unsigned ccd = 0; ccd < (hasTracking_ ? 2u : 1u); ++ccd) {
        st = camera_.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info_[ccd]);
        if (!st.ok() || info_[ccd].modes.empty() || info_[ccd].modes[0].height == 0) {
            LOGF_ERROR("Cannot read the CCD information of the camera: %s",
                       st.ok() ? "no readout modes" : st.Describe().c_str());
            CloseCamera();
            return false;
        }
    }
    std::uint32_t cap =
        CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_COOLER | CCD_HAS_ST4_PORT;
    if (!SingleCcd(cameraType_))
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

// ---------------------------------------------------------------------------
// Exposures

bool ZevaCCD::PlanFor(INDI::CCDChip& chip, unsigned ccd, int hbin, int vbin, ReadoutPlan* plan,
                      std::string* error) {
    // Modes 3 to 5 are read on the imaging CCD of the dual-CCD family and Kestrel.
    const bool vfModes = ccd == 0 && !SingleCcd(cameraType_);
    return PlanReadout(info_[ccd], vfModes, static_cast<unsigned>(hbin),
                       static_cast<unsigned>(vbin), static_cast<unsigned>(chip.getSubX()),
                       static_cast<unsigned>(chip.getSubY()), static_cast<unsigned>(chip.getSubW()),
                       static_cast<unsigned>(chip.getSubH()), plan, error);
}

void ZevaCCD::StopJob(unsigned ccd) {
    std::unique_ptr<ExposureJob>& job = jobs_[ccd];
    if (!job)
        return;
    job->abort = true;
    if (job->thread.joinable())
        job->thread.join();
    job.reset();
}

bool ZevaCCD::StartChip(INDI::CCDChip& chip, unsigned ccd, float duration) {
    if (!isConnected())
        return false;
    StopJob(ccd);  // a new exposure ends the one still running
    ReadoutPlan plan;
    std::string error;
    if (!PlanFor(chip, ccd, chip.getBinX(), chip.getBinY(), &plan, &error)) {
        LOGF_ERROR("Cannot expose: %s.", error.c_str());
        return false;
    }
    chip.setFrame(plan.x * plan.hbin, plan.y * plan.vbin, plan.w * plan.hbin, plan.h * plan.vbin);
    auto job = std::make_unique<ExposureJob>();
    job->ccd = ccd;
    job->frameType = chip.getFrameType();
    job->seconds = job->frameType == INDI::CCDChip::BIAS_FRAME ? 0.0 : duration;
    job->plan = plan;
    job->left = job->seconds;
    chip.setExposureDuration(job->seconds);
    ReadoutN[ccd].value = 0;
    IDSetNumber(&ReadoutNP, nullptr);
    ExposureJob* raw = job.get();
    job->thread = std::thread([this, raw] { RunJob(raw); });
    jobs_[ccd] = std::move(job);
    return true;
}

void ZevaCCD::RunJob(ExposureJob* job) {
    const std::uint16_t ccd = static_cast<std::uint16_t>(job->ccd);
    const ReadoutPlan& p = job->plan;
    const bool closed =
        job->frameType == INDI::CCDChip::DARK_FRAME || job->frameType == INDI::CCDChip::BIAS_FRAME;
    client::ExposureRequest req;
    req.ccd = ccd;
    req.time = static_cast<std::uint32_t>(std::lround(job->seconds * 100.0));
    req.shutterMode = closed ? 2 : 1;
    auto fail = [&](const std::string& what, const client::Status& st) {
        job->error = what + " failed: " + st.Describe();
        Locked([&](client::Camera& c) {
            c.EndExposure(ccd, true);
            return c.EndReadout(ccd);
        });
        job->finished = true;
    };
    client::Status st = Locked([&](client::Camera& c) { return c.StartExposure(req); });
    if (!st.ok())
        return fail("Starting the exposure", st);
    const std::uint64_t start = NowNs();
    for (;;) {
        if (job->abort) {
            Locked([&](client::Camera& c) {
                c.EndExposure(ccd, true);
                return c.EndReadout(ccd);
            });
            job->finished = true;
            return;
        }
        std::uint16_t word = 0;
        st = Locked([&](client::Camera& c) { return c.QueryCommandStatus(1, &word); });
        if (!st.ok())
            return fail("Querying the exposure", st);
        if (client::ExposureStateOf(word, ccd) != 2)
            break;
        const double elapsed = static_cast<double>(NowNs() - start) / 1e9;
        if (elapsed > job->seconds + 60.0) {
            job->error = "The camera did not end the exposure within 60 s of its end";
            Locked([&](client::Camera& c) { return c.EndExposure(ccd, true); });
            job->finished = true;
            return;
        }
        const double left = std::max(0.0, job->seconds - elapsed);
        job->left = left;
        Wait(static_cast<unsigned>(std::clamp(left * 1000.0, 10.0, 50.0)));
    }
    job->left = 0;
    job->reading = true;
    st = Locked([&](client::Camera& c) { return c.EndExposure(ccd); });
    if (!st.ok())
        return fail("Ending the exposure", st);
    const auto mode = static_cast<std::uint8_t>(p.mode);
    const auto vf = static_cast<std::uint8_t>(p.verticalFactor);
    if (p.y > 0) {
        st = Locked([&](client::Camera& c) {
            return c.DumpLines(ccd, mode, vf, static_cast<std::uint16_t>(p.y));
        });
        if (!st.ok())
            return fail("Dumping the lines above the frame", st);
    }
    job->pixels.assign(static_cast<std::size_t>(p.w) * p.h, 0);
    const client::LineRequest line{ccd, mode, vf, static_cast<std::uint16_t>(p.x),
                                   static_cast<std::uint16_t>(p.w)};
    for (unsigned r = 0; r < p.h; ++r) {
        if (job->abort) {
            Locked([&](client::Camera& c) { return c.EndReadout(ccd); });
            job->finished = true;
            return;
        }
        std::span<std::uint16_t> out(job->pixels.data() + static_cast<std::size_t>(r) * p.w, p.w);
        st = Locked([&](client::Camera& c) { return c.ReadoutLine(line, out); });
        if (!st.ok())
            return fail("Reading line " + std::to_string(r), st);
        job->linesDone = r + 1;
    }
    const unsigned rest = p.modeHeight - p.y - p.h;
    if (rest > 0) {
        st = Locked([&](client::Camera& c) {
            return c.DumpLines(ccd, mode, vf, static_cast<std::uint16_t>(rest));
        });
        if (!st.ok())
            return fail("Dumping the lines below the frame", st);
    }
    st = Locked([&](client::Camera& c) { return c.EndReadout(ccd); });
    if (!st.ok()) {
        job->error = "Ending the readout failed: " + st.Describe();
        job->finished = true;
        return;
    }
    job->haveTemperature =
        Locked([&](client::Camera& c) { return c.QueryTemperatureStatus(&job->temperature); }).ok();
    job->finished = true;
}

// Event loop: publish what a worker reports; upload only a frame that was
// not aborted (an aborted job is gone before its frame could be seen here).
void ZevaCCD::PollJob(INDI::CCDChip& chip, unsigned ccd) {
    ExposureJob* job = jobs_[ccd].get();
    if (!job)
        return;
    if (!job->finished) {
        if (job->reading) {
            chip.setExposureLeft(0);
            const double pct = job->plan.h ? 100.0 * job->linesDone / job->plan.h : 0;
            if (pct != ReadoutN[ccd].value) {
                ReadoutN[ccd].value = pct;
                ReadoutNP.s = IPS_BUSY;
                IDSetNumber(&ReadoutNP, nullptr);
            }
        } else {
            chip.setExposureLeft(job->left);
        }
        return;
    }
    job->thread.join();
    std::unique_ptr<ExposureJob> done = std::move(jobs_[ccd]);
    if (done->abort)
        return;
    if (!done->error.empty()) {
        LOGF_ERROR("%s.", done->error.c_str());
        chip.setExposureFailed();
        ReadoutNP.s = IPS_ALERT;
        IDSetNumber(&ReadoutNP, nullptr);
        if (ccd == 0)
            InExposure = false;
        else
            InGuideExposure = false;
        return;
    }
    ReadoutN[ccd].value = 100;
    ReadoutNP.s = IPS_OK;
    IDSetNumber(&ReadoutNP, nullptr);
    if (done->haveTemperature) {
        TemperatureN[0].value = calibration_.ToCelsius(done->temperature.reading2);
    }
    {
        std::lock_guard<std::mutex> g(ccdBufferLock);
        chip.setFrameBufferSize(static_cast<uint32_t>(done->pixels.size() * 2));
        std::uint8_t* buf = chip.getFrameBuffer();
        for (std::size_t i = 0; i < done->pixels.size(); ++i) {
            buf[2 * i] = static_cast<std::uint8_t>(done->pixels[i] & 0xFF);
            buf[2 * i + 1] = static_cast<std::uint8_t>(done->pixels[i] >> 8);
        }
    }
    if (ccd == 0)
        InExposure = false;
    else
        InGuideExposure = false;
    chip.setExposureLeft(0);
    ExposureComplete(&chip);
}

bool ZevaCCD::StartExposure(float duration) {
    if (!StartChip(PrimaryCCD, 0, duration))
        return false;
    InExposure = true;
    return true;
}

bool ZevaCCD::AbortExposure() {
    StopJob(0);
    InExposure = false;
    return true;
}

bool ZevaCCD::StartGuideExposure(float duration) {
    if (!hasTracking_ || !StartChip(GuideCCD, 1, duration))
        return false;
    InGuideExposure = true;
    return true;
}

bool ZevaCCD::AbortGuideExposure() {
    StopJob(1);
    InGuideExposure = false;
    return true;
}

bool ZevaCCD::UpdateCCDFrame(int x, int y, int w, int h) {
    const int maxW = PrimaryCCD.getXRes(), maxH = PrimaryCCD.getYRes();
    x = std::clamp(x, 0, std::max(0, maxW - 1));
    y = std::clamp(y, 0, std::max(0, maxH - 1));
    w = std::clamp(w, 1, maxW - x);
    h = std::clamp(h, 1, maxH - y);
    PrimaryCCD.setFrame(x, y, w, h);
    return true;
}

bool ZevaCCD::UpdateGuiderFrame(int x, int y, int w, int h) {
    const int maxW = GuideCCD.getXRes(), maxH = GuideCCD.getYRes();
    x = std::clamp(x, 0, std::max(0, maxW - 1));
    y = std::clamp(y, 0, std::max(0, maxH - 1));
    w = std::clamp(w, 1, maxW - x);
    h = std::clamp(h, 1, maxH - y);
    GuideCCD.setFrame(x, y, w, h);
    return true;
}

bool ZevaCCD::UpdateCCDBin(int hor, int ver) {
    if (hor < 1 || ver < 1 ||
        !BinningOffered(info_[0], !SingleCcd(cameraType_), static_cast<unsigned>(hor),
                        static_cast<unsigned>(ver))) {
        LOGF_ERROR("Binning %dx%d is not offered by the imaging CCD.", hor, ver);
        return false;
    }
    PrimaryCCD.setBin(static_cast<uint8_t>(hor), static_cast<uint8_t>(ver));
    return UpdateCCDFrame(PrimaryCCD.getSubX(), PrimaryCCD.getSubY(), PrimaryCCD.getSubW(),
                          PrimaryCCD.getSubH());
}

bool ZevaCCD::UpdateGuiderBin(int hor, int ver) {
    if (!hasTracking_ || hor < 1 || ver < 1 ||
        !BinningOffered(info_[1], false, static_cast<unsigned>(hor), static_cast<unsigned>(ver))) {
        LOGF_ERROR("Binning %dx%d is not offered by the tracking CCD.", hor, ver);
        return false;
    }
    GuideCCD.setBin(static_cast<uint8_t>(hor), static_cast<uint8_t>(ver));
    return UpdateGuiderFrame(GuideCCD.getSubX(), GuideCCD.getSubY(), GuideCCD.getSubW(),
                             GuideCCD.getSubH());
}

bool ZevaCCD::UpdateCCDFrameType(INDI::CCDChip::CCD_FRAME type) {
    PrimaryCCD.setFrameType(type);
    return true;
}

bool ZevaCCD::UpdateGuiderFrameType(INDI::CCDChip::CCD_FRAME type) {
    GuideCCD.setFrameType(type);
    return true;
}

void ZevaCCD::addFITSKeywords(INDI::CCDChip* chip) {
    INDI::CCD::addFITSKeywords(chip);
    fitsfile* f = *chip->fitsFilePointer();
    if (!f)
        return;
    const unsigned ccd = chip == &GuideCCD ? 1 : 0;
    const client::CcdInfo& info = info_[ccd];
    int status = 0;
    std::string name = info.name;
    fits_update_key_str(f, "INSTRUME", name.c_str(), "camera model", &status);
    const char* which = ccd == 0 ? "Imaging" : "Tracking";
    fits_update_key_str(f, "CCD", which, "CCD read", &status);
    fits_update_key_str(f, "ROWORDER", "TOP-DOWN", "first line read is row 1", &status);
    const int bx = chip->getBinX(), by = chip->getBinY();
    int mode = bx == by ? bx - 1 : 2 + bx;
    fits_update_key_lng(f, "READMODE", mode, "readout mode", &status);
    if (mode >= 3)
        fits_update_key_lng(f, "VFACTOR", by, "rows shifted per line", &status);
    const unsigned m =
        static_cast<unsigned>(std::min<int>(mode, static_cast<int>(info.modes.size()) - 1));
    fits_update_key_dbl(f, "EGAIN", client::BcdHundredths(info.modes[m].gain), 6,
                        "electrons per ADU", &status);
    fits_update_key_lng(f, "XORGSUBF", chip->getSubX(), "subframe origin x [unbinned px]", &status);
    fits_update_key_lng(f, "YORGSUBF", chip->getSubY(), "subframe origin y [unbinned px]", &status);
    const long pedestal = (ccd == 1 || cameraType_ == 6) ? 0 : 100;
    fits_update_key_lng(f, "PEDESTAL", pedestal, "counts added by the driver to each pixel",
                        &status);
    if (CoolerS[0].s == ISS_ON && haveTarget_)
        fits_update_key_dbl(f, "SET-TEMP", lastTarget_, 3, "cooler setpoint [C]", &status);
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
        LOGF_ERROR("Setting the cooler failed: %s.", st.Describe().c_str());
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

// ---------------------------------------------------------------------------
// Guiding relays

void ZevaCCD::SendRelays() {
    const std::uint64_t now = NowNs();
    std::uint32_t left[2] = {0, 0};
    for (int a = 0; a < 2; ++a)
        if (pulses_[a].active && pulses_[a].endNs > now)
            left[a] = static_cast<std::uint32_t>((pulses_[a].endNs - now) / 1'000'000);
    const auto times =
        RelayTimes(relayMap_, left[0], pulses_[0].positive, left[1], pulses_[1].positive);
    Locked([&](client::Camera& c) { return c.ActivateRelay(times); });
}

IPState ZevaCCD::StartPulse(unsigned axis, bool positive, std::uint32_t ms) {
    if (!isConnected())
        return IPS_ALERT;
    if (ms < 5)
        return IPS_OK;
    std::lock_guard<std::mutex> g(guideLock_);
    const std::uint64_t now = NowNs();
    std::uint32_t left[2] = {0, 0};
    pulses_[axis] = Pulse{true, positive, now + std::uint64_t{ms} * 1'000'000, false};
    for (int a = 0; a < 2; ++a)
        if (pulses_[a].active && pulses_[a].endNs > now)
            left[a] = static_cast<std::uint32_t>((pulses_[a].endNs - now) / 1'000'000);
    const auto times =
        RelayTimes(relayMap_, left[0], pulses_[0].positive, left[1], pulses_[1].positive);
    client::Status st = Locked([&](client::Camera& c) { return c.ActivateRelay(times); });
    if (!st.ok()) {
        pulses_[axis] = Pulse{};
        LOGF_ERROR("Guide pulse failed: %s.", st.Describe().c_str());
        return IPS_ALERT;
    }
    return IPS_BUSY;
}

IPState ZevaCCD::GuideNorth(uint32_t ms) {
    return StartPulse(0, true, ms);
}
IPState ZevaCCD::GuideSouth(uint32_t ms) {
    return StartPulse(0, false, ms);
}
IPState ZevaCCD::GuideWest(uint32_t ms) {
    return StartPulse(1, true, ms);
}
IPState ZevaCCD::GuideEast(uint32_t ms) {
    return StartPulse(1, false, ms);
}

// ---------------------------------------------------------------------------
// Monitor thread and event-loop tick

void ZevaCCD::MonitorLoop() {
    std::uint64_t nextTemp = 0, nextRelay = 0;
    while (!monitorStop_) {
        bool guiding;
        {
            std::lock_guard<std::mutex> g(guideLock_);
            guiding = pulses_[0].active || pulses_[1].active;
        }
        const std::uint64_t now = NowNs();
        if (now >= nextTemp) {
            client::TemperatureStatus t;
            client::Status st =
                Locked([&](client::Camera& c) { return c.QueryTemperatureStatus(&t); });
            std::lock_guard<std::mutex> g(snapLock_);
            snapTempOk_ = st.ok();
            if (st.ok())
                snapTemp_ = t;
            else
                snapError_ = "Reading the cooler failed: " + st.Describe();
            nextTemp = now + 1'000'000'000;
        }
        if (guiding || now >= nextRelay) {
            std::lock_guard<std::mutex> gg(guideLock_);
            std::uint16_t word = 0;
            client::Status st =
                Locked([&](client::Camera& c) { return c.QueryCommandStatus(7, &word); });
            if (st.ok()) {
                const unsigned out[2][2] = {{relayMap_.north, relayMap_.south},
                                            {relayMap_.west, relayMap_.east}};
                bool resend = false;
                const std::uint64_t t = NowNs();
                for (int a = 0; a < 2; ++a) {
                    Pulse& p = pulses_[a];
                    if (!p.active || RelayClosed(word, out[a][p.positive ? 0 : 1]))
                        continue;
                    if (p.endNs > t + 10'000'000) {
                        resend = true;  // a long pulse goes on in another piece
                    } else {
                        p.active = false;
                        p.done = true;
                    }
                }
                if (resend)
                    SendRelays();
            }
            std::lock_guard<std::mutex> g(snapLock_);
            snapRelayOk_ = st.ok();
            snapRelays_ = word;
            nextRelay = now + 500'000'000;
        }
        Wait(guiding ? 10 : 100);
    }
}

void ZevaCCD::PublishMonitor() {
    bool tempOk, relayOk;
    client::TemperatureStatus t;
    std::uint16_t relays;
    std::string error;
    {
        std::lock_guard<std::mutex> g(snapLock_);
        tempOk = snapTempOk_;
        t = snapTemp_;
        relayOk = snapRelayOk_;
        relays = snapRelays_;
        error.swap(snapError_);
    }
    if (!error.empty())
        LOGF_WARN("%s.", error.c_str());
    if (tempOk) {
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
    if (relayOk) {
        bool changed = false;
        for (unsigned i = 0; i < 4; ++i) {
            const double v = RelayClosed(relays, i) ? 1 : 0;
            if (RelayStatusN[i].value != v) {
                RelayStatusN[i].value = v;
                changed = true;
            }
        }
        if (changed || RelayStatusNP.s != IPS_OK) {
            RelayStatusNP.s = IPS_OK;
            IDSetNumber(&RelayStatusNP, nullptr);
        }
    }
    bool done[2];
    {
        std::lock_guard<std::mutex> g(guideLock_);
        for (int a = 0; a < 2; ++a) {
            done[a] = pulses_[a].done;
            pulses_[a].done = false;
        }
    }
    if (done[0])
        GuideComplete(AXIS_DE);
    if (done[1])
        GuideComplete(AXIS_RA);
}

void ZevaCCD::TimerHit() {
    if (!isConnected())
        return;
    PollJob(PrimaryCCD, 0);
    if (hasTracking_)
        PollJob(GuideCCD, 1);
    PublishMonitor();
    timerId_ = SetTimer(kTickMs);
}

// ---------------------------------------------------------------------------
// Properties

bool ZevaCCD::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    if (dev && std::strcmp(dev, getDeviceName()) == 0 && std::strcmp(name, PortTP.name) == 0) {
        if (isConnected()) {
            PortTP.s = IPS_ALERT;
            IDSetText(&PortTP, "Disconnect before choosing another camera port.");
            return true;
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
        if (!st.ok())
            LOGF_ERROR("Switching the cooler failed: %s.", st.Describe().c_str());
        CoolerSP.s = st.ok() ? (on ? IPS_BUSY : IPS_OK) : IPS_ALERT;
        IDSetSwitch(&CoolerSP, nullptr);
        return true;
    }
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool ZevaCCD::ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                          int n) {
    if (!dev || std::strcmp(dev, getDeviceName()) != 0)
        return INDI::CCD::ISNewNumber(dev, name, values, names, n);
    if (std::strcmp(name, CalibrationNP.name) == 0) {
        double old[4];
        for (int i = 0; i < 4; ++i) old[i] = CalibrationN[i].value;
        IUUpdateNumber(&CalibrationNP, values, names, n);
        CoolerCalibration c{CalibrationN[0].value, CalibrationN[1].value, CalibrationN[2].value,
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
    if (std::strcmp(name, RelayMapNP.name) == 0) {
        double old[4];
        for (int i = 0; i < 4; ++i) old[i] = RelayMapN[i].value;
        IUUpdateNumber(&RelayMapNP, values, names, n);
        RelayMap m{
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
        IUUpdateNumber(&TipTiltNP, values, names, n);
        client::Status st = Locked([&](client::Camera& c) {
            return c.AOTipTilt(static_cast<std::uint16_t>(TipTiltN[0].value),
                               static_cast<std::uint16_t>(TipTiltN[1].value));
        });
        if (!st.ok())
            LOGF_ERROR("Moving the tip-tilt unit failed: %s.", st.Describe().c_str());
        TipTiltNP.s = st.ok() ? IPS_OK : IPS_ALERT;
        IDSetNumber(&TipTiltNP, nullptr);
        return true;
    }
    if (std::strcmp(name, PulseOutNP.name) == 0) {
        IUUpdateNumber(&PulseOutNP, values, names, n);
        client::Status st = Locked([&](client::Camera& c) {
            return c.PulseOut(static_cast<std::uint16_t>(PulseOutN[0].value),
                              static_cast<std::uint16_t>(PulseOutN[1].value),
                              static_cast<std::uint16_t>(PulseOutN[2].value));
        });
        if (!st.ok())
            LOGF_ERROR("Pulse output failed: %s.", st.Describe().c_str());
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
