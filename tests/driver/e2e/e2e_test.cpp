// The exposure-and-readout sequence an application runs, through the I/O
// manager, on every simulated model with the pattern scene: link, CCD
// information, offset, exposure, status polling, end, dumps, line reads and
// end of readout, in every readout mode the model lists and accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "platform/system.h"
#include "sim/config.h"
#include "support/pattern.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace {

using namespace zeva;  // commands and error codes
using zeva::le::Get16;
using zeva::le::Put16;
using zeva::le::Put32;
using zeva::le::Put8;

enum class Kind { Dual, Kestrel, Egret, Type8 };

// A camera as the application sees it, and the columns of its imaging CCD
// that really hold charge (Siskin's last listed column has no cell).
struct Camera {
    const char* model;
    std::uint16_t type;
    Kind kind;
    const char* name;
    int columns, rows;  // imaging (or only) CCD
    int charged_columns;
};

const Camera kGannet{"gannet", 4, Kind::Dual, "ZEVA Gannet Dual CCD Camera", 765, 510, 765};
const Camera kHeron{"heron", 5, Kind::Dual, "ZEVA Heron Dual CCD Camera", 1530, 1020, 1530};
const Camera kIbis{"ibis", 10, Kind::Dual, "ZEVA Ibis Dual CCD Camera", 512, 512, 512};
const Camera kJacana{"jacana", 12, Kind::Dual, "ZEVA Jacana Dual CCD Camera", 2184, 1472, 2184};
const Camera kKestrel{"kestrel", 13, Kind::Kestrel, "ZEVA Kestrel CCD Camera", 1024, 1024, 1024};
const Camera kEgret{"egret", 6, Kind::Egret, "Egret Camera", 320, 240, 320};
const Camera kFinch{"finch", 8, Kind::Type8, "ZEVA Finch Camera", 640, 480, 640};
const Camera kSiskin{"siskin", 8, Kind::Type8, "ZEVA Siskin Camera", 657, 495, 656};

const Camera* const kCameras[] = {&kGannet,  &kHeron, &kIbis,  &kJacana,
                                  &kKestrel, &kEgret, &kFinch, &kSiskin};

constexpr int kTrackingColumns = 190, kTrackingRows = 162;

bool HasTracking(const Camera& cam) {
    return cam.kind == Kind::Dual;
}

// Charge the pattern scene leaves in active row r, column c.
std::uint32_t Charge(const Camera& cam, int ccd, int r, int c) {
    if (ccd == 1) {
        if (c < 0 || c >= kTrackingColumns || r < 0 || r >= kTrackingRows)
            return 0;
        return zeva::test::PatternTracking(static_cast<std::uint32_t>(r),
                                           static_cast<std::uint32_t>(c));
    }
    if (c < 0 || c >= cam.charged_columns || r < 0 || r >= cam.rows)
        return 0;
    return zeva::test::PatternImaging(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c));
}

std::uint32_t Block(const Camera& cam, int ccd, int r, int rows, int c, int cols) {
    std::uint32_t sum = 0;
    for (int dr = 0; dr < rows; ++dr)
        for (int dc = 0; dc < cols; ++dc) sum += Charge(cam, ccd, r + dr, c + dc);
    return sum;
}

// CCD rows one output line of the mode consumes.
int RowsPerLine(int mode, int vertical) {
    if (mode < 3)
        return mode + 1;
    if (mode < 6)
        return vertical;
    return mode - 5;
}

