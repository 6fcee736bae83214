// One Alpaca camera device: the imaging (or only) CCD of a camera, or its
// tracking CCD.  Answers every ICameraV4 member through one member table;
// exposures run on a worker thread through the client's capture sequence.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "alpaca/camera_unit.h"
#include "alpaca/protocol.h"
#include "client/capture.h"

namespace zeva::alpaca {

class CameraDevice {
  public:
    CameraDevice(CameraUnit& unit, unsigned ccd, unsigned number);
    ~CameraDevice();
    CameraDevice(const CameraDevice&) = delete;
    CameraDevice& operator=(const CameraDevice&) = delete;

    unsigned number() const { return number_; }
    unsigned ccd() const { return ccd_; }
    CameraUnit& unit() const { return unit_; }
    std::string Name() const;
    // A version-5 UUID over the host's machine ID, the camera's port entry
    // and its place in the server's list, and the CCD.
    std::string UniqueId() const;

    // One member call.  `put` tells PUT from GET.  A member the device does not
    // have, or a method it does not take, sets *bad; so does a missing or
    // unparsable parameter.
    Reply Call(const std::string& member, bool put, const Params& params,
               std::optional<BadRequest>* bad);

    // The image for imagearray: the frame (kept alive for the download even
    // when a new exposure starts meanwhile) or the error.
    Reply Image(std::shared_ptr<const client::Frame>* frame);

    // Ends any exposure and disconnects (server shutdown).
    void Shutdown();

  private:
    // One row of the member table: the member as named in the URL (lower
    // case), its GET and PUT handlers (null: the member takes no such call),
    // the PUT's parameters named exactly as clients must send them, whether
    // it needs a connection, and whether the camera has it at all (absent
    // members answer NotImplemented).
    using Handler = Reply (*)(CameraDevice&, const Params&, std::optional<BadRequest>*);
    struct Member {
        const char* name;
        Handler get;
        Handler put;
        std::array<const char*, 2> params;
        bool needsConnection;
        bool present;
    };
    static std::span<const Member> Members();

    // Exposure in progress or finished, owned by the device.
    struct Job {
        explicit Job(CameraUnit& unit) : capture(unit.camera(), &unit.lock(), &unit.shutter()) {}
        client::Capture capture;
        std::thread thread;
        std::atomic<bool> finished{false};
        client::CaptureResult result;  // written by the worker before `finished`
        std::shared_ptr<client::Frame> frame;
    };

    static const Member* FindMember(const std::string& name);
    // Links or unlinks the camera now (Connected) ...
    Reply Connect(bool on);
    // ... or on the link thread, returning at once (connect / disconnect).
    Reply StartLink(bool on);
    Reply Connecting();
    Reply DeviceState();
    Reply Description() const;
    Reply DriverInfo() const;
    Reply Action(const Params& params, std::optional<BadRequest>* bad);
    Reply PulseGuide(const Params& params, std::optional<BadRequest>* bad);
    Reply FrameSetting(const char* name, unsigned* field, const Params& params,
                       std::optional<BadRequest>* bad);
    Reply Binning(bool vertical, const Params& params, std::optional<BadRequest>* bad);
    Reply SetReadoutMode(const Params& params, std::optional<BadRequest>* bad);

    // Exposures (exposure.cpp); lock_ held.
    Reply StartExposure(double seconds, bool light);
    Reply StopExposure();
    // Collects a finished job into the device's state.
    void Reap();
    void EndJob(bool cancel);
    Reply CameraState();
    Reply PercentCompleted();
    bool PlanFrame(client::ReadoutPlan* plan, std::string* error) const;
    unsigned MaxBin(bool vertical) const;
    bool CanAsymmetricBin() const;
    bool SummedModes() const;
    nlohmann::json ReadoutModes() const;

    // Cooler (cooler.cpp); lock_ held.
    Reply CcdTemperature();
    Reply CoolerPower();
    Reply CoolerOn();
    Reply Setpoint();
    Reply SetCoolerOn(const Params& params, std::optional<BadRequest>* bad);
    Reply SetSetpoint(const Params& params, std::optional<BadRequest>* bad);

    CameraUnit& unit_;
    const unsigned ccd_;
    const unsigned number_;

    // Connect / disconnect in the background: one link thread at a time
    // (linkerLock_ guards its handle), its failure reported by the next
    // `connecting` (linkStateLock_, which the thread takes as it ends).
    std::mutex linkerLock_;
    std::thread linker_;
    std::mutex linkStateLock_;
    bool connecting_ = false;           // linkStateLock_
    std::optional<Reply> linkFailure_;  // linkStateLock_

    std::mutex lock_;
    bool connected_ = false;
    unsigned binX_ = 1, binY_ = 1;
    unsigned startX_ = 0, startY_ = 0, numX_ = 0, numY_ = 0;
    unsigned readoutMode_ = 0;
    double setpoint_ = 0;  // C, the target of SetCCDTemperature
    bool haveSetpoint_ = false;
    std::unique_ptr<Job> job_;
    std::shared_ptr<const client::Frame> image_;  // the last frame read, while ready
    bool haveLast_ = false;                       // LastExposureDuration / StartTime are set
    double lastSeconds_ = 0;
    std::string lastStart_;
    bool failed_ = false;  // CameraState 5 until the next exposure
    std::string failure_;
};

}  // namespace zeva::alpaca
