// Several INDI clients on one camera, as on a night with Ekos capturing and a
// guiding program joining later: nobody's property goes Alert, both get
// their frames, the saved configuration does not come back over the session,
// a disconnect by one client leaves no exposure hanging for another.  Several
// cameras in one driver, each a device of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/indi_session.h"

namespace zeva::test {
namespace {

class ClientsTest : public IndiServerTest {
  protected:
    ClientsTest() : IndiServerTest("zeva-clients") {}
};

bool Defined(RecordingClient& c, const char* name, std::uint64_t after = 0) {
    return c.WaitFor([&](const PropertyUpdate& u) { return u.name == name && u.definition; }, after,
                     30)
               .seq != 0;
}

TEST_F(ClientsTest, GuiderJoiningACapturingSessionSeesNoAlertAndBothGetFrames) {
    ASSERT_NO_FATAL_FAILURE(server.Start(dir, "sim:gannet?scene=pattern", "virtual"));
    // A: the capture program.  Connects, takes a frame and saves the
    // configuration, as Ekos does at its first capture.
    RecordingClient a;
    ASSERT_TRUE(a.Join(server.port())) << server.Log();
    std::uint64_t seq = a.Seq();
    a.Switch("CONNECTION", "CONNECT");
    ASSERT_EQ(a.WaitSettled("CONNECTION", seq, 60).state, IPS_OK);
    ASSERT_TRUE(Defined(a, "CCD_EXPOSURE"));
    ASSERT_TRUE(Defined(a, "CCD_FRAME"));
    a.ReceiveBlobs("CCD1");
    a.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 32}, {"HEIGHT", 8}});
    seq = a.Seq();
    a.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.2);
    ASSERT_FALSE(a.WaitBlob("CCD1", seq, 60).blob.empty());
    seq = a.Seq();
    a.Switch("CONFIG_PROCESS", "CONFIG_SAVE");
    ASSERT_EQ(a.WaitSettled("CONFIG_PROCESS", seq, 30).state, IPS_OK);

    // B: the guider joins while A stays connected, lists the properties
    // (the whole getProperties a new client sends) and exposes the guide head.
    RecordingClient b;
    ASSERT_TRUE(b.Join(server.port()));
    ASSERT_TRUE(Defined(b, "GUIDER_EXPOSURE"));
    ASSERT_TRUE(Defined(b, "GUIDER_FRAME"));
    ASSERT_TRUE(Defined(b, "ZEVA_PORT"));
    b.ReceiveBlobs("CCD2");
    b.SetNumbers("GUIDER_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 16}, {"HEIGHT", 8}});
    std::uint64_t seqA = a.Seq(), seqB = b.Seq();
    b.SetNumber("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 0.2);
    a.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.3);
    const PropertyUpdate guideBlob = b.WaitBlob("CCD2", seqB, 60);
    const PropertyUpdate imageBlob = a.WaitBlob("CCD1", seqA, 60);
    ASSERT_FALSE(guideBlob.blob.empty()) << "no guide frame; B saw:\n" << b.Tail(30);
    ASSERT_FALSE(imageBlob.blob.empty()) << "no image; A saw:\n" << a.Tail(30);
    const FitsImage guide(guideBlob.blob);
    const FitsImage image(imageBlob.blob);
    EXPECT_EQ(guide.width, 16);
    EXPECT_EQ(guide.Text("CCD"), "Tracking");
    EXPECT_EQ(image.width, 32);
    EXPECT_EQ(image.Text("CCD"), "Imaging");
    for (RecordingClient* c : {&a, &b}) {
        const std::vector<std::string> alerts = c->Alerts();
        EXPECT_TRUE(alerts.empty()) << (c == &a ? "A: " : "B: ") << alerts.front();
    }
    EXPECT_EQ(b.Last("ZEVA_PORT").texts.at("ENTRY"), "sim:gannet?scene=pattern");

    // While connected the entry in use is accepted unchanged; another one is
    // refused and the camera keeps its port.
    seqB = b.Seq();
    b.SetText("ZEVA_PORT", "ENTRY", "sim:gannet?scene=pattern");
    EXPECT_EQ(b.WaitSettled("ZEVA_PORT", seqB, 30).state, IPS_OK);
    seqB = b.Seq();
    b.SetText("ZEVA_PORT", "ENTRY", "sim:kestrel");
    const PropertyUpdate refused = b.WaitSettled("ZEVA_PORT", seqB, 30);
    EXPECT_EQ(refused.state, IPS_ALERT);
    EXPECT_EQ(refused.texts.at("ENTRY"), "sim:gannet?scene=pattern");
    EXPECT_TRUE(a.Last("CONNECTION").switches.at("CONNECT"));
}

