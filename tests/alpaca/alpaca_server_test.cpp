// zeva-alpaca as a process on a loopback port, driven over HTTP with libcurl
// like an Alpaca client, against the simulated cameras on the virtual clock.
#include <atomic>
#include <set>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(AlpacaServerTest, ManagementApiListsBothCcdsOfADualCamera) {
    Start({"--sim", "gannet"});
    json v = http->Get("/management/apiversions", "ClientTransactionID=5").Json();
    EXPECT_EQ(v["Value"], json::array({1}));
    EXPECT_EQ(v["ClientTransactionID"], 5);
    json d = http->Get("/management/v1/description").Json()["Value"];
    EXPECT_EQ(d["Manufacturer"], "ZEVA");
    EXPECT_FALSE(d["ServerName"].get<std::string>().empty());
    json list = http->Get("/management/v1/configureddevices").Json();
    ASSERT_EQ(list["Value"].size(), 2u) << list.dump();
    std::set<std::string> ids;
    for (unsigned i = 0; i < 2; ++i) {
        const json& dev = list["Value"][i];
        EXPECT_EQ(dev["DeviceType"], "Camera");
        EXPECT_EQ(dev["DeviceNumber"], i);
        ids.insert(dev["UniqueID"].get<std::string>());
    }
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_NE(list["Value"][0]["DeviceName"].get<std::string>().find("imaging"), std::string::npos);
    EXPECT_NE(list["Value"][1]["DeviceName"].get<std::string>().find("tracking"),
              std::string::npos);
    // Server transaction numbers increase.
    const unsigned a = http->Get("/management/apiversions").Json()["ServerTransactionID"];
    const unsigned b = http->Get("/management/apiversions").Json()["ServerTransactionID"];
    EXPECT_GT(b, a);
}

TEST_F(AlpacaServerTest, SingleCcdCameraIsOneDevice) {
    Start({"--sim", "kestrel"});
    json list = http->Get("/management/v1/configureddevices").Json();
    ASSERT_EQ(list["Value"].size(), 1u);
    EXPECT_EQ(http->Get(Path(1, "connected")).status, 400);
}

TEST_F(AlpacaServerTest, StartupFailuresSayWhyAndEndTheServer) {
    struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--sim", "gannet?micro=silent"}, "is it plugged in and powered?"},
        {{"--sim", "nosuchcamera"}, "nosuchcamera"},
        {{"--sim", "gannet", "--listen", "127.0.0.1:99999"}, "bad --listen"},
        {{"--sim", "gannet", "--listen", "192.0.2.1:11111"}, "cannot listen on 192.0.2.1:11111"},
        {{"--sim", "gannet", "--relays", "0,0,1,2"}, "bad --relays"},
        {{"--port", "3"}, "ZEVA_PORTS has 1 entries"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--settings");
        args.push_back((dir / "settings.json").string());
        const zeva::test::ProcessRun r =
            zeva::test::RunProcess(ZEVA_ALPACA_SERVER, args, dir, {{"ZEVA_PORTS", "sim:kestrel"}});
        EXPECT_EQ(r.exitCode, 1) << c.args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "settings.json"));  // nothing saved by a refused start
}

TEST_F(AlpacaServerTest, CameraWithABadEepromIsServedWithAWarning) {
    const std::string warning = "the camera's identification could not be read";
    Start({"--sim", "kestrel?eeprom=badsum"});
    EXPECT_NE(server.Log().find("warning: " + warning), std::string::npos) << server.Log();
    const std::string description = Value(0, "description");
    EXPECT_NE(description.find("EEPROM checksum failed"), std::string::npos) << description;
    EXPECT_LE(description.size(), 68u);
    const std::string info = Value(0, "driverinfo");
    EXPECT_NE(info.find(warning), std::string::npos) << info;
    Connect(0);  // and once more at the first connect
    EXPECT_EQ(Count(server.Log(), warning), 2u) << server.Log();
    http.reset();
    ASSERT_EQ(server.Stop(), 0);
    started = false;
    Start({"--sim", "kestrel"});
    EXPECT_EQ(Count(server.Log(), warning), 0u);
    EXPECT_EQ(Value(0, "driverinfo").get<std::string>().find(warning), std::string::npos);
}

