// A long run through the NT library: exposure-and-readout cycles on five
// simulated cameras (two dual-CCD families and the three single-CCD models),
// each cycle on the next camera in another readout mode, every pixel of
// every window checked.  The driver's pool stays at its load-time blocks
// throughout and is empty after unload; the process does not grow.
//
// ZEVA_SOAK_CYCLES sets the number of cycles (1000 unless the build scales
// it down, as the sanitizer build does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/le.h"
#include "platform/system.h"
#include "support/pattern_lines.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Get32;
using zeva::le::Put16;
using zeva::le::Put32;
using zeva::le::Put8;

using zeva::test::Kind;
using Camera = zeva::test::PatternCamera;

// The cameras behind ports 1 to 5 (ZEVA_PORTS of this test).
const Camera kCameras[] = {{"gannet", 4, Kind::Dual, 765, 510},
                           {"kestrel", 13, Kind::Kestrel, 1024, 1024},
                           {"egret", 6, Kind::Egret, 320, 240},
                           {"finch", 8, Kind::Type8, 640, 480},
                           {"siskin", 8, Kind::Type8, 656, 495}};
constexpr int kCameraCount = 5;

// One cycle's choice: which camera, CCD and mode.
struct Cycle {
    int camera;
    int ccd;
    int mode;
};

Cycle CycleFor(int i) {
    const int camera = i % kCameraCount;
    const int round = i / kCameraCount;
    const Camera& cam = kCameras[camera];
    switch (cam.kind) {
        case Kind::Dual:
            // Nine imaging modes, then the two tracking modes.
            return round % 11 < 9 ? Cycle{camera, 0, round % 11} : Cycle{camera, 1, round % 11 - 9};
        case Kind::Kestrel:
            return {camera, 0, round % 9};
        case Kind::Egret:
            return {camera, 0, round % 2};
        case Kind::Type8:
            return {camera, 0, round % 3};
    }
    return {camera, 0, 0};
}

int CycleCount() {
    const char* v = std::getenv("ZEVA_SOAK_CYCLES");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : 1000;
}

// Resident set of the process, in bytes.
std::size_t ResidentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) {
        return 0;
    }
    unsigned long total = 0, resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &total, &resident);
    std::fclose(f);
    return got == 2 ? resident * 4096 : 0;
}

class Soak : public ::testing::Test {
  protected:
    void TearDown() override {
        for (std::uint32_t h : handles_) {
            ParDeviceCommand(h, ZEVA_CLOSE_DEVICE, nullptr, nullptr);
        }
    }

    std::uint32_t Word(int cam, std::uint32_t command, std::uint16_t value,
                       std::uint16_t* reply = nullptr) {
        std::uint8_t in[2] = {};
        std::uint8_t out[2] = {};
        Put16(in, 0, value);
        const std::uint32_t s = ParDeviceCommand(handles_[cam], command, in, out);
        if (reply != nullptr) {
            *reply = Get16(out, 0);
        }
        return s;
    }

    // Opens every port, links, measures the converter offsets.
    void OpenAll() {
        for (int i = 0; i < kCameraCount; ++i) {
            std::uint8_t port[2] = {};
            std::uint8_t handle[4] = {};
            Put16(port, 0, static_cast<std::uint16_t>(i + 1));
            ASSERT_EQ(ParDeviceCommand(0, ZEVA_OPEN_DEVICE, port, handle), 0u) << i;
            handles_.push_back(Get32(handle, 0));
            std::uint8_t type[2] = {};
            ASSERT_EQ(ParDeviceCommand(handles_[i], ZEVA_ESTABLISH_LINK, nullptr, type), 0u);
            ASSERT_EQ(Get16(type, 0), kCameras[i].type) << kCameras[i].model;
            for (int ccd = 0; ccd < (kCameras[i].kind == Kind::Dual ? 2 : 1); ++ccd) {
                ASSERT_EQ(
                    Word(i, ZEVA_READ_OFFSET, static_cast<std::uint16_t>(ccd), &offsets_[i][ccd]),
                    0u);
            }
        }
    }

