// INDI driver for ZEVA cameras: the imaging (or only) CCD as the primary
// chip, the tracking CCD as the guide head, the cooler, the guiding relays,
// the pulse output and the tip-tilt unit.  Camera access goes through the
// client API, serialized by one lock; exposures run on worker threads and
// the event loop publishes what they report.
#pragma once

#include <indiccd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/capture.h"
#include "client/client.h"
#include "client/plan.h"

namespace zeva::indi {

class KeyWriter;  // our FITS keys, in the form the INDI version takes

inline INumberVectorProperty* CVector(INumberVectorProperty& p) {
    return &p;
}
inline INumberVectorProperty* CVector(INDI::PropertyNumber& p) {
    return p.getNumber();
}

// One exposure of one chip: the client's capture sequence on a worker
// thread.  The request (plan, frame type, time) is fixed when the job starts.
struct ExposureJob {
    ExposureJob(client::Camera& camera, client::CameraLock* lock, client::ShutterOwner* shutter)
        : capture(camera, lock, shutter) {}
    std::thread thread;
    client::Capture capture;
    client::CaptureRequest request;
    INDI::CCDChip::CCD_FRAME frameType = INDI::CCDChip::LIGHT_FRAME;
    std::atomic<bool> finished{false};
    // Written by the worker before `finished`.
    client::CaptureResult result;
    client::Frame frame;
    bool haveTemperature = false;
    client::TemperatureStatus temperature;
    // The event loop's: the countdown was ended at 0 when the readout began.
    bool countdownEnded = false;
    std::string waitingFor;  // what the exposure last said it waits for
};

// The settings a client asked of a chip.  They reach the chip (whose state
// the base class writes into each frame's FITS header, on a thread of its
// own) only while no frame of that chip is in flight or being written: a
// frame is described by the settings it was read with, the request applies
// to the next exposure.
struct ChipRequest {
    int x = 0, y = 0, w = 0, h = 0;  // unbinned, as the client asked (clipped to the CCD)
    int hbin = 1, vbin = 1;
    INDI::CCDChip::CCD_FRAME type = INDI::CCDChip::LIGHT_FRAME;
};

// One camera, a device of its own: device `index` of the driver's `count`,
// on its own port entry (`entry` until a client or the saved configuration
// sets another), with its own configuration, lock and threads.
class ZevaCCD : public INDI::CCD {
  public:
    ZevaCCD(std::size_t index, std::size_t count, const std::string& entry);
    ~ZevaCCD() override;

    const char* getDefaultName() override;
    bool initProperties() override;
    bool updateProperties() override;
    void ISGetProperties(const char* dev) override;
    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                     int n) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                     int n) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;

  protected:
    bool Connect() override;
    bool Disconnect() override;
    void TimerHit() override;

    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool StartGuideExposure(float duration) override;
    bool AbortGuideExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateGuiderFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    bool UpdateGuiderBin(int hor, int ver) override;
    bool UpdateCCDFrameType(INDI::CCDChip::CCD_FRAME type) override;
    bool UpdateGuiderFrameType(INDI::CCDChip::CCD_FRAME type) override;
    int SetTemperature(double temperature) override;
    IPState GuideNorth(uint32_t ms) override;
    IPState GuideSouth(uint32_t ms) override;
    IPState GuideEast(uint32_t ms) override;
    IPState GuideWest(uint32_t ms) override;
#if INDI_VERSION_MAJOR >= 2
    // INDI 2 collects the header's records and writes them after this returns.
    void addFITSKeywords(INDI::CCDChip* chip, std::vector<INDI::FITSRecord>& records) override;
#else
    // INDI 1.9 has the keys written into the open file here.
    void addFITSKeywords(INDI::CCDChip* chip) override;