TEST_F(AlpacaServerTest, EveryPropertyAnswersOnceConnected) {
    Start({"--sim", "gannet"});
    EXPECT_EQ(Get(0, "ccdtemperature")["ErrorNumber"], kNotConnected);
    EXPECT_EQ(Value(0, "connected"), false);
    Connect(0);
    // Only the image is not read as a property, and the last exposure not before one.
    const std::set<std::string> apart = {"imagearray", "imagearrayvariant"};
    const std::set<std::string> notYet = {"lastexposureduration", "lastexposurestarttime"};
    for (const InterfaceMember& m : CameraInterface()) {
        if (!m.get || apart.count(m.name))
            continue;
        json j = Get(0, m.name);
        const int want = m.optional ? kNotImplemented : notYet.count(m.name) ? kValueNotSet : 0;
        EXPECT_EQ(ErrorOf(j), want) << m.name << ": " << j.dump();
        if (want == 0) {
            EXPECT_TRUE(j.contains("Value")) << m.name;
        } else {
            EXPECT_FALSE(j["ErrorMessage"].get<std::string>().empty()) << m.name;
        }
    }
    EXPECT_EQ(Value(0, "cameraxsize"), 765);
    EXPECT_EQ(Value(0, "cameraysize"), 510);
    EXPECT_EQ(Value(0, "numx"), 765);
    EXPECT_EQ(Value(0, "maxbinx"), 3);
    EXPECT_EQ(Value(0, "maxbiny"), 3);
    EXPECT_EQ(Value(0, "canasymmetricbin"), true);
    EXPECT_EQ(Value(0, "interfaceversion"), 4);
    EXPECT_EQ(Value(0, "sensortype"), 0);
    EXPECT_EQ(Value(0, "readoutmodes").size(), 2u);
    EXPECT_EQ(Value(0, "cansetccdtemperature"), true);
    EXPECT_NEAR(Value(0, "ccdtemperature").get<double>(), 25.0, 1.0);
    EXPECT_GT(Value(0, "pixelsizex").get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(Value(0, "exposureresolution").get<double>(), 0.01);
    // The tracking CCD: its own size and binning, the cooler read-only.
    Connect(1);
    EXPECT_LT(Value(1, "cameraxsize").get<int>(), 765);
    EXPECT_EQ(Value(1, "maxbinx"), 2);
    EXPECT_EQ(Value(1, "canasymmetricbin"), false);
    EXPECT_EQ(Value(1, "readoutmodes").size(), 1u);
    EXPECT_EQ(Value(1, "cansetccdtemperature"), false);
    EXPECT_EQ(Put(1, "setccdtemperature", "SetCCDTemperature=0")["ErrorNumber"], kNotImplemented);
    EXPECT_EQ(Put(0, "action", "Action=Dance&Parameters=")["ErrorNumber"], kActionNotImplemented);
    EXPECT_EQ(Put(0, "commandstring", "Command=x&Raw=true")["ErrorNumber"], kNotImplemented);
    PutOk(0, "connected", "Connected=false");
    EXPECT_EQ(Value(0, "connected"), false);
    EXPECT_EQ(Get(0, "binx")["ErrorNumber"], kNotConnected);
}

TEST_F(AlpacaServerTest, MalformedRequestsGet400AndBadValuesChangeNothing) {
    Start({"--sim", "gannet"});
    PutOk(0, "connected", "Connected=true&ClientID=3&ClientTransactionID=12");
    EXPECT_EQ(Put(0, "binx", "BinX=2&ClientTransactionID=9")["ClientTransactionID"], 9);
    EXPECT_EQ(Value(0, "binx"), 2);
    struct {
        std::string path, form;
    } bad[] = {
        {Path(0, "connected"), "Connected=yes"},   // not a boolean
        {Path(0, "connected"), ""},                // missing
        {Path(0, "binx"), "BinX=2.5"},             // not an integer
        {Path(0, "startexposure"), "Duration=1"},  // Light missing
        {Path(0, "startexposure"), "Duration=nan&Light=true"},
        {Path(0, "nosuchmember"), "X=1"},
        {Path(2, "connected"), "Connected=true"},  // no device 2
        {"/api/v1/camera/x/connected", "Connected=true"},
        {"/api/v1/telescope/0/connected", "Connected=true"},
        {Path(0, "cameraxsize"), "CameraXSize=3"},  // takes GET
    };
    for (const auto& b : bad) {
        HttpReply r = http->Put(b.path, b.form);
        EXPECT_EQ(r.status, 400) << b.path << " " << b.form << ": " << r.body;
        EXPECT_FALSE(r.body.empty()) << b.path;
    }
    EXPECT_EQ(http->Get(Path(0, "startexposure")).status, 400);  // takes PUT
    // Out of range: InvalidValue, and the setting stays.
    EXPECT_EQ(Put(0, "binx", "BinX=4")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "binx", "BinX=0")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "numx", "NumX=-5")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "readoutmode", "ReadoutMode=2")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "setccdtemperature", "SetCCDTemperature=-300")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "pulseguide", "Direction=4&Duration=100")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "pulseguide", "Direction=0&Duration=-1")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Value(0, "binx"), 2);
    EXPECT_EQ(Value(0, "ispulseguiding"), false);
    EXPECT_EQ(Put(0, "startexposure", "Duration=-1&Light=true")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Put(0, "startexposure", "Duration=1e9&Light=true")["ErrorNumber"], kInvalidValue);
    // A frame that does not fit the binned CCD is refused at the start.
    Frame(0, 2, 2, 300, 0, 100, 10);  // 300 + 100 > 382 binned columns
    EXPECT_EQ(Put(0, "startexposure", "Duration=0.01&Light=true")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(Value(0, "camerastate"), 0);
    EXPECT_EQ(Value(0, "imageready"), false);
    // A second exposure while one runs.
    Frame(0, 1, 1, 0, 0, 8, 4);
    PutOk(0, "startexposure", "Duration=1000&Light=true");
    EXPECT_EQ(Put(0, "startexposure", "Duration=1&Light=true")["ErrorNumber"], kInvalidOperation);
    EXPECT_EQ(Put(0, "binx", "BinX=9")["ErrorNumber"], kInvalidValue);
    PutOk(0, "abortexposure", "");
    EXPECT_EQ(Value(0, "camerastate"), 0);
    EXPECT_EQ(Get(0, "imagearray")["ErrorNumber"], kInvalidOperation);
}