// The value a line of `mode` starting at active row r holds at binned pixel
// x.  Imaging and type-8 pixels are bias-corrected down to the pedestal of
// 100 counts; tracking and Egret pixels are raw samples, on top of the
// converter's offset.
std::uint32_t Expected(const Camera& cam, int ccd, int mode, int vertical, std::uint32_t offset,
                       int r, int x) {
    const int h = mode % 3 + 1;
    if (ccd == 1) {
        if (mode == 0)
            return std::min<std::uint32_t>(offset + Charge(cam, 1, r, x), 65535);
        // Two rows on chip, the mean of two adjacent samples.
        const std::uint32_t a = offset + Block(cam, 1, r, 2, 2 * x, 1);
        const std::uint32_t b = offset + Block(cam, 1, r, 2, 2 * x + 1, 1);
        return (a + b) / 2;
    }
    if (cam.kind == Kind::Egret || cam.kind == Kind::Type8) {
        // m + 1 rows on chip, m + 1 successive samples added by the driver.
        const int s = mode + 1;
        const std::uint32_t charge = Block(cam, 0, r, s, s * x, s);
        if (cam.kind == Kind::Type8)
            return 100 + charge;
        return s * offset + charge;
    }
    if (mode < 3)
        return 100 + Block(cam, 0, r, h, h * x, h);
    if (mode < 6)
        return 100 + Block(cam, 0, r, vertical, h * x, h);
    // One row at a time, h rows added in the driver.
    std::uint32_t sum = 0;
    for (int k = 0; k < h; ++k) sum += 100 + Block(cam, 0, r + k, 1, h * x, h);
    return std::min<std::uint32_t>(sum, 65535);
}

class Driver : public ::testing::Test {
  protected:
    void Boot(const Camera& cam) {
        zeva::platform::SystemConfig config;
        zeva::platform::PortConfig port;
        port.entry = std::string("sim:") + cam.model + "?scene=pattern";
        auto made = zeva::sim::MakeBackend(port.entry);
        ASSERT_TRUE(made.backend) << made.error;
        port.backend = std::move(made.backend);
        config.ports.push_back(std::move(port));
        config.clock = zeva::platform::ClockMode::Virtual;
        config.driver_entry = &zeva::driver::DriverEntry;
        ASSERT_EQ(zeva::platform::BootSystem(std::move(config)), STATUS_SUCCESS);
        ASSERT_EQ(zeva::platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &file), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (file != nullptr)
            zeva::platform::CloseFile(file);
        if (zeva::platform::SystemRunning()) {
            EXPECT_EQ(zeva::platform::ShutdownSystem(), 0u);
        }
    }
    NTSTATUS Call(std::uint16_t command, std::vector<std::uint8_t>& buffer, ULONG in, ULONG out,
                  ULONG_PTR* returned = nullptr) {
        ULONG_PTR n = 0;
        if (buffer.size() < std::max(in, out))
            buffer.resize(std::max(in, out));
        const NTSTATUS s =
            zeva::platform::DeviceControl(file, zeva::ControlCode(zeva::DriverFunction(command)),
                                          buffer.data(), in, buffer.data(), out, &n);
        if (returned != nullptr)
            *returned = n;
        return s;
    }
    NTSTATUS Ccd(std::uint16_t command, int ccd, ULONG out = 0) {
        std::vector<std::uint8_t> b(2, 0);
        Put16(b.data(), 0, static_cast<std::uint16_t>(ccd));
        const NTSTATUS s = Call(command, b, 2, out);
        reply = Get16(b.data(), 0);
        return s;
    }

