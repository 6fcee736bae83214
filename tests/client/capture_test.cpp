// The capture sequence against simulated cameras on the virtual clock: port 1
// a Gannet with the pattern scene, port 2 a Gannet with stars (dark current
// grows with the exposure), port 3 a Gannet whose digitizer never finishes.
#include "client/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <thread>

#include "common/errors.h"
#include "support/pattern.h"

namespace zeva::client {
namespace {

const bool kPorts = [] {
    setenv("ZEVA_PORTS", "sim:gannet?scene=pattern,sim:gannet,sim:gannet?busy=stuck", 1);
    return true;
}();

// Every pixel of `f` is its plan's hbin x vbin cells of the pattern, summed
// on the chip, above the pedestal.
void ExpectPatternOf(const Frame& f) {
    const ReadoutPlan& p = f.plan;
    ASSERT_EQ(f.pixels.size(), std::size_t{p.w} * p.h);
    const Window origin = p.Unbinned();
    for (unsigned line = 0; line < p.h; ++line)
        for (unsigned px = 0; px < p.w; ++px) {
            unsigned expected = 100;
            for (unsigned r = 0; r < p.vbin; ++r)
                for (unsigned c = 0; c < p.hbin; ++c)
                    expected += zeva::test::PatternImaging(origin.y + line * p.vbin + r,
                                                           origin.x + px * p.hbin + c);
            ASSERT_EQ(f.pixels[std::size_t{line} * p.w + px], expected)
                << "line " << line << " pixel " << px;
        }
}

// Waits (in real time, bounded) until `done` holds.
bool WaitUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(driver.Open().ok()); }
    void Open(std::uint16_t port) {
        Status s = camera.Open(port);
        ASSERT_TRUE(s.ok()) << s.Describe();
        std::uint16_t type = 0;
        ASSERT_TRUE(camera.EstablishLink(&type).ok());
        ASSERT_TRUE(camera.GetCCDInfo(0, &info).ok());
    }
    ReadoutPlan Plan(unsigned hbin, unsigned vbin, const Window& window) {
        ReadoutPlan p;
        std::string err;
        EXPECT_TRUE(PlanBinning(info, 0, true, hbin, vbin, &p, &err)) << err;
        EXPECT_TRUE(SetWindow(&p, window, WindowFit::Refuse, &err)) << err;
        return p;
    }
    unsigned ExposureState() {
        std::uint16_t word = 0;
        EXPECT_TRUE(camera.QueryCommandStatus(1, &word).ok());
        return ExposureStateOf(word, 0);
    }
    // Runs `capture` on a worker thread; `whileRunning` acts from this thread.
    CaptureResult RunAside(Capture& capture, const CaptureRequest& request, Frame* frame,
                           const std::function<void()>& whileRunning) {
        CaptureResult result;
        std::thread worker([&] { result = capture.Run(request, frame); });
        whileRunning();
        worker.join();
        return result;
    }
    Driver driver;
    Camera camera;
    CcdInfo info;
};

TEST_F(CaptureTest, BinnedWindowMatchesThePatternAndCarriesItsPlan) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    Capture capture(camera);
    CaptureRequest req{Plan(2, 2, {41, 13, 31, 17}), FrameType::Light, 0.5};
    Frame f;
    const auto before = std::chrono::system_clock::now();
    const CaptureResult r = capture.Run(req, &f);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(f.plan.mode, 1u);
    EXPECT_EQ(f.plan.requested, (Window{41, 13, 31, 17}));
    EXPECT_EQ(f.plan.Unbinned(), (Window{40, 12, 30, 16}));
    EXPECT_DOUBLE_EQ(f.seconds, 0.5);
    EXPECT_FALSE(f.stoppedEarly);
    EXPECT_GE(f.start, before);
    EXPECT_EQ(f.pixels.size(), 15u * 8u);
    ExpectPatternOf(f);
    EXPECT_EQ(ExposureState(), 0u);
}

TEST_F(CaptureTest, VerticalFactorModeAndDarkFrame) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    // 1 x 3 through mode 3: three rows shifted on chip per line.
    Capture light(camera);
    Frame f;
    CaptureResult r = light.Run({Plan(1, 3, {10, 30, 6, 9}), FrameType::Light, 0.1}, &f);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(f.plan.mode, 3u);
    EXPECT_EQ(f.pixels.size(), 6u * 3u);
    ExpectPatternOf(f);
    Capture dark(camera);
    r = dark.Run({Plan(1, 1, {0, 0, 8, 2}), FrameType::Dark, 0.1}, &f);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(f.type, FrameType::Dark);
    for (std::uint16_t p : f.pixels) EXPECT_EQ(p, 100);
    // A bias frame is a dark frame of no time, whatever time was asked for.
    Capture bias(camera);
    r = bias.Run({Plan(1, 1, {0, 0, 8, 2}), FrameType::Bias, 10}, &f);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(f.seconds, 0.0);
    for (std::uint16_t p : f.pixels) EXPECT_EQ(p, 100);
}

