// Self-guiding through the server's two devices of one camera: a guider
// looping exposures on the tracking device (1) while the imaging device (0)
// takes light frames and darks under the camera's one shutter.
#include <algorithm>
#include <atomic>
#include <thread>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

class SelfGuidingTest : public AlpacaServerTest {
  protected:
    void TearDown() override {
        StopGuiding();
        AlpacaServerTest::TearDown();
    }
    // The imaging frame's median: the sky and dark level.
    double Frame(bool light, double seconds) {
        Expose(0, seconds, light);
        const Image img = ImageBytesOf(0);
        std::vector<unsigned> v;
        for (const auto& column : img.at) v.insert(v.end(), column.begin(), column.end());
        if (v.empty())
            return 0;
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    }
    // Tracking exposures of 0.5 s, one after the other, on a client of its
    // own; notes whether the device ever said it waits (CameraState 1).
    void StartGuiding() {
        loop_ = std::thread([this] {
            Http guider(server.port());
            const std::string base = "/api/v1/camera/1/";
            while (!stop_) {
                if (guider.Put(base + "startexposure", "Duration=0.5&Light=true").status != 200)
                    return;
                for (;;) {
                    if (stop_)
                        return;
                    const json state = ValueOf(guider.Get(base + "camerastate", "").Json());
                    if (state == 1)
                        sawWaiting_ = true;
                    if (ValueOf(guider.Get(base + "imageready", "").Json()) == true)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                ++frames_;
            }
        });
        while (frames_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    void StopGuiding() {
        stop_ = true;
        if (loop_.joinable())
            loop_.join();
    }

    std::atomic<bool> stop_{false}, sawWaiting_{false};
    std::atomic<int> frames_{0};
    std::thread loop_;
};

TEST_F(SelfGuidingTest, FramesKeepTheirLightOrDarkWhileTheTrackingDeviceLoops) {
    Start({"--sim", "gannet?seed=5"});
    Connect(0);
    Connect(1);
    const double lightAlone = Frame(true, 10.0);
    const double darkAlone = Frame(false, 6.0);
    ASSERT_GT(lightAlone, darkAlone + 50);  // the sky is there
    StartGuiding();
    const int before = frames_;
    const double lightGuided = Frame(true, 10.0);
    const int during = frames_ - before;
    const double darkGuided = Frame(false, 6.0);
    StopGuiding();
    EXPECT_NEAR(lightGuided, lightAlone, 3.0);
    EXPECT_NEAR(darkGuided, darkAlone, 3.0);  // no light from the tracking exposures
    // Guide frames keep coming under the open shutter.  How many depends on
    // how fast this machine serves the clients (the camera's clock runs on
    // while a client is slow); a guider shut out for the whole frame would
    // get one at most.
    EXPECT_GE(during, 2);
    EXPECT_TRUE(sawWaiting_);  // during the readout and the dark
}

}  // namespace
}  // namespace zeva::alpaca::test
