// The set-up pages of zeva-alpaca: the forms as a browser sends them (over
// libcurl), and the pages used in a real headless Chromium, read back
// through the Alpaca API and the settings file.
#include "alpaca/server_fixture.h"
#include "support/browser.h"

namespace zeva::alpaca::test {
namespace {

const std::string kDefaults =
    "reading1=1000&celsius1=25&reading2=3000&celsius2=-25&north=0&south=1&east=2&west=3";

// kDefaults with one field's value replaced (or the field left out for "").
std::string Form(const std::string& field, const std::string& value) {
    std::string form = kDefaults;
    const std::size_t at = form.find(field + "=");
    const std::size_t end = std::min(form.find('&', at), form.size());
    form.replace(at, end - at, value.empty() ? "x=" : field + "=" + value);
    return form;
}

class SetupPageTest : public AlpacaServerTest {
  protected:
    std::string Page(unsigned n) { return "/setup/v1/camera/" + std::to_string(n) + "/setup"; }
    // The page's notice: what was saved or why not.
    static std::string Notice(const HttpReply& r) {
        const std::size_t at = r.body.find("id=\"notice\"");
        const std::size_t from = r.body.find('>', at);
        if (at == std::string::npos || from == std::string::npos)
            return "";
        return r.body.substr(from + 1, r.body.find("</p>", from) - from - 1);
    }
    json Saved() { return json::parse(zeva::test::ReadFile(dir / "settings.json")); }
    std::string Relays(unsigned device) {
        return Put(device, "action", "Action=RelayStatus&Parameters=")["Value"];
    }
};

TEST_F(SetupPageTest, PagesListTheCamerasWithEverythingEscaped) {
    Start({"--sim", "gannet?scene=pattern&port-ns=300", "--sim", "egret", "--location",
           "<b>Dome & \"North\"</b>"});
    HttpReply r = http->Get("/setup");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "text/html; charset=utf-8");
    EXPECT_NE(r.body.find("name=\"viewport\""), std::string::npos);
    EXPECT_NE(r.body.find("&lt;b&gt;Dome &amp; &quot;North&quot;&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(r.body.find("<b>"), std::string::npos);
    for (const char* link :
         {"href=\"/setup/v1/camera/0/setup\"", "href=\"/setup/v1/camera/1/setup\"",
          "<code>sim:gannet?scene=pattern&amp;port-ns=300</code>", "(tracking CCD)"})
        EXPECT_NE(r.body.find(link), std::string::npos) << link << "\n" << r.body;

    r = http->Get(Page(1));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("same camera as camera 0"), std::string::npos);
    for (const char* field : {"name=\"reading1\" value=\"1000\"", "name=\"celsius2\" value=\"-25\"",
                              "min=\"-100\" max=\"80\"", "<option value=\"2\" selected>"})
        EXPECT_NE(r.body.find(field), std::string::npos) << field;
    // A camera without guiding relays: its form has the calibration only.
    r = http->Get(Page(2));
    EXPECT_NE(r.body.find("no guiding relays"), std::string::npos);
    EXPECT_EQ(r.body.find("name=\"north\""), std::string::npos);
    r = http->Post(Page(2), "reading1=1000&celsius1=20&reading2=3000&celsius2=-25");
    EXPECT_EQ(Notice(r), "Saved: celsius1 25 to 20.");
    EXPECT_EQ(http->Get(Page(3)).status, 404);
    EXPECT_EQ(http->Get("/setup/v1/camera/%3Cx%3E/setup").body.find("<x>"), std::string::npos);
}

TEST_F(SetupPageTest, FormSavesWhatIsValidAndNamesWhatIsNot) {
    Start({"--sim", "gannet"});
    struct {
        std::string form;
        std::string says;
    } refused[] = {
        {Form("celsius1", "1e308"), "celsius1 1e+308 C is not plausible for a cooled camera"},
        {Form("reading2", "4096"), "reading2 4096 is outside 0 to 4095"},
        {Form("reading2", "1000"), "reading1 and reading2 are both 1000"},
        {Form("reading1", "%3Cabc%3E"), "reading1 &quot;&lt;abc&gt;&quot; is not a number"},
        {Form("celsius2", ""), "celsius2 is missing"},
        {Form("east", "0"), "north and east are both relay 0"},
        {Form("west", "4294967299"), "west &quot;4294967299&quot; is not a relay 0 to 3"},
    };
    for (const auto& c : refused) {
        const HttpReply r = http->Post(Page(1), c.form);
        EXPECT_EQ(r.status, 400) << c.form;
        EXPECT_NE(Notice(r).find(c.says), std::string::npos) << c.form << ": " << Notice(r);
    }
    // A form sent from another site's page is refused, whatever it holds.
    HttpReply r = http->Post(Page(1), Form("celsius1", "20"), "http://example.org");
    EXPECT_EQ(r.status, 403);
    EXPECT_FALSE(fs::exists(dir / "settings.json")) << "a refused form saved something";

    // The cooler holds -5 C; the new calibration keeps that target.
    Connect(0);
    PutOk(0, "setccdtemperature", "SetCCDTemperature=-5");
    PutOk(0, "cooleron", "CoolerOn=true");
    auto atTarget = [](const json& v) { return std::abs(v.get<double>() + 5.0) < 0.5; };
    ASSERT_TRUE(WaitUntil(0, "ccdtemperature", atTarget, 60)) << Value(0, "ccdtemperature");
    r = http->Post(Page(1),
                   "reading1=1000&celsius1=20&reading2=3000&celsius2=-30&north=2&south=3&"
                   "east=0&west=1",
                   "http://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(Notice(r),
              "Saved: celsius1 25 to 20, celsius2 -25 to -30, north 0 to 2, south 1 to "
              "3, east 2 to 0, west 3 to 1.");
    const json saved = Saved()["cameras"]["sim:gannet"];
    EXPECT_EQ(saved["cooler_calibration"]["celsius2"], -30.0);
    EXPECT_EQ(saved["relays"]["north"], 2);
    // The reading held so far is -10 C in the new calibration: the camera
    // must be given the new reading of -5 C, and warm up to it.
    ASSERT_TRUE(WaitUntil(0, "ccdtemperature", atTarget, 60)) << Value(0, "ccdtemperature");
    PutOk(0, "cooleron", "CoolerOn=false");

    // Guiding and exposing: the camera is left alone, nothing is saved.
    Connect(1);
    PutOk(1, "pulseguide", "Direction=0&Duration=60000");
    EXPECT_EQ(Relays(1), "0,0,1,0");  // north on relay 2 now
    r = http->Post(Page(0), kDefaults);
    EXPECT_EQ(r.status, 409);
    EXPECT_NE(Notice(r).find("the camera is guiding"), std::string::npos) << Notice(r);
    PutOk(1, "pulseguide", "Direction=0&Duration=0");
    ASSERT_TRUE(WaitUntil(1, "ispulseguiding", [](const json& v) { return v == false; }));
    Frame(0, 1, 1, 0, 0, 16, 8);
    PutOk(0, "startexposure", "Duration=10000&Light=true");
    ASSERT_TRUE(WaitUntil(0, "camerastate", [](const json& v) { return v == 2; }));
    r = http->Post(Page(1), kDefaults);
    EXPECT_EQ(r.status, 409);
    EXPECT_NE(Notice(r).find("camera 0 is exposing"), std::string::npos) << Notice(r);
    EXPECT_EQ(Saved()["cameras"]["sim:gannet"], saved);
    PutOk(0, "abortexposure", "");
    // Saved again unchanged: said so.
    r = http->Post(Page(0),
                   "reading1=1000&celsius1=20&reading2=3000&celsius2=-30&north=2&south=3&"
                   "east=0&west=1");
    EXPECT_EQ(Notice(r), "Saved; nothing changed.");
}

TEST_F(SetupPageTest, PagesWorkInABrowser) {
    if (const std::string missing = zeva::test::Browser::Missing(); !missing.empty())
        GTEST_SKIP() << "no browser to try the set-up pages in (missing " << missing
                     << ": Debian packages chromium and chromium-driver)";
    Start({"--sim", "gannet"});
    zeva::test::Browser browser;
    std::string error;
    ASSERT_TRUE(browser.Start(dir, 412, 1100, &error)) << error;  // a phone's width
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    ASSERT_TRUE(browser.Go(base + "/setup"));
    EXPECT_EQ(browser.Title(), "ZEVA Alpaca set-up");
    ASSERT_TRUE(browser.Click(browser.Find("a[href='/setup/v1/camera/1/setup']")));
    const std::string celsius1 = browser.Find("#celsius1");
    ASSERT_FALSE(celsius1.empty()) << browser.Url();
    EXPECT_EQ(browser.Property(celsius1, "value"), "25");
    ASSERT_TRUE(browser.Clear(celsius1));
    ASSERT_TRUE(browser.Type(celsius1, "18"));
    const std::string celsius2 = browser.Find("#celsius2");
    ASSERT_TRUE(browser.Clear(celsius2));
    ASSERT_TRUE(browser.Type(celsius2, "-32.5"));
    ASSERT_TRUE(browser.Click(browser.Find("#north option[value='3']")));
    ASSERT_TRUE(browser.Click(browser.Find("#west option[value='0']")));
    ASSERT_TRUE(browser.Click(browser.Find("#save")));
    EXPECT_EQ(browser.Text(browser.Find("#notice")),
              "Saved: celsius1 25 to 18, celsius2 -25 to -32.5, north 0 to 3, west 3 to 0.");
    EXPECT_EQ(browser.Property(browser.Find("#celsius2"), "value"), "-32.5");
    const fs::path out = ZEVA_TEST_OUTPUT_DIR;
    fs::create_directories(out);
    EXPECT_TRUE(browser.Screenshot(out / "setup-page.png"));
    EXPECT_EQ(Saved()["cameras"]["sim:gannet"]["relays"]["north"], 3);

    // Read back through the API: the calibration and the relays in use.
    Connect(0);
    EXPECT_NEAR(Value(0, "ccdtemperature").get<double>(), 18.0, 0.5);
    Connect(1);
    PutOk(1, "pulseguide", "Direction=0&Duration=60000");
    EXPECT_EQ(Relays(1), "0,0,0,1");
    PutOk(1, "pulseguide", "Direction=0&Duration=0");
    ASSERT_TRUE(WaitUntil(1, "ispulseguiding", [](const json& v) { return v == false; }));
}

}  // namespace
}  // namespace zeva::alpaca::test
