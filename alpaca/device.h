// One Alpaca camera device: the imaging (or only) CCD of a camera, or its
// tracking CCD.  Answers every ICameraV3 member; exposures run on a worker
// thread through the client's capture sequence.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
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
    std::string Name() const;
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
    // Exposure in progress or finished, owned by the device.
    struct Job {
        explicit Job(CameraUnit& unit) : capture(unit.camera(), &unit.lock()) {}
        client::Capture capture;
        std::thread thread;
        std::atomic<bool> finished{false};
        client::CaptureResult result;  // written by the worker before `finished`
        std::shared_ptr<client::Frame> frame;
    };

    Reply Get(const std::string& member, const Params& params, std::optional<BadRequest>* bad);
    Reply Put(const std::string& member, const Params& params, std::optional<BadRequest>* bad);
    Reply Connect(bool on);
    Reply StartExposure(double seconds, bool light);
    Reply Abort();
    Reply Stop();
    // Collects a finished job into the device's state; lock_ held.
    void Reap();
    void EndJob(bool cancel);  // lock_ held
    Reply CameraState();
    Reply PercentCompleted();
    bool PlanFrame(client::ReadoutPlan* plan, std::string* error) const;
    unsigned MaxBin(bool vertical) const;
    bool CanAsymmetricBin() const;
    bool SummedModes() const;
    nlohmann::json ReadoutModes() const;
    Reply Cooler(const std::string& member, bool put, const Params& params,
                 std::optional<BadRequest>* bad);

    CameraUnit& unit_;
    const unsigned ccd_;
    const unsigned number_;

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
