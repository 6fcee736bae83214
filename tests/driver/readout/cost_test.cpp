// The pixel loops make exactly the port accesses the hardware needs: on a
// port that is never busy, each sample costs the busy wait (a select write
// and one status read), the pixel clock (two register writes, four port
// writes each) and the four nibbles (a select write and a status read each).
#include <cstdint>
#include <memory>

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"
#include "driver/ops/link.h"
#include "driver/readout/readout.h"
#include "platform/system.h"
#include "support/booted_driver.h"
#include "tests/driver/readout/rig.h"

namespace zeva::driver::testing {
namespace {

constexpr std::size_t kSampleWrites = 1 + 8 + 4;
constexpr std::size_t kSampleReads = 1 + 4;
// A flush clock: the clock's two register writes, then CameraIn's select and read.
constexpr std::size_t kClockWrites = 8 + 1;
constexpr std::size_t kClockReads = 1;

// A port whose status reads `status` (0: never busy, every nibble 0), counting
// accesses; after `busy_after` status reads its busy flag sticks.
class CountingPort : public platform::PortBackend {
  public:
    std::size_t reads = 0, writes = 0, status_reads = 0;
    std::uint8_t status = 0;
    std::size_t busy_after = SIZE_MAX;

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        ++reads;
        if (offset != 1)
            return 0;
        return ++status_reads > busy_after ? static_cast<std::uint8_t>(status | 0x80) : status;
    }
    void DoWrite(std::uint32_t, std::uint8_t) override { ++writes; }
};

class PixelLoopCost : public ::testing::Test {
  protected:
    // The driver loaded on the counting port, its device state set up for
    // a Gannet (link establishment cannot run on this port).
    void SetUp() override {
        auto backend = std::make_unique<CountingPort>();
        port = backend.get();
        std::vector<platform::PortConfig> ports;
        ports.push_back(zeva::test::BootedDriver::Port("counting", std::move(backend)));
        ASSERT_EQ(session_.Load(std::move(ports)), STATUS_SUCCESS);
        ASSERT_TRUE(session_.Open(0));
        state = session_[0].State();
        ASSERT_NE(state, nullptr);
        state->CameraType = kCameraGannet;
        state->MaxCCD = 1;
        InitCCDInfo(state);
    }

    // Accesses of the line of `length` pixels minus those of the 10-pixel line.
    void LineDifference(std::uint16_t ccd, std::uint8_t mode, std::uint16_t length,
                        std::size_t* writes, std::size_t* reads) {
        std::size_t w[2], r[2];
        const std::uint16_t lengths[2] = {10, length};
        for (int k = 0; k < 2; ++k) {
            std::vector<std::uint8_t> b = ReadoutRig::LineRequest(ccd, mode, 1, 0, lengths[k]);
            PrepareReadoutLine(state, b.data());
            const std::size_t w0 = port->writes, r0 = port->reads;
            ASSERT_EQ(ReadoutLine(state, b.data()), 0);
            w[k] = port->writes - w0;
            r[k] = port->reads - r0;
        }
        *writes = w[1] - w[0];
        *reads = r[1] - r[0];
    }

    CountingPort* port = nullptr;
    DeviceState* state = nullptr;

