// Self-guiding under the camera's one shutter, as two clients written
// against the INDI client library see it: a guider looping guide-head
// exposures while an imager takes light frames and darks on the primary chip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "support/indi_session.h"

namespace zeva::test {
namespace {

class SelfGuidingTest : public IndiServerTest {
  protected:
    SelfGuidingTest() : IndiServerTest("zeva-selfguide") {}

    void SetUp() override {
        IndiServerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartConnected(imager, "sim:gannet?seed=5", "virtual", ChipKnown));
        imager.ReceiveBlobs("CCD1");
        ASSERT_TRUE(guider.Join(server.port())) << server.Log();
        guider.ReceiveBlobs("CCD2");
    }
    void TearDown() override {
        StopGuiding();
        IndiServerTest::TearDown();
    }
    // The primary chip's frame: its median, the sky and dark level.
    double Frame(bool dark, double seconds) {
        std::uint64_t seq = imager.Seq();
        imager.Switch("CCD_FRAME_TYPE", dark ? "FRAME_DARK" : "FRAME_LIGHT");
        imager.WaitSettled("CCD_FRAME_TYPE", seq, 30);
        seq = imager.Seq();
        imager.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", seconds);
        PropertyUpdate blob = imager.WaitBlob("CCD1", seq, 120);
        if (blob.blob.empty()) {
            ADD_FAILURE() << "no frame";
            return 0;
        }
        FitsImage im(std::move(blob.blob));
        std::vector<unsigned short> v = im.pixels;
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    }
    // Guide-head exposures of 0.5 s, one after the other, until stopped.
    void StartGuiding() {
        loop_ = std::thread([this] {
            while (!stop_) {
                const std::uint64_t seq = guider.Seq();
                guider.SetNumber("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 0.5);
                if (guider.WaitBlob("CCD2", seq, 150).blob.empty())
                    break;
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

    RecordingClient imager, guider;
    std::atomic<bool> stop_{false};
    std::atomic<int> frames_{0};
    std::thread loop_;
};

TEST_F(SelfGuidingTest, FramesKeepTheirLightOrDarkWhileTheGuiderLoops) {
    const double lightAlone = Frame(false, 10.0);
    const double darkAlone = Frame(true, 6.0);
    ASSERT_GT(lightAlone, darkAlone + 50);  // the sky is there
    StartGuiding();
    const int before = frames_;
    const double lightGuided = Frame(false, 10.0);
    const int during = frames_ - before;
    const double darkGuided = Frame(true, 6.0);
    StopGuiding();
    EXPECT_NEAR(lightGuided, lightAlone, 3.0);
    EXPECT_NEAR(darkGuided, darkAlone, 3.0);  // no light from the guide head's exposures
    // Guide frames keep coming under the open shutter.  How many depends on
    // how fast this machine serves the clients (the camera's clock runs on
    // while a client is slow); a guider shut out for the whole frame would
    // get one at most.
    EXPECT_GE(during, 2);
    EXPECT_TRUE(imager.Alerts().empty()) << imager.Alerts().front();
    EXPECT_TRUE(guider.Alerts().empty()) << guider.Alerts().front();
}

}  // namespace
}  // namespace zeva::test