TEST_F(ClientsTest, AnExposureTheDisconnectEndedIsNotBusyAfterTheReconnect) {
    ASSERT_NO_FATAL_FAILURE(server.Start(dir, "sim:gannet?scene=pattern", "virtual"));
    RecordingClient a, b;
    ASSERT_TRUE(a.Join(server.port())) << server.Log();
    std::uint64_t seq = a.Seq();
    a.Switch("CONNECTION", "CONNECT");
    ASSERT_EQ(a.WaitSettled("CONNECTION", seq, 60).state, IPS_OK);
    ASSERT_TRUE(Defined(a, "GUIDER_EXPOSURE"));
    // A long exposure on each chip, in A.
    const char* const exposures[][2] = {{"CCD_EXPOSURE", "CCD_EXPOSURE_VALUE"},
                                        {"GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE"}};
    for (const auto& [property, element] : exposures) {
        seq = a.Seq();
        a.SetNumber(property, element, 600);
        ASSERT_NE(
            a.WaitFor(
                 [&](const PropertyUpdate& u) { return u.name == property && u.state == IPS_BUSY; },
                 seq, 30)
                .seq,
            0u)
            << property;
    }
    // B disconnects the camera and connects it again.
    ASSERT_TRUE(b.Join(server.port()));
    seq = b.Seq();
    b.Switch("CONNECTION", "DISCONNECT");
    ASSERT_NE(b.WaitSettled("CONNECTION", seq, 30).seq, 0u);
    const std::uint64_t reconnect = a.Seq();
    seq = b.Seq();
    b.Switch("CONNECTION", "CONNECT");
    ASSERT_EQ(b.WaitSettled("CONNECTION", seq, 60).state, IPS_OK);
    for (const auto& [property, element] : exposures) {
        const PropertyUpdate defined =
            a.WaitFor([&](const PropertyUpdate& u) { return u.name == property && u.definition; },
                      reconnect, 30);
        ASSERT_NE(defined.seq, 0u) << property;
        EXPECT_NE(defined.state, IPS_BUSY) << property << " defined again as Busy";
    }
    // A new exposure runs and ends as usual.
    a.ReceiveBlobs("CCD1");
    a.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 16}, {"HEIGHT", 8}});
    seq = a.Seq();
    a.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
    EXPECT_EQ(FitsImage(a.WaitBlob("CCD1", seq, 60).blob).width, 16);
}

TEST_F(ClientsTest, TwoCamerasOfOneDriverExposeAtOnceEachAsItIs) {
    // A Jacana imaging and a single-CCD camera guiding, one driver, one
    // client.  The second device's entry is changed before anything connects.
    ASSERT_NO_FATAL_FAILURE(
        server.Start(dir, "sim:jacana?scene=pattern, sim:egret?scene=pattern", "virtual"));
    const std::vector<std::string> devices = {"ZEVA CCD", "ZEVA CCD 2"};
    const char* const entries[] = {"sim:jacana?scene=pattern", "sim:egret?scene=pattern"};
    RecordingClient c;
    ASSERT_TRUE(c.Join(server.port(), 30, devices)) << server.Log();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        c.target = devices[i];
        ASSERT_NE(c.WaitFor(
                       [&](const PropertyUpdate& u) {
                           return u.device == devices[i] && u.name == "ZEVA_PORT";
                       },
                       0, 30)
                      .seq,
                  0u)
            << devices[i];
        EXPECT_EQ(c.Last("ZEVA_PORT").texts.at("ENTRY"), entries[i]);
        EXPECT_EQ(c.Last("DRIVER_INFO").texts.at("DRIVER_VERSION"), ZEVA_VERSION_TEXT);
    }
    c.target = devices[1];
    std::uint64_t seq = c.Seq();
    c.SetText("ZEVA_PORT", "ENTRY", "sim:finch?scene=pattern");
    ASSERT_EQ(c.WaitSettled("ZEVA_PORT", seq, 30).state, IPS_OK);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        c.target = devices[i];
        seq = c.Seq();
        c.Switch("CONNECTION", "CONNECT");
        ASSERT_EQ(c.WaitSettled("CONNECTION", seq, 60).state, IPS_OK) << devices[i];
        ASSERT_NE(c.WaitFor(
                       [&](const PropertyUpdate& u) {
                           return u.device == devices[i] && u.name == "CCD_FRAME";
                       },
                       seq, 30)
                      .seq,
                  0u);
        c.ReceiveBlobs("CCD1");
        c.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 32}, {"HEIGHT", 8}});
    }
    const std::uint64_t start = c.Seq();
    for (const std::string& d : devices) {
        c.target = d;
        c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.2);
    }
    const char* const models[] = {"Jacana", "Finch"};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        c.target = devices[i];
        const PropertyUpdate blob = c.WaitBlob("CCD1", start, 60);
        ASSERT_FALSE(blob.blob.empty()) << "no frame from " << devices[i] << "\n" << c.Tail(30);
        const FitsImage image(blob.blob);
        EXPECT_EQ(image.width, 32);
        EXPECT_NE(image.Text("INSTRUME").find(models[i]), std::string::npos)
            << image.Text("INSTRUME");
    }
    // Guiding is offered where the camera has relays: not on the Finch.
    for (const char* p : {"TELESCOPE_TIMED_GUIDE_NS", "TELESCOPE_TIMED_GUIDE_WE",
                          "ZEVA_RELAY_STATUS", "ZEVA_RELAY_MAP"}) {
        c.target = devices[0];
        EXPECT_TRUE(c.Defined(p)) << p;
        c.target = devices[1];
        EXPECT_FALSE(c.Defined(p)) << p;
    }
    const std::vector<std::string> alerts = c.Alerts();
    EXPECT_TRUE(alerts.empty()) << alerts.front();
}

}  // namespace
}  // namespace zeva::test
