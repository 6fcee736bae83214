#include "client/capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <utility>

#include "client/explain.h"
#include "common/commands.h"
#include "common/errors.h"

namespace zeva::client {

namespace {

constexpr std::uint32_t kMaxImagingUnits = 0xFFFFFFu;  // 24-bit exposure time
constexpr std::uint32_t kMaxTrackingUnits = 0xFFFFu;   // the camera limits the tracking CCD
constexpr double kUnitsPerSecond = 100.0;              // the camera's timer counts 10 ms
// How long past its end an exposure may still be reported running: the
// camera's own clock and the host's differ a little, a stuck camera a lot.
constexpr double kExposureGraceSeconds = 60.0;
// Status polls while exposing: often near the end, at most this far apart,
// which bounds how late a cancel or a stop is seen.
constexpr double kPollMinMs = 10.0, kPollMaxMs = 50.0;

std::string Failure(const std::string& what, const Status& st) {
    return what + " failed: " + Explain(st);
}

}  // namespace

double MaxExposureSeconds(unsigned ccd) {
    return (ccd == 1 ? kMaxTrackingUnits : kMaxImagingUnits) / kUnitsPerSecond;
}

bool ExposureUnits(double seconds, unsigned ccd, std::uint32_t* units, std::string* error) {
    const std::uint32_t max = ccd == 1 ? kMaxTrackingUnits : kMaxImagingUnits;
    // Rounded first, so that the longest time as printed (167772.15) is accepted.
    const double u = std::isfinite(seconds) ? std::round(seconds * kUnitsPerSecond) : -1.0;
    if (!(u >= 0.0) || !(seconds >= 0.0) || u > max) {
        char text[96];
        std::snprintf(text, sizeof text, "exposure time must be 0 to %.2f s%s",
                      max / kUnitsPerSecond, ccd == 1 ? " on the tracking CCD" : "");
        *error = text;
        return false;
    }
    *units = static_cast<std::uint32_t>(u);
    return true;
}

const char* FrameTypeName(FrameType type) {
    switch (type) {
        case FrameType::Dark:
            return "Dark Frame";
        case FrameType::Bias:
            return "Bias Frame";
        case FrameType::Flat:
            return "Flat Frame";
        case FrameType::Light:
            break;
    }
    return "Light Frame";
}

std::string UtcIso(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

void PauseMs(std::uint32_t ms) {
    SleepMs(ms);
    if (VirtualClock())
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(1u, ms / 10)));
}

Capture::Capture(Camera& camera, CameraLock* lock, ShutterOwner* shutter)
    : camera_(camera), lock_(lock), shutter_(shutter) {}

void Capture::ReportWait(void* self, const std::string& waitingFor) {
    auto* c = static_cast<Capture*>(self);
    std::lock_guard<std::mutex> g(c->progressLock_);
    c->progress_.phase = CapturePhase::Waiting;
    c->progress_.waitingFor = waitingFor;
}

void Capture::Cancel() {
    cancel_ = true;
}

void Capture::StopEarly() {
    stop_ = true;
}

bool Capture::Cancelled() const {
    return cancel_;
}

CaptureProgress Capture::Progress() const {
    std::lock_guard<std::mutex> g(progressLock_);
    return progress_;
}

void Capture::SetProgress(CapturePhase phase, double left, unsigned linesRead) {
    std::lock_guard<std::mutex> g(progressLock_);
    progress_.phase = phase;
    progress_.waitingFor.clear();
    progress_.secondsLeft = left;
    progress_.linesRead = linesRead;
}

template <typename F>
Status Capture::Call(F&& f) {
    if (!lock_)
        return f(camera_);
    std::lock_guard<CameraLock> g(*lock_);
    return f(camera_);
}

Status Capture::StopCamera(unsigned ccd, bool exposing) {
    const auto c = static_cast<std::uint16_t>(ccd);
    Status ended;
    if (exposing)
        ended = Call([&](Camera& cam) { return cam.EndExposure(c, true); });
    const Status readout = Call([&](Camera& cam) { return cam.EndReadout(c); });
    return exposing ? ended : readout;
}

