// Several threads on one camera device, and two cameras driven in parallel:
// every line still holds one whole row of the image (each row once), every
// status the camera reports stays within its fields, nothing is left pending.
// Built under ThreadSanitizer as well, where these tests prove the device
// lock and the platform's shared state free of races.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "driver/camera.h"
#include "support/booted_driver.h"
#include "support/pattern.h"

namespace {

using namespace zeva;  // commands, error codes
using zeva::le::Get16;
using zeva::le::Put16;
using zeva::test::BootedDriver;
using zeva::test::CameraHandle;

constexpr int kGannetRows = driver::kImagingGannet.ActiveRows;

// The active row whose pattern a window line from column `start` holds, or
// -1 when the line matches no row whole.  31 r mod 1000 differs for every
// row of the array, so the first pixel names the row.
int RowOf(const std::vector<std::uint16_t>& line, int start, int rows) {
    for (int r = 0; r < rows; ++r) {
        bool match = true;
        for (std::size_t i = 0; i < line.size() && match; ++i) {
            match = line[i] == test::ImagingPixel(r, start + static_cast<int>(i));
        }
        if (match) {
            return r;
        }
    }
    return -1;
}

// Temperature status as the camera reports it: regulation flag in bit 0
// (bit 15 only while frozen, never here), readings on the 12-bit scale.
bool SaneTemperature(const std::vector<std::uint8_t>& b) {
    namespace t = rec::TemperatureStatusResults;
    const std::uint16_t flags = Get16(b.data(), t::RegulationFlags);
    return (flags & ~1u) == 0 && Get16(b.data(), t::Power) <= 255 &&
           Get16(b.data(), t::Reading1) <= 4095 && Get16(b.data(), t::Reading2) <= 4095 &&
           Get16(b.data(), t::Setpoint) <= 4095;
}

TEST(OneDevice, ReadersQueriesAndRelaysFromSeveralThreads) {
    BootedDriver driver;
    ASSERT_TRUE(driver.Boot({"sim:gannet?scene=pattern"}));
    const CameraHandle& h = driver[0];
    ASSERT_EQ(h.Link(), STATUS_SUCCESS);
    ASSERT_EQ(h.Expose(0), STATUS_SUCCESS);

    constexpr int kReaders = 3, kLinesEach = 20, kStart = 30, kLength = 40;
    std::atomic<int> readers_left{kReaders};
    std::mutex rows_lock;
    std::vector<int> rows;
    std::atomic<int> bad_lines{0}, bad_status{0}, bad_temperature{0}, bad_relay{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; ++t) {
        threads.emplace_back([&] {
            std::vector<std::uint16_t> line;
            for (int k = 0; k < kLinesEach; ++k) {
                if (h.Line(0, 0, kStart, kLength, &line) != STATUS_SUCCESS) {
                    ++bad_lines;
                    continue;
                }
                const int row = RowOf(line, kStart, kGannetRows);
                std::lock_guard<std::mutex> guard(rows_lock);
                rows.push_back(row);
            }
            --readers_left;
        });
    }
    // Exposure status and temperature, while the lines are read.
    threads.emplace_back([&] {
        for (int i = 0; i < 30 || (i < 300 && readers_left.load() > 0); ++i) {
            std::uint16_t status = 0xFFFF;
            if (h.Word(CmdQueryCommandStatus, 1, 2, &status) != STATUS_SUCCESS || status != 0) {
                ++bad_status;  // both CCDs idle, nothing pending
            }
            std::vector<std::uint8_t> b(rec::TemperatureStatusResults::kSize, 0xA5);
            if (h.Call(CmdQueryTemperatureStatus, b, 0, 10) != STATUS_SUCCESS ||
                !SaneTemperature(b)) {
                ++bad_temperature;
            }
        }
    });
    // Relays pulsed and their status read back.
    threads.emplace_back([&] {
        for (int i = 0; i < 30 || (i < 300 && readers_left.load() > 0); ++i) {
            std::vector<std::uint8_t> b(rec::RelayParams::kSize, 0);
            Put16(b.data(), rec::RelayParams::RelayTime + 2 * static_cast<std::size_t>(i % 4), 2);
            std::uint16_t relays = 0xFFFF;
            if (h.Call(CmdActivateRelay, b, 8, 0) != STATUS_SUCCESS ||
                h.Word(CmdQueryCommandStatus, 7, 2, &relays) != STATUS_SUCCESS || relays > 15) {
                ++bad_relay;
            }
        }
    });
    for (std::thread& t : threads) {
        t.join();
    }

    EXPECT_EQ(bad_lines.load(), 0);
    EXPECT_EQ(bad_status.load(), 0);
    EXPECT_EQ(bad_temperature.load(), 0);
    EXPECT_EQ(bad_relay.load(), 0);
    // Every line is one whole row, and the rows come off the CCD in order,
    // each once, whichever thread read them.
    std::multiset<int> seen(rows.begin(), rows.end());
    std::multiset<int> expected;
    for (int r = 0; r < kReaders * kLinesEach; ++r) {
        expected.insert(r);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(h.Idle());
    EXPECT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
    EXPECT_EQ(driver.Shutdown(), 0u);
}

// Imaging and tracking lines of one camera read from different threads at
// once: each CCD's rows come off in order, neither disturbs the other.
TEST(OneDevice, ImagingAndTrackingLinesFromDifferentThreads) {
    BootedDriver driver;
    ASSERT_TRUE(driver.Boot({"sim:gannet?scene=pattern"}));
    const CameraHandle& h = driver[0];
    ASSERT_EQ(h.Link(), STATUS_SUCCESS);
    std::uint16_t tracking_offset = 0;
    ASSERT_EQ(h.Word(CmdReadOffset, 1, 2, &tracking_offset), STATUS_SUCCESS);
    ASSERT_EQ(h.Expose(0), STATUS_SUCCESS);
    ASSERT_EQ(h.Expose(1), STATUS_SUCCESS);

    constexpr int kLines = 30;
    std::vector<int> imaging_rows, tracking_rows;
    std::thread imaging([&] {
        std::vector<std::uint16_t> line;
        for (int k = 0; k < kLines; ++k) {
            const NTSTATUS s = h.Line(0, 0, 30, 40, &line);
            imaging_rows.push_back(s == STATUS_SUCCESS ? RowOf(line, 30, kGannetRows) : -2);
        }
    });
    std::thread tracking([&] {
        // The tracking CCD's window sits at the right of the image, raw
        // samples on the converter's offset; 13 r mod 1000 names the row.
        constexpr int kStart = 150, kLength = 30;
        std::vector<std::uint16_t> line;
        for (int k = 0; k < kLines; ++k) {
            if (h.Line(1, 0, kStart, kLength, &line) != STATUS_SUCCESS) {
                tracking_rows.push_back(-2);
                continue;
            }
            int row = -1;
            for (int r = 0; r < driver::kTrackingDual.ActiveRows && row < 0; ++r) {
                bool match = true;
                for (int i = 0; i < kLength && match; ++i) {
                    match = line[i] == tracking_offset + zeva::test::PatternTracking(r, kStart + i);
                }
                row = match ? r : -1;
            }
            tracking_rows.push_back(row);
        }
    });
    imaging.join();
    tracking.join();
    std::vector<int> in_order(kLines);
    for (int r = 0; r < kLines; ++r) {
        in_order[r] = r;
    }
    EXPECT_EQ(imaging_rows, in_order);
    EXPECT_EQ(tracking_rows, in_order);
    EXPECT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
    EXPECT_EQ(h.Word(CmdEndReadout, 1), STATUS_SUCCESS);
    EXPECT_TRUE(h.Idle());
    EXPECT_EQ(driver.Shutdown(), 0u);
}

// One camera's whole sequence: link, exposure, dumped rows, window lines.
// Returns the number of wrong pixels (or failed commands).
int ReadFrameWindow(const CameraHandle& h, std::uint16_t type, int start, int length, int skip,
                    int lines) {
    int wrong = 0;
    std::uint16_t linked = 0;
    if (h.Link(&linked) != STATUS_SUCCESS || linked != type) {
        return 1000;
    }
    if (h.Expose(0, 5) != STATUS_SUCCESS || h.Dump(0, 0, skip) != STATUS_SUCCESS) {
        return 1000;
    }
    std::vector<std::uint16_t> line;
    for (int k = 0; k < lines; ++k) {
        if (h.Line(0, 0, start, length, &line) != STATUS_SUCCESS) {
            ++wrong;
            continue;
        }
        for (int i = 0; i < length; ++i) {
            wrong += line[i] == test::ImagingPixel(skip + k, start + i) ? 0 : 1;
        }
    }
    wrong += h.Word(CmdEndReadout, 0) == STATUS_SUCCESS ? 0 : 1;
    return wrong;
}

// Two ports, two cameras, one thread each, on the real clock (one virtual
// clock would let each thread's delays run the other's timeouts out).
TEST(TwoDevices, RunTheirSequencesInParallel) {
    BootedDriver driver;
    ASSERT_TRUE(driver.Boot({"sim:gannet?scene=pattern", "sim:kestrel?scene=pattern"},
                            platform::ClockMode::Real));
    ASSERT_EQ(driver.size(), 2u);
    int wrong[2] = {-1, -1};
    // Two sessions each, so that the one-second device timers run meanwhile.
    std::thread first([&] {
        wrong[0] = ReadFrameWindow(driver[0], 4, 20, 30, 11, 6) +
                   ReadFrameWindow(driver[0], 4, 300, 40, 2, 4);
    });
    std::thread second([&] {
        wrong[1] = ReadFrameWindow(driver[1], 13, 50, 30, 4, 6) +
                   ReadFrameWindow(driver[1], 13, 700, 40, 9, 4);
    });
    // Meanwhile both devices are asked for their temperature from here.
    int bad_temperature = 0;
    for (int i = 0; i < 20; ++i) {
        for (std::size_t d = 0; d < 2; ++d) {
            std::vector<std::uint8_t> b(rec::TemperatureStatusResults::kSize, 0);
            const NTSTATUS s = driver[d].Call(CmdQueryTemperatureStatus, b, 0, 10);
            bad_temperature += s == STATUS_SUCCESS && SaneTemperature(b) ? 0 : 1;
        }
    }
    first.join();
    second.join();
    EXPECT_EQ(wrong[0], 0) << "gannet";
    EXPECT_EQ(wrong[1], 0) << "kestrel";
    EXPECT_EQ(bad_temperature, 0);
    EXPECT_TRUE(driver[0].Idle());
    EXPECT_TRUE(driver[1].Idle());
    EXPECT_EQ(driver.Shutdown(), 0u);
}

}  // namespace
