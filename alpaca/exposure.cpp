// Exposures of a camera device: the frame planned from its settings, the
// capture on a worker thread, its state and its image.  Every routine but
// Image runs with the device's lock held.
#include <algorithm>
#include <cstdio>

#include "alpaca/device.h"

namespace zeva::alpaca {

bool CameraDevice::PlanFrame(client::ReadoutPlan* plan, std::string* error) const {
    const client::CcdInfo& info = unit_.info(ccd_);
    if (readoutMode_ == 1) {
        if (binX_ != binY_) {
            *error = "readout mode 1 sums rows for symmetric binning only, not " +
                     std::to_string(binX_) + "x" + std::to_string(binY_);
            return false;
        }
        if (!client::PlanMode(info, ccd_, 5 + binX_, 1, plan, error))
            return false;
    } else if (!client::PlanBinning(info, ccd_, client::VerticalFactorModes(unit_.type(), ccd_),
                                    binX_, binY_, plan, error)) {
        return false;
    }
    const client::Window want{startX_ * plan->hbin, startY_ * plan->vbin, numX_ * plan->hbin,
                              numY_ * plan->vbin};
    if (numX_ == 0 || numY_ == 0 || startX_ + numX_ > plan->modeWidth ||
        startY_ + numY_ > plan->modeHeight) {
        *error = "the frame " + std::to_string(numX_) + "x" + std::to_string(numY_) + " at " +
                 std::to_string(startX_) + "," + std::to_string(startY_) +
                 " does not fit the CCD binned " + std::to_string(binX_) + "x" +
                 std::to_string(binY_) + " (" + std::to_string(plan->modeWidth) + "x" +
                 std::to_string(plan->modeHeight) + " binned pixels)";
        return false;
    }
    return client::SetWindow(plan, want, client::WindowFit::Refuse, error);
}

Reply CameraDevice::CameraState() {
    if (job_) {
        switch (job_->capture.Progress().phase) {
            case client::CapturePhase::Idle:
            case client::CapturePhase::Waiting:  // for the shutter (the other CCD's frame)
                return Reply::Value(1);
            case client::CapturePhase::Exposing:
                return Reply::Value(2);
            case client::CapturePhase::Reading:
            case client::CapturePhase::Done:
                return Reply::Value(3);
        }
    }
    return Reply::Value(failed_ ? 5 : 0);
}

Reply CameraDevice::PercentCompleted() {
    if (!job_)
        return Reply::Value(image_ ? 100 : 0);
    const client::CaptureProgress p = job_->capture.Progress();
    double f = 0;
    if (p.phase == client::CapturePhase::Exposing && p.seconds > 0)
        f = (p.seconds - p.secondsLeft) / p.seconds;
    else if (p.phase == client::CapturePhase::Reading)
        f = p.FractionRead();
    else if (p.phase == client::CapturePhase::Done)
        f = 1;
    return Reply::Value(static_cast<int>(std::clamp(f, 0.0, 1.0) * 100.0));
}

void CameraDevice::Reap() {
    if (!job_ || !job_->finished)
        return;
    if (job_->thread.joinable())
        job_->thread.join();
    const client::CaptureResult& r = job_->result;
    if (r.ok()) {
        image_ = job_->frame;
        haveLast_ = true;
        lastSeconds_ = job_->frame->seconds;
        lastStart_ = client::UtcIso(job_->frame->start);
    } else if (r.outcome == client::CaptureOutcome::Failed) {
        failed_ = true;
        failure_ = r.error;
        std::fprintf(stderr, "zeva-alpaca: camera %u: %s\n", number_, r.error.c_str());
    }
    job_.reset();
}

void CameraDevice::EndJob(bool cancel) {
    if (!job_)
        return;
    if (cancel)
        job_->capture.Cancel();
    if (job_->thread.joinable())
        job_->thread.join();
    Reap();
}

Reply CameraDevice::StartExposure(double seconds, bool light) {
    if (job_)
        return Reply::Error(AscomError::InvalidOperation,
                            "an exposure is already running on this camera");
    std::uint32_t units = 0;
    std::string error;
    if (!client::ExposureUnits(seconds, ccd_, &units, &error))
        return Invalid(error);
    client::CaptureRequest req;
    if (!PlanFrame(&req.plan, &error))
        return Invalid(error);
    req.type = light ? client::FrameType::Light : client::FrameType::Dark;
    req.seconds = seconds;
    image_.reset();
    failed_ = false;
    failure_.clear();
    auto job = std::make_unique<Job>(unit_);
    job->frame = std::make_shared<client::Frame>();
    Job* raw = job.get();
    job->thread = std::thread([raw, req] {
        raw->result = raw->capture.Run(req, raw->frame.get());
        raw->finished = true;
    });
    job_ = std::move(job);
    return Reply::Done();
}

// Ends the exposure early and reads it out; nothing to do while reading.
Reply CameraDevice::StopExposure() {
    if (job_ && !job_->finished)
        job_->capture.StopEarly();
    return Reply::Done();
}

Reply CameraDevice::Image(std::shared_ptr<const client::Frame>* frame) {
    std::lock_guard<std::mutex> g(lock_);
    if (!connected_)
        return NotConnected();
    Reap();
    if (!image_)
        return Reply::Error(AscomError::InvalidOperation,
                            failed_ ? "no image: " + failure_ : "no image is ready");
    *frame = image_;
    return Reply::Done();
}

}  // namespace zeva::alpaca
