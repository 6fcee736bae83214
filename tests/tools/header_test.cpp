// The tool's FITS header: the keys a frame carries, the ones a user adds with
// --header, and the file's integrity keys, read back with cfitsio.
#include "tools/zeva/header.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/fits.h"
#include "support/process.h"

namespace zeva::tool {
namespace {

namespace fs = std::filesystem;
using client::FrameType;

// A 4 x 2 frame of a Gannet-like camera in `type`, its header with `temp`
// and `user` written to a file and read back.
struct Written {
    Written(const client::TemperatureStatus* temp, const std::vector<FitsKey>& user,
            FrameType type = FrameType::Light)
        : dir(zeva::test::TestDirectory("zeva-header")), path(dir / "h.fits") {
        client::CcdInfo ccd;
        ccd.name = "ZEVA Heron Dual CCD Camera";
        ccd.modes.push_back({0, 4, 2, 0x0230, 0x0900, 0x0900});
        client::Frame frame;
        frame.plan.w = 4;
        frame.plan.h = 2;
        frame.type = type;
        frame.seconds = type == FrameType::Bias ? 0 : 2.5;
        frame.pixels = {100, 101, 102, 103, 104, 105, 106, 107};
        std::vector<char> bytes;
        EXPECT_EQ(FitsBytes(4, 2, frame.pixels, HeaderOf(frame, ccd, 5, temp, user), &bytes), "");
        EXPECT_EQ(bytes.size() % 2880, 0u);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    }
    ~Written() { fs::remove_all(dir); }
    fs::path dir, path;
};

TEST(Header, CoolerPedestalAndProvenanceAreWrittenAsCalibrationProgramsReadThem) {
    client::TemperatureStatus off;  // never set: the setpoint register holds 0 (+50 C)
    off.reading2 = 1000;
    off.power = 0;
    client::TemperatureStatus on = off;
    on.regulationFlags = 1;
    on.setpoint = 2400;
    on.power = 128;
    {
        Written w(&off, {});
        zeva::test::FitsImage f(w.path);
        EXPECT_FALSE(f.Has("SET-TEMP"));
        EXPECT_FALSE(f.Has("COOLSET"));
        EXPECT_FALSE(f.Has("PEDESTAL"));
        EXPECT_EQ(f.Integer("ZEVAPED"), 100);
        EXPECT_DOUBLE_EQ(f.Number("CCD-TEMP"), 25.0);
        EXPECT_EQ(f.Text("SWCREATE"), std::string("zeva ") + client::Version());
        EXPECT_EQ(f.Text("DATE").size(), 19u);  // yyyy-mm-ddThh:mm:ss, when written
        EXPECT_TRUE(f.ChecksumsVerify());
    }
    Written w(&on, {});
    zeva::test::FitsImage f(w.path);
    EXPECT_DOUBLE_EQ(f.Number("SET-TEMP"), -10.0);
    EXPECT_EQ(f.Integer("COOLSET"), 2400);
    EXPECT_DOUBLE_EQ(f.Number("COOLPOWR"), 50.2);  // percent, as every program shows it
    EXPECT_EQ(f.Integer("COOLDRV"), 128);
}

TEST(Header, UserKeysAreTypedAsFitsWantsThem) {
    const char* given[] = {"OBJECT=M 42", "focallen=1000",    "APERTURE=0.2", "FILTER='42'",
                           "GUIDED=T",    "OBSERVER=Ann Lee", "TELESCOP='T'"};
    std::vector<FitsKey> keys;
    for (const char* g : given) {
        FitsKey k;
        std::string error;
        ASSERT_TRUE(ParseUserKey(g, &k, &error)) << g << ": " << error;
        keys.push_back(k);
    }
    Written w(nullptr, keys, FrameType::Bias);
    zeva::test::FitsImage f(w.path);
    EXPECT_EQ(f.Raw("OBJECT"), "'M 42    '");  // text is padded to eight characters
    EXPECT_EQ(f.Raw("FOCALLEN"), "1000");
    EXPECT_DOUBLE_EQ(f.Number("APERTURE"), 0.2);
    EXPECT_EQ(f.Raw("FILTER"), "'42      '");
    EXPECT_EQ(f.Raw("GUIDED"), "T");
    EXPECT_EQ(f.Raw("TELESCOP"), "'T       '");
    EXPECT_EQ(f.Text("IMAGETYP"), "Bias Frame");
    EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), 0.0);
    EXPECT_TRUE(f.Has("DARKTIME"));
    EXPECT_TRUE(f.ChecksumsVerify());
}

TEST(Header, KeysThatWouldBreakOrContradictTheFileAreRefused) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"OBJECT", "expected KEY=VALUE"},
        {"OBJECT=", "needs a value"},
        {"TELESCOPE=x", "is not a FITS keyword"},
        {"OB JECT=x", "is not a FITS keyword"},
        {"NAXIS2=9", "structural"},
        {"bzero=0", "structural"},
        {"CHECKSUM=0", "structural"},
        {"HISTORY=x", "structural"},
        {"EXPTIME=9", "written by zeva"},
        {"ZEVAPED=0", "written by zeva"},
        {"DATE=2026-01-01", "written by zeva"},
        {"NOTE=tab\there", "printable ASCII"},
        {"NOTE=x", nullptr},
    };
    for (const auto& c : cases) {
        FitsKey k;
        std::string error;
        const bool ok = ParseUserKey(std::string(c.text), &k, &error);
        EXPECT_EQ(ok, c.reason == nullptr) << c.text;
        if (c.reason) {
            EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
        }
    }
    FitsKey k;
    std::string error;
    EXPECT_FALSE(ParseUserKey("NOTE=" + std::string(69, 'x'), &k, &error));
}

}  // namespace
}  // namespace zeva::tool