TEST_F(AlpacaServerTest, BinnedSubframeCarriesThePatternInBothImageForms) {
    Start({"--sim", "gannet?scene=pattern"});
    Connect(0);
    Frame(0, 2, 2, 20, 6, 15, 8);
    Expose(0, 0.1, true);
    EXPECT_EQ(Value(0, "percentcompleted"), 100);
    EXPECT_EQ(Value(0, "camerastate"), 0);
    EXPECT_NEAR(Value(0, "lastexposureduration").get<double>(), 0.1, 1e-9);
    const std::string start = Value(0, "lastexposurestarttime");
    EXPECT_EQ(start.size(), 23u) << start;
    EXPECT_EQ(start[10], 'T');
    auto want = [](unsigned x, unsigned y) {
        return ImagingBlock(2 * (6 + y), 2, 2 * (20 + x), 2) + 100;  // the driver's pedestal
    };
    Image img = ImageBytesOf(0);
    EXPECT_EQ(img.header[0], 1);   // metadata version
    EXPECT_EQ(img.header[1], 0);   // error
    EXPECT_EQ(img.header[2], 77);  // client transaction
    EXPECT_EQ(img.header[4], 44);  // data start
    EXPECT_EQ(img.header[5], 2);   // Int32 image
    EXPECT_EQ(img.header[6], 8);   // UInt16 on the wire
    EXPECT_EQ(img.header[7], 2);   // rank
    ASSERT_EQ(img.at.size(), 15u);
    ASSERT_EQ(img.at[0].size(), 8u);
    for (unsigned x = 0; x < 15; ++x)
        for (unsigned y = 0; y < 8; ++y) ASSERT_EQ(img.at[x][y], want(x, y)) << x << "," << y;
    json j = Get(0, "imagearray");
    EXPECT_EQ(j["ErrorNumber"], 0);
    EXPECT_EQ(j["Type"], 2);
    EXPECT_EQ(j["Rank"], 2);
    ASSERT_EQ(j["Value"].size(), 15u);
    for (unsigned x = 0; x < 15; ++x) {
        ASSERT_EQ(j["Value"][x].size(), 8u);
        for (unsigned y = 0; y < 8; ++y) ASSERT_EQ(j["Value"][x][y], want(x, y));
    }
}

