// A conformance run in the manner of ASCOM's checker, on a dual-CCD camera's
// two devices and on a single-CCD camera: the protocol's rules on every
// member of the interface (the test's own list), the interface version 4
// members, and what clients read before the first exposure.
#include <cmath>
#include <set>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

// A valid value for each PUT parameter of the interface.
std::string SampleValue(const std::string& member, const std::string& name) {
    static const std::map<std::string, std::string> values = {{"Action", "RelayStatus"},
                                                              {"Parameters", ""},
                                                              {"Command", "x"},
                                                              {"Raw", "true"},
                                                              {"Connected", "true"},
                                                              {"BinX", "1"},
                                                              {"BinY", "1"},
                                                              {"CoolerOn", "false"},
                                                              {"FastReadout", "false"},
                                                              {"Gain", "0"},
                                                              {"NumX", "10"},
                                                              {"NumY", "10"},
                                                              {"Offset", "0"},
                                                              {"Direction", "0"},
                                                              {"ReadoutMode", "0"},
                                                              {"SetCCDTemperature", "0"},
                                                              {"Light", "true"},
                                                              {"StartX", "0"},
                                                              {"StartY", "0"},
                                                              {"SubExposureDuration", "1"}};
    if (name == "Duration")
        return member == "pulseguide" ? "10" : "0.01";
    return values.at(name);
}

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream s(list);
    for (std::string e; std::getline(s, e, ',');) out.push_back(e);
    return out;
}

