// What the INDI driver refuses, as a client sees it: texts too long to echo,
// an empty port entry, numbers that are not finite, frames outside the CCD,
// values out of range, fractions where whole numbers count, a port entry the
// connection would refuse; a refused value changes nothing.  A guider exposure
// on a camera without a tracking CCD says why it fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <utility>

#include "support/indi_session.h"

namespace zeva::test {
namespace {

class InputsTest : public IndiServerTest {
  protected:
    InputsTest() : IndiServerTest("zeva-inputs") {}
    std::string FailureDetail() override { return "last updates:\n" + client.Tail(30) + "\n"; }
    void Start(const std::string& entry) {
        ASSERT_NO_FATAL_FAILURE(server.Start(dir, entry, "virtual"));
        ASSERT_TRUE(client.Join(server.port())) << server.Log();
    }
    void ConnectCamera() {
        const std::uint64_t seq = client.Seq();
        client.Switch("CONNECTION", "CONNECT");
        ASSERT_EQ(client.WaitSettled("CONNECTION", seq, 60).state, IPS_OK);
        ASSERT_NE(
            client.WaitFor([](const PropertyUpdate& u) { return u.name == "CCD_FRAME"; }, 0, 30)
                .seq,
            0u);
    }
    // Sends one number and waits for the property to come back in Alert
    // (other updates of it, a temperature reading, may come first).
    PropertyUpdate SendNumber(const char* property, const char* element, double value) {
        const std::uint64_t seq = client.Seq();
        client.SetNumber(property, element, value);
        const std::string name = property;
        PropertyUpdate u = client.WaitFor(
            [&](const PropertyUpdate& p) { return p.name == name && p.state == IPS_ALERT; }, seq,
            30);
        if (u.seq == 0)
            u.state = IPS_IDLE;  // none came
        return u;
    }
    bool SaidSince(std::size_t before, const std::string& text) {
        const std::vector<std::string> m = client.Messages();
        for (std::size_t i = before; i < m.size(); ++i)
            if (m[i].find(text) != std::string::npos)
                return true;
        return false;
    }
    RecordingClient client;
};

TEST_F(InputsTest, OverLongAndEmptyPortEntriesAreRefusedAndTheDriverLives) {
    ASSERT_NO_FATAL_FAILURE(Start("sim:gannet"));
    // The property as defined first: a refusal comes as an update of it.
    ASSERT_NE(
        client.WaitFor([](const PropertyUpdate& u) { return u.name == "ZEVA_PORT"; }, 0, 30).seq,
        0u);
    for (const std::string& entry :
         {std::string(70000, 'x'), std::string(600, 'y'), std::string(), std::string("   ")}) {
        const std::uint64_t seq = client.Seq();
        client.SetText("ZEVA_PORT", "ENTRY", entry);
        const PropertyUpdate u = client.WaitFor(
            [](const PropertyUpdate& p) { return p.name == "ZEVA_PORT" && p.state == IPS_ALERT; },
            seq, 30);
        ASSERT_NE(u.seq, 0u) << entry.size() << " characters: no refusal";
        EXPECT_EQ(u.texts.at("ENTRY"), "sim:gannet");
    }
    // Still the driver it was: it connects the camera it had.
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
}

TEST_F(InputsTest, NonFiniteNumbersAreRefusedLikeOutOfRangeOnes) {
    ASSERT_NO_FATAL_FAILURE(Start("sim:gannet?scene=pattern"));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // While the camera's properties are gone (disconnected): refused all the same.
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    std::uint64_t seq = client.Seq();
    client.Switch("CONNECTION", "DISCONNECT");
    ASSERT_NE(client.WaitSettled("CONNECTION", seq, 30).seq, 0u);
    const std::size_t early = client.Messages().size();
    client.SetNumber("ZEVA_TIP_TILT", "TILT_X", nan);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!SaidSince(early, "not a number") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(SaidSince(early, "not a number"));
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {nan, inf}) {
        std::size_t before = client.Messages().size();
        PropertyUpdate u = SendNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", v);
        EXPECT_EQ(u.state, IPS_ALERT);
        EXPECT_TRUE(SaidSince(before, "seconds out of bounds")) << u.message;

        const PropertyUpdate calibration = client.Last("ZEVA_COOLER_CALIBRATION");
        before = client.Messages().size();
        u = SendNumber("ZEVA_COOLER_CALIBRATION", calibration.numbers.begin()->first.c_str(), v);
        EXPECT_EQ(u.state, IPS_ALERT);
        EXPECT_EQ(u.numbers, calibration.numbers);
        EXPECT_TRUE(SaidSince(before, "Invalid range")) << u.message;

        u = SendNumber("CCD_TEMPERATURE", "CCD_TEMPERATURE_VALUE", v);
        EXPECT_EQ(u.state, IPS_ALERT);
        EXPECT_TRUE(client.Last("CCD_COOLER").switches["COOLER_OFF"]);
    }
    // Frames: none started, none uploaded.
    for (const PropertyUpdate& u : client.All("CCD1")) EXPECT_TRUE(u.blob.empty());
}

TEST_F(InputsTest, RefusedValuesChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(Start("sim:gannet?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    std::uint64_t seq = client.Seq();
    client.SetNumbers("CCD_FRAME", {{"X", 8}, {"Y", 4}, {"WIDTH", 32}, {"HEIGHT", 16}});
    const PropertyUpdate before = client.WaitFor(
        [](const PropertyUpdate& p) {
            return p.name == "CCD_FRAME" && p.numbers.count("WIDTH") && p.numbers.at("WIDTH") == 32;
        },
        seq, 30);
    ASSERT_NE(before.seq, 0u);
    ASSERT_NE(before.state, IPS_ALERT);
    for (const auto& [name, value] :
         {std::pair{"X", 10000.0}, std::pair{"WIDTH", 10000.0}, std::pair{"Y", -1.0}}) {
        seq = client.Seq();
        client.SetNumber("CCD_FRAME", name, value);
        const PropertyUpdate u = client.WaitFor(
            [](const PropertyUpdate& p) { return p.name == "CCD_FRAME" && p.state == IPS_ALERT; },
            seq, 30);
        EXPECT_NE(u.seq, 0u) << name;
        EXPECT_EQ(u.numbers, before.numbers) << name;
    }
    // The window that stayed is the one read.
    client.ReceiveBlobs("CCD1");
    seq = client.Seq();
    client.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
    const PropertyUpdate frame = client.WaitBlob("CCD1", seq, 60);
    ASSERT_FALSE(frame.blob.empty());
    const FitsImage image(frame.blob);
    EXPECT_EQ(image.width, 32);
    EXPECT_EQ(image.height, 16);

    // A calibration point out of range: refused, and nothing saved.
    const PropertyUpdate calibration = client.Last("ZEVA_COOLER_CALIBRATION");
    const std::size_t said = client.Messages().size();
    const PropertyUpdate u =
        SendNumber("ZEVA_COOLER_CALIBRATION", calibration.numbers.begin()->first.c_str(), 1e9);
    EXPECT_EQ(u.state, IPS_ALERT);
    EXPECT_EQ(u.numbers, calibration.numbers);
    EXPECT_FALSE(SaidSince(said, "saved"));
}

TEST_F(InputsTest, FractionsAndUnknownModelsAreRefusedSayingWhat) {
    ASSERT_NO_FATAL_FAILURE(Start("sim:gannet?scene=pattern"));
    // A port entry is checked when it is set, as the connection would.
    ASSERT_NE(
        client.WaitFor([](const PropertyUpdate& u) { return u.name == "ZEVA_PORT"; }, 0, 30).seq,
        0u);
    std::size_t said = client.Messages().size();
    std::uint64_t seq = client.Seq();
    client.SetText("ZEVA_PORT", "ENTRY", "sim:ganet");
    const PropertyUpdate port = client.WaitSettled("ZEVA_PORT", seq, 30);
    EXPECT_EQ(port.state, IPS_ALERT);
    EXPECT_EQ(port.texts.at("ENTRY"), "sim:gannet?scene=pattern");
    EXPECT_TRUE(SaidSince(said, "unknown model 'ganet' (valid: ")) << port.message;
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    // Whole numbers only, for the binning and the relays; the element is named.
    for (const auto& [property, element] :
         {std::pair{"CCD_BINNING", "HOR_BIN"}, std::pair{"ZEVA_RELAY_MAP", "NORTH"}}) {
        const PropertyUpdate before =
            client.WaitFor([&](const PropertyUpdate& u) { return u.name == property; }, 0, 30);
        said = client.Messages().size();
        const PropertyUpdate u = SendNumber(property, element, 2.5);
        EXPECT_EQ(u.state, IPS_ALERT) << property;
        EXPECT_EQ(u.numbers, before.numbers) << property;
        EXPECT_TRUE(SaidSince(said, std::string("(") + element + ")")) << u.message;
    }
    // The next frame is read as the binning was.
    client.ReceiveBlobs("CCD1");
    client.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 16}, {"HEIGHT", 8}});
    seq = client.Seq();
    client.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.01);
    const FitsImage image(client.WaitBlob("CCD1", seq, 60).blob);
    EXPECT_EQ(image.Number("XBINNING"), 1);
    EXPECT_EQ(image.width, 16);
}

TEST_F(InputsTest, GuiderExposureWithoutTrackingCcdSaysWhy) {
    // The guide head of a camera that had one stays known to the server's
    // clients; the next camera on another port has none.
    ASSERT_NO_FATAL_FAILURE(Start("sim:gannet"));
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    std::uint64_t seq = client.Seq();
    client.Switch("CONNECTION", "DISCONNECT");
    ASSERT_NE(client.WaitSettled("CONNECTION", seq, 30).seq, 0u);
    seq = client.Seq();
    client.SetText("ZEVA_PORT", "ENTRY", "sim:kestrel");
    ASSERT_EQ(client.WaitSettled("ZEVA_PORT", seq, 30).state, IPS_OK);
    ASSERT_NO_FATAL_FAILURE(ConnectCamera());
    for (double seconds : {0.0, 1.0}) {
        const std::size_t before = client.Messages().size();
        client.SetNumber("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", seconds);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!SaidSince(before, "no tracking CCD") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(SaidSince(before, "no tracking CCD")) << seconds << " s";
    }
}

}  // namespace
}  // namespace zeva::test