TEST_F(AlpacaServerTest, AsymmetricBinningAndDarkFrames) {
    Start({"--sim", "gannet?scene=pattern"});
    Connect(0);
    // 1 x 2: two rows shifted on chip per line, columns alone.
    Frame(0, 1, 2, 5, 3, 6, 4);
    Expose(0, 0.05, true);
    Image img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 6u);
    for (unsigned x = 0; x < 6; ++x)
        for (unsigned y = 0; y < 4; ++y)
            ASSERT_EQ(img.at[x][y], PatternImaging(2 * (3 + y), 5 + x) +
                                        PatternImaging(2 * (3 + y) + 1, 5 + x) + 100)
                << x << "," << y;
    Frame(0, 1, 1, 0, 0, 8, 4);
    Expose(0, 0.05, false);
    img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 8u);
    for (const auto& column : img.at)
        for (unsigned v : column) ASSERT_EQ(v, 100u);  // nothing but the pedestal
    // The second readout mode sums rows in the driver, symmetric binning only;
    // each row summed brings the driver's pedestal.
    PutOk(0, "readoutmode", "ReadoutMode=1");
    Frame(0, 2, 2, 1, 1, 3, 2);
    Expose(0, 0.05, true);
    img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 3u);
    for (unsigned x = 0; x < 3; ++x)
        for (unsigned y = 0; y < 2; ++y)
            EXPECT_EQ(img.at[x][y], ImagingBlock(2 * (1 + y), 2, 2 * (1 + x), 2) + 2 * 100)
                << x << "," << y;
    PutOk(0, "binx", "BinX=1");
    EXPECT_EQ(Put(0, "startexposure", "Duration=0&Light=true")["ErrorNumber"], kInvalidValue);
}