    // Link, check the identification and the CCD information, measure the
    // converter offset of the CCD.  Ends with the mode table of `ccd` in info.
    void Identify(const Camera& cam, int ccd) {
        std::vector<std::uint8_t> b(2, 0);
        ASSERT_EQ(Call(CmdEstablishLink, b, 0, 2), STATUS_SUCCESS);
        ASSERT_EQ(Get16(b.data(), 0), cam.type);
        info.assign(392, 0);
        Put16(info.data(), 0, static_cast<std::uint16_t>(ccd));
        ASSERT_EQ(Call(CmdGetCCDInfo, info, 2, 392), STATUS_SUCCESS);
        EXPECT_EQ(Get16(info.data(), 2), cam.type);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.data() + 4)), cam.name);
        ASSERT_EQ(Ccd(CmdReadOffset, ccd, 2), STATUS_SUCCESS);
        offset = reply;
    }
    int ModeCount() const { return Get16(info.data(), 68); }
    std::uint16_t ModeField(int mode, int field) const {
        return Get16(info.data(), 72 + 16 * static_cast<std::size_t>(mode) + field);
    }

    // Exposes `ccd` with the shutter open and ends the exposure.
    void Expose(int ccd) {
        std::vector<std::uint8_t> b(12, 0);
        Put16(b.data(), 0, static_cast<std::uint16_t>(ccd));
        Put32(b.data(), 4, 100);
        Put16(b.data(), 10, 1);
        ASSERT_EQ(Call(CmdStartExposure, b, 12, 0), STATUS_SUCCESS);
        for (int polls = 0;; ++polls) {
            ASSERT_LT(polls, 100);
            ASSERT_EQ(Ccd(CmdQueryCommandStatus, 1, 2), STATUS_SUCCESS);
            ASSERT_NE(reply >> (2 * ccd) & 3, 0) << "the CCD went idle unended";
            if ((reply >> (2 * ccd) & 3) == 3)
                break;
            zeva::platform::PlatformSleepMs(100);
        }
        ASSERT_EQ(Ccd(CmdEndExposure, ccd), STATUS_SUCCESS);
        ASSERT_EQ(Ccd(CmdQueryCommandStatus, 1, 2), STATUS_SUCCESS);
        EXPECT_EQ(reply, 0);
    }
    NTSTATUS Dump(int ccd, int mode, int vertical, int lines) {
        std::vector<std::uint8_t> b(6, 0);
        Put16(b.data(), 0, static_cast<std::uint16_t>(ccd));
        Put8(b.data(), 2, static_cast<std::uint8_t>(mode));
        Put8(b.data(), 3, static_cast<std::uint8_t>(vertical));
        Put16(b.data(), 4, static_cast<std::uint16_t>(lines));
        return Call(CmdDumpLines, b, 6, 0);
    }
    NTSTATUS Line(int ccd, int mode, int vertical, int start, int length,
                  std::vector<std::uint8_t>& b) {
        b.assign(std::max(8, 2 * length), 0xEE);
        Put16(b.data(), 0, static_cast<std::uint16_t>(ccd));
        Put8(b.data(), 2, static_cast<std::uint8_t>(mode));
        Put8(b.data(), 3, static_cast<std::uint8_t>(vertical));
        Put16(b.data(), 4, static_cast<std::uint16_t>(start));
        Put16(b.data(), 6, static_cast<std::uint16_t>(length));
        ULONG_PTR n = 0;
        const NTSTATUS s = Call(CmdReadoutLine, b, 8, static_cast<ULONG>(2 * length), &n);
        if (s == STATUS_SUCCESS) {
            EXPECT_EQ(n, static_cast<ULONG_PTR>(2 * length));
        }
        return s;
    }
    // Reads `lines` lines of the window and checks every pixel; the first
    // line starts at active row r.
    void ReadAndCheck(const Camera& cam, int ccd, int mode, int vertical, int start, int length,
                      int r, int lines) {
        std::vector<std::uint8_t> b;
        for (int line = 0; line < lines; ++line) {
            ASSERT_EQ(Line(ccd, mode, vertical, start, length, b), STATUS_SUCCESS) << line;
            const int row = r + line * RowsPerLine(mode, vertical);
            for (int i = 0; i < length; ++i) {
                ASSERT_EQ(Get16(b.data(), 2 * static_cast<std::size_t>(i)),
                          Expected(cam, ccd, mode, vertical, offset, row, start + i))
                    << "line " << line << " (row " << row << ") pixel " << start + i;
            }
        }
    }

    zeva::platform::OpenFile* file = nullptr;
    std::vector<std::uint8_t> info;
    std::uint16_t offset = 0;
    std::uint16_t reply = 0;
};

// --- one window per model, CCD and readout mode

struct ModeCase {
    const Camera* cam;
    int ccd;
    int mode;
};

