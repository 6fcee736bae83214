// Exposures, command status, relays, pulses, serial and tip-tilt against the
// scripted camera, with the CCD clocking they cause counted at the port.
#include "driver/ops/exposure.h"

#include <gtest/gtest.h>

#include "driver/frame/routines.h"
#include "driver/ops/guiding.h"
#include "platform/system.h"
#include "tests/driver/ops/unit/ops_camera.h"

namespace zeva::driver {
namespace {

// Gannet geometry the clears and dumps work on.
constexpr int kImagingRows = 521;
constexpr int kImagingColumns = 795;
constexpr int kImagingLeft = 15;
constexpr int kTrackingRows = 163;

class ExposureTest : public OpsTest {
  protected:
    NTSTATUS Start(std::uint16_t ccd, std::uint32_t time, std::uint16_t shutter = 0) {
        std::uint8_t p[12] = {};
        le::Put16(p, 0, ccd);
        le::Put32(p, 4, time);
        le::Put16(p, 10, shutter);
        return StartExposure(state, p);
    }
    NTSTATUS End(std::uint16_t word) {
        std::uint8_t p[2];
        le::Put16(p, 0, word);
        return EndExposure(state, p);
    }
    NTSTATUS Query(std::int16_t command, std::uint16_t* out) {
        std::uint8_t p[2];
        le::Put16(p, 0, static_cast<std::uint16_t>(command));
        const NTSTATUS s = QueryCommandStatus(state, p, p);
        *out = le::Get16(p, 0);
        return s;
    }
    // The status word of a command that is expected to be answered.
    std::uint16_t Word(std::int16_t command) {
        std::uint16_t s = 0xEEEE;
        EXPECT_EQ(Query(command, &s), 0u) << command;
        return s;
    }
    // The exposure time and the control byte the last start command carried.
    int SentTime() {
        const Bytes b = micro.LastData(MicroStartExposure);
        return b.size() < 4 ? -1 : b[0] << 16 | b[1] << 8 | b[2];
    }
    int SentControl() {
        const Bytes b = micro.LastData(MicroStartExposure);
        return b.size() < 4 ? -1 : b[3];
    }
};

// --- exposures

TEST_F(ExposureTest, ExposureTimeAdjustments) {
    LinkAs(0, 4);
    ASSERT_EQ(Start(0, 5, 1), 0u);
    EXPECT_EQ(SentTime(), 0);
    ASSERT_EQ(Start(0, 500, 1), 0u);
    EXPECT_EQ(SentTime(), 489);
    EXPECT_EQ(SentControl() & 0x0C, 0x04);
    ASSERT_EQ(Start(1, 0x01000000), 0u);
    EXPECT_EQ(SentTime(), 0);
    EXPECT_EQ(SentControl() & 0x10, 0x10);
    ASSERT_EQ(Start(1, 0x00FFFFFF), 0u);
    EXPECT_EQ(SentTime(), 65535);
    EXPECT_EQ(state->ExposureActive[1], 2u);
    EXPECT_EQ(state->MiscLed, 3);
}

TEST_F(ExposureTest, CcdAboveMaxIsRefusedWithoutTraffic) {
    LinkAs(0, 13);
    EXPECT_EQ(Start(1, 100), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(End(1), ErrorStatus(ErrBadParameter));
    EXPECT_TRUE(micro.Packets().empty());
}

TEST_F(ExposureTest, ImagingStartClearsWithFourPassesAndMeasuresTheBias) {
    LinkAs(0, 4);
    ASSERT_EQ(Start(0, 100), 0u);
    // Four passes over the whole array, each row flushed by one ten-cell
    // clock; then the bias row: the register flushed, the row shifted in, its
    // left border and two cells skipped, 100 samples.
    EXPECT_EQ(micro.Clocked().rows, 4 * kImagingRows + 1);
    EXPECT_EQ(micro.Clocked().cells,
              4 * kImagingRows * 10 + kImagingColumns + kImagingLeft + 2 + 100);
    EXPECT_EQ(micro.Clocked().samples, 100);
    EXPECT_EQ(micro.Latched(0x10), 4);  // supply off again
    EXPECT_EQ(le::Get16(reinterpret_cast<std::uint8_t*>(state->CommandStatus), 2), 2);
}

TEST_F(ExposureTest, TrackingClearPassesDependOnTheTimeSinceTheLastClear) {
    LinkAs(0, 4);
    platform::PlatformSleepMs(10'000);
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(micro.Clocked().tracking_rows, 4 * kTrackingRows);
    micro.ResetClocking();
    platform::PlatformSleepMs(200);
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(micro.Clocked().tracking_rows, kTrackingRows);
    micro.ResetClocking();
    platform::PlatformSleepMs(400);
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(micro.Clocked().tracking_rows, 4 * kTrackingRows);
    EXPECT_EQ(micro.Clocked().rows, 0);
}

TEST_F(ExposureTest, FailedClearSendsNoStartAndLeavesTheCcdIdle) {
    LinkAs(0, 4);
    micro.SetBusyStuck(true);
    EXPECT_EQ(Start(0, 100), ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 0);
    EXPECT_EQ(state->ExposureActive[0], 0u);
}

TEST_F(ExposureTest, BadShutterStillLeavesTheExposureRunning) {
    LinkAs(0, 4);
    Status({0, 0, 12});
    EXPECT_EQ(Start(0, 100), ErrorStatus(ErrShutter));
    EXPECT_EQ(state->ExposureActive[0], 2u);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 1);
}

TEST_F(ExposureTest, SingleCcdStartMeasuresBiasAndSetsRegisterZero) {
    LinkAs(3);
    micro.Expect(MicroCommand12);
    micro.Expect(MicroStartExposure);
    ASSERT_EQ(Start(0, 100), 0u);
    // No clear: the bias from 25 samples of the emptied register (two
    // lines' worth of its 682 cells, then two more).
    EXPECT_EQ(micro.Clocked().rows, 0);
    EXPECT_EQ(micro.Clocked().cells, 2 * 682 + 2 + 25);
    EXPECT_EQ(micro.Clocked().samples, 25);
    EXPECT_EQ(micro.PacketsOf(MicroMiscControl), 0);
    EXPECT_EQ(micro.Latched(0x00), 4);
}

// The same end with and without its wait differ by the shutter's time alone.
TEST_F(ExposureTest, EndExposureWaitsForTheShutterAndDumpsTheTopRows) {
    LinkAs(0, 4);
    auto end_ns = [&](std::uint16_t ccd, std::uint16_t shutter, std::uint16_t word) {
        EXPECT_EQ(Start(ccd, 100, shutter), 0u);
        micro.ResetClocking();
        return ElapsedNs([&] { EXPECT_EQ(End(word), 0u); });
    };
    const std::int64_t imaging = end_ns(0, 1, 0x8000);
    EXPECT_EQ(micro.Clocked().rows, 5);
    EXPECT_EQ(state->Geometry[0].TopRows, 5);
    EXPECT_EQ(end_ns(0, 1, 0) - imaging, 300'000'000);  // shutter open
    EXPECT_EQ(end_ns(0, 0, 0) - imaging, 424'000'000);  // shutter closed
    const std::int64_t tracking = end_ns(1, 0, 0x8001);
    EXPECT_EQ(micro.Clocked().tracking_rows, state->Geometry[1].TopRows);
    EXPECT_EQ(micro.Clocked().cells, 208);  // the tracking register flushed
    EXPECT_EQ(end_ns(1, 0, 1) - tracking, 424'000'000);
    EXPECT_EQ(state->ExposureActive[1], 0u);
    EXPECT_EQ(state->MiscLed, 1);
}

TEST_F(ExposureTest, StatusQueryMarksFinishedExposures) {
    LinkAs(0, 4);
    Status({0x0F, 0, 8});  // both CCDs still exposing
    ASSERT_EQ(Start(0, 100), 0u);
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(Word(1), 0x000A);
    Status({0x0C, 0, 8});
    EXPECT_EQ(Word(1), 0x000B);
    Status({0, 0, 8});
    EXPECT_EQ(Word(1), 0x000F);
    ASSERT_EQ(End(0x8000), 0u);
    EXPECT_EQ(Word(1), 0x000C);
}

TEST_F(ExposureTest, DeferredStartWaitsForTheHoldFlag) {
    LinkAs(0, 4);
    Status({0, 0x04, 8});  // hold flag
    ASSERT_EQ(Start(1, 0x80000064), 0u);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 0);
    micro.ResetClocking();
    EXPECT_EQ(Word(1), 0x8000);
    EXPECT_EQ(Word(1), 0x8000);
    EXPECT_EQ(micro.Clocked().tracking_rows, 2);  // one line dumped per query
    Status({0x0C, 0, 8});
    EXPECT_EQ(Word(1), 0x0008);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 1);
    EXPECT_EQ(SentTime(), 0x64);
}

TEST_F(ExposureTest, DeferredImagingStartAndAReplacingStart) {
    LinkAs(0, 4);
    Status({0, 0x04, 8});  // hold flag
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    EXPECT_EQ(micro.Clocked().rows, 4 * kImagingRows + 1);  // cleared now, started later
    micro.ResetClocking();
    EXPECT_EQ(Word(1), 0x8000);
    EXPECT_EQ(micro.Clocked().rows, 1);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 0);
    Status({0x02, 0, 8});
    EXPECT_EQ(Word(1), 0x0002);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 1);
    EXPECT_EQ(Word(1), 0x0002);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 1);  // started once only
    // A plain start replaces a pending one.
    ASSERT_EQ(End(0x8000), 0u);
    Status({0x02, 0x04, 8});
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    ASSERT_EQ(Start(0, 0x20), 0u);
    EXPECT_EQ(state->PendingStart, 0);
    EXPECT_EQ(micro.PacketsOf(MicroStartExposure), 2);
    EXPECT_EQ(SentTime(), 0x20);
    EXPECT_EQ(Word(1), 0x0002);
}

