#include "client/shutter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "client/client.h"

namespace zeva::client {

namespace {

// A guide exposure starts under the imaging exposure's open shutter only if
// it ends this long before the imaging one (the start and end commands and
// the tracking CCD's clear take part of it).
constexpr double kUnderMarginSeconds = 0.5;
// How often a waiting exposure looks at the clock and at its cancel flag.
constexpr std::chrono::milliseconds kWaitSlice{20};

std::uint64_t Ns(double seconds) {
    return static_cast<std::uint64_t>(std::max(0.0, seconds) * 1e9);
}

}  // namespace

void ShutterOwner::SetTracking(bool tracking) {
    std::lock_guard<std::mutex> g(m_);
    tracking_ = tracking;
}

bool ShutterOwner::Decide(unsigned ccd, bool light, double seconds, std::uint16_t* mode,
                          std::string* waitingFor) const {
    *mode = light ? kShutterOpen : kShutterClose;
    if (!tracking_)
        return true;
    const Use& other = use_[1 - ccd];
    const bool otherExposing = other.phase == Phase::Exposing;
    if (ccd == 1) {
        const Use& imaging = other;
        if (!light) {
            // A dark can neither close the shutter on an imaging light
            // exposure nor stay dark under it.
            if (otherExposing && imaging.light) {
                *waitingFor = "the imaging light exposure";
                return false;
            }
            return true;
        }
        if (imaging.phase == Phase::Reading) {
            *waitingFor = "the imaging readout";
            return false;
        }
        if ((otherExposing || imaging.phase == Phase::Waiting) && !imaging.light) {
            *waitingFor = "the imaging dark";
            return false;
        }
        if (otherExposing) {
            // Under the imaging exposure's open shutter, if it ends in time.
            const std::uint64_t now = NowNs();
            if (imaging.endNs > now &&
                static_cast<double>(imaging.endNs - now) / 1e9 >= seconds + kUnderMarginSeconds) {
                *mode = kShutterLeave;
                return true;
            }
            *waitingFor = "the end of the imaging exposure and its readout";
            return false;
        }
        return true;
    }
    const Use& guide = other;
    if (!otherExposing)
        return true;
    if (light && !guide.light) {
        *waitingFor = "the guide CCD's dark";
        return false;
    }
    if (!light && guide.light && guide.holds && NowNs() < guide.endNs) {
        *waitingFor = "the guide exposure that holds the shutter open";
        return false;
    }
    return true;
}

bool ShutterOwner::Acquire(unsigned ccd, bool light, double seconds,
                           const std::atomic<bool>& cancel, std::uint16_t* mode, std::string* error,
                           WaitReport report, void* context) {
    ccd &= 1;
    std::unique_lock<std::mutex> g(m_);
    const std::uint64_t deadline = NowNs() + Ns(limitSeconds_);
    std::string reported;
    for (;;) {
        std::string waitingFor;
        if (cancel) {
            use_[ccd] = Use{};
            changed_.notify_all();
            return false;
        }
        if (Decide(ccd, light, seconds, mode, &waitingFor)) {
            const std::uint64_t now = NowNs();
            Use& u = use_[ccd];
            u = Use{Phase::Exposing,   light, *mode, *mode == kShutterOpen, now,
                    now + Ns(seconds), 0};
            Use& other = use_[1 - ccd];
            if (*mode != kShutterLeave) {
                // Opened by this start or closed by it: the other CCD's
                // exposure no longer owns it.
                other.holds = false;
                if (*mode == kShutterClose && other.phase == Phase::Exposing && other.light &&
                    other.closedNs == 0)
                    other.closedNs = now;
            }
            changed_.notify_all();
            return true;
        }
        use_[ccd].phase = Phase::Waiting;
        use_[ccd].light = light;
        if (NowNs() >= deadline) {
            use_[ccd] = Use{};
            changed_.notify_all();
            char text[200];
            std::snprintf(text, sizeof text,
                          "the %s exposure waited %g s for the shutter (held by %s) and gave up",
                          ccd == 0 ? "imaging" : "guide", limitSeconds_, waitingFor.c_str());
            *error = text;
            return false;
        }
        if (report && waitingFor != reported) {
            reported = waitingFor;
            g.unlock();
            report(context, waitingFor);
            g.lock();
            continue;
        }
        if (VirtualClock()) {
            // The camera's time moves only when someone waits on it.
            g.unlock();
            SleepMs(static_cast<std::uint32_t>(kWaitSlice.count()));
            std::this_thread::sleep_for(kWaitSlice / 10);
            g.lock();
        } else {
            changed_.wait_for(g, kWaitSlice);
        }
    }
}

void ShutterOwner::ShutterClosed(std::uint64_t ns) {
    for (Use& u : use_)
        if (u.phase == Phase::Exposing && u.light && !u.holds && u.closedNs == 0)
            u.closedNs = ns;
}

void ShutterOwner::Ended(unsigned ccd) {
    std::lock_guard<std::mutex> g(m_);
    Use& u = use_[ccd & 1];
    if (u.phase != Phase::Exposing)
        return;
    u.phase = Phase::Reading;
    if (u.holds) {
        // The camera closed it at the end of the timer, or now.
        u.holds = false;
        ShutterClosed(std::min(NowNs(), u.endNs));
    }
    changed_.notify_all();
}

void ShutterOwner::Released(unsigned ccd) {
    std::lock_guard<std::mutex> g(m_);
    Use& u = use_[ccd & 1];
    if (u.holds)
        ShutterClosed(std::min(NowNs(), u.endNs));
    u = Use{};
    changed_.notify_all();
}

double ShutterOwner::LitSeconds(unsigned ccd, std::uint64_t endNs) const {
    std::lock_guard<std::mutex> g(m_);
    const Use& u = use_[ccd & 1];
    const std::uint64_t end = u.closedNs != 0 && u.closedNs < endNs ? u.closedNs : endNs;
    return end > u.startNs ? static_cast<double>(end - u.startNs) / 1e9 : 0.0;
}

}  // namespace zeva::client