CaptureResult Capture::Run(const CaptureRequest& request, Frame* frame) {
    CaptureResult result;
    const ReadoutPlan& plan = request.plan;
    const double asked = request.type == FrameType::Bias ? 0.0 : request.seconds;
    std::uint32_t units = 0;
    if (!ExposureUnits(asked, plan.ccd, &units, &result.error)) {
        result.status = Status(ErrorStatus(ErrBadParameter));
        return result;
    }
    // Every field must fit the command records (16-bit columns and lines,
    // 8-bit mode and vertical factor); sums in 64 bits cannot wrap.
    if (plan.w == 0 || plan.h == 0 || std::uint64_t{plan.x} + plan.w > plan.modeWidth ||
        std::uint64_t{plan.y} + plan.h > plan.modeHeight || plan.modeWidth > 0xFFFFu ||
        plan.modeHeight > 0xFFFFu || plan.mode > 8 || plan.verticalFactor < 1 ||
        plan.verticalFactor > 255) {
        result.error =
            "the readout plan is not valid (a window inside the mode, mode 0 to 8, vertical "
            "factor 1 to 255)";
        result.status = Status(ErrorStatus(ErrBadParameter));
        return result;
    }
    {
        std::lock_guard<std::mutex> g(progressLock_);
        progress_ = CaptureProgress{CapturePhase::Idle, units / kUnitsPerSecond,
                                    units / kUnitsPerSecond, 0, plan.h};
    }
    if (cancel_) {
        result.outcome = CaptureOutcome::Cancelled;
        return result;
    }
    Frame f;
    f.plan = plan;
    f.type = request.type;
    f.seconds = units / kUnitsPerSecond;
    // The shutter is booked from the start until the readout is over.
    struct Release {
        ShutterOwner* owner;
        unsigned ccd;
        bool booked = false;
        ~Release() {
            if (owner && booked)
                owner->Released(ccd);
        }
    } release{shutter_, plan.ccd};
    const bool light = request.type == FrameType::Light || request.type == FrameType::Flat;
    std::uint16_t mode = light ? kShutterOpen : kShutterClose;
    if (shutter_) {
        std::string error;
        if (!shutter_->Acquire(plan.ccd, light, units / kUnitsPerSecond, cancel_, &mode, &error,
                               &Capture::ReportWait, this)) {
            result.phase = CapturePhase::Waiting;
            result.outcome = error.empty() ? CaptureOutcome::Cancelled : CaptureOutcome::Failed;
            result.error = error;
            SetProgress(CapturePhase::Idle, units / kUnitsPerSecond, 0);
            return result;
        }
        release.booked = true;
    }
    if (!WaitForExposure(request, units, mode, &f, &result))
        return result;
    if (!ReadWindow(plan, &f, &result))
        return result;
    SetProgress(CapturePhase::Done, 0, plan.h);
    result.outcome = CaptureOutcome::Completed;
    result.phase = CapturePhase::Done;
    result.linesRead = plan.h;
    *frame = std::move(f);
    return result;
}