TEST_F(ExposureTest, DeferStartIsIgnoredOnSingleCcdCameras) {
    LinkAs(3);
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    EXPECT_EQ(state->PendingStart, 0);
    EXPECT_EQ(state->ExposureActive[0], 2u);
}

TEST_F(ExposureTest, StatusQueryBoundsAndOtherCommands) {
    LinkAs(0, 4);
    std::uint16_t s = 0;
    EXPECT_EQ(Query(96, &s), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(s, 96);  // the request is left as it was
    EXPECT_EQ(Query(-1, &s), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(Word(3), 0);
    Word(95);
    EXPECT_TRUE(micro.Packets().empty());
    Status({0, 0xA6, 8});        // relays 0 and 2, pulse, hold
    EXPECT_EQ(Word(7), 0x0005);  // relay i shows with weight 8 >> i
    EXPECT_EQ(Word(8), 0x8001);
    Status({0xB0, 0x01, 0x09});
    EXPECT_EQ(Word(13), 0x09 | 1 << 8 | 3 << 9 | 2 << 11);
    micro.Expect(MicroGetStatus).Fail(test::MicroFault::NoReply);
    EXPECT_EQ(Query(13, &s), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(s, 0x09 | 1 << 8 | 3 << 9 | 2 << 11);
}

TEST_F(ExposureTest, MiscellaneousControlKeepsOldFieldsOnFailureAndWaitsForCommand3) {
    LinkAs(0, 4);
    std::uint8_t p[6];
    le::Put16(p, 0, 0);
    le::Put16(p, 2, 2);
    le::Put16(p, 4, 2);
    micro.Expect(MicroMiscControl).Fail(test::MicroFault::Nak);
    EXPECT_EQ(MiscellaneousControl(state, p), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(state->MiscFan, 1);
    const std::int64_t plain = ElapsedNs([&] { EXPECT_EQ(MiscellaneousControl(state, p), 0u); });
    le::Put16(p, 2, 3);
    const std::int64_t waited = ElapsedNs([&] { EXPECT_EQ(MiscellaneousControl(state, p), 0u); });
    EXPECT_EQ(waited - plain, 3'000'000'000);
    EXPECT_EQ(state->MiscFan, 0);
    EXPECT_EQ(state->MiscShutter, 3);
    EXPECT_EQ(micro.LastData(MicroMiscControl), (Bytes{0x0B}));
}

// --- relays, pulses, serial, tip-tilt

TEST_F(ExposureTest, RelayEncodingAndClick) {
    LinkAs(0, 4);
    std::uint8_t p[8] = {};
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(test::SpeakerClicks(), 0);
    EXPECT_EQ(micro.LastData(MicroActivateRelay), (Bytes{0, 0, 0, 0, 0}));
    le::Put16(p, 0, 300);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(test::SpeakerClicks(), 1);
    EXPECT_EQ(micro.LastData(MicroActivateRelay), (Bytes{18, 0, 0, 0, 1}));
    // Up to 255 the times go as they are; one above scales all four, and a
    // time that scales to 0 is off.
    const std::uint16_t unscaled[4] = {255, 1, 0, 7};
    for (int i = 0; i < 4; ++i) le::Put16(p, 2 * i, unscaled[i]);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(micro.LastData(MicroActivateRelay), (Bytes{255, 1, 0, 7, 0}));
    const std::uint16_t scaled[4] = {15, 256, 4095, 65535};
    for (int i = 0; i < 4; ++i) le::Put16(p, 2 * i, scaled[i]);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(micro.LastData(MicroActivateRelay), (Bytes{0, 16, 255, 255, 1}));
    EXPECT_EQ(test::SpeakerClicks(), 3);
    // No click when the camera refuses.
    micro.Expect(MicroActivateRelay).Fail(test::MicroFault::Nak);
    EXPECT_EQ(ActivateRelay(state, p), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(test::SpeakerClicks(), 3);
}

TEST_F(ExposureTest, PulseEncoding) {
    LinkAs(0, 4);
    std::uint8_t p[6];
    le::Put16(p, 0, 3);
    le::Put16(p, 2, 100);
    le::Put16(p, 4, 200);
    ASSERT_EQ(PulseOut(state, p), 0u);
    EXPECT_EQ(micro.LastData(MicroPulseOut), (Bytes{3, 0x00, 0x5B, 0x00, 0x47}));
    const struct {
        std::uint16_t count, width, period;
        Bytes sent;
    } cases[] = {
        {3, 100, 120, {3, 0x00, 0x5B, 0, 0}},           // period too short: no gap
        {3, 0, 50, {3, 0, 0, 0x00, 0x07}},              // no width: period clamped to 7
        {300, 5, 1000, {255, 0x00, 0x01, 0x03, 0xC1}},  // width at least 1; 1000 - 1 - 38
        {1, 0x1234, 0xFFFF, {1, 0x12, 0x2B, 0xED, 0xAE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        le::Put16(p, 0, c.count);
        le::Put16(p, 2, c.width);
        le::Put16(p, 4, c.period);
        ASSERT_EQ(PulseOut(state, p), 0u);
        EXPECT_EQ(micro.LastData(MicroPulseOut), c.sent);
    }
}

TEST_F(ExposureTest, TipTiltPacketAndIncompleteReply) {
    LinkAs(0, 4);
    micro.Expect(MicroTxSerial).Reply({9});
    micro.Expect(MicroTxSerial).Reply({8});
    std::uint8_t p[4];
    le::Put16(p, 0, 0x0800);
    le::Put16(p, 2, 0x0800);
    ASSERT_EQ(AOTipTilt(state, p), 0u);
    EXPECT_EQ(micro.LastData(MicroTxSerial),
              (Bytes{9, 0xA5, 0x10, 0x05, 0x01, 0x08, 0x00, 0x08, 0x00, 0xCB}));
    EXPECT_EQ(AOTipTilt(state, p), ErrorStatus(ErrTipTiltIncomplete));
}

TEST_F(ExposureTest, SerialBytesCountLimitAndReply) {
    LinkAs(0, 4);
    std::uint8_t p[300] = {};
    std::uint16_t sent = 0xEEEE;
    le::Put16(p, 0, 256);
    EXPECT_EQ(TxSerialBytes(state, p, &sent), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(sent, 0xEEEE);
    EXPECT_TRUE(micro.Packets().empty());
    le::Put16(p, 0, 0);
    micro.Expect(MicroTxSerial).Reply({0});
    ASSERT_EQ(TxSerialBytes(state, p, &sent), 0u);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(micro.Packets().back().nibbles, (Bytes{0xA, 0x5, 0xB, 0, 0, 0}));
}

TEST_F(ExposureTest, SerialStatusTurboFocusAndDelay) {
    LinkAs(0, 4);
    std::uint8_t b[4] = {0xEE, 0xEE, 0, 0};
    Status({0, 0x04, 8});
    ASSERT_EQ(GetSerialStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 1);
    LinkAs(1);
    Status({0, 0x04});
    ASSERT_EQ(GetSerialStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 0);
    micro.ClearPackets();
    b[0] = b[1] = 0xEE;
    EXPECT_EQ(GetTurboStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 0);
    EXPECT_EQ(AOSetFocus(state, b), 0u);
    EXPECT_TRUE(micro.Packets().empty());
    // A clock read costs a microsecond: no wait reads it once; a wait ends
    // as soon as its time has passed.
    le::Put32(b, 0, 0);
    EXPECT_LE(ElapsedNs([&] { EXPECT_EQ(AODelay(state, b), 0u); }), 1000);
    le::Put32(b, 0, 40000);
    const std::int64_t waited = ElapsedNs([&] { EXPECT_EQ(AODelay(state, b), 0u); });
    EXPECT_GE(waited, 40'000'000);
    EXPECT_LT(waited, 40'010'000);
    // A second is the longest wait; more is refused without waiting at all.
    le::Put32(b, 0, kMaxAODelayMicroseconds);
    EXPECT_EQ(AODelay(state, b), 0u);
    for (std::uint32_t us : {kMaxAODelayMicroseconds + 1, 0xFFFFFFFFu}) {
        le::Put32(b, 0, us);
        EXPECT_EQ(ElapsedNs([&] { EXPECT_EQ(AODelay(state, b), ErrorStatus(ErrBadParameter)); }), 0)
            << us;
    }
}

}  // namespace
}  // namespace zeva::driver