    // One exposure and a window of two lines after a few dumped ones;
    // returns the number of wrong pixels.
    int RunCycle(const Cycle& c) {
        const Camera& cam = kCameras[c.camera];
        const std::uint16_t ccd = static_cast<std::uint16_t>(c.ccd);
        std::uint8_t start[ZEVA_ALIGNED_START_EXPOSURE_PARAMS_SIZE] = {};
        Put16(start, 0, ccd);
        Put32(start, 4, 10);
        Put16(start, 10, 1);
        EXPECT_EQ(ParDeviceCommand(handles_[c.camera], ZEVA_START_EXPOSURE, start, nullptr), 0u);
        for (int polls = 0;; ++polls) {
            std::uint16_t status = 0;
            EXPECT_EQ(Word(c.camera, ZEVA_QUERY_COMMAND_STATUS, 1, &status), 0u);
            if ((status >> (2 * ccd) & 3) == 3) {
                break;
            }
            if (polls > 100 || (status >> (2 * ccd) & 3) == 0) {
                ADD_FAILURE() << cam.model << ": the exposure did not finish";
                return 1;
            }
            zeva::platform::PlatformSleepMs(20);
        }
        EXPECT_EQ(Word(c.camera, ZEVA_END_EXPOSURE, static_cast<std::uint16_t>(ccd | 0x8000u)), 0u);

        const int vertical = c.mode == 3 ? 3 : c.mode == 4 ? 4 : c.mode == 5 ? 2 : 0;
        int first = 9, length = 30;
        if (c.ccd == 1) {
            first = c.mode == 0 ? 150 : 70;
            length = c.mode == 0 ? 30 : 20;
        }
        constexpr int kSkipped = 5, kLines = 2;
        std::uint8_t dump[6] = {};
        Put16(dump, 0, ccd);
        Put8(dump, 2, static_cast<std::uint8_t>(c.mode));
        Put8(dump, 3, static_cast<std::uint8_t>(vertical));
        Put16(dump, 4, kSkipped);
        EXPECT_EQ(ParDeviceCommand(handles_[c.camera], ZEVA_DUMP_LINES, dump, nullptr), 0u);

        int wrong = 0;
        std::uint8_t params[8] = {};
        Put16(params, 0, ccd);
        Put8(params, 2, static_cast<std::uint8_t>(c.mode));
        Put8(params, 3, static_cast<std::uint8_t>(vertical));
        Put16(params, 4, static_cast<std::uint16_t>(first));
        Put16(params, 6, static_cast<std::uint16_t>(length));
        std::vector<std::uint8_t> line(2 * static_cast<std::size_t>(length));
        for (int k = 0; k < kLines; ++k) {
            std::fill(line.begin(), line.end(), 0xEE);
            if (ParDeviceCommand(handles_[c.camera], ZEVA_READOUT_LINE, params, line.data()) != 0) {
                ++wrong;
                continue;
            }
            const int row = (kSkipped + k) * zeva::test::PatternRowsPerLine(c.mode, vertical);
            for (int i = 0; i < length; ++i) {
                const std::uint32_t want = zeva::test::PatternLinePixel(
                    cam, c.ccd, c.mode, vertical, offsets_[c.camera][c.ccd], row, first + i);
                if (Get16(line.data(), 2 * static_cast<std::size_t>(i)) != want) {
                    ++wrong;
                }
            }
        }
        EXPECT_EQ(Word(c.camera, ZEVA_END_READOUT, ccd), 0u);
        return wrong;
    }

    std::vector<std::uint32_t> handles_;
    std::uint16_t offsets_[kCameraCount][2] = {};
};

TEST_F(Soak, ExposureAndReadoutCyclesStayExactWithoutGrowing) {
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    const std::size_t pool_at_load = zeva::platform::PoolOutstanding();
    const int cycles = CycleCount();
    const int warm_up = std::min(100, cycles / 2);
    std::size_t resident_after_warm_up = 0;
    int wrong_frames = 0;
    for (int i = 0; i < cycles; ++i) {
        const Cycle c = CycleFor(i);
        const int wrong = RunCycle(c);
        if (wrong != 0 && ++wrong_frames <= 5) {
            ADD_FAILURE() << "cycle " << i << ": " << kCameras[c.camera].model << " ccd " << c.ccd
                          << " mode " << c.mode << ": " << wrong << " wrong pixels";
        }
        // The driver allocates only at load: the pool never moves.
        ASSERT_EQ(zeva::platform::PoolOutstanding(), pool_at_load) << "cycle " << i;
        if (i + 1 == warm_up) {
            resident_after_warm_up = ResidentBytes();
        }
    }
    EXPECT_EQ(wrong_frames, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory in quarantine; only the plain build
    // can tell growth by the resident set.
    EXPECT_LT(ResidentBytes(), resident_after_warm_up + 2 * 1024 * 1024)
        << "resident after warm-up " << resident_after_warm_up;
#else
    (void)resident_after_warm_up;
#endif
    for (std::uint32_t h : handles_) {
        EXPECT_EQ(ParDeviceCommand(h, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    }
    handles_.clear();
    EXPECT_EQ(zeva::platform::ShutdownSystem(), 0u) << "pool blocks left at unload";
}

}  // namespace
