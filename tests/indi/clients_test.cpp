// Several INDI clients on one camera, as on a night with Ekos capturing and a
// guiding program joining later: nobody's property goes Alert, both get
// their frames, the saved configuration does not come back over the session.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

}  // namespace
}  // namespace zeva::test
