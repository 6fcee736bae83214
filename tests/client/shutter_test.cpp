// The shutter shared by the two CCDs of a dual-CCD camera: the mode each
// exposure starts with and what it waits for, for every state of the other
// CCD; then whole captures on a simulated Gannet, the guider looping on the
// tracking CCD while the imaging CCD takes its frames.
#include "client/shutter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "client/capture.h"

namespace zeva::client {
namespace {

const bool kPorts = [] {
    setenv("ZEVA_PORTS", "sim:gannet", 1);
    return true;
}();

constexpr unsigned kImaging = 0, kGuide = 1;

// What a request gets: a start mode, or the wait's message.
struct Outcome {
    bool starts = false;
    std::uint16_t mode = 0;
    std::string error;
};

Outcome Try(ShutterOwner& owner, unsigned ccd, bool light, double seconds = 1.0) {
    std::atomic<bool> cancel{false};
    Outcome o;
    o.starts = owner.Acquire(ccd, light, seconds, cancel, &o.mode, &o.error);
    return o;
}

// An owner that gives up a wait at once, with the other CCD in `state`.
enum class Other { Idle, Light, Dark, Reading };
void Put(ShutterOwner& owner, unsigned ccd, Other state, double seconds = 100.0) {
    if (state == Other::Idle)
        return;
    ASSERT_TRUE(Try(owner, ccd, state == Other::Light, seconds).starts);
    if (state == Other::Reading)
        owner.Ended(ccd);
}

// A request of `ccd` (light or dark) with the other CCD in `other`: the mode
// it starts with, or what it gives up waiting for.
struct Case {
    Other other;
    bool light;
    bool starts;
    std::uint16_t mode;
    const char* waitsFor;
};

void ExpectRequests(unsigned ccd, std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "other CCD " << static_cast<int>(c.other) << ", "
                                        << (c.light ? "light" : "dark"));
        ShutterOwner owner;
        owner.SetWaitLimitSeconds(0.05);
        Put(owner, 1 - ccd, c.other);
        const Outcome o = Try(owner, ccd, c.light);
        EXPECT_EQ(o.starts, c.starts) << o.error;
        if (c.starts)
            EXPECT_EQ(o.mode, c.mode);
        else
            EXPECT_NE(o.error.find(c.waitsFor), std::string::npos) << o.error;
    }
}

TEST(ShutterOwner, GuideRequestsForEveryImagingState) {
    ExpectRequests(kGuide, {
                               {Other::Idle, true, true, kShutterOpen, ""},
                               {Other::Idle, false, true, kShutterClose, ""},
                               {Other::Light, true, true, kShutterLeave, ""},  // under its shutter
                               {Other::Light, false, false, 0, "the imaging light exposure"},
                               {Other::Dark, true, false, 0, "the imaging dark"},
                               {Other::Dark, false, true, kShutterClose, ""},
                               {Other::Reading, true, false, 0, "the imaging readout"},
                               {Other::Reading, false, true, kShutterClose, ""},
                           });
}

TEST(ShutterOwner, ImagingRequestsForEveryGuideState) {
    ExpectRequests(kImaging,
                   {
                       {Other::Idle, true, true, kShutterOpen, ""},
                       {Other::Idle, false, true, kShutterClose, ""},
                       {Other::Light, true, true, kShutterOpen, ""},  // takes the shutter over
                       {Other::Light, false, false, 0, "the guide exposure that holds the shutter"},
                       {Other::Dark, true, false, 0, "the guide CCD's dark"},
                       {Other::Dark, false, true, kShutterClose, ""},
                       {Other::Reading, true, true, kShutterOpen, ""},
                       {Other::Reading, false, true, kShutterClose, ""},
                   });
}

TEST(ShutterOwner, GuideFrameGoesUnderTheImagingShutterOnlyIfItEndsFirst) {
    ShutterOwner owner;
    owner.SetWaitLimitSeconds(0.05);
    Put(owner, kImaging, Other::Light, 3.0);
    EXPECT_EQ(Try(owner, kGuide, true, 2.0).mode, kShutterLeave);
    owner.Released(kGuide);
    const Outcome late = Try(owner, kGuide, true, 2.8);
    EXPECT_FALSE(late.starts);
    EXPECT_NE(late.error.find("the end of the imaging exposure"), std::string::npos);
}

