// Exposures: one job per chip runs the client's capture sequence on its own
// thread with the plan fixed when the exposure starts; the event loop shows
// its progress and uploads the frame it read.
#include <indilogger.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "indi/zeva_ccd.h"

namespace zeva::indi {

namespace {

// A completed frame's FITS keys are written on a thread of the base class;
// a frame sent in another transfer format has none, and its settings are
// let go after this long.
constexpr std::chrono::seconds kWriteWait{2};
// Exposure countdown and readout percentage: at most this often.
constexpr std::chrono::milliseconds kProgressPeriod{500};

client::FrameType FrameTypeOf(INDI::CCDChip::CCD_FRAME type) {
    switch (type) {
        case INDI::CCDChip::DARK_FRAME:
            return client::FrameType::Dark;
        case INDI::CCDChip::BIAS_FRAME:
            return client::FrameType::Bias;
        case INDI::CCDChip::FLAT_FRAME:
            return client::FrameType::Flat;
        case INDI::CCDChip::LIGHT_FRAME:
            break;
    }
    return client::FrameType::Light;
}

// "reading line 3 failed: ..." as a log sentence.
std::string Sentence(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

bool ZevaCCD::PlanFor(INDI::CCDChip& chip, unsigned ccd, int hbin, int vbin,
                      client::ReadoutPlan* plan, std::string* error) {
    if (hbin < 1 || vbin < 1) {
        *error = "binning " + std::to_string(hbin) + "x" + std::to_string(vbin) + " is not valid";
        return false;
    }
    const client::Window frame{static_cast<unsigned>(std::max(0, chip.getSubX())),
                               static_cast<unsigned>(std::max(0, chip.getSubY())),
                               static_cast<unsigned>(std::max(0, chip.getSubW())),
                               static_cast<unsigned>(std::max(0, chip.getSubH()))};
    return client::PlanBinning(info_[ccd], ccd, client::VerticalFactorModes(cameraType_, ccd),
                               static_cast<unsigned>(hbin), static_cast<unsigned>(vbin), plan,
                               error) &&
           client::SetWindow(plan, frame, client::WindowFit::Clip, error);
}

void ZevaCCD::StopJob(unsigned ccd) {
    std::unique_ptr<ExposureJob>& job = jobs_[ccd];
    if (!job)
        return;
    const client::CaptureProgress asked = job->capture.Progress();
    job->capture.Cancel();
    if (job->thread.joinable())
        job->thread.join();
    // A readout ends after the line it is reading: say where, for the log.
    if (!job->finished.load() || job->result.outcome != client::CaptureOutcome::Cancelled ||
        asked.phase != client::CapturePhase::Reading) {
        job.reset();
        return;
    }
    LOGF_INFO("%s readout stopped after line %u of %u (line %u when it was stopped).",
              ccd == 0 ? "Imaging" : "Tracking", job->result.linesRead, asked.lines,
              asked.linesRead);
    job.reset();
}

bool ZevaCCD::WritingLocked(unsigned ccd) {
    if (writing_[ccd] && std::chrono::steady_clock::now() >= writingSince_[ccd] + kWriteWait)
        writing_[ccd] = false;
    return writing_[ccd];
}

bool ZevaCCD::Writing(unsigned ccd) {
    if (ccd > 1)
        return false;
    std::lock_guard<std::mutex> g(writeLock_);
    return WritingLocked(ccd);
}

bool ZevaCCD::Uploading() {
    if (Writing(0) || Writing(1))
        return true;
    std::unique_lock<std::mutex> buffer(ccdBufferLock, std::try_to_lock);
    return !buffer.owns_lock();
}

bool ZevaCCD::ChipFree(unsigned ccd, bool wait) {
    if (jobs_[ccd])
        return false;
    std::unique_lock<std::mutex> g(writeLock_);
    if (wait)
        written_.wait_until(g, writingSince_[ccd] + kWriteWait, [&] { return !writing_[ccd]; });
    return !WritingLocked(ccd);
}

void ZevaCCD::ApplyRequest(INDI::CCDChip& chip, unsigned ccd, bool wait) {
    if (!ChipFree(ccd, wait)) {
        // The base class may have set the chip's frame type already: the
        // chip keeps describing the frame it describes.
        chip.setFrameType(chipType_[ccd]);
        return;
    }
    const ChipRequest& r = requests_[ccd];
    // Only this thread changes the chip: nothing to do is seen without a lock.
    if (chip.getBinX() == r.hbin && chip.getBinY() == r.vbin && chip.getSubX() == r.x &&
        chip.getSubY() == r.y && chip.getSubW() == r.w && chip.getSubH() == r.h) {
        chip.setFrameType(r.type);
        chipType_[ccd] = r.type;
        return;
    }
    // The base class's writer holds the buffer lock while it writes and
    // uploads a frame (of either chip): the event loop does not wait for an
    // upload unless an exposure is to start.
    std::unique_lock<std::mutex> g(ccdBufferLock, std::defer_lock);
    if (wait)
        g.lock();
    else if (!g.try_lock())
        return;  // the next tick
    if (chip.getBinX() != r.hbin || chip.getBinY() != r.vbin)
        chip.setBin(static_cast<uint8_t>(r.hbin), static_cast<uint8_t>(r.vbin));
    if (chip.getSubX() != r.x || chip.getSubY() != r.y || chip.getSubW() != r.w ||
        chip.getSubH() != r.h)
        chip.setFrame(r.x, r.y, r.w, r.h);
    chip.setFrameType(r.type);
    chipType_[ccd] = r.type;
}

bool ZevaCCD::StartChip(INDI::CCDChip& chip, unsigned ccd, float duration) {
    if (!isConnected())
        return false;
    StopJob(ccd);  // a new exposure ends the one still running
    ApplyRequest(chip, ccd, true);
    client::CaptureRequest request;
    request.type = FrameTypeOf(chip.getFrameType());
    request.seconds = request.type == client::FrameType::Bias ? 0.0 : duration;
    std::string error;
    std::uint32_t units = 0;
    if (!PlanFor(chip, ccd, chip.getBinX(), chip.getBinY(), &request.plan, &error) ||
        !client::ExposureUnits(request.seconds, ccd, &units, &error)) {
        LOGF_ERROR("Cannot expose: %s.", error.c_str());
        return false;
    }
    // CCD_FRAME keeps the window as asked; the header says what was read.
    chip.setExposureDuration(request.seconds);
    if (ReadoutN[ccd].value != 0) {
        ReadoutN[ccd].value = 0;
        IDSetNumber(&ReadoutNP, nullptr);
    }
    progressSent_[ccd] = std::chrono::steady_clock::now();
    auto job = std::make_unique<ExposureJob>(camera_, &ioLock_, &shutter_);
    job->request = request;
    job->frameType = chip.getFrameType();
    ExposureJob* raw = job.get();
    job->thread = std::thread([this, raw] { RunJob(raw); });
    jobs_[ccd] = std::move(job);
    return true;
}

void ZevaCCD::RunJob(ExposureJob* job) {
    job->result = job->capture.Run(job->request, &job->frame);
    if (job->result.ok())
        job->haveTemperature = Locked([&](client::Camera& c) {
                                   return c.QueryTemperatureStatus(&job->temperature);
                               }).ok();
    job->finished = true;
    const char done = 1;
    if (write(finishedPipe_[1], &done, 1) < 0) {
        // The pipe is full of earlier wake-ups: the event loop comes anyway.
    }
}

// The countdown of the exposure, then the readout in whole percent, each at
// most twice a second; the countdown ends at 0 when the readout begins.
void ZevaCCD::PublishProgress(INDI::CCDChip& chip, unsigned ccd, const client::CaptureProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    bool due = now - progressSent_[ccd] >= kProgressPeriod;
    ExposureJob& job = *jobs_[ccd];
    if (p.phase == client::CapturePhase::Exposing) {
        if (due) {
            chip.setExposureLeft(p.secondsLeft);
            progressSent_[ccd] = now;
        }
        return;
    }
    if (p.phase == client::CapturePhase::Idle)
        return;
    if (p.phase == client::CapturePhase::Waiting) {
        // The other chip's frame needs the shutter as it is: say so once.
        if (job.waitingFor != p.waitingFor) {
            job.waitingFor = p.waitingFor;
            LOGF_INFO("%s exposure waiting for %s (the camera's one shutter).",
                      ccd == 0 ? "Imaging" : "Guide", p.waitingFor.c_str());
        }
        return;
    }
    if (!job.countdownEnded) {
        job.countdownEnded = true;
        chip.setExposureLeft(0);
        due = true;
    }
    const double pct = std::floor(100.0 * p.FractionRead());
    if (due && (pct != ReadoutN[ccd].value || ReadoutNP.s != IPS_BUSY)) {
        ReadoutN[ccd].value = pct;
        ReadoutNP.s = IPS_BUSY;
        IDSetNumber(&ReadoutNP, nullptr);
        progressSent_[ccd] = now;
    }
}

// Event loop: publish what a worker reports; upload only a frame that was
// read whole (an aborted job is gone before its frame could be seen here).
void ZevaCCD::PollJob(INDI::CCDChip& chip, unsigned ccd) {
    ExposureJob* job = jobs_[ccd].get();
    if (!job)
        return;
    if (!job->finished) {
        PublishProgress(chip, ccd, job->capture.Progress());
        return;
    }
    // One frame of the process goes out at a time: libindi 1.9.9 waits for
    // the server's answer to each BLOB on the driver's input, and two
    // uploads waiting at once (two chips, or two devices of the driver) can
    // miss their answers and hang until a client sends something.  The
    // writer holds the buffer lock from its header to the end of its
    // upload; a frame that completes meanwhile waits for the next tick.
    std::unique_lock<std::mutex> buffer(ccdBufferLock, std::defer_lock);
    if (job->result.ok() && (Writing(1 - ccd) || OtherDeviceUploading() || !buffer.try_lock()))
        return;
    job->thread.join();
    std::unique_ptr<ExposureJob> done = std::move(jobs_[ccd]);
    if (done->result.outcome == client::CaptureOutcome::Cancelled)
        return;
    if (ccd == 0)
        InExposure = false;
    else
        InGuideExposure = false;
    if (!done->result.ok()) {
        LOGF_ERROR("%s.", Sentence(done->result.error).c_str());
        chip.setExposureFailed();
        ReadoutNP.s = IPS_ALERT;
        IDSetNumber(&ReadoutNP, nullptr);
        return;
    }
    ReadoutN[ccd].value = 100;
    ReadoutNP.s = IPS_OK;
    IDSetNumber(&ReadoutNP, nullptr);
    if (done->haveTemperature) {
        Temperature()->np[0].value = calibration_.ToCelsius(done->temperature.reading2);
    }
    const client::Frame& frame = done->frame;
    chip.setFrameBufferSize(static_cast<uint32_t>(frame.pixels.size() * 2));
    std::uint8_t* buf = chip.getFrameBuffer();
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
        buf[2 * i] = static_cast<std::uint8_t>(frame.pixels[i] & 0xFF);
        buf[2 * i + 1] = static_cast<std::uint8_t>(frame.pixels[i] >> 8);
    }
    chip.setExposureLeft(0);
    {
        // The header keys of our own describe the frame as it was read.
        std::lock_guard<std::mutex> g(framePlanLock_);
        framePlan_[ccd] = frame.plan;
    }
    // The chip describes the frame until its header is written.  Requests
    // made meanwhile did not reach it; only a window narrower than the
    // binning (one binned pixel read) needs the frame set here.
    const client::ReadoutPlan& plan = frame.plan;
    if (chip.getBinX() != static_cast<int>(plan.hbin) ||
        chip.getBinY() != static_cast<int>(plan.vbin))
        chip.setBin(static_cast<uint8_t>(plan.hbin), static_cast<uint8_t>(plan.vbin));
    if (chip.getSubW() / chip.getBinX() != static_cast<int>(plan.w) ||
        chip.getSubH() / chip.getBinY() != static_cast<int>(plan.h)) {
        const client::Window read = plan.Unbinned();
        chip.setFrame(static_cast<int>(read.x), static_cast<int>(read.y), static_cast<int>(read.w),
                      static_cast<int>(read.h));
    }
    chip.setFrameType(done->frameType);
    chipType_[ccd] = done->frameType;
    {
        std::lock_guard<std::mutex> g(writeLock_);
        writing_[ccd] = true;
        writingSince_[ccd] = std::chrono::steady_clock::now();
    }
    buffer.unlock();
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
    if (!hasTracking_) {
        LOG_ERROR("This camera has no tracking CCD: there is no guide head to expose.");
        return false;
    }
    if (!StartChip(GuideCCD, 1, duration))
        return false;
    InGuideExposure = true;
    return true;
}

bool ZevaCCD::AbortGuideExposure() {
    StopJob(1);
    InGuideExposure = false;
    return true;
}

bool ZevaCCD::UpdateFrame(INDI::CCDChip& chip, unsigned ccd, int x, int y, int w, int h) {
    const int maxW = chip.getXRes(), maxH = chip.getYRes();
    ChipRequest& r = requests_[ccd];
    r.x = std::clamp(x, 0, std::max(0, maxW - 1));
    r.y = std::clamp(y, 0, std::max(0, maxH - 1));
    r.w = std::clamp(w, 1, std::max(1, maxW - r.x));
    r.h = std::clamp(h, 1, std::max(1, maxH - r.y));
    ApplyRequest(chip, ccd, false);
    return true;
}

bool ZevaCCD::UpdateCCDFrame(int x, int y, int w, int h) {
    return UpdateFrame(PrimaryCCD, 0, x, y, w, h);
}

bool ZevaCCD::UpdateGuiderFrame(int x, int y, int w, int h) {
    return UpdateFrame(GuideCCD, 1, x, y, w, h);
}

bool ZevaCCD::UpdateBin(INDI::CCDChip& chip, unsigned ccd, int hor, int ver) {
    if ((ccd == 1 && !hasTracking_) || hor < 1 || ver < 1 ||
        !client::BinningOffered(info_[ccd], client::VerticalFactorModes(cameraType_, ccd),
                                static_cast<unsigned>(hor), static_cast<unsigned>(ver))) {
        LOGF_ERROR("Binning %dx%d is not offered by the %s CCD.", hor, ver,
                   ccd == 0 ? "imaging" : "tracking");
        return false;
    }
    requests_[ccd].hbin = hor;
    requests_[ccd].vbin = ver;
    ApplyRequest(chip, ccd, false);
    return true;
}

bool ZevaCCD::UpdateCCDBin(int hor, int ver) {
    return UpdateBin(PrimaryCCD, 0, hor, ver);
}

bool ZevaCCD::UpdateGuiderBin(int hor, int ver) {
    return UpdateBin(GuideCCD, 1, hor, ver);
}

bool ZevaCCD::UpdateFrameType(INDI::CCDChip& chip, unsigned ccd, INDI::CCDChip::CCD_FRAME type) {
    requests_[ccd].type = type;
    ApplyRequest(chip, ccd, false);
    return true;
}

bool ZevaCCD::UpdateCCDFrameType(INDI::CCDChip::CCD_FRAME type) {
    return UpdateFrameType(PrimaryCCD, 0, type);
}

bool ZevaCCD::UpdateGuiderFrameType(INDI::CCDChip::CCD_FRAME type) {
    return UpdateFrameType(GuideCCD, 1, type);
}

}  // namespace zeva::indi
