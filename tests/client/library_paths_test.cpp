// The client through each library path: the NT library's handle entry, the
// Windows 95/98 library (zeva32.vxd), and the wrapper to either.  Port 1 a
// Gannet, port 2 a Kestrel, both showing the pattern scene.
#include <gtest/gtest.h>

#include <cstdlib>

#include "client/client.h"
#include "common/errors.h"

namespace zeva::client {
namespace {

const bool kPorts = [] {
    setenv("ZEVA_PORTS", "sim:gannet?scene=pattern,sim:kestrel?scene=pattern", 1);
    return true;
}();

struct Path {
    Library lib;
    const char* windows;  // ZEVA_WINDOWS while the driver is open, or null
    const char* name;
};

const Path kPaths[] = {
    {Library::Nt, nullptr, "nt"},
    {Library::Win9x, nullptr, "win9x"},
    {Library::Vb, nullptr, "vb_on_nt"},
    {Library::Vb, "98", "vb_on_98"},
};

// Whether the path reaches the NT library, with a handle per camera.
bool ReachesNt(const Path& p) {
    return p.lib == Library::Nt || (p.lib == Library::Vb && p.windows == nullptr);
}

// The imaging CCD's mode table as the NT path reports it.
const CcdInfo& Reference() {
    static const CcdInfo info = [] {
        CcdInfo i;
        Driver d;
        EXPECT_TRUE(d.Open().ok());
        Camera c;
        EXPECT_TRUE(c.Open(1).ok());
        EXPECT_TRUE(c.EstablishLink(nullptr).ok());
        EXPECT_TRUE(c.GetCCDInfo(0, &i).ok());
        return i;
    }();
    return info;
}

class LibraryPath : public ::testing::TestWithParam<Path> {
  protected:
    void SetUp() override {
        reference = &Reference();
        if (GetParam().windows)
            setenv("ZEVA_WINDOWS", GetParam().windows, 1);
        Status s = driver.Open(GetParam().lib);
        ASSERT_TRUE(s.ok()) << s.Describe();
        s = camera.Open(1);
        ASSERT_TRUE(s.ok()) << s.Describe();
        s = camera.EstablishLink(&type);
        ASSERT_TRUE(s.ok()) << s.Describe();
    }
    void TearDown() override {
        camera.Close();
        driver.Close();
        unsetenv("ZEVA_WINDOWS");
    }
    void Expose(std::uint16_t shutterMode) {
        ExposureRequest r;
        r.time = 1;
        r.shutterMode = shutterMode;
        Status s = camera.StartExposure(r);
        ASSERT_TRUE(s.ok()) << s.Describe();
        std::uint16_t word = 0;
        int polls = 0;
        do {
            ASSERT_TRUE(camera.QueryCommandStatus(1, &word).ok());
        } while (ExposureStateOf(word, 0) == 2 && ++polls < 100000);
        ASSERT_EQ(ExposureStateOf(word, 0), 3u);
        ASSERT_TRUE(camera.EndExposure(0, true).ok());
    }
    std::vector<std::uint16_t> Window(unsigned x, unsigned y, unsigned w, unsigned h) {
        std::vector<std::uint16_t> pixels(w * h);
        EXPECT_TRUE(camera.DumpLines(0, 0, 1, static_cast<std::uint16_t>(y)).ok());
        for (unsigned r = 0; r < h; ++r) {
            Status s = camera.ReadoutLine(
                {0, 0, 1, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(w)},
                std::span<std::uint16_t>(pixels.data() + r * w, w));
            EXPECT_TRUE(s.ok()) << s.Describe();
        }
        EXPECT_TRUE(camera.EndReadout(0).ok());
        return pixels;
    }
    const CcdInfo* reference = nullptr;
    Driver driver;
    Camera camera;
    std::uint16_t type = 0;
};

TEST_P(LibraryPath, ModeTableIsTheOneTheNtPathReports) {
    EXPECT_EQ(type, 4);
    CcdInfo info;
    Status s = camera.GetCCDInfo(0, &info);
    ASSERT_TRUE(s.ok()) << s.Describe();
    EXPECT_EQ(info.name, reference->name);
    EXPECT_EQ(info.cameraType, 4);
    ASSERT_EQ(info.modes.size(), reference->modes.size());
    for (std::size_t m = 0; m < info.modes.size(); ++m) {
        const ReadoutModeInfo &a = info.modes[m], &b = reference->modes[m];
        EXPECT_EQ(a.mode, b.mode) << m;
        EXPECT_EQ(a.width, b.width) << m;
        EXPECT_EQ(a.height, b.height) << m;
        EXPECT_EQ(a.gain, b.gain) << m;
        EXPECT_EQ(a.pixelWidth, b.pixelWidth) << m;
        EXPECT_EQ(a.pixelHeight, b.pixelHeight) << m;
    }
    CcdInfo tracking;
    ASSERT_TRUE(camera.GetCCDInfo(1, &tracking).ok());
    ASSERT_EQ(tracking.modes.size(), 2u);
    EXPECT_EQ(tracking.modes[0].width, 190);
}

TEST_P(LibraryPath, LightWindowIsPixelExactAndDarkOneEmpty) {
    Expose(1);
    const unsigned x = 13, y = 7, w = 9, h = 3;
    std::vector<std::uint16_t> light = Window(x, y, w, h);
    for (unsigned r = 0; r < h; ++r)
        for (unsigned c = 0; c < w; ++c)
            ASSERT_EQ(light[r * w + c], (31 * (y + r) + 17 * (x + c)) % 1000 + 100)
                << "row " << r << " col " << c;
    Expose(2);  // shutter closed: the exposure record's last field arrived
    for (std::uint16_t p : Window(x, y, w, h)) ASSERT_EQ(p, 100);
}

TEST_P(LibraryPath, ErrorsArriveInOneFormWhicheverLibraryReportsThem) {
    ExposureRequest r;
    r.ccd = 2;
    Status s = camera.StartExposure(r);
    EXPECT_EQ(s.raw(), 0xE0000006u);
    EXPECT_EQ(s.name(), "ErrBadParameter");
    std::vector<std::uint16_t> line(4);
    r.ccd = 0;
    r.time = 100000;
    ASSERT_TRUE(camera.StartExposure(r).ok());
    s = camera.ReadoutLine({0, 0, 1, 0, 4}, line);
    EXPECT_EQ(s.code(), ErrExposureInProgress) << s.Describe();
    EXPECT_TRUE(camera.EndExposure(0, true).ok());
}

TEST_P(LibraryPath, EepromAndCoolerRecordsComeBackWhole) {
    EepromInfo e;
    Status s = camera.GetEepromInfo(&e);
    ASSERT_TRUE(s.ok()) << s.Describe();
    EXPECT_EQ(e.identification, "GANNET");
    ASSERT_TRUE(camera.SetTemperatureRegulation(1, CelsiusToReading(-10)).ok());
    TemperatureStatus t;
    ASSERT_TRUE(camera.QueryTemperatureStatus(&t).ok());
    EXPECT_EQ(t.regulationFlags & 1, 1);
    EXPECT_EQ(t.setpoint, CelsiusToReading(-10) & 0xFF0);
    EXPECT_NEAR(ReadingToCelsius(t.reading2), 25.0, 1.0);
    ASSERT_TRUE(camera.SetTemperatureRegulation(0, 0).ok());
}

TEST_P(LibraryPath, SecondCameraIsDrivenThroughItsOwnHandleWhereThePathHasHandles) {
    Camera kestrel;
    Status s = kestrel.Open(2);
    if (!ReachesNt(GetParam())) {
        // zeva32.vxd drives the first port and nothing else.
        EXPECT_EQ(s.code(), ErrOpenDeviceFailed) << s.Describe();
        Camera again;
        EXPECT_EQ(again.Open(1).code(), ErrOpenDeviceFailed);
        return;
    }
    ASSERT_TRUE(s.ok()) << s.Describe();
    std::uint16_t t = 0;
    ASSERT_TRUE(kestrel.EstablishLink(&t).ok());
    EXPECT_EQ(t, 13);
    // Commands alternate between the cameras; each reaches its own.
    ExposureRequest r;
    r.ccd = 1;
    EXPECT_EQ(kestrel.StartExposure(r).code(), ErrBadParameter);  // no tracking CCD
    EXPECT_TRUE(camera.StartExposure(r).ok());
    std::uint16_t word = 0;
    ASSERT_TRUE(kestrel.QueryCommandStatus(1, &word).ok());
    EXPECT_EQ(ExposureStateOf(word, 1), 0u);
    ASSERT_TRUE(camera.QueryCommandStatus(1, &word).ok());
    EXPECT_NE(ExposureStateOf(word, 1), 0u);
    EXPECT_TRUE(camera.EndExposure(1, true).ok());
    EXPECT_TRUE(kestrel.Close().ok());
    EXPECT_TRUE(camera.QueryCommandStatus(1, &word).ok());  // the first camera's handle again
}

INSTANTIATE_TEST_SUITE_P(Paths, LibraryPath, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& p) { return p.param.name; });

TEST(LibraryChoice, NamesParseAndMissingVxdIsReported) {
    Library lib = Library::Nt;
    EXPECT_TRUE(ParseLibrary("9x", &lib));
    EXPECT_EQ(lib, Library::Win9x);
    EXPECT_TRUE(ParseLibrary("vb", &lib));
    EXPECT_EQ(lib, Library::Vb);
    EXPECT_TRUE(ParseLibrary("nt", &lib));
    EXPECT_EQ(lib, Library::Nt);
    EXPECT_FALSE(ParseLibrary("win32", &lib));
    EXPECT_STREQ(LibraryName(Library::Win9x), "9x");

    setenv("ZEVA_NO_VXD", "1", 1);
    Driver d;
    Status s = d.Open(Library::Win9x);
    EXPECT_EQ(s.code(), ErrDriverNotFound) << s.Describe();
    EXPECT_FALSE(d.isOpen());
    unsetenv("ZEVA_NO_VXD");
    EXPECT_TRUE(SystemStartError().empty());
}

}  // namespace
}  // namespace zeva::client