TEST_F(AlpacaServerTest, AbortAndStopDuringExposureAndReadout) {
    // A port access takes at least 0.3 us, so a whole frame reads for seconds
    // even on an idle machine and the abort below lands inside the readout.
    Start({"--sim", "gannet?scene=pattern&port-ns=300"});
    Connect(0);
    auto state = [&](int s) { return [s](const json& v) { return v == s; }; };
    // Abort while exposing: nothing to download.
    Frame(0, 1, 1, 0, 0, 16, 8);
    PutOk(0, "startexposure", "Duration=10000&Light=true");
    ASSERT_TRUE(WaitUntil(0, "camerastate", state(2)));
    PutOk(0, "abortexposure", "");
    EXPECT_EQ(Value(0, "camerastate"), 0);
    EXPECT_EQ(Value(0, "imageready"), false);
    EXPECT_EQ(Get(0, "lastexposureduration")["ErrorNumber"], kValueNotSet);
    // Stop while exposing: read out what was exposed so far.
    PutOk(0, "startexposure", "Duration=10000&Light=true");
    ASSERT_TRUE(WaitUntil(0, "camerastate", state(2)));
    PutOk(0, "stopexposure", "");
    ASSERT_TRUE(WaitUntil(0, "imageready", [](const json& v) { return v == true; }));
    EXPECT_LT(Value(0, "lastexposureduration").get<double>(), 10000.0);
    Image img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 16u);
    EXPECT_EQ(img.at[3][2], PatternImaging(2, 3) + 100);
    // During the readout of a whole frame: stop changes nothing, abort discards.
    Frame(0, 1, 1, 0, 0, 765, 510);
    PutOk(0, "startexposure", "Duration=0&Light=true");
    ASSERT_TRUE(WaitUntil(0, "camerastate", state(3)));
    PutOk(0, "stopexposure", "");
    ASSERT_TRUE(WaitUntil(0, "imageready", [](const json& v) { return v == true; }));
    img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 765u);
    EXPECT_EQ(img.at[764][509], PatternImaging(509, 764) + 100);
    // The readout may end between the look at the state and the abort: then
    // there was nothing left to abort, and the next try catches it reading.
    bool aborted = false;
    for (int attempt = 0; attempt < 5 && !aborted; ++attempt) {
        PutOk(0, "startexposure", "Duration=0&Light=true");
        ASSERT_TRUE(WaitUntil(0, "camerastate", state(3)));
        PutOk(0, "abortexposure", "");
        EXPECT_EQ(Value(0, "camerastate"), 0);
        aborted = Value(0, "imageready") == false;
    }
    EXPECT_TRUE(aborted) << "abort during the readout kept the image";
    // And the camera takes the next frame.
    Frame(0, 1, 1, 0, 0, 4, 2);
    Expose(0, 0.01, true);
    EXPECT_EQ(ImageBytesOf(0).at[1][1], PatternImaging(1, 1) + 100);
}

TEST_F(AlpacaServerTest, PulseGuidingClosesTheMappedRelayUntilItEnds) {
    // North on relay 2, south 3, east 0, west 1.
    Start({"--sim", "gannet", "--relays", "2,3,0,1"});
    Connect(1);  // the guide camera, as PHD2 uses it
    auto relays = [&] { return Put(1, "action", "Action=RelayStatus&Parameters=")["Value"]; };
    EXPECT_EQ(relays(), "0,0,0,0");
    // Long pulses: on the virtual clock the camera's time runs about ten
    // times faster than ours, and a loaded machine answers slowly: the
    // stretch where only north is closed lasts seconds of our time.
    PutOk(1, "pulseguide", "Direction=0&Duration=60000");  // north, in many pieces
    PutOk(1, "pulseguide", "Direction=2&Duration=10000");  // east, overlapping
    EXPECT_EQ(Value(1, "ispulseguiding"), true);
    EXPECT_EQ(relays(), "1,0,1,0");
    // East ends first; north goes on past the camera's 2.55 s piece.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (relays() != "0,0,1,0" && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(relays(), "0,0,1,0");
    EXPECT_EQ(Value(1, "ispulseguiding"), true);
    ASSERT_TRUE(WaitUntil(1, "ispulseguiding", [](const json& v) { return v == false; }));
    EXPECT_EQ(relays(), "0,0,0,0");
    // South through the imaging CCD's device: the same relays.
    Connect(0);
    PutOk(0, "pulseguide", "Direction=1&Duration=2000");
    EXPECT_EQ(relays(), "0,0,0,1");
    ASSERT_TRUE(WaitUntil(0, "ispulseguiding", [](const json& v) { return v == false; }));
}

