// The simulated microcontroller driven through hand-written port sequences.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "sim/wire.h"

namespace zeva::sim {
namespace {

using testing::FakeHost;
using testing::Wire;
using Nibbles = std::vector<std::uint8_t>;

struct Rig {
    explicit Rig(Options o = {}) : cam(o), wire(cam) { cam.Attach(&host); }
    static Options For(Model m) {
        Options o;
        o.model = m;
        return o;
    }
    FakeHost host;
    Camera cam;
    Wire wire;
};

std::vector<std::uint8_t> Status(Rig& r, std::size_t bytes = 3) {
    return Wire::Bytes(r.wire.Exchange(9, {}, 4 + 2 * bytes));
}

TEST(MicroVersion, AnswersBlockWithModelNumberPerModel) {
    struct Case {
        Model m;
        unsigned modelNumber;
    } cases[] = {{Model::Gannet, 0}, {Model::Kestrel, 0}, {Model::Egret, 1},
                 {Model::Finch, 3},  {Model::Siskin, 3},  {Model::Model9, 4}};
    for (const Case& c : cases) {
        Rig r(Rig::For(c.m));
        const Nibbles reply = r.wire.Exchange(6, {}, 8);
        ASSERT_EQ(reply.size(), 8u) << ModelName(c.m);
        EXPECT_EQ(reply[0], 0xA);
        EXPECT_EQ(reply[1], 0x5);
        EXPECT_EQ(reply[2], 6);
        EXPECT_EQ(reply[3], 2);
        EXPECT_EQ(reply[4], c.modelNumber) << ModelName(c.m);
    }
}

TEST(MicroHandshake, LineFollowsHostToggleWhileStartBitSet) {
    Rig r;
    r.wire.Out(0x30, 4);
    EXPECT_TRUE(r.wire.Ready());
    r.wire.Out(0x30, 1);  // toggle without the start bit: not a packet
    EXPECT_FALSE(r.wire.Ready());
    EXPECT_EQ(r.cam.PacketsTaken(), 0u);
}

TEST(MicroHandshake, CutExchangeDoesNotPoisonTheNext) {
    Rig r;
    // Half a packet, then a fresh start.
    ASSERT_TRUE(r.wire.Send({0xA, 0x5, 0x7}));
    r.wire.Out(0x30, 0);
    const Nibbles reply = r.wire.Exchange(3, {}, 14);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[2], 3);
    EXPECT_EQ(reply[3], 5);
}

TEST(MicroHandshake, LatencyDelaysTheLineByStatusReads) {
    Options o;
    o.latency = 3;
    Rig r(o);
    r.wire.Out(0x30, 4);
    ASSERT_TRUE(r.wire.Ready());
    r.wire.MicroOut(0xA);
    int notReady = 0;
    while (!r.wire.Ready() && notReady < 10) ++notReady;
    EXPECT_EQ(notReady, 3);
    // A whole exchange still works.
    EXPECT_EQ(r.wire.Exchange(6, {}, 8).size(), 8u);
}

TEST(MicroTemperature, DefaultReadingIsAmbientOnTheCalibration) {
    Rig r;
    const auto b = Wire::Bytes(r.wire.Exchange(3, {}, 14));
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0], 0);         // regulation off
    EXPECT_EQ(b[3] * 16, 992);  // reading 1000 = +25 C, top 8 bits
    EXPECT_EQ(b[4], 0);         // no power
}

TEST(MicroTemperature, RegulationCoolsTowardSetpoint) {
    Rig r;
    // Setpoint reading 2000 (0 C), initial power 100.
    ASSERT_EQ(r.wire.Exchange(2, {1, 2000 >> 4, 100}, 2), (Nibbles{0, 6}));
    r.host.AdvanceMs(10 * 60 * 1000);
    const auto b = Wire::Bytes(r.wire.Exchange(3, {}, 14));
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 2000 >> 4);
    EXPECT_NEAR(b[3] * 16, 2000, 48);
    EXPECT_GT(b[4], 0);
    // Fixed power 255 cannot go further than 40 C below ambient.
    ASSERT_EQ(r.wire.Exchange(2, {2, 255, 0}, 2), (Nibbles{0, 6}));
    r.host.AdvanceMs(30 * 60 * 1000);
    const CoolerInfo c = r.cam.Cooler();
    EXPECT_NEAR(c.ccdCelsius, -15.0, 0.5);
    EXPECT_EQ(c.power, 255u);
}

