// The Alpaca server's protocol pieces and settings file, without a camera.
#include "alpaca/protocol.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "alpaca/settings.h"

namespace zeva::alpaca {
namespace {

using json = nlohmann::json;
using Raw = Params::Pairs;

TEST(AlpacaParams, QueryNamesMatchInAnyCaseFormNamesExactlyAndTheFirstOfTwoWins) {
    const Raw pairs = {{"duration", "1.5"},
                       {"LIGHT", "True"},
                       {"Duration", "9"},
                       {"Light", "false"},
                       {"ClientTransactionID", "42"},
                       {"clienttransactionid", "43"},
                       {"clientid", "7"}};
    Params query(pairs, NameMatch::AnyCase);
    std::optional<BadRequest> bad;
    EXPECT_DOUBLE_EQ(query.Number("Duration", &bad), 1.5);
    EXPECT_TRUE(query.Boolean("Light", &bad));
    EXPECT_FALSE(bad);
    EXPECT_EQ(query.ClientTransactionId(), 42u);
    EXPECT_EQ(query.ClientId(), 7u);
    Params form(pairs, NameMatch::Exact);
    EXPECT_DOUBLE_EQ(form.Number("Duration", &bad), 9);
    EXPECT_FALSE(form.Boolean("Light", &bad));
    EXPECT_FALSE(bad);
    EXPECT_EQ(form.ClientTransactionId(), 42u);
    EXPECT_EQ(form.ClientId(), 0u);  // "clientid" is not ClientID in a form
    form.Integer("Direction", &bad);
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->reason.find("Direction"), std::string::npos);
}

TEST(AlpacaParams, OnlyWholeFiniteValuesParse) {
    double d;
    long long n;
    bool b;
    std::uint32_t u;
    for (const char* t : {"", " 1", "1 ", "1x", "nan", "inf", "-inf", "1e999"})
        EXPECT_FALSE(ParseNumber(t, &d)) << t;
    EXPECT_TRUE(ParseNumber("-0.25", &d));
    EXPECT_DOUBLE_EQ(d, -0.25);
    for (const char* t : {"", "2.0", "+", "0x10", "99999999999999999999"})
        EXPECT_FALSE(ParseInteger(t, &n)) << t;
    EXPECT_TRUE(ParseInteger("-7", &n));
    EXPECT_EQ(n, -7);
    for (const char* t : {"", "1", "yes", "truee"}) EXPECT_FALSE(ParseBoolean(t, &b)) << t;
    EXPECT_TRUE(ParseBoolean("FALSE", &b));
    EXPECT_FALSE(b);
    EXPECT_FALSE(ParseUnsigned32("-1", &u));
    EXPECT_FALSE(ParseUnsigned32("4294967296", &u));
    EXPECT_TRUE(ParseUnsigned32("4294967295", &u));
    // A bad transaction number is answered as 0, not refused.
    EXPECT_EQ(Params(Raw{{"ClientTransactionID", "-3"}}, NameMatch::Exact).ClientTransactionId(),
              0u);
}

TEST(AlpacaEnvelope, ErrorsCarryNoValue) {
    json ok = Envelope(Reply::Value(7), 3, 4);
    EXPECT_EQ(ok["Value"], 7);
    EXPECT_EQ(ok["ClientTransactionID"], 3);
    EXPECT_EQ(ok["ServerTransactionID"], 4);
    EXPECT_EQ(ok["ErrorNumber"], 0);
    EXPECT_EQ(ok["ErrorMessage"], "");
    json err = Envelope(Reply::Error(AscomError::InvalidValue, "too big"), 0, 5);
    EXPECT_FALSE(err.contains("Value"));
    EXPECT_EQ(err["ErrorNumber"], 0x401);
    EXPECT_EQ(err["ErrorMessage"], "too big");
    EXPECT_FALSE(Envelope(Reply::Done(), 0, 1).contains("Value"));
}

// A 3 x 2 image, lines first: line 0 = 1 2 3, line 1 = 4 5 6.
const std::uint16_t kLines[] = {1, 2, 3, 4, 5, 65535};

std::uint32_t Le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

TEST(AlpacaImageBytes, HeaderThenColumnsOfUInt16) {
    const std::string b = ImageBytes(kLines, 3, 2, 11, 12);
    ASSERT_EQ(b.size(), 44u + 12u);
    const std::uint32_t header[11] = {1, 0, 11, 12, 44, 2, 8, 2, 3, 2, 0};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(Le32(b, 4 * i), header[i]) << i;
    // Column 0 (1, 4), column 1 (2, 5), column 2 (3, 65535).
    const std::uint16_t want[] = {1, 4, 2, 5, 3, 65535};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(static_cast<unsigned char>(b[44 + 2 * i]) |
                      static_cast<unsigned char>(b[45 + 2 * i]) << 8,
                  want[i])
            << i;
    // A buffer shorter than the size claimed is an error, never read past.
    const std::string shortOne = ImageBytes(std::span(kLines, 5), 3, 2, 0, 0);
    EXPECT_NE(Le32(shortOne, 4), 0u);
}

TEST(AlpacaImageBytes, ErrorFormCarriesTheMessage) {
    const std::string b = ImageBytesError(AscomError::NotConnected, "not connected", 9, 10);
    EXPECT_EQ(Le32(b, 4), 0x407u);
    EXPECT_EQ(Le32(b, 8), 9u);
    EXPECT_EQ(Le32(b, 16), 44u);
    EXPECT_EQ(b.substr(44), "not connected");
}

TEST(AlpacaJsonImage, IsTheSameArrayAsTheLibraryWrites) {
    const json j = json::parse(JsonImage(kLines, 3, 2, 1, 2));
    EXPECT_EQ(j["Value"], json::parse("[[1,4],[2,5],[3,65535]]"));
    EXPECT_EQ(j["Type"], 2);
    EXPECT_EQ(j["Rank"], 2);
    EXPECT_EQ(j["ErrorNumber"], 0);
    EXPECT_EQ(j["ClientTransactionID"], 1);
    EXPECT_EQ(json::parse(JsonImage({}, 0, 0, 0, 0))["Value"], json::array());
}

TEST(AlpacaTimestamp, UtcWithMillisecondsAndNoZone) {
    EXPECT_EQ(UtcTimestamp(1796745794123), "2026-12-08T16:03:14.123");
}

TEST(AlpacaSettings, CommandLineValuesAreCheckedAndSavedWhole) {
    client::CoolerCalibration cal;
    client::RelayMap map;
    std::string error;
    EXPECT_FALSE(ParseCalibration("1000,25,1000,-25", &cal, &error));  // same reading twice
    EXPECT_FALSE(ParseCalibration("1000,25,3000", &cal, &error));
    EXPECT_FALSE(ParseCalibration("1000,nan,3000,-25", &cal, &error));
    EXPECT_FALSE(ParseCalibration("5000,25,3000,-25", &cal, &error));
    EXPECT_TRUE(ParseCalibration("900,20,2900,-30", &cal, &error)) << error;
    EXPECT_FALSE(ParseRelayMap("0,0,1,2", &map, &error));  // one relay twice
    EXPECT_FALSE(ParseRelayMap("0,1,2,4", &map, &error));
    EXPECT_FALSE(ParseRelayMap("0,1,2,3,", &map, &error));
    EXPECT_TRUE(ParseRelayMap("3,2,1,0", &map, &error)) << error;

    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("zeva-alpaca-settings-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    const std::string path = (dir / "sub" / "settings.json").string();
    Settings s;
    ASSERT_TRUE(LoadSettings(path, &s, &error)) << error;  // none yet
    EXPECT_TRUE(s.cameras.empty());
    s.cameras["sim:gannet"] = CameraSettings{cal, map};
    ASSERT_TRUE(SaveSettings(path, s, &error)) << error;
    Settings back;
    ASSERT_TRUE(LoadSettings(path, &back, &error)) << error;
    ASSERT_EQ(back.cameras.count("sim:gannet"), 1u);
    EXPECT_DOUBLE_EQ(back.cameras["sim:gannet"].calibration.reading1, 900);
    EXPECT_DOUBLE_EQ(back.cameras["sim:gannet"].calibration.celsius2, -30);
    EXPECT_EQ(back.cameras["sim:gannet"].relays.north, 3u);
    EXPECT_EQ(back.cameras["sim:gannet"].relays.west, 0u);

    // A damaged file is refused and left as it is.
    const std::string damaged = "{\"cameras\": {\"sim:gannet\": {\"relays\": {\"north\": 9}}}}";
    std::ofstream(path) << damaged;
    EXPECT_FALSE(LoadSettings(path, &back, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    std::ofstream(path) << "{not json";
    EXPECT_FALSE(LoadSettings(path, &back, &error));
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{not json");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zeva::alpaca
