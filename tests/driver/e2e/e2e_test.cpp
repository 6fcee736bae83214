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
#include "common/records.h"
#include "support/booted_driver.h"
#include "support/pattern_lines.h"

namespace {

using namespace zeva;  // commands and error codes
using zeva::le::Get16;
using zeva::le::Put16;
namespace CcdInfoResult = zeva::rec::CcdInfoResult;
namespace ReadoutModeInfo = zeva::rec::ReadoutModeInfo;

using zeva::test::Kind;
using zeva::test::kTrackingColumns;
using zeva::test::kTrackingRows;
using zeva::test::PatternRowsPerLine;

// A camera as the application sees it: its name and the columns the driver
// lists, beside the columns that really hold charge (Siskin's last listed
// column has no cell).
struct Camera : zeva::test::PatternCamera {
    const char* name;
    int columns;  // imaging (or only) CCD
};

const Camera kGannet{{"gannet", 4, Kind::Dual, 765, 510}, "ZEVA Gannet Dual CCD Camera", 765};
const Camera kHeron{{"heron", 5, Kind::Dual, 1530, 1020}, "ZEVA Heron Dual CCD Camera", 1530};
const Camera kIbis{{"ibis", 10, Kind::Dual, 512, 512}, "ZEVA Ibis Dual CCD Camera", 512};
const Camera kJacana{{"jacana", 12, Kind::Dual, 2184, 1472}, "ZEVA Jacana Dual CCD Camera", 2184};
const Camera kKestrel{{"kestrel", 13, Kind::Kestrel, 1024, 1024}, "ZEVA Kestrel CCD Camera", 1024};
const Camera kEgret{{"egret", 6, Kind::Egret, 320, 240}, "Egret Camera", 320};
const Camera kFinch{{"finch", 8, Kind::Type8, 640, 480}, "ZEVA Finch Camera", 640};
const Camera kSiskin{{"siskin", 8, Kind::Type8, 656, 495}, "ZEVA Siskin Camera", 657};

const Camera* const kCameras[] = {&kGannet,  &kHeron, &kIbis,  &kJacana,
                                  &kKestrel, &kEgret, &kFinch, &kSiskin};

bool HasTracking(const Camera& cam) {
    return cam.kind == Kind::Dual;
}

class Driver : public ::testing::Test {
  protected:
    void Boot(const Camera& cam) {
        ASSERT_TRUE(session.Boot({std::string("sim:") + cam.model + "?scene=pattern"}));
    }
    const zeva::test::CameraHandle& device() const { return session[0]; }