TEST_F(CaptureTest, CancelDuringExposureLeavesTheCameraIdle) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    CameraLock lock;
    Capture capture(camera, &lock);
    Frame f;
    const CaptureResult r =
        RunAside(capture, {Plan(1, 1, {0, 0, 16, 16}), FrameType::Light, 600}, &f, [&] {
            ASSERT_TRUE(
                WaitUntil([&] { return capture.Progress().phase == CapturePhase::Exposing; }));
            capture.Cancel();
        });
    EXPECT_EQ(r.outcome, CaptureOutcome::Cancelled);
    EXPECT_EQ(r.phase, CapturePhase::Exposing);
    EXPECT_TRUE(r.status.ok()) << r.status.Describe();  // the exposure was ended
    EXPECT_TRUE(f.pixels.empty());
    EXPECT_EQ(ExposureState(), 0u);
    // Idle indeed: the next frame is whole.
    Capture next(camera, &lock);
    ASSERT_TRUE(next.Run({Plan(1, 1, {0, 0, 4, 2}), FrameType::Light, 0.1}, &f).ok());
    ExpectPatternOf(f);
}

TEST_F(CaptureTest, CancelDuringReadoutStopsWithinOneLine) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    CameraLock lock;  // held here, it keeps the worker between two camera calls
    Capture capture(camera, &lock);
    Frame f;
    unsigned seen = 0;
    const CaptureResult r =
        RunAside(capture, {Plan(1, 1, {0, 0, 765, 510}), FrameType::Light, 0.1}, &f, [&] {
            ASSERT_TRUE(WaitUntil([&] { return capture.Progress().linesRead >= 5; }));
            std::lock_guard<CameraLock> g(lock);
            seen = capture.Progress().linesRead;
            capture.Cancel();
        });
    EXPECT_EQ(r.outcome, CaptureOutcome::Cancelled);
    EXPECT_EQ(r.phase, CapturePhase::Reading);
    EXPECT_GE(r.linesRead, seen);
    EXPECT_LE(r.linesRead, seen + 1);
    EXPECT_TRUE(r.status.ok()) << r.status.Describe();  // the readout was ended
    EXPECT_TRUE(f.pixels.empty());
    EXPECT_EQ(ExposureState(), 0u);
    Capture next(camera, &lock);
    ASSERT_TRUE(next.Run({Plan(2, 2, {0, 0, 4, 4}), FrameType::Light, 0.1}, &f).ok());
    ExpectPatternOf(f);
}

TEST_F(CaptureTest, CancelBeforeRunTouchesNothing) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    Capture capture(camera);
    capture.Cancel();
    Frame f;
    const CaptureResult r = capture.Run({Plan(1, 1, {0, 0, 4, 4}), FrameType::Light, 10}, &f);
    EXPECT_EQ(r.outcome, CaptureOutcome::Cancelled);
    EXPECT_EQ(r.phase, CapturePhase::Idle);
    EXPECT_EQ(ExposureState(), 0u);
}

// Median of the dark frame's pixels: dark current, 2 counts a second.
double Median(std::vector<std::uint16_t> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

TEST_F(CaptureTest, StopEarlyReadsTheShorterExposure) {
    ASSERT_NO_FATAL_FAILURE(Open(2));
    const ReadoutPlan plan = Plan(1, 1, {100, 100, 64, 32});
    Capture full(camera);
    Frame whole;
    ASSERT_TRUE(full.Run({plan, FrameType::Dark, 10}, &whole).ok());
    Capture capture(camera);
    Frame f;
    std::uint64_t stopNs = 0;
    const CaptureResult r = RunAside(capture, {plan, FrameType::Dark, 10}, &f, [&] {
        ASSERT_TRUE(WaitUntil([&] {
            const CaptureProgress p = capture.Progress();
            return p.phase == CapturePhase::Exposing && p.secondsLeft < 9.0;
        }));
        stopNs = NowNs();
        capture.StopEarly();
    });
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(f.stoppedEarly);
    EXPECT_GT(f.seconds, 0.9);
    EXPECT_LT(f.seconds, 9.5);
    // The time stated is the time until the stop, to a poll.
    EXPECT_NEAR(f.seconds, (stopNs - f.startNs) / 1e9, 0.1);
    // The camera exposed that long: a tenth of the dark current, or so.
    const double dark = Median(whole.pixels) - Median(f.pixels);
    EXPECT_NEAR(dark, 2.0 * (10.0 - f.seconds), 6.0)
        << Median(whole.pixels) << " " << Median(f.pixels);
}

TEST_F(CaptureTest, ProgressMovesOneWay) {
    ASSERT_NO_FATAL_FAILURE(Open(1));
    Capture capture(camera);
    Frame f;
    std::vector<CaptureProgress> seen;
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            seen.push_back(capture.Progress());
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    // The whole CCD: 510 lines, long enough to be seen while they are read.
    const CaptureResult r = capture.Run({Plan(1, 1, {0, 0, 765, 510}), FrameType::Light, 2}, &f);
    done = true;
    watcher.join();
    ASSERT_TRUE(r.ok()) << r.error;
    seen.push_back(capture.Progress());
    unsigned exposing = 0, reading = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        const CaptureProgress &a = seen[i - 1], &b = seen[i];
        ASSERT_LE(a.phase, b.phase) << i;
        ASSERT_LE(a.linesRead, b.linesRead) << i;
        if (a.phase == b.phase) {
            ASSERT_GE(a.secondsLeft, b.secondsLeft) << i;
        }
        exposing += b.phase == CapturePhase::Exposing;
        reading += b.phase == CapturePhase::Reading && b.linesRead > 0 && b.linesRead < 510;
    }
    EXPECT_GT(exposing, 0u);
    EXPECT_GT(reading, 0u);
    EXPECT_EQ(seen.back().phase, CapturePhase::Done);
    EXPECT_DOUBLE_EQ(seen.back().FractionRead(), 1.0);
    EXPECT_DOUBLE_EQ(seen.back().seconds, 2.0);
}

