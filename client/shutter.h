// The shutter of a dual-CCD camera, shared by its two CCDs.  The tracking CCD
// lies beside the imaging CCD behind the camera's one shutter: each exposure
// start opens it (shutter mode 1), closes it (2) or leaves it as it is (0),
// and the end of the exposure that opened it closes it.  Every exposure of an
// application goes through one ShutterOwner per camera (client::Capture asks
// it before the start), which picks the mode and holds back the exposures
// that would spoil the other CCD's frame:
//
//   imaging \ tracking request  light (guide frame)           dark or bias
//   idle                        opens it (mode 1)             closes it (2)
//   light exposure              under it (mode 0), if it      waits for the
//                               ends before the imaging one;  imaging exposure
//                               else waits for the readout    to end
//   dark or bias (or waiting    waits until the imaging       closed (2)
//   to start one)               readout ends
//   readout                     waits until it ends           closed (2)
//
//   tracking \ imaging request  light                         dark or bias
//   idle or reading             opens it (1)                  closes it (2)
//   light, opened by it         takes the open shutter over   waits for that guide
//                               (1: the guide frame's end     exposure to end
//                               no longer closes it)
//   light under the imaging     opens it (1)                  closes it (2)
//   dark or bias                waits for it to end           closed (2)
//
// A wait ends when the other CCD's exposure or readout ends, when the
// capture is cancelled, or after WaitLimitSeconds(), when the exposure gives
// up with a message saying what held the shutter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace zeva::client {

// Shutter modes of the exposure start.
inline constexpr std::uint16_t kShutterLeave = 0, kShutterOpen = 1, kShutterClose = 2;

class ShutterOwner {
  public:
    // `tracking`: the camera has a tracking CCD (with one CCD nothing waits).
    explicit ShutterOwner(bool tracking = true) : tracking_(tracking) {}
    ShutterOwner(const ShutterOwner&) = delete;
    ShutterOwner& operator=(const ShutterOwner&) = delete;

    void SetTracking(bool tracking);
    // How long an exposure waits for the shutter before it gives up (120 s:
    // longer than the slowest camera's full readout, about a minute).
    double WaitLimitSeconds() const { return limitSeconds_; }
    void SetWaitLimitSeconds(double s) { limitSeconds_ = s; }

    // Before an exposure of `seconds` on `ccd` starts: waits until it may
    // start, then books the shutter for it and gives the mode to start it
    // with.  While it waits, `waitingFor` (when given) names what it waits
    // for ("the imaging readout") under `lock` of the caller's choice, read
    // through the callback.  False when cancelled (`error` empty) or when
    // the wait gave up (`error` says why); nothing is booked then.
    using WaitReport = void (*)(void* context, const std::string& waitingFor);
    bool Acquire(unsigned ccd, bool light, double seconds, const std::atomic<bool>& cancel,
                 std::uint16_t* mode, std::string* error, WaitReport report = nullptr,
                 void* context = nullptr);
    // The exposure of `ccd` has been ended (its readout begins): an exposure
    // that opened the shutter has closed it now, or when its timer ran out.
    void Ended(unsigned ccd);
    // The CCD's sequence is over (read out, failed or cancelled).
    void Released(unsigned ccd);
    // For an exposure of `ccd` that ran under another's open shutter (mode
    // 0): the seconds from its start to when that shutter closed, if it closed
    // before `endNs`; else `endNs` itself, as seconds from its start.
    double LitSeconds(unsigned ccd, std::uint64_t endNs) const;

  private:
    enum class Phase : std::uint8_t { Idle, Waiting, Exposing, Reading };
    struct Use {
        Phase phase = Phase::Idle;
        bool light = false;
        std::uint16_t mode = kShutterLeave;
        bool holds = false;  // its start opened the shutter and the camera has not closed it
        std::uint64_t startNs = 0, endNs = 0;  // the exposure's start and planned end
        std::uint64_t closedNs = 0;  // under another's shutter: when that closed (0: open)
    };
    // The mode to start `ccd` with now, or false with what it waits for.
    bool Decide(unsigned ccd, bool light, double seconds, std::uint16_t* mode,
                std::string* waitingFor) const;
    void ShutterClosed(std::uint64_t ns);

    bool tracking_;
    double limitSeconds_ = 120.0;
    mutable std::mutex m_;
    std::condition_variable changed_;
    Use use_[2];
};

}  // namespace zeva::client
