// The capture sequence of one frame: start the exposure, wait for the camera
// to time it, end it, dump the lines above the window, read the window line
// by line, dump the lines below, end the readout.  It runs on whichever
// thread calls Run (the applications' worker threads); any other thread may
// cancel it, stop the exposure early and read its progress.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "client/camera_lock.h"
#include "client/client.h"
#include "client/plan.h"
#include "client/shutter.h"

namespace zeva::client {

// --- Exposure times ------------------------------------------------------------

// The longest exposure the camera times on `ccd`: 24 bits of 10 ms on the
// imaging CCD, 16 bits on the tracking CCD.
double MaxExposureSeconds(unsigned ccd);
// The camera's timer units (10 ms, rounded) for `seconds` on `ccd`.  False,
// with one message for every caller, for a time that is not a number, is
// infinite, negative or longer than MaxExposureSeconds(ccd).
bool ExposureUnits(double seconds, unsigned ccd, std::uint32_t* units, std::string* error);

// --- Frames --------------------------------------------------------------------

enum class FrameType : std::uint8_t {
    Light,  // shutter open during the exposure
    Dark,   // shutter closed
    Bias,   // shutter closed, no exposure time
    Flat,   // shutter open
};
// "Light Frame", "Dark Frame", "Bias Frame", "Flat Frame" (FITS IMAGETYP).
const char* FrameTypeName(FrameType type);

struct CaptureRequest {
    ReadoutPlan plan;
    FrameType type = FrameType::Light;
    double seconds = 0;  // ignored for a bias frame
};

// A frame as it was read: the plan it was read with and what was exposed.
struct Frame {
    ReadoutPlan plan;
    FrameType type = FrameType::Light;
    // Seconds the camera was asked to time, or, stopped early, the time from
    // the start to the stop; under the other CCD's open shutter that closed
    // before its end, the time it took light (all in the camera's 10 ms steps).
    double seconds = 0;
    bool stoppedEarly = false;
    std::chrono::system_clock::time_point start;  // UTC, just before the start command
    std::uint64_t startNs = 0;                    // the system's clock (NowNs) at that moment
    std::vector<std::uint16_t> pixels;            // plan.w x plan.h, the first line read first
};

// "2026-12-08T16:03:14.123": UTC with milliseconds and no zone letter, as
// FITS DATE-OBS and Alpaca's LastExposureStartTime want it.
std::string UtcIso(std::chrono::system_clock::time_point t);

// --- The sequence --------------------------------------------------------------

// Waiting: the exposure waits for the shutter, which the other CCD's
// exposure or readout needs as it is (see client/shutter.h).
enum class CapturePhase : std::uint8_t { Idle, Waiting, Exposing, Reading, Done };

struct CaptureProgress {
    CapturePhase phase = CapturePhase::Idle;
    double seconds = 0;      // exposure time asked for
    double secondsLeft = 0;  // of the exposure; 0 once reading
    unsigned linesRead = 0;
    unsigned lines = 0;      // of the window
    std::string waitingFor;  // Waiting: what holds the shutter ("the imaging readout")
    // Lines read as a fraction of the window's, 0 to 1.
    double FractionRead() const { return lines ? static_cast<double>(linesRead) / lines : 0.0; }
};

enum class CaptureOutcome : std::uint8_t { Completed, Cancelled, Failed };

struct CaptureResult {
    CaptureOutcome outcome = CaptureOutcome::Failed;
    // Where the sequence ended: Done when completed; Idle (cancelled before
    // the start), Waiting (cancelled or given up while waiting for the
    // shutter), Exposing or Reading when cancelled or failed.
    CapturePhase phase = CapturePhase::Idle;
    unsigned linesRead = 0;
    // Failed: the failing call's status (ErrBadParameter, phase Idle, for a
    // request refused before the camera is touched).  Cancelled: the status
    // of the call that stopped the camera (EndExposure while exposing,
    // EndReadout while reading).
    Status status;
    // Failed: what failed, e.g. "reading line 12 failed: ErrDigitizerTimeout
    // (error 13)", or why the request was refused.
    std::string error;
    bool ok() const { return outcome == CaptureOutcome::Completed; }
};

// One Capture per frame.  The camera is left idle whatever happens: a
// failure or a cancel during the exposure ends it and the readout, a cancel
// during the readout ends the readout before the next line.
class Capture {
  public:
    // Every call on `camera` holds `lock` when one is given (other threads
    // of the application share the camera); each line of the readout takes
    // it anew, after the threads that came for it meanwhile.  `shutter`, one per camera,
    // picks the start's shutter mode and holds the exposure back while the
    // other CCD needs the shutter as it is; without one, light frames open
    // the shutter and dark frames close it.
    explicit Capture(Camera& camera, CameraLock* lock = nullptr, ShutterOwner* shutter = nullptr);
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Runs the sequence on the calling thread; fills `frame` when it completes.
    CaptureResult Run(const CaptureRequest& request, Frame* frame);

    // From any thread, at any time; before Run they take effect as soon as
    // it starts (a cancelled Run touches nothing).
    void Cancel();     // abort: nothing is read
    void StopEarly();  // end the exposure now and read it out
    bool Cancelled() const;
    CaptureProgress Progress() const;

  private:
    template <typename F>
    Status Call(F&& f);
    void SetProgress(CapturePhase phase, double left, unsigned linesRead);
    // Waits for the camera to time the exposure; false when the sequence
    // ends there (`result` filled).
    bool WaitForExposure(const CaptureRequest& request, std::uint32_t units, std::uint16_t mode,
                         Frame* frame, CaptureResult* result);
    bool ReadWindow(const ReadoutPlan& plan, Frame* frame, CaptureResult* result);
    // Ends the exposure (when `exposing`) and the readout; the status of the
    // EndExposure when exposing, else of the EndReadout.
    Status StopCamera(unsigned ccd, bool exposing);

    static void ReportWait(void* self, const std::string& waitingFor);

    Camera& camera_;
    CameraLock* lock_;
    ShutterOwner* shutter_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> stop_{false};
    mutable std::mutex progressLock_;
    CaptureProgress progress_;
};

// Waits `ms` on the system's clock; under the virtual clock also lets a tenth
// of it pass in real time, so that other threads (an event loop, a server)
// run while the virtual time moves on.
void PauseMs(std::uint32_t ms);

}  // namespace zeva::client