TEST(ShutterOwner, ImagingDarkWaitsForTheGuideFrameAndHoldsTheNextOneBack) {
    ShutterOwner owner;
    Put(owner, kGuide, Other::Light);
    std::atomic<bool> cancel{false};
    std::uint16_t darkMode = 0;
    std::atomic<bool> darkStarted{false};
    std::string error;
    std::thread dark(
        [&] { darkStarted = owner.Acquire(kImaging, false, 5.0, cancel, &darkMode, &error); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(darkStarted);
    owner.Ended(kGuide);  // the guide frame's shutter closed
    dark.join();
    ASSERT_TRUE(darkStarted) << error;
    EXPECT_EQ(darkMode, kShutterClose);
    owner.Released(kGuide);
    owner.SetWaitLimitSeconds(0.05);
    EXPECT_NE(Try(owner, kGuide, true).error.find("the imaging dark"), std::string::npos);
    owner.Ended(kImaging);
    EXPECT_NE(Try(owner, kGuide, true).error.find("the imaging readout"), std::string::npos);
    owner.Released(kImaging);
    EXPECT_EQ(Try(owner, kGuide, true).mode, kShutterOpen);
}

TEST(ShutterOwner, CancelEndsAWaitAndOneCcdCamerasNeverWait) {
    ShutterOwner owner;
    Put(owner, kImaging, Other::Reading);
    std::atomic<bool> cancel{false};
    std::uint16_t mode = 0;
    std::string error = "untouched";
    bool started = true;
    std::thread guide([&] { started = owner.Acquire(kGuide, true, 1.0, cancel, &mode, &error); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    cancel = true;
    guide.join();
    EXPECT_FALSE(started);
    EXPECT_EQ(error, "untouched");  // cancelled, not given up
    ShutterOwner single(false);
    Put(single, kImaging, Other::Light);
    EXPECT_EQ(Try(single, kImaging, false).mode, kShutterClose);
}

// --- Whole captures on the simulated camera ---------------------------------

class SelfGuiding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(driver.Open().ok());
        ASSERT_TRUE(camera.Open(1).ok());
        std::uint16_t type = 0;
        ASSERT_TRUE(camera.EstablishLink(&type).ok());
        for (unsigned ccd : {kImaging, kGuide}) {
            CcdInfo info;
            ASSERT_TRUE(camera.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info).ok());
            std::string err;
            ASSERT_TRUE(PlanBinning(info, ccd, ccd == 0, 1, 1, &plans[ccd], &err)) << err;
        }
        // A band across the middle of the imaging CCD is enough for the sky level.
        std::string err;
        ASSERT_TRUE(SetWindow(&plans[kImaging], {0, 100, plans[kImaging].modeWidth, 20},
                              WindowFit::Refuse, &err))
            << err;
    }
    // The imaging frame's median, above the pedestal.
    double Imaging(FrameType type, double seconds) {
        Capture capture(camera, &lock, &shutter);
        Frame f;
        const CaptureResult r = capture.Run({plans[kImaging], type, seconds}, &f);
        EXPECT_TRUE(r.ok()) << r.error;
        std::vector<std::uint16_t> v = f.pixels;
        if (v.empty())
            return 0;
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    }
    // Guide frames of `seconds` in a loop until `stop`; counts those read.
    void Guide(double seconds, std::atomic<bool>& stop, std::atomic<int>& frames) {
        while (!stop) {
            Capture capture(camera, &lock, &shutter);
            Frame f;
            if (capture.Run({plans[kGuide], FrameType::Light, seconds}, &f).ok())
                ++frames;
        }
    }
    Driver driver;
    Camera camera;
    CameraLock lock;
    ShutterOwner shutter;
    ReadoutPlan plans[2];
};

TEST_F(SelfGuiding, LightFrameKeepsItsSkyWhileTheGuiderLoopsAndItsFramesKeepComing) {
    const double alone = Imaging(FrameType::Light, 6.0);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread guider([&] { Guide(0.5, stop, frames); });
    // Let the guider hold the shutter first: the light frame takes it over.
    while (frames == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int before = frames;
    const double guided = Imaging(FrameType::Light, 6.0);
    const int during = frames - before;
    stop = true;
    guider.join();
    EXPECT_NEAR(guided, alone, 3.0);
    EXPECT_GT(alone, 200.0);  // the sky is there: 20 e/s for about 6 s over the pedestal
    // A 0.5 s guide frame takes about 1.5 s with its clear, end and readout:
    // they keep coming under the open shutter (a guider shut out for the
    // whole exposure would get one at most).
    EXPECT_GE(during, 2);
}

TEST_F(SelfGuiding, DarkTakesNoLightWhileTheGuiderLoops) {
    const double alone = Imaging(FrameType::Dark, 3.0);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread guider([&] { Guide(0.5, stop, frames); });
    while (frames == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double guided = Imaging(FrameType::Dark, 3.0);
    stop = true;
    guider.join();
    EXPECT_NEAR(guided, alone, 3.0);
}

}  // namespace
}  // namespace zeva::client