#endif
    bool saveConfigItems(FILE* fp) override;

  private:
    // Requests of the driver's own properties (true when handled).
    bool NewPortEntry(char* texts[], char* names[], int n);
    bool NewCoolerSwitch(ISState* states, char* names[], int n);
    bool NewCalibration(double values[], char* names[], int n);
    bool NewRelayMap(double values[], char* names[], int n);
    // TipTiltNP or PulseOutNP.
    bool NewOutput(INumberVectorProperty* nvp, double values[], char* names[], int n);
    // The base class's temperature property as its C vector (a plain vector
    // in INDI 1.9, an INDI::PropertyNumber in INDI 2).
    INumberVectorProperty* Temperature() {
        return CVector(TemperatureNP);
    }
    // The relay map, tip-tilt and pulse output properties, which only the
    // cameras with guide relays have.
    void DefineRelayProperties();
    void DeleteRelayProperties();
    // Camera access, one call at a time.
    template <typename F>
    auto Locked(F&& f) {
        std::lock_guard<client::CameraLock> g(ioLock_);
        return f(camera_);
    }
    bool StartChip(INDI::CCDChip& chip, unsigned ccd, float duration);
    void StopJob(unsigned ccd);
    // The chip's frame clipped to the chip; its binning when the CCD offers it.
    void SetChipFrame(INDI::CCDChip& chip, int x, int y, int w, int h);
    bool SetChipBinning(INDI::CCDChip& chip, unsigned ccd, int hor, int ver);
    void RunJob(ExposureJob* job);
    void PollJob(INDI::CCDChip& chip, unsigned ccd);
    void PollJobs();  // both chips, then the requests that waited for them
    // The event loop's callback on finishedPipe_.
    static void JobFinished(int fd, void* self);
    void PublishProgress(INDI::CCDChip& chip, unsigned ccd, const client::CaptureProgress& p);
    // The chip takes the client's request when it describes no frame any
    // more (or, `wait`, once the frame being written is done).
    void ApplyRequest(INDI::CCDChip& chip, unsigned ccd, bool wait);
    bool ChipFree(unsigned ccd, bool wait);
    bool Writing(unsigned ccd);        // a completed frame of `ccd` is being written
    bool Uploading();                  // a frame of either chip is being written or sent
    bool OtherDeviceUploading();       // the same, for another device of the driver
    bool WritingLocked(unsigned ccd);  // the same, writeLock_ held; lets a stale write go
    void WriteFrameKeys(INDI::CCDChip* chip, KeyWriter& keys);
    bool UpdateFrame(INDI::CCDChip& chip, unsigned ccd, int x, int y, int w, int h);
    bool UpdateBin(INDI::CCDChip& chip, unsigned ccd, int hor, int ver);
    bool UpdateFrameType(INDI::CCDChip& chip, unsigned ccd, INDI::CCDChip::CCD_FRAME type);
    bool PlanFor(INDI::CCDChip& chip, unsigned ccd, int hbin, int vbin, client::ReadoutPlan* plan,
                 std::string* error);
    void MonitorLoop();
    void StopMonitor();
    IPState StartPulse(unsigned axis, bool positive, std::uint32_t ms);
    void SendRelays();  // caller holds guideLock_
    void PublishMonitor();
    void PublishCooler(const client::TemperatureStatus& t);
    void SetCoolerSwitch(bool on, IPState state);  // sent only when it changes
    void CoolerCommanded();
    void UpdateTemperatureLimits();
    void CloseCamera();

    const std::size_t index_, count_;
    const std::string startEntry_;
    client::CameraLock ioLock_;
    client::ShutterOwner shutter_;  // the camera's one shutter, for both chips
    client::Driver driver_;
    client::Camera camera_;
    std::uint16_t cameraType_ = 0;
    client::CcdInfo info_[2];
    bool hasTracking_ = false;
    bool hasRelays_ = true;  // until a camera without guide relays connects
    int timerId_ = -1;
    bool configLoaded_ = false;  // the saved configuration was applied

    std::unique_ptr<ExposureJob> jobs_[2];
    // A worker writes a byte when its job finished.
    int finishedPipe_[2] = {-1, -1};
    ChipRequest requests_[2];
    INDI::CCDChip::CCD_FRAME chipType_[2] = {INDI::CCDChip::LIGHT_FRAME,
                                             INDI::CCDChip::LIGHT_FRAME};
    // A completed frame is being written (from ExposureComplete until its
    // FITS keys are written, at most kWriteWait).
    std::mutex writeLock_;
    std::condition_variable written_;
    bool writing_[2] = {false, false};
    std::chrono::steady_clock::time_point writingSince_[2];
    // Exposure countdown and readout progress go out at most twice a second.
    std::chrono::steady_clock::time_point progressSent_[2];
    // The plan of each chip's last completed frame: its FITS keys describe
    // it (libindi may write the file on a thread of its own).
    std::mutex framePlanLock_;
    client::ReadoutPlan framePlan_[2];

    // Monitor thread: cooler and relay status, end of guiding pulses.
    std::thread monitor_;
    std::atomic<bool> monitorStop_{false};
    std::mutex snapLock_;
    bool snapTempOk_ = false;
    client::TemperatureStatus snapTemp_;
    bool snapRelayOk_ = false;
    std::uint16_t snapRelays_ = 0;
    std::string snapError_;
    std::uint64_t coolerCommands_ = 0;    // cooler commands sent; a reading older is dropped
    std::atomic<bool> coolerDue_{false};  // read the cooler now

    // Guiding pulses per axis (0 = N/S, 1 = W/E), on the platform clock.
    std::mutex guideLock_;
    struct Pulse {
        bool active = false;
        bool positive = false;  // north / west
        std::uint64_t endNs = 0;
        bool done = false;  // ended, GuideComplete due
    } pulses_[2];

    client::CoolerCalibration calibration_;
    client::RelayMap relayMap_;
    double lastTarget_ = 0;
    bool haveTarget_ = false;

    ITextVectorProperty PortTP;
    IText PortT[1]{};
    INumberVectorProperty CalibrationNP;
    INumber CalibrationN[4];
    INumberVectorProperty RelayMapNP;
    INumber RelayMapN[4];
    ISwitchVectorProperty CoolerSP;
    ISwitch CoolerS[2];
    INumberVectorProperty CoolerPowerNP;
    INumber CoolerPowerN[1];
    INumberVectorProperty RelayStatusNP;
    INumber RelayStatusN[4];
    INumberVectorProperty TipTiltNP;
    INumber TipTiltN[2];
    INumberVectorProperty PulseOutNP;
    INumber PulseOutN[3];
    INumberVectorProperty ReadoutNP;
    INumber ReadoutN[2];
};

}  // namespace zeva::indi