bool Capture::WaitForExposure(const CaptureRequest& request, std::uint32_t units,
                              std::uint16_t mode, Frame* f, CaptureResult* result) {
    const unsigned ccd = request.plan.ccd;
    const auto c = static_cast<std::uint16_t>(ccd);
    ExposureRequest req;
    req.ccd = c;
    req.time = units;
    req.shutterMode = mode;
    const double seconds = units / kUnitsPerSecond;
    auto fail = [&](const std::string& error, const Status& st) {
        StopCamera(ccd, true);
        result->outcome = CaptureOutcome::Failed;
        result->error = error;
        result->status = st;
        return false;
    };
    result->phase = CapturePhase::Exposing;
    SetProgress(CapturePhase::Exposing, seconds, 0);
    f->start = std::chrono::system_clock::now();
    f->startNs = NowNs();
    Status st = Call([&](Camera& cam) { return cam.StartExposure(req); });
    if (!st.ok())
        return fail(Failure("starting the exposure", st), st);
    for (;;) {
        if (cancel_) {
            result->outcome = CaptureOutcome::Cancelled;
            result->status = StopCamera(ccd, true);
            return false;
        }
        const double elapsed = static_cast<double>(NowNs() - f->startNs) / 1e9;
        if (stop_) {
            // Ended now: the time it ran, in the camera's steps, never more than asked.
            f->seconds = std::min(seconds, std::round(elapsed * kUnitsPerSecond) / kUnitsPerSecond);
            f->stoppedEarly = f->seconds < seconds;
            break;
        }
        std::uint16_t word = 0;
        st = Call([&](Camera& cam) { return cam.QueryCommandStatus(CmdStartExposure, &word); });
        if (!st.ok())
            return fail(Failure("querying the exposure", st), st);
        if (ExposureStateOf(word, ccd) != 2)
            break;
        if (elapsed > seconds + kExposureGraceSeconds)
            return fail("the camera did not finish the exposure within 60 s of its end", Status());
        const double left = std::max(0.0, seconds - elapsed);
        SetProgress(CapturePhase::Exposing, left, 0);
        PauseMs(static_cast<std::uint32_t>(std::clamp(left * 1000.0, kPollMinMs, kPollMaxMs)));
    }
    const std::uint64_t endNs =
        std::min(NowNs(), f->startNs + static_cast<std::uint64_t>(f->seconds * 1e9));
    st = Call([&](Camera& cam) { return cam.EndExposure(c); });
    if (!st.ok())
        return fail(Failure("ending the exposure", st), st);
    if (shutter_) {
        if (mode == kShutterLeave && request.type != FrameType::Dark &&
            request.type != FrameType::Bias) {
            // Under the other CCD's shutter: the light ended when it closed.
            const double lit =
                std::round(shutter_->LitSeconds(ccd, endNs) * kUnitsPerSecond) / kUnitsPerSecond;
            f->seconds = std::min(f->seconds, lit);
        }
        shutter_->Ended(ccd);
    }
    result->phase = CapturePhase::Reading;
    SetProgress(CapturePhase::Reading, 0, 0);
    return true;
}

bool Capture::ReadWindow(const ReadoutPlan& p, Frame* f, CaptureResult* result) {
    const auto c = static_cast<std::uint16_t>(p.ccd);
    const auto mode = static_cast<std::uint8_t>(p.mode);
    const auto vf = static_cast<std::uint8_t>(p.verticalFactor);
    auto cancelled = [&](unsigned lines) {
        result->outcome = CaptureOutcome::Cancelled;
        result->linesRead = lines;
        result->status = StopCamera(p.ccd, false);
        return false;
    };
    auto fail = [&](const std::string& what, const Status& st, unsigned lines) {
        StopCamera(p.ccd, false);
        result->outcome = CaptureOutcome::Failed;
        result->linesRead = lines;
        result->error = Failure(what, st);
        result->status = st;
        return false;
    };
    if (p.y > 0) {
        if (cancel_)
            return cancelled(0);
        const Status st = Call([&](Camera& cam) {
            return cam.DumpLines(c, mode, vf, static_cast<std::uint16_t>(p.y));
        });
        if (!st.ok())
            return fail("dumping the lines above the window", st, 0);
    }
    f->pixels.assign(static_cast<std::size_t>(p.w) * p.h, 0);
    const LineRequest line{c, mode, vf, static_cast<std::uint16_t>(p.x),
                           static_cast<std::uint16_t>(p.w)};
    for (unsigned r = 0; r < p.h; ++r) {
        if (cancel_)
            return cancelled(r);
        std::span<std::uint16_t> out(f->pixels.data() + static_cast<std::size_t>(r) * p.w, p.w);
        const Status st = Call([&](Camera& cam) { return cam.ReadoutLine(line, out); });
        if (!st.ok())
            return fail("reading line " + std::to_string(r), st, r);
        SetProgress(CapturePhase::Reading, 0, r + 1);
        // Each line takes the camera lock anew: a thread that came for the
        // camera during the line (a cooler poll, a guide pulse, the other
        // CCD) gets it first, in turn; with nobody waiting the readout goes
        // straight on.
    }
    const unsigned rest = p.modeHeight - p.y - p.h;
    if (rest > 0) {
        if (cancel_)
            return cancelled(p.h);
        const Status st = Call([&](Camera& cam) {
            return cam.DumpLines(c, mode, vf, static_cast<std::uint16_t>(rest));
        });
        if (!st.ok())
            return fail("dumping the lines below the window", st, p.h);
    }
    const Status st = Call([&](Camera& cam) { return cam.EndReadout(c); });
    if (!st.ok()) {
        result->outcome = CaptureOutcome::Failed;
        result->linesRead = p.h;
        result->error = Failure("ending the readout", st);
        result->status = st;
        return false;
    }
    return true;
}

}  // namespace zeva::client