std::vector<ModeCase> ModeCases() {
    std::vector<ModeCase> cases;
    for (const Camera* cam : kCameras) {
        const int modes = cam->kind == Kind::Egret ? 2 : cam->kind == Kind::Type8 ? 3 : 9;
        for (int m = 0; m < modes; ++m) cases.push_back({cam, 0, m});
        if (HasTracking(*cam)) {
            cases.push_back({cam, 1, 0});
            cases.push_back({cam, 1, 1});
        }
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<ModeCase>& p) {
    return std::string(p.param.cam->model) + (p.param.ccd == 1 ? "Tracking" : "") + "Mode" +
           std::to_string(p.param.mode);
}

class EveryMode : public Driver, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(EveryMode, ReadsTheBinnedPatternWindowAfterDumpedLines) {
    const ModeCase& c = GetParam();
    const Camera& cam = *c.cam;
    ASSERT_NO_FATAL_FAILURE(Boot(cam));
    ASSERT_NO_FATAL_FAILURE(Identify(cam, c.ccd));

    // The mode is listed, with the binned width of the CCD.
    const int h = c.mode % 3 + 1;
    const int columns = c.ccd == 1 ? kTrackingColumns : cam.columns;
    ASSERT_LT(c.mode, ModeCount());
    EXPECT_EQ(ModeField(c.mode, 0), c.mode);
    EXPECT_EQ(ModeField(c.mode, 2), columns / h);

    // Modes 3 to 5 take the rows per line from the request.
    const int vertical = c.mode == 3 ? 3 : c.mode == 4 ? 4 : c.mode == 5 ? 2 : 0;
    // Windows whose right-hand end leaves charge in the serial register that
    // would meet the next line's window: the tracking CCD delivers its
    // columns from the right, so its window sits at the right of the image.
    int start = 9, length = 30;
    if (c.ccd == 1) {
        start = c.mode == 0 ? 150 : 70;
        length = c.mode == 0 ? 30 : 20;
    }
    const int skipped = 5, lines = 4;

    ASSERT_NO_FATAL_FAILURE(Expose(c.ccd));
    ASSERT_EQ(Dump(c.ccd, c.mode, vertical, skipped), STATUS_SUCCESS);
    ReadAndCheck(cam, c.ccd, c.mode, vertical, start, length,
                 skipped * RowsPerLine(c.mode, vertical), lines);
    // A second window further down, after more dumped lines.
    ASSERT_EQ(Dump(c.ccd, c.mode, vertical, 2), STATUS_SUCCESS);
    ReadAndCheck(cam, c.ccd, c.mode, vertical, start / 3, length + 5,
                 (skipped + lines + 2) * RowsPerLine(c.mode, vertical), 2);
    EXPECT_EQ(Ccd(CmdEndReadout, c.ccd), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Models, EveryMode, ::testing::ValuesIn(ModeCases()), CaseName);

// --- one full frame per model and CCD in mode 0

struct FrameCase {
    const Camera* cam;
    int ccd;
};

std::vector<FrameCase> FrameCases() {
    std::vector<FrameCase> cases;
    for (const Camera* cam : kCameras) {
        cases.push_back({cam, 0});
        if (HasTracking(*cam))
            cases.push_back({cam, 1});
    }
    return cases;
}

class FullFrame : public Driver, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FullFrame, EveryPixelOfTheFrame) {
    const FrameCase& c = GetParam();
    const Camera& cam = *c.cam;
    ASSERT_NO_FATAL_FAILURE(Boot(cam));
    ASSERT_NO_FATAL_FAILURE(Identify(cam, c.ccd));
    const int width = ModeField(0, 2), height = ModeField(0, 4);
    EXPECT_EQ(width, c.ccd == 1 ? kTrackingColumns : cam.columns);
    EXPECT_EQ(height, c.ccd == 1 ? kTrackingRows : cam.rows);
    ASSERT_NO_FATAL_FAILURE(Expose(c.ccd));
    ReadAndCheck(cam, c.ccd, 0, 0, 0, width, 0, height);
    // Below the active area only empty rows remain.
    std::vector<std::uint8_t> b;
    ASSERT_EQ(Line(c.ccd, 0, 0, 0, width, b), STATUS_SUCCESS);
    const std::uint32_t empty =
        c.ccd == 1 || cam.kind == Kind::Egret ? offset : static_cast<std::uint32_t>(100);
    for (int i = 0; i < width; ++i) ASSERT_EQ(Get16(b.data(), 2 * i), empty) << i;
    EXPECT_EQ(Ccd(CmdEndReadout, c.ccd), STATUS_SUCCESS);
}

std::string FrameName(const ::testing::TestParamInfo<FrameCase>& p) {
    return std::string(p.param.cam->model) + (p.param.ccd == 1 ? "Tracking" : "");
}

INSTANTIATE_TEST_SUITE_P(Models, FullFrame, ::testing::ValuesIn(FrameCases()), FrameName);

// --- a start deferred while the camera's serial port is busy

class DeferredStart : public Driver, public ::testing::WithParamInterface<int> {};

TEST_P(DeferredStart, WaitsForTheSerialPortThenExposes) {
    const int ccd = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(kGannet));
    ASSERT_NO_FATAL_FAILURE(Identify(kGannet, ccd));
    // 255 bytes at 9600 baud keep the hold flag up for about a quarter second.
    std::vector<std::uint8_t> tx(2 + 255, 0x55);
    Put16(tx.data(), 0, 255);
    ASSERT_EQ(Call(CmdTxSerialBytes, tx, 2 + 255, 2), STATUS_SUCCESS);
    EXPECT_EQ(Get16(tx.data(), 0), 255);

    std::vector<std::uint8_t> b(12, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(ccd));
    Put32(b.data(), 4, 0x80000000u | 100);
    Put16(b.data(), 10, 1);
    ASSERT_EQ(Call(CmdStartExposure, b, 12, 0), STATUS_SUCCESS);
    int pending = 0;
    for (int polls = 0;; ++polls) {
        ASSERT_LT(polls, 100);
        ASSERT_EQ(Ccd(CmdQueryCommandStatus, 1, 2), STATUS_SUCCESS);
        if (reply != 0x8000)
            break;
        ++pending;
        zeva::platform::PlatformSleepMs(50);
    }
    EXPECT_GE(pending, 2);
    EXPECT_EQ(reply, 2 << (2 * ccd));
    for (int polls = 0; (reply >> (2 * ccd) & 3) != 3; ++polls) {
        ASSERT_LT(polls, 100);
        zeva::platform::PlatformSleepMs(100);
        ASSERT_EQ(Ccd(CmdQueryCommandStatus, 1, 2), STATUS_SUCCESS);
    }
    ASSERT_EQ(Ccd(CmdEndExposure, ccd), STATUS_SUCCESS);
    ASSERT_EQ(Dump(ccd, 0, 0, 3), STATUS_SUCCESS);
    ReadAndCheck(kGannet, ccd, 0, 0, 20, 25, 3, 3);
}