  private:
    zeva::test::BootedDriver session_;
};

TEST_F(PixelLoopCost, ImagingSampleCostsThirteenWritesAndFiveReads) {
    std::size_t writes = 0, reads = 0;
    LineDifference(0, 0, 30, &writes, &reads);
    // 20 more samples; the trailing flush is 20 columns (two fast clocks) shorter.
    EXPECT_EQ(writes, 20 * kSampleWrites - 2 * kClockWrites);
    EXPECT_EQ(reads, 20 * kSampleReads - 2 * kClockReads);
}

TEST_F(PixelLoopCost, TrackingMeanTakesTwoSamplesPerPixel) {
    std::size_t writes = 0, reads = 0;
    LineDifference(1, 0, 30, &writes, &reads);
    // The skip from the right end is 20 columns (two fast clocks) shorter.
    EXPECT_EQ(writes, 20 * kSampleWrites - 2 * kClockWrites);
    EXPECT_EQ(reads, 20 * kSampleReads - 2 * kClockReads);
    LineDifference(1, 1, 30, &writes, &reads);
    EXPECT_EQ(writes, 40 * kSampleWrites - 4 * kClockWrites);
    EXPECT_EQ(reads, 40 * kSampleReads - 4 * kClockReads);
}

TEST_F(PixelLoopCost, FinchAddsThreeSamplesInModeTwo) {
    state->CameraType = kCameraFinch;
    state->MaxCCD = 0;
    std::size_t writes = 0, reads = 0;
    LineDifference(0, 2, 30, &writes, &reads);
    EXPECT_EQ(writes, 60 * kSampleWrites);
    EXPECT_EQ(reads, 60 * kSampleReads);
}

// Port accesses of one more row in the array clear (rows 2 against rows 1).
void ClearRowCost(DeviceState* state, CountingPort* port, std::size_t* writes, std::size_t* reads) {
    std::size_t w[2], r[2];
    const GeometryRecord& g = state->Geometry[0];
    for (int k = 0; k < 2; ++k) {
        const std::size_t w0 = port->writes, r0 = port->reads;
        ASSERT_EQ(ClearImagingArray(state, static_cast<std::uint16_t>(k + 1), g.TotalColumns, 1,
                                    g.LeftColumns),
                  0);
        w[k] = port->writes - w0;
        r[k] = port->reads - r0;
    }
    *writes = w[1] - w[0];
    *reads = r[1] - r[0];
}

TEST_F(PixelLoopCost, KestrelPacesItsClearWithClocksAndUsesTheLongDelayUnit) {
    std::size_t writes = 0, reads = 0;
    state->CameraType = kCameraGannet;
    ClearRowCost(state, port, &writes, &reads);
    // Six phase writes with a 10-read delay each, then one clock.
    EXPECT_EQ(writes, 6 * 4 + kClockWrites);
    EXPECT_EQ(reads, 6 * 10 + kClockReads);
    state->CameraType = kCameraKestrel;
    ClearRowCost(state, port, &writes, &reads);
    // Six phase writes paced by 2, 2, 2, 2, 2 and 6 clocks, no delay unit.
    EXPECT_EQ(writes, 6 * 4 + 16 * kClockWrites);
    EXPECT_EQ(reads, 16 * kClockReads);
    // A dumped row waits the delay unit after each of its four phase writes.
    const std::size_t r0 = port->reads;
    ASSERT_EQ(DumpImagingLines(state, 0, 1, 1), 0);
    EXPECT_EQ(port->reads - r0, 4u * 100);
}

// Every nibble reads 1, so each completed sample reads 0x1111.
constexpr std::uint8_t kNibbleOne = 0x08;

TEST_F(PixelLoopCost, StuckBusyMidLineKeepsThePixelsSoFar) {
    port->status = kNibbleOne;
    // Before the first sample: the full flush (79 + 5 clocks), the skip of the
    // 15 left columns (1 + 5 clocks) and the 2 undigitized clocks, one status
    // read each; then 5 per sample.  Stick during the eighth sample.
    port->busy_after = 84 + 6 + 2 + 7 * kSampleReads;
    std::vector<std::uint8_t> b = ReadoutRig::LineRequest(0, 0, 0, 0, 20);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrDigitizerTimeout));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(ReadoutRig::Pixel(b, i), i < 7 ? 0x1111 : 0) << i;
}

TEST_F(PixelLoopCost, StuckBusyMidTrackingLineKeepsTheRightHandPixels) {
    port->status = kNibbleOne;
    // The flush of the 208-cell register (20 + 8 clocks), the skip of
    // 190 - 20 + 6 = 176 columns (17 + 6 clocks), 2 undigitized clocks, 3 samples.
    port->busy_after = 28 + 23 + 2 + 3 * kSampleReads;
    std::vector<std::uint8_t> b = ReadoutRig::LineRequest(1, 0, 0, 0, 20);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrDigitizerTimeout));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(ReadoutRig::Pixel(b, i), i >= 17 ? 0x1111 : 0) << i;
}

}  // namespace
}  // namespace zeva::driver::testing