TEST(MicroFreeze, CommandOneThirtyArrivesAsTwoAndIsAcknowledged) {
    Rig r(Rig::For(Model::Model9));
    // The command byte 0x82 goes out through register 0x20 as 0xA2.
    ASSERT_EQ(r.wire.Exchange(0x82, {0x18, 0, 0}, 2), (Nibbles{0, 6}));
    EXPECT_TRUE(r.cam.Cooler().frozen);
    ASSERT_EQ(r.wire.Exchange(0x82, {0x10, 0, 0}, 2), (Nibbles{0, 6}));
    EXPECT_FALSE(r.cam.Cooler().frozen);
}

TEST(MicroEeprom, GoodImageHasRightChecksumTypeAndText) {
    for (Model m : {Model::Gannet, Model::Heron, Model::Ibis, Model::Jacana, Model::Kestrel}) {
        Rig r(Rig::For(m));
        std::uint8_t img[32];
        for (int a = 0; a < 32; ++a) {
            const auto b =
                Wire::Bytes(r.wire.Exchange(7, {static_cast<std::uint8_t>(0x80 | a), 0}, 6));
            ASSERT_EQ(b.size(), 1u);
            img[a] = b[0];
        }
        unsigned sum = 0;
        for (int i = 2; i < 32; ++i) sum += img[i];
        EXPECT_EQ(img[0] | (img[1] << 8), 0xFFFF - static_cast<int>(sum)) << ModelName(m);
        EXPECT_EQ(img[2], 1);
        EXPECT_EQ(img[3], InfoFor(m).type);
        bool terminated = false;
        for (int i = 22; i < 32; ++i) terminated = terminated || img[i] == 0;
        EXPECT_TRUE(terminated);
        EXPECT_NE(img[22], 0);
    }
}

TEST(MicroEeprom, FaultImages) {
    auto image = [](EepromImage e, int type) {
        Options o;
        o.eeprom = e;
        o.eepromType = type;
        return Camera(o).Eeprom();
    };
    auto checksumOk = [](const std::array<std::uint8_t, 32>& img) {
        unsigned sum = 0;
        for (int i = 2; i < 32; ++i) sum += img[i];
        return (img[0] | (img[1] << 8)) == static_cast<int>(0xFFFF - sum);
    };
    const auto blank = image(EepromImage::Blank, -1);
    for (std::uint8_t b : blank) EXPECT_EQ(b, 0xFF);
    EXPECT_FALSE(checksumOk(image(EepromImage::BadSum, -1)));
    const auto v0 = image(EepromImage::Version0, -1), v2 = image(EepromImage::Version2, -1);
    EXPECT_TRUE(checksumOk(v0));
    EXPECT_EQ(v0[2], 0);
    EXPECT_TRUE(checksumOk(v2));
    EXPECT_EQ(v2[2], 2);
    const auto t12 = image(EepromImage::Good, 12);
    EXPECT_TRUE(checksumOk(t12));
    EXPECT_EQ(t12[3], 12);
    // Switched at run time, the image is rebuilt whole, checksum included.
    Options o;
    o.eeprom = EepromImage::BadSum;
    Camera cam(o);
    EXPECT_FALSE(checksumOk(cam.Eeprom()));
    cam.SetEeprom(EepromImage::Good);
    EXPECT_TRUE(checksumOk(cam.Eeprom()));
    EXPECT_EQ(cam.Eeprom(), image(EepromImage::Good, -1));
    cam.SetEeprom(EepromImage::Blank);
    EXPECT_EQ(cam.Eeprom(), blank);
}