    // Link, check the identification and the CCD information, measure the
    // converter offset of the CCD.  Ends with the mode table of `ccd` in info.
    void Identify(const Camera& cam, int ccd) {
        std::uint16_t type = 0;
        ASSERT_EQ(device().Link(&type), STATUS_SUCCESS);
        ASSERT_EQ(type, cam.type);
        info.assign(CcdInfoResult::kSize, 0);
        Put16(info.data(), rec::CcdInfoParams::Request, static_cast<std::uint16_t>(ccd));
        ASSERT_EQ(
            device().Call(CmdGetCCDInfo, info, rec::CcdInfoParams::kSize, CcdInfoResult::kSize),
            STATUS_SUCCESS);
        EXPECT_EQ(Get16(info.data(), CcdInfoResult::CameraType), cam.type);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.data() + CcdInfoResult::Name)),
                  cam.name);
        ASSERT_EQ(device().Word(CmdReadOffset, static_cast<std::uint16_t>(ccd), 2, &offset),
                  STATUS_SUCCESS);
    }
    int ModeCount() const { return Get16(info.data(), CcdInfoResult::ReadoutModeCount); }
    std::uint16_t ModeField(int mode, std::size_t field) const {
        return Get16(info.data(), CcdInfoResult::Mode(static_cast<std::size_t>(mode)) + field);
    }

    // Exposes `ccd` with the shutter open and ends the exposure: the camera
    // then reports every CCD idle.
    void Expose(int ccd) {
        ASSERT_EQ(device().Expose(ccd, 100), STATUS_SUCCESS);
        std::uint16_t status = 0xFFFF;
        ASSERT_EQ(device().Word(CmdQueryCommandStatus, 1, 2, &status), STATUS_SUCCESS);
        EXPECT_EQ(status, 0);
    }
    // Reads `lines` lines of the window and checks every pixel; the first
    // line starts at active row r.
    void ReadAndCheck(const Camera& cam, int ccd, int mode, int vertical, int start, int length,
                      int r, int lines) {
        std::vector<std::uint16_t> pixels;
        for (int line = 0; line < lines; ++line) {
            ASSERT_EQ(device().Line(ccd, mode, start, length, &pixels, vertical), STATUS_SUCCESS)
                << line;
            const int row = r + line * PatternRowsPerLine(mode, vertical);
            for (int i = 0; i < length; ++i) {
                ASSERT_EQ(pixels[i], zeva::test::PatternLinePixel(cam, ccd, mode, vertical, offset,
                                                                  row, start + i))
                    << "line " << line << " (row " << row << ") pixel " << start + i;
            }
        }
    }

    zeva::test::BootedDriver session;
    std::vector<std::uint8_t> info;
    std::uint16_t offset = 0;
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
    EXPECT_EQ(ModeField(c.mode, ReadoutModeInfo::Mode), c.mode);
    EXPECT_EQ(ModeField(c.mode, ReadoutModeInfo::Width), columns / h);

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
    ASSERT_EQ(device().Dump(c.ccd, c.mode, skipped, vertical), STATUS_SUCCESS);
    ReadAndCheck(cam, c.ccd, c.mode, vertical, start, length,
                 skipped * PatternRowsPerLine(c.mode, vertical), lines);
    // A second window further down, after more dumped lines.
    ASSERT_EQ(device().Dump(c.ccd, c.mode, 2, vertical), STATUS_SUCCESS);
    ReadAndCheck(cam, c.ccd, c.mode, vertical, start / 3, length + 5,
                 (skipped + lines + 2) * PatternRowsPerLine(c.mode, vertical), 2);
    EXPECT_EQ(device().Word(CmdEndReadout, static_cast<std::uint16_t>(c.ccd)), STATUS_SUCCESS);
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
    const int width = ModeField(0, ReadoutModeInfo::Width);
    const int height = ModeField(0, ReadoutModeInfo::Height);
    EXPECT_EQ(width, c.ccd == 1 ? kTrackingColumns : cam.columns);
    EXPECT_EQ(height, c.ccd == 1 ? kTrackingRows : cam.rows);
    ASSERT_NO_FATAL_FAILURE(Expose(c.ccd));
    ReadAndCheck(cam, c.ccd, 0, 0, 0, width, 0, height);
    // Below the active area only empty rows remain.
    std::vector<std::uint16_t> pixels;
    ASSERT_EQ(device().Line(c.ccd, 0, 0, width, &pixels), STATUS_SUCCESS);
    const std::uint32_t empty =
        c.ccd == 1 || cam.kind == Kind::Egret ? offset : static_cast<std::uint32_t>(100);
    for (int i = 0; i < width; ++i) ASSERT_EQ(pixels[i], empty) << i;
    EXPECT_EQ(device().Word(CmdEndReadout, static_cast<std::uint16_t>(c.ccd)), STATUS_SUCCESS);
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
    namespace tx = rec::TxSerialBytesParams;
    std::vector<std::uint8_t> bytes(tx::SizeFor(tx::kMaxByteCount), 0x55);
    Put16(bytes.data(), tx::ByteCount, tx::kMaxByteCount);
    ASSERT_EQ(device().Call(CmdTxSerialBytes, bytes, tx::SizeFor(tx::kMaxByteCount),
                            rec::TxSerialBytesResults::kSize),
              STATUS_SUCCESS);
    EXPECT_EQ(Get16(bytes.data(), rec::TxSerialBytesResults::BytesSent), tx::kMaxByteCount);

    ASSERT_EQ(device().Start(ccd, 0x80000000u | 100), STATUS_SUCCESS);
    std::uint16_t status = 0;
    int pending = 0;
    for (int polls = 0;; ++polls) {
        ASSERT_LT(polls, 100);
        ASSERT_EQ(device().Word(CmdQueryCommandStatus, 1, 2, &status), STATUS_SUCCESS);
        if (status != 0x8000)
            break;
        ++pending;
        zeva::platform::PlatformSleepMs(50);
    }
    EXPECT_GE(pending, 2);
    EXPECT_EQ(status, 2 << (2 * ccd));
    for (int polls = 0; (status >> (2 * ccd) & 3) != 3; ++polls) {
        ASSERT_LT(polls, 100);
        zeva::platform::PlatformSleepMs(100);
        ASSERT_EQ(device().Word(CmdQueryCommandStatus, 1, 2, &status), STATUS_SUCCESS);
    }
    ASSERT_EQ(device().Word(CmdEndExposure, static_cast<std::uint16_t>(ccd)), STATUS_SUCCESS);
    ASSERT_EQ(device().Dump(ccd, 0, 3), STATUS_SUCCESS);
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
    std::vector<std::uint16_t> pixels;
    // Type 8 lists its modes 3 to 5 but reads none of them; dumps take them.
    for (int m = accepted; m < 10; ++m) {
        EXPECT_EQ(device().Line(0, m, 0, 4, &pixels, 1), bad) << m;
    }
    for (int m = accepted; m < listed; ++m)
        EXPECT_EQ(device().Dump(0, m, 1, 1), STATUS_SUCCESS) << m;
    if (cam.kind == Kind::Dual) {
        EXPECT_EQ(device().Line(0, 3, 0, 4, &pixels), bad);  // no rows per line
        EXPECT_EQ(device().Line(1, 2, 0, 4, &pixels), bad);
    } else {
        EXPECT_EQ(device().Line(1, 0, 0, 4, &pixels), bad);
        EXPECT_EQ(device().Word(CmdReadOffset, 1, 2), bad);
        EXPECT_EQ(device().Start(1, 0, 0), bad);
    }
    EXPECT_EQ(device().Word(CmdEndReadout, 0), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Models, Refusals, ::testing::ValuesIn(kCameras),
                         [](const ::testing::TestParamInfo<const Camera*>& p) {
                             return std::string(p.param->model);
                         });

}  // namespace