TEST_F(AlpacaServerTest, CoolerReachesItsSetpointWithTheSavedCalibration) {
    // Reading 1000 is +20 C here, 3000 is -30 C: the camera's ambient reads +20.
    Start({"--sim", "gannet", "--calibration", "1000,20,3000,-30"});
    Connect(0);
    EXPECT_NEAR(Value(0, "ccdtemperature").get<double>(), 20.0, 0.5);
    EXPECT_EQ(Value(0, "cooleron"), false);
    // No target set yet: the current temperature, not the empty register's +50 C.
    EXPECT_NEAR(Value(0, "setccdtemperature").get<double>(), 20.0, 0.5);
    PutOk(0, "setccdtemperature", "SetCCDTemperature=-5");
    EXPECT_EQ(Value(0, "cooleron"), false);  // setting the target alone does not cool
    PutOk(0, "cooleron", "CoolerOn=true");
    EXPECT_EQ(Value(0, "cooleron"), true);
    EXPECT_DOUBLE_EQ(Value(0, "setccdtemperature").get<double>(), -5.0);
    ASSERT_TRUE(WaitUntil(
        0, "ccdtemperature", [](const json& v) { return std::abs(v.get<double>() + 5.0) < 0.5; },
        60))
        << Value(0, "ccdtemperature");
    EXPECT_GT(Value(0, "coolerpower").get<double>(), 0.0);
    PutOk(0, "cooleron", "CoolerOn=false");
    EXPECT_EQ(Value(0, "cooleron"), false);
    // The calibration was saved: a server started without it still uses it.
    http.reset();
    ASSERT_EQ(server.Stop(), 0);
    started = false;
    Start({"--sim", "gannet"});
    Connect(0);
    EXPECT_NEAR(Value(0, "ccdtemperature").get<double>(), 20.0, 0.5);
}

TEST_F(AlpacaServerTest, TwoClientsExposeBothCcdsAtOnce) {
    Start({"--sim", "gannet?scene=pattern"});
    std::atomic<int> failures{0};
    auto client = [&](unsigned device, unsigned frames) {
        Http h(server.port());
        auto put = [&](const std::string& m, const std::string& form) {
            json j = h.Put(Path(device, m), form).Json();
            if (ErrorOf(j) != 0)
                ++failures;
        };
        put("connected", "Connected=true");
        put("startx", "StartX=10");
        put("numx", "NumX=5");
        put("numy", "NumY=3");
        for (unsigned f = 0; f < frames; ++f) {
            put("startexposure", "Duration=0.02&Light=true");
            bool ready = false;
            for (int i = 0; i < 20000 && !ready; ++i)
                ready = ValueOf(h.Get(Path(device, "imageready")).Json()) == true;
            Image img;
            if (!ready ||
                !ParseImageBytes(
                    h.Get(Path(device, "imagearray"), "", "application/imagebytes").body, &img) ||
                img.at.size() != 5) {
                ++failures;
                continue;
            }
            for (unsigned x = 0; x < 5; ++x)
                for (unsigned y = 0; y < 3; ++y) {
                    // Imaging: pedestal 100; tracking: the raw samples on an offset of 1000.
                    const unsigned want = device == 0 ? PatternImaging(y, 10 + x) + 100
                                                      : PatternTracking(y, 10 + x) + 1000;
                    if (img.at[x][y] != want)
                        ++failures;
                }
        }
    };
    std::thread imaging(client, 0, 3), tracking(client, 1, 3);
    imaging.join();
    tracking.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(AlpacaServerTest, ClientLeavingMidDownloadTakesNothingFromOthers) {
    Start({"--sim", "gannet?scene=pattern"});
    Connect(0);
    Expose(0, 0.01, true);  // the whole 765 x 510 frame
    // Two clients give up part way, in both forms.
    Http quitter(server.port());
    HttpReply cut = quitter.Get(Path(0, "imagearray"), "", "", 4096);
    EXPECT_LT(cut.body.size(), 100000u);
    Http quitter2(server.port());
    quitter2.Get(Path(0, "imagearray"), "", "application/imagebytes", 4096);
    EXPECT_EQ(Value(0, "imageready"), true);
    Image img = ImageBytesOf(0);
    ASSERT_EQ(img.at.size(), 765u);
    ASSERT_EQ(img.at[0].size(), 510u);
    EXPECT_EQ(img.at[700][400], PatternImaging(400, 700) + 100);
    json j = Get(0, "imagearray");
    ASSERT_EQ(j["Value"].size(), 765u);
    EXPECT_EQ(j["Value"][700][400], PatternImaging(400, 700) + 100);
}

}  // namespace
}  // namespace zeva::alpaca::test