TEST(MicroEeprom, AddressFiveReadPacketAndWrite) {
    Rig r;
    EXPECT_EQ(Wire::Packet(7, {0x85, 0}), (Nibbles{0xA, 0x5, 0x7, 0x2, 0x8, 0x5, 0, 0}));
    EXPECT_EQ(r.wire.Exchange(7, {0x05, 0x77}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(Wire::Bytes(r.wire.Exchange(7, {0x85, 0}, 6)), (std::vector<std::uint8_t>{0x77}));
}

TEST(MicroCommands, MalformedIsNakUnknownIsCan) {
    Rig r;
    EXPECT_EQ(r.wire.Exchange(8, {1, 2}, 2), (Nibbles{1, 5}));   // wrong length
    EXPECT_EQ(r.wire.Exchange(10, {}, 2), (Nibbles{1, 8}));      // no command 10
    EXPECT_EQ(r.wire.Exchange(12, {1, 0}, 2), (Nibbles{1, 8}));  // command 12 is type 8's
    Rig f(Rig::For(Model::Finch));
    EXPECT_EQ(f.wire.Exchange(12, {1, 0}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(f.wire.Exchange(4, {0, 0, 0, 0, 0}, 2), (Nibbles{1, 8}));
}

TEST(MicroExposure, TimerCountsTenMillisecondUnitsPerCcd) {
    Rig r;
    // Tracking CCD (control bit 4), 50 units = 0.5 s.
    ASSERT_EQ(r.wire.Exchange(0, {0, 0, 50, 0x10}, 2), (Nibbles{0, 6}));
    auto s = Status(r);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0] & 3, 0);
    EXPECT_NE(s[0] & 0xC, 0);
    EXPECT_EQ(s[2], 9);  // shutter status
    r.host.AdvanceMs(499);
    EXPECT_NE(Status(r)[0] & 0xC, 0);
    r.host.AdvanceMs(1);
    EXPECT_EQ(Status(r)[0], 0);
    // Imaging CCD ended early by command 1.
    ASSERT_EQ(r.wire.Exchange(0, {0, 1, 0, 0x04}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(Status(r)[0] & 3, 2);
    ASSERT_EQ(r.wire.Exchange(1, {0}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(Status(r)[0], 0);
    EXPECT_FALSE(r.cam.Exposure(0).exposing);
    EXPECT_EQ(r.cam.Exposure(0).units, 256u);
}

TEST(MicroExposure, SingleCcdStatusIsTwoBytesAndEndTakesNoData) {
    Rig r(Rig::For(Model::Egret));
    ASSERT_EQ(r.wire.Exchange(0, {0, 0, 10, 0}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(Wire::Bytes(r.wire.Exchange(9, {}, 8)), (std::vector<std::uint8_t>{2, 0}));
    ASSERT_EQ(r.wire.Exchange(1, {}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(Wire::Bytes(r.wire.Exchange(9, {}, 8)), (std::vector<std::uint8_t>{0, 0}));
}

TEST(MicroRelays, OnTimesCountDownAndShowInStatus) {
    Rig r;
    ASSERT_EQ(r.wire.Exchange(4, {0, 30, 0, 0, 0}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(r.cam.RelayRemainingNs(1), 300000000ull);
    EXPECT_EQ(Status(r)[1], 1 << 5);  // relay 1: weight 4 in the relay status
    r.host.AdvanceMs(300);
    EXPECT_EQ(Status(r)[1], 0);
    // Scale flag: 160 ms units.
    ASSERT_EQ(r.wire.Exchange(4, {18, 0, 0, 0, 1}, 2), (Nibbles{0, 6}));
    EXPECT_EQ(r.cam.RelayRemainingNs(0), 18 * 160000000ull);
}

TEST(MicroPulse, FlagSetWhilePulsesRun) {
    Rig r;
    ASSERT_EQ(r.wire.Exchange(5, {3, 0, 91, 0, 71}, 2), (Nibbles{0, 6}));
    EXPECT_TRUE(r.cam.PulseActive());
    EXPECT_EQ(Status(r)[1] & 2, 2);
    r.host.AdvanceMs(100);
    EXPECT_EQ(Status(r)[1] & 2, 0);
}

TEST(MicroSerial, TipTiltPacketCheckedAndHoldFlagWhileSending) {
    Rig r;
    const std::vector<std::uint8_t> tt = {0xA5, 0x10, 0x05, 0x01, 0x08, 0x00, 0x08, 0x00, 0xCB};
    Nibbles p = {0xA, 0x5, 0xB, 0x0, 0x0, 0x9};
    for (std::uint8_t b : tt) {
        p.push_back(b >> 4);
        p.push_back(b & 0xF);
    }
    ASSERT_TRUE(r.wire.Send(p));
    EXPECT_EQ(Wire::Bytes(r.wire.Reply(6)), (std::vector<std::uint8_t>{9}));
    EXPECT_EQ(r.cam.SerialBytes(), tt);
    EXPECT_EQ(r.cam.TipTiltGood(), 1u);
    EXPECT_EQ(Status(r)[1] & 4, 4);
    r.host.AdvanceMs(10);
    EXPECT_EQ(Status(r)[1] & 4, 0);
    p.back() ^= 1;  // wrong checksum
    ASSERT_TRUE(r.wire.Send(p));
    EXPECT_EQ(Wire::Bytes(r.wire.Reply(6)), (std::vector<std::uint8_t>{9}));
    EXPECT_EQ(r.cam.TipTiltBad(), 1u);
    // Zero bytes: the packet 0xA, 0x5, 0xB, 0x0, 0x0, 0x0.
    ASSERT_TRUE(r.wire.Send({0xA, 0x5, 0xB, 0x0, 0x0, 0x0}));
    EXPECT_EQ(Wire::Bytes(r.wire.Reply(6)), (std::vector<std::uint8_t>{0}));
}

TEST(MicroFaults, SilentNeverTakesANibble) {
    Options o;
    o.micro = MicroFault::Silent;
    Rig r(o);
    EXPECT_FALSE(r.wire.Send(Wire::Packet(6, {})));
    EXPECT_EQ(r.cam.PacketsTaken(), 0u);
}

TEST(MicroFaults, NoReplyTakesPacketButNeverAnswers) {
    Options o;
    o.micro = MicroFault::NoReply;
    Rig r(o);
    ASSERT_TRUE(r.wire.Send(Wire::Packet(6, {})));
    EXPECT_EQ(r.cam.PacketsTaken(), 1u);
    EXPECT_TRUE(r.wire.Reply(8).empty());
    // Recovery after the fault is cleared.
    r.wire.Out(0x30, 0);
    r.cam.SetMicroFault(MicroFault::Ok);
    EXPECT_EQ(r.wire.Exchange(6, {}, 8).size(), 8u);
}

TEST(MicroFaults, NakCanGarbageAnswerEveryCommand) {
    struct Case {
        MicroFault f;
        Nibbles ack, block;
    } cases[] = {{MicroFault::Nak, {1, 5}, {1, 5}},
                 {MicroFault::Can, {1, 8}, {1, 8}},
                 {MicroFault::Garbage, {4, 2}, {4, 2}}};
    for (const Case& c : cases) {
        Options o;
        o.micro = c.f;
        Rig r(o);
        EXPECT_EQ(r.wire.Exchange(8, {0}, 2), c.ack);
        EXPECT_EQ(r.wire.Exchange(9, {}, 2), c.block);
    }
}

TEST(MicroFaults, BadLengthShortensBlocksOnly) {
    Options o;
    o.micro = MicroFault::BadLength;
    Rig r(o);
    EXPECT_EQ(r.wire.Exchange(8, {0}, 2), (Nibbles{0, 6}));
    const Nibbles reply = r.wire.Exchange(3, {}, 4);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[3], 4);  // five bytes expected
}

TEST(MicroFaults, UnpluggedStatusFloats) {
    Options o;
    o.unplugged = true;
    Rig r(o);
    EXPECT_EQ(r.cam.Read(1), 0x7F);
    r.wire.Out(0x30, 2);
    EXPECT_EQ(r.cam.Read(1), 0x7F);
    EXPECT_FALSE(r.wire.Send(Wire::Packet(6, {})));
    r.cam.SetUnplugged(false);
    r.wire.Out(0x30, 0);
    EXPECT_EQ(r.wire.Exchange(6, {}, 8).size(), 8u);
}

TEST(MicroFaults, ShutterFaultReportsBadStatusByte) {
    Options o;
    o.shutterFault = true;
    Rig r(o);
    const auto s = Status(r);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_TRUE(s[2] < 7 || s[2] > 11);
}

TEST(MicroReset, ClearsAnExchangeInProgress) {
    Rig r;
    ASSERT_TRUE(r.wire.Send(Wire::Packet(6, {})));
    r.cam.ResetMicro();
    r.wire.Out(0x30, 0);
    EXPECT_EQ(r.wire.Exchange(9, {}, 10).size(), 10u);
}

}  // namespace
}  // namespace zeva::sim