std::string InvertCase(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                  ? std::tolower(static_cast<unsigned char>(c))
                                  : std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class ConformanceRun : public AlpacaServerTest {
  protected:
    // Every member: the right method answers, the other is a 400; each PUT
    // parameter sent with its name's case inverted is a 400 too.
    void CheckMembers(unsigned d) {
        for (const InterfaceMember& m : CameraInterface()) {
            if (m.get) {
                HttpReply r = http->Get(Path(d, m.name), "clientid=4&clienttransactionid=321");
                EXPECT_EQ(r.status, 200) << m.name << ": " << r.body;
                EXPECT_EQ(r.Json()["ClientTransactionID"], 321) << m.name;
            } else {
                EXPECT_EQ(http->Get(Path(d, m.name)).status, 400) << m.name;
            }
            if (!m.put) {
                EXPECT_EQ(http->Put(Path(d, m.name), "X=1").status, 400) << m.name;
                continue;
            }
            const std::vector<std::string> names = Split(m.put);
            for (std::size_t inverted = 0; inverted < names.size(); ++inverted) {
                std::string form;
                for (std::size_t i = 0; i < names.size(); ++i)
                    form += (i ? "&" : "") + (i == inverted ? InvertCase(names[i]) : names[i]) +
                            "=" + SampleValue(m.name, names[i]);
                HttpReply r = http->Put(Path(d, m.name), form);
                EXPECT_EQ(r.status, 400) << m.name << " " << form << ": " << r.body;
            }
        }
        // A miscased ClientTransactionID in a form is no ClientTransactionID.
        EXPECT_EQ(
            Put(d, "connected", "Connected=true&clienttransactionid=7")["ClientTransactionID"], 0);
        EXPECT_EQ(
            Put(d, "connected", "Connected=true&ClientTransactionID=7")["ClientTransactionID"], 7);
    }

    // Version 4: connect and disconnect return at once, connecting tells when done.
    void Link(unsigned d, bool on) {
        const auto t = std::chrono::steady_clock::now();
        PutOk(d, on ? "connect" : "disconnect", "");
        PutOk(d, on ? "connect" : "disconnect", "");  // again, while the first may still run
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count(), 1.5);
        ASSERT_TRUE(WaitUntil(
            d, "connecting", [](const json& v) { return v == false; }, 10));
        EXPECT_EQ(Value(d, "connected"), on);
    }

    void CheckBeforeTheFirstExposure(unsigned d) {
        EXPECT_NE(ErrorOf(Get(d, "lastexposureduration")), 0);
        EXPECT_NE(ErrorOf(Get(d, "lastexposurestarttime")), 0);
        EXPECT_EQ(Value(d, "imageready"), false);
        EXPECT_NE(ErrorOf(Get(d, "imagearray")), 0);
        EXPECT_EQ(Value(d, "ispulseguiding"), false);
    }

    void CheckDeviceState(unsigned d) {
        const std::set<std::string> operational = {
            "CameraState", "CCDTemperature", "CoolerPower",      "HeatSinkTemperature",
            "ImageReady",  "IsPulseGuiding", "PercentCompleted", "TimeStamp"};
        std::set<std::string> names;
        for (const json& item : Value(d, "devicestate")) {
            names.insert(item["Name"].get<std::string>());
            EXPECT_TRUE(item.contains("Value")) << item.dump();
        }
        for (const std::string& n : names) EXPECT_TRUE(operational.count(n)) << n;
        for (const char* n : {"CameraState", "CCDTemperature", "CoolerPower", "ImageReady",
                              "IsPulseGuiding", "PercentCompleted", "TimeStamp"})
            EXPECT_TRUE(names.count(n)) << n;
    }

    void CheckGuiding(unsigned d, bool relays) {
        EXPECT_EQ(Value(d, "canpulseguide"), relays);
        const auto t = std::chrono::steady_clock::now();
        json j = Put(d, "pulseguide", "Direction=1&Duration=2000");
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count(), 1.5);
        if (!relays) {
            EXPECT_NE(ErrorOf(j), 0);
            EXPECT_NE(j["ErrorMessage"].get<std::string>().find("no guide relays"),
                      std::string::npos)
                << j.dump();
            return;
        }
        EXPECT_EQ(ErrorOf(j), 0) << j.dump();
        EXPECT_TRUE(WaitUntil(
            d, "ispulseguiding", [](const json& v) { return v == false; }, 3));
    }

    void CheckTemperatures(unsigned d) {
        for (const char* member : {"ccdtemperature", "setccdtemperature"}) {
            const double v = Value(d, member).get<double>();
            EXPECT_NEAR(v * 10, std::round(v * 10), 1e-9) << member << " " << v;
        }
        const std::string why =
            Put(d, "setccdtemperature", "SetCCDTemperature=-300")["ErrorMessage"];
        EXPECT_NE(why.find("SetCCDTemperature -300 C (valid: "), std::string::npos) << why;
        EXPECT_EQ(why.find("000"), std::string::npos) << why;
        PutOk(d, "setccdtemperature", "SetCCDTemperature=-7.2");
        const std::string body = http->Get(Path(d, "setccdtemperature")).body;
        EXPECT_NE(body.find("\"Value\":-7.2}"), std::string::npos) << body;
    }
};

TEST_F(ConformanceRun, DualAndSingleCcdCamerasPassEveryCheck) {
    // Port entries with options: the Description must stay within 68 characters.
    Start({"--sim", "gannet?scene=pattern", "--sim", "egret?scene=pattern"});
    struct {
        unsigned device;
        bool relays;
        bool cooler;
    } devices[] = {{0, true, true}, {1, true, false}, {2, false, true}};
    for (const auto& k : devices) {
        SCOPED_TRACE("device " + std::to_string(k.device));
        EXPECT_EQ(Value(k.device, "interfaceversion"), 4);
        const std::string description = Value(k.device, "description");
        EXPECT_LE(description.size(), 68u) << description;
        EXPECT_NE(Value(k.device, "driverinfo").get<std::string>().find("?scene=pattern"),
                  std::string::npos);
        Link(k.device, true);
        CheckBeforeTheFirstExposure(k.device);
        CheckMembers(k.device);
        CheckDeviceState(k.device);
        CheckGuiding(k.device, k.relays);
        if (k.cooler)
            CheckTemperatures(k.device);
        Link(k.device, false);
        EXPECT_EQ(ErrorOf(Get(k.device, "camerastate")), kNotConnected);
    }
}

}  // namespace
}  // namespace zeva::alpaca::test