INSTANTIATE_TEST_SUITE_P(Gannet, DeferredStart, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(p.param == 1 ? "Tracking" : "Imaging");
                         });

// --- what the model refuses

class Refusals : public Driver, public ::testing::WithParamInterface<const Camera*> {};

TEST_P(Refusals, ModesAndCcdsTheModelDoesNotRead) {
    const Camera& cam = *GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(cam));
    ASSERT_NO_FATAL_FAILURE(Identify(cam, 0));
    const NTSTATUS bad = zeva::ErrorStatus(zeva::ErrBadParameter);
    const int listed = ModeCount();
    const int accepted = cam.kind == Kind::Egret ? 2 : cam.kind == Kind::Type8 ? 3 : 9;
    EXPECT_EQ(listed, cam.kind == Kind::Type8 ? 6 : accepted);
    ASSERT_NO_FATAL_FAILURE(Expose(0));
    std::vector<std::uint8_t> b;
    // Type 8 lists its modes 3 to 5 but reads none of them; dumps take them.
    for (int m = accepted; m < 10; ++m) {
        EXPECT_EQ(Line(0, m, 1, 0, 4, b), bad) << m;
    }
    for (int m = accepted; m < listed; ++m) EXPECT_EQ(Dump(0, m, 1, 1), STATUS_SUCCESS) << m;
    if (cam.kind == Kind::Dual) {
        EXPECT_EQ(Line(0, 3, 0, 0, 4, b), bad);  // no rows per line
        EXPECT_EQ(Line(1, 2, 0, 0, 4, b), bad);
    } else {
        EXPECT_EQ(Line(1, 0, 0, 0, 4, b), bad);
        EXPECT_EQ(Ccd(CmdReadOffset, 1, 2), bad);
        std::vector<std::uint8_t> start(12, 0);
        Put16(start.data(), 0, 1);
        EXPECT_EQ(Call(CmdStartExposure, start, 12, 0), bad);
    }
    EXPECT_EQ(Ccd(CmdEndReadout, 0), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Models, Refusals, ::testing::ValuesIn(kCameras),
                         [](const ::testing::TestParamInfo<const Camera*>& p) {
                             return std::string(p.param->model);
                         });

}  // namespace