TEST_F(CaptureTest, FailuresNameTheStepAndLeaveTheCameraIdle) {
    ASSERT_NO_FATAL_FAILURE(Open(3));
    Capture capture(camera);
    Frame f;
    CaptureResult r = capture.Run({Plan(1, 1, {0, 2, 8, 4}), FrameType::Light, 0.1}, &f);
    EXPECT_EQ(r.outcome, CaptureOutcome::Failed);
    // The clear before the start already needs the digitizer.
    EXPECT_EQ(r.phase, CapturePhase::Exposing);
    EXPECT_EQ(r.status.code(), ErrDigitizerTimeout) << r.error;
    EXPECT_EQ(r.error,
              "starting the exposure failed: the camera's digitizer stays busy "
              "(ErrDigitizerTimeout (error 13))");
    EXPECT_EQ(ExposureState(), 0u);
    // A plan that does not fit the mode is refused before the camera is touched.
    ReadoutPlan bad = Plan(1, 1, {0, 0, 8, 4});
    bad.y = bad.modeHeight;
    Capture refused(camera);
    r = refused.Run({bad, FrameType::Light, 0.1}, &f);
    EXPECT_EQ(r.outcome, CaptureOutcome::Failed);
    EXPECT_EQ(r.phase, CapturePhase::Idle);
    EXPECT_EQ(r.status.code(), ErrBadParameter);
    // Nor may a window wrap around the 32-bit sums, or a factor its 8 bits.
    bad = Plan(1, 1, {0, 0, 8, 4});
    bad.x = 0xFFFFFFF0u;
    bad.w = 0x20;
    Capture wrapped(camera);
    EXPECT_EQ(wrapped.Run({bad, FrameType::Light, 0.1}, &f).outcome, CaptureOutcome::Failed);
    bad = Plan(1, 1, {0, 0, 8, 4});
    bad.verticalFactor = 256;
    Capture factor(camera);
    EXPECT_EQ(factor.Run({bad, FrameType::Light, 0.1}, &f).outcome, CaptureOutcome::Failed);
    EXPECT_EQ(ExposureState(), 0u);
}

TEST(ExposureTime, RefusedWhenNotAFiniteTimeTheCameraCanCount) {
    std::uint32_t units = 7;
    std::string err;
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(), -0.01, 167772.16, 1e300}) {
        EXPECT_FALSE(ExposureUnits(bad, 0, &units, &err)) << bad;
        EXPECT_EQ(err, "exposure time must be 0 to 167772.15 s") << bad;
    }
    EXPECT_EQ(units, 7u);  // untouched
    EXPECT_FALSE(ExposureUnits(655.36, 1, &units, &err));
    EXPECT_EQ(err, "exposure time must be 0 to 655.35 s on the tracking CCD");
    ASSERT_TRUE(ExposureUnits(655.35, 1, &units, &err));
    EXPECT_EQ(units, 65535u);
    ASSERT_TRUE(ExposureUnits(167772.15, 0, &units, &err));
    EXPECT_EQ(units, 0xFFFFFFu);
    ASSERT_TRUE(ExposureUnits(0.016, 0, &units, &err));
    EXPECT_EQ(units, 2u);
    ASSERT_TRUE(ExposureUnits(-0.0, 0, &units, &err));
    EXPECT_EQ(units, 0u);
    EXPECT_EQ(MaxExposureSeconds(0), 167772.15);
}

TEST(FrameValues, TypeNamesAndUtcStartTimes) {
    EXPECT_STREQ(FrameTypeName(FrameType::Bias), "Bias Frame");
    EXPECT_STREQ(FrameTypeName(FrameType::Light), "Light Frame");
    using namespace std::chrono;
    const system_clock::time_point t{milliseconds(1'781'000'000'123LL)};
    EXPECT_EQ(UtcIso(t), "2026-06-09T10:13:20.123");
}

}  // namespace
}  // namespace zeva::client
