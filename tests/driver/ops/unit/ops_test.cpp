#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"
#include "driver/link/micro/fake_camera.h"
#include "driver/ops/ccdinfo.h"
#include "driver/ops/exposure.h"
#include "driver/ops/guiding.h"
#include "driver/ops/link.h"
#include "tests/driver/ops/unit/ops_fakes.h"

namespace zeva::driver {
namespace {

using Bytes = std::vector<int>;

class OpsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::g_camera = &camera;
        test::g_ops = test::OpsFakes{};
        state = test::NewState();
        state->MiscFan = 1;
        state->MiscShutter = 2;
        state->MiscLed = 1;
        camera.status[2] = 8;  // shutter status byte within 7..11
    }
    // A good EEPROM image of the given type byte.
    void GoodEeprom(std::uint8_t type) {
        std::memset(camera.eeprom, 0, sizeof camera.eeprom);
        camera.eeprom[kEepromVersion] = 1;
        camera.eeprom[kEepromCameraType] = type;
        camera.eeprom[kEepromFlag] = 3;
        camera.eeprom[kEepromCount] = 7;
        le::Put16(camera.eeprom, kEepromTrackingGain, 0x0150);
        le::Put16(camera.eeprom, kEepromImagingGain, 0x0250);
        le::Put16(camera.eeprom, kEepromWords, 0x1111);
        le::Put16(camera.eeprom, kEepromWords + 6, 0x4444);
        std::memcpy(camera.eeprom + kEepromText, "ABC", 4);
        le::Put16(camera.eeprom, kEepromChecksum, CalculateEEPROMChecksum(camera.eeprom));
    }
    NTSTATUS Link() { return EstablishLink(state, link_result); }
    // Links a camera of the given model number (and EEPROM type byte).
    void LinkAs(int model, int eeprom_type = -1) {
        camera.version = static_cast<std::uint16_t>(model << 12 | 0x123);
        if (eeprom_type >= 0)
            GoodEeprom(static_cast<std::uint8_t>(eeprom_type));
        camera.status_bytes = model == 1 || model == 3 ? 2 : 3;
        ASSERT_EQ(Link(), 0u);
        camera.packets.clear();
        test::g_ops.calls.clear();
    }
    // Data bytes of the last packet with command nibble cmd.
    Bytes LastSent(int cmd) {
        for (auto it = camera.packets.rbegin(); it != camera.packets.rend(); ++it) {
            if ((*it)[2] != cmd)
                continue;
            Bytes out;
            for (std::size_t k = 4; k + 1 < it->size(); k += 2)
                out.push_back((*it)[k] * 16 + (*it)[k + 1]);
            return out;
        }
        return {};
    }
    int PacketsOf(int cmd) {
        int n = 0;
        for (const auto& p : camera.packets) n += p.size() > 2 && p[2] == cmd;
        return n;
    }
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
    NTSTATUS Info(std::int16_t request) {
        std::memset(info, 0xEE, sizeof info);
        le::Put16(info, 0, static_cast<std::uint16_t>(request));
        return GetCCDInfo(state, info, info);
    }
    std::uint16_t Mode(int m, int field) {
        return le::Get16(info, rec::CcdInfoResult::Modes + 16 * m + field);
    }

    test::FakeCamera camera;
    DeviceState* state = nullptr;
    std::uint8_t link_result[2] = {0xEE, 0xEE};
    std::uint8_t info[400];
};

// --- link establishment

TEST_F(OpsTest, ModelOneIsEgretWithoutEepromOrSupplyChange) {
    camera.version = 0x1123;
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->CameraType, 6u);
    EXPECT_EQ(le::Get16(link_result, 0), 6);
    EXPECT_EQ(PacketsOf(7), 0);
    EXPECT_EQ(test::g_ops.count("SetVdd"), 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 320);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 335);
    EXPECT_EQ(state->Geometry[0].TotalRows, 242);
    EXPECT_EQ(state->MaxCCD, 0);
}

TEST_F(OpsTest, ModelZeroTakesTheTypeFromTheEeprom) {
    const struct {
        int type;
        int columns, rows, total_columns;
        int tracking_columns;
    } cases[] = {{4, 765, 510, 795, 190},     {5, 1530, 1020, 1560, 190}, {10, 512, 512, 534, 190},
                 {12, 2184, 1472, 2267, 190}, {13, 1024, 1024, 1042, 0},  {9, 100, 100, 100, 192}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        state = test::NewState();
        camera.version = 0x0123;
        GoodEeprom(static_cast<std::uint8_t>(c.type));
        ASSERT_EQ(Link(), 0u);
        EXPECT_EQ(state->CameraType, static_cast<std::uint32_t>(c.type));
        EXPECT_EQ(state->Geometry[0].ActiveColumns, c.columns);
        EXPECT_EQ(state->Geometry[0].ActiveRows, c.rows);
        EXPECT_EQ(state->Geometry[0].TotalColumns, c.total_columns);
        EXPECT_EQ(state->Geometry[0].Gain, 0x0250);
        EXPECT_EQ(state->Geometry[1].ActiveColumns, c.tracking_columns);
        if (c.tracking_columns != 0) {
            EXPECT_EQ(state->Geometry[1].Gain, 0x0150);
        }
        EXPECT_EQ(state->MaxCCD, c.type == 13 ? 0 : 1);
        EXPECT_EQ(test::g_ops.last("SetVdd")->a, 0);
        EXPECT_EQ(state->Geometry[0].ModeBinning[8], 3);
        EXPECT_EQ(state->Geometry[1].ModeBinning[1], 2);
    }
}

TEST_F(OpsTest, EepromTypeWithoutARowGetsTheDefaultGeometry) {
    camera.version = 0x0123;
    GoodEeprom(200);
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->CameraType, 200u);
    EXPECT_EQ(le::Get16(link_result, 0), 200);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 100);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 100);
    EXPECT_EQ(state->Geometry[1].ActiveColumns, 192);
    EXPECT_EQ(state->Geometry[1].TotalColumns, 208);
    EXPECT_EQ(state->Geometry[1].TotalRows, 165);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, 68), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "ZEVA Model-? CCD Camera");
}

TEST_F(OpsTest, BlankOrCorruptEepromMakesGannetWithDefaultGains) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        state = test::NewState();
        camera.version = 0x0123;
        GoodEeprom(12);
        if (variant == 0)
            camera.eeprom[0] ^= 0x55;
        else
            std::memset(camera.eeprom, 0xFF, sizeof camera.eeprom);
        ASSERT_EQ(Link(), 0u);
        EXPECT_EQ(state->CameraType, 4u);
        EXPECT_EQ(state->Geometry[0].Gain, 0x0230);
        EXPECT_EQ(state->Geometry[1].Gain, 0x0130);
    }
}

TEST_F(OpsTest, UnknownModelsAreNotFoundAndKeepThePreviousCamera) {
    LinkAs(0, 12);
    state->SiskinVariant = 1;
    for (int model : {2, 4, 5, 15}) {
        SCOPED_TRACE(model);
        camera.version = static_cast<std::uint16_t>(model << 12);
        link_result[0] = link_result[1] = 0xEE;
        EXPECT_EQ(Link(), ErrorStatus(ErrCameraNotFound));
        EXPECT_EQ(state->SiskinVariant, 0);
        EXPECT_EQ(state->CameraType, 12u);
        EXPECT_EQ(state->Geometry[0].ActiveColumns, 2184);
        EXPECT_EQ(le::Get16(link_result, 0), 0xEEEE);
    }
}

TEST_F(OpsTest, FailedEepromReadKeepsThePreviousCameraAndALaterLinkRecovers) {
    LinkAs(1);
    camera.version = 0x0123;
    GoodEeprom(5);
    camera.eeprom_fail_address = 3;
    EXPECT_EQ(Link(), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(state->CameraType, 6u);
    EXPECT_EQ(state->MaxCCD, 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 320);
    EXPECT_EQ(test::g_ops.last("SetVdd")->a, 0);
    camera.eeprom_fail_address = -1;
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->CameraType, 5u);
    EXPECT_EQ(state->MaxCCD, 1);
}

TEST_F(OpsTest, FinchAndSiskinAreToldApartByTheOffset) {
    test::g_ops.offset = 200;
    LinkAs(3);
    EXPECT_EQ(state->CameraType, 8u);
    EXPECT_EQ(state->SiskinVariant, 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 640);
    test::g_ops.offset = 201;
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(test::g_ops.last("ReadOffset")->a, 0);
    EXPECT_EQ(state->SiskinVariant, 1);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 657);
    EXPECT_EQ(state->Geometry[0].ActiveRows, 495);
    EXPECT_EQ(state->Geometry[0].RightColumns, 65535);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 682);
    test::g_ops.offset_status = ErrorStatus(ErrDigitizerTimeout);
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->SiskinVariant, 0);
}

TEST_F(OpsTest, LinkReleasesAFrozenCoolerOnlyWhenAutoFreezeIsOn) {
    LinkAs(1);
    EXPECT_EQ(test::g_ops.count("FreezeTEControl"), 0);
    state->FreezeTEDuringReadout = 1;
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(test::g_ops.last("FreezeTEControl")->a, 0);
}

// --- CCD information

TEST(BcdNx, MultipliesDecimalDigitsAndSaturates) {
    EXPECT_EQ(bcd_nx(0x2400, 3), 0x7200);
    EXPECT_EQ(bcd_nx(0x4000, 3), 0x9999);
    EXPECT_EQ(bcd_nx(0x0680, 2), 0x1360);
    EXPECT_EQ(bcd_nx(0x1375, 2), 0x2750);
    EXPECT_EQ(bcd_nx(0x00A0, 1), 0x0100);  // a nibble above 9 counts with its value
}

TEST_F(OpsTest, GannetImagingTableHasNineModes) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, 0), 0x123);
    EXPECT_EQ(le::Get16(info, 2), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "ZEVA Gannet Dual CCD Camera");
    EXPECT_EQ(info[4 + 63], 0);
    EXPECT_EQ(le::Get16(info, 68), 9);
    const int w[9] = {765, 382, 255, 765, 382, 255, 765, 382, 255};
    const int h[9] = {510, 255, 170, 0, 0, 0, 510, 255, 170};
    const int pw[9] = {0x0900, 0x1800, 0x2700, 0x0900, 0x1800, 0x2700, 0x0900, 0x1800, 0x2700};
    for (int m = 0; m < 9; ++m) {
        SCOPED_TRACE(m);
        EXPECT_EQ(Mode(m, 0), m);
        EXPECT_EQ(Mode(m, 2), w[m]);
        EXPECT_EQ(Mode(m, 4), h[m]);
        EXPECT_EQ(Mode(m, 6), 0x0250);
        EXPECT_EQ(le::Get32(info, rec::CcdInfoResult::Modes + 16 * m + 8),
                  static_cast<std::uint32_t>(pw[m]));
        EXPECT_EQ(le::Get32(info, rec::CcdInfoResult::Modes + 16 * m + 12),
                  static_cast<std::uint32_t>(m >= 3 && m < 6 ? 0x0900 : pw[m]));
    }
    for (int i = rec::CcdInfoResult::Modes + 16 * 9; i < 392; ++i) ASSERT_EQ(info[i], 0) << i;
    EXPECT_EQ(info[392], 0xEE);
}

TEST_F(OpsTest, TrackingTableAndKestrelAndDefaultType) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(1), 0u);
    EXPECT_EQ(le::Get16(info, 68), 2);
    EXPECT_EQ(Mode(1, 2), 95);
    EXPECT_EQ(Mode(1, 4), 81);
    EXPECT_EQ(Mode(1, 8), 0x2750);
    EXPECT_EQ(Mode(1, 12), 0x3200);
    LinkAs(0, 13);
    ASSERT_EQ(Info(1), 0u);
    EXPECT_EQ(le::Get16(info, 68), 9);
    EXPECT_EQ(Mode(0, 2), 1024);
    LinkAs(0, 9);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, 68), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "ZEVA Model-? CCD Camera");
}

TEST_F(OpsTest, SingleCcdTablesAndNames) {
    test::g_ops.offset = 250;
    LinkAs(3);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "ZEVA Siskin Camera");
    EXPECT_EQ(le::Get16(info, 68), 6);
    EXPECT_EQ(Mode(2, 2), 219);
    EXPECT_EQ(Mode(2, 4), 165);
    EXPECT_EQ(Mode(5, 4), 0);
    EXPECT_EQ(Mode(5, 6), 0x0072);
    EXPECT_EQ(Mode(6, 2), 0);
    test::g_ops.offset = 150;
    ASSERT_EQ(Link(), 0u);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "ZEVA Finch Camera");
    EXPECT_EQ(Mode(0, 2), 640);
    LinkAs(1);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 4), "Egret Camera");
    EXPECT_EQ(le::Get16(info, 68), 2);
    EXPECT_EQ(Mode(1, 2), 160);
    EXPECT_EQ(Mode(1, 8), 0x2000);
}

TEST_F(OpsTest, RequestsRefusedByCameraTypeLeaveTheBufferUntouched) {
    LinkAs(1);
    for (std::int16_t r : {1, 2, -1, 4}) {
        EXPECT_EQ(Info(r), ErrorStatus(ErrBadParameter)) << r;
        EXPECT_EQ(info[2], 0xEE);
    }
    LinkAs(0, 4);
    for (std::int16_t r : {3, -1, 4}) EXPECT_EQ(Info(r), ErrorStatus(ErrBadParameter)) << r;
    EXPECT_EQ(camera.packets.size(), 0u);
}

TEST_F(OpsTest, VersionFailureGivesAnAllZeroTable) {
    LinkAs(0, 4);
    camera.fault = test::MicroFault::NoReply;
    EXPECT_EQ(Info(0), ErrorStatus(ErrRxTimeout));
    for (int i = 0; i < 392; ++i) ASSERT_EQ(info[i], 0) << i;
}

TEST_F(OpsTest, EepromValuesWithGoodBadAndMissingEeprom) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(2), 0u);
    EXPECT_EQ(le::Get16(info, 0), 7);
    EXPECT_EQ(le::Get16(info, 2), 0x1111);
    EXPECT_EQ(le::Get16(info, 8), 0x4444);
    EXPECT_EQ(le::Get16(info, 10), 3);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 12), "ABC");
    EXPECT_EQ(info[16], 0xEE);  // not cleared after the text
    camera.eeprom[0] ^= 1;
    ASSERT_EQ(Info(2), 0u);
    EXPECT_EQ(le::Get16(info, 0), 0);
    EXPECT_EQ(le::Get16(info, 10), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 12), "-");
    camera.fault = test::MicroFault::NoReply;
    EXPECT_EQ(Info(2), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(le::Get16(info, 10), 1);
    EXPECT_EQ(le::Get16(info, 2), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(info + 12), "-");
}

TEST_F(OpsTest, SingleCcdStatusVariant) {
    LinkAs(1);
    ASSERT_EQ(Info(3), 0u);
    EXPECT_EQ(le::Get16(info, 0), 2);
    LinkAs(3);
    camera.status[0] = 0x60;
    ASSERT_EQ(Info(3), 0u);
    EXPECT_EQ(le::Get16(info, 0), 1);
    EXPECT_EQ(le::Get16(info, 2), 3);
}

// --- exposures

TEST_F(OpsTest, ExposureTimeAdjustments) {
    LinkAs(0, 4);
    ASSERT_EQ(Start(0, 5, 1), 0u);
    Bytes b = LastSent(0);
    ASSERT_GE(b.size(), 4u);
    EXPECT_EQ(b[0] << 16 | b[1] << 8 | b[2], 0);
    ASSERT_EQ(Start(0, 500, 1), 0u);
    b = LastSent(0);
    EXPECT_EQ(b[0] << 16 | b[1] << 8 | b[2], 489);
    EXPECT_EQ(b[3] & 0x0C, 0x04);
    ASSERT_EQ(Start(1, 0x01000000), 0u);
    b = LastSent(0);
    EXPECT_EQ(b[0] << 16 | b[1] << 8 | b[2], 0);
    EXPECT_EQ(b[3] & 0x10, 0x10);
    ASSERT_EQ(Start(1, 0x00FFFFFF), 0u);
    b = LastSent(0);
    EXPECT_EQ(b[0] << 16 | b[1] << 8 | b[2], 65535);
    EXPECT_EQ(state->ExposureActive[1], 2u);
    EXPECT_EQ(state->MiscLed, 3);
}

TEST_F(OpsTest, CcdAboveMaxIsRefusedWithoutTraffic) {
    LinkAs(0, 13);
    EXPECT_EQ(Start(1, 100), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(End(1), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(camera.packets.size(), 0u);
}

TEST_F(OpsTest, ImagingStartClearsWithFourPasses) {
    LinkAs(0, 4);
    ASSERT_EQ(Start(0, 100), 0u);
    const auto* c = test::g_ops.last("ClearImagingArray");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->a, 521);
    EXPECT_EQ(c->b, 795);
    EXPECT_EQ(c->c, 4);
    EXPECT_EQ(c->d, 15);
    EXPECT_EQ(le::Get16(reinterpret_cast<std::uint8_t*>(state->CommandStatus), 2), 2);
}

TEST_F(OpsTest, TrackingClearPassesDependOnTheTimeSinceTheLastClear) {
    LinkAs(0, 4);
    test::g_ops.now_us = 10'000'000;
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(test::g_ops.last("ClearTrackingArray")->b, 4);
    test::g_ops.now_us += 200'000;
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(test::g_ops.last("ClearTrackingArray")->b, 1);
    test::g_ops.now_us += 400'000;
    ASSERT_EQ(Start(1, 100), 0u);
    EXPECT_EQ(test::g_ops.last("ClearTrackingArray")->b, 4);
    EXPECT_EQ(test::g_ops.last("ClearTrackingArray")->a, 163);
}

TEST_F(OpsTest, FailedClearSendsNoStartAndLeavesTheCcdIdle) {
    LinkAs(0, 4);
    test::g_ops.clear_status = ErrorStatus(ErrDigitizerTimeout);
    EXPECT_EQ(Start(0, 100), ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(PacketsOf(0), 0);
    EXPECT_EQ(state->ExposureActive[0], 0u);
}

TEST_F(OpsTest, BadShutterStillLeavesTheExposureRunning) {
    LinkAs(0, 4);
    camera.status[2] = 12;
    EXPECT_EQ(Start(0, 100), ErrorStatus(ErrShutter));
    EXPECT_EQ(state->ExposureActive[0], 2u);
    EXPECT_EQ(PacketsOf(0), 1);
}

TEST_F(OpsTest, SingleCcdStartMeasuresBiasAndSetsRegisterZero) {
    LinkAs(3);
    camera.data_writes.clear();
    ASSERT_EQ(Start(0, 100), 0u);
    EXPECT_EQ(test::g_ops.last("MeasureFinchBias")->a, 682);
    EXPECT_EQ(test::g_ops.count("ClearImagingArray"), 0);
    EXPECT_EQ(PacketsOf(8), 0);
    bool reg0 = false;
    for (std::uint8_t w : camera.data_writes) reg0 |= w == 0x04;
    EXPECT_TRUE(reg0);
}

TEST_F(OpsTest, EndExposureWaits) {
    LinkAs(0, 4);
    ASSERT_EQ(Start(0, 100), 0u);
    test::g_ops.delayed_ms = 0;
    ASSERT_EQ(End(0x8000), 0u);
    EXPECT_EQ(test::g_ops.delayed_ms, 0);
    EXPECT_EQ(test::g_ops.last("DumpImagingLines")->b, 5);
    ASSERT_EQ(Start(0, 100, 1), 0u);
    test::g_ops.delayed_ms = 0;
    ASSERT_EQ(End(0), 0u);
    EXPECT_EQ(test::g_ops.delayed_ms, 300);
    ASSERT_EQ(Start(1, 100, 0), 0u);
    test::g_ops.delayed_ms = 0;
    ASSERT_EQ(End(1), 0u);
    EXPECT_EQ(test::g_ops.delayed_ms, 424);
    EXPECT_EQ(test::g_ops.last("DumpTrackingLines")->a, 208);
    EXPECT_EQ(state->ExposureActive[1], 0u);
    EXPECT_EQ(state->MiscLed, 1);
}

TEST_F(OpsTest, StatusQueryMarksFinishedExposures) {
    LinkAs(0, 4);
    camera.status[0] = 0x0F;  // both CCDs still exposing
    ASSERT_EQ(Start(0, 100), 0u);
    ASSERT_EQ(Start(1, 100), 0u);
    std::uint16_t s = 0;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x000A);
    camera.status[0] = 0x0C;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x000B);
    camera.status[0] = 0;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x000F);
    ASSERT_EQ(End(0x8000), 0u);
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x000C);
}

TEST_F(OpsTest, DeferredStartWaitsForTheHoldFlag) {
    LinkAs(0, 4);
    camera.status[1] = 0x04;  // hold flag
    ASSERT_EQ(Start(1, 0x80000064), 0u);
    EXPECT_EQ(PacketsOf(0), 0);
    std::uint16_t s = 0;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x8000);
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x8000);
    EXPECT_EQ(test::g_ops.count("DumpTrackingLines"), 2);
    camera.status[1] = 0;
    camera.status[0] = 0x0C;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x0008);
    EXPECT_EQ(PacketsOf(0), 1);
    EXPECT_EQ(LastSent(0)[2], 0x64);
}

TEST_F(OpsTest, DeferredImagingStartAndAReplacingStart) {
    LinkAs(0, 4);
    camera.status[1] = 0x04;  // hold flag
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    EXPECT_EQ(test::g_ops.count("ClearImagingArray"), 1);  // cleared now, started later
    std::uint16_t s = 0;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x8000);
    EXPECT_EQ(test::g_ops.count("DumpImagingLines"), 1);
    EXPECT_EQ(PacketsOf(0), 0);
    camera.status[1] = 0;
    camera.status[0] = 0x02;
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x0002);
    EXPECT_EQ(PacketsOf(0), 1);
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x0002);
    EXPECT_EQ(PacketsOf(0), 1);  // started once only
    // A plain start replaces a pending one.
    ASSERT_EQ(End(0x8000), 0u);
    camera.status[1] = 0x04;
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    ASSERT_EQ(Start(0, 0x20), 0u);
    EXPECT_EQ(state->PendingStart, 0);
    EXPECT_EQ(PacketsOf(0), 2);
    EXPECT_EQ(LastSent(0)[2], 0x20);
    ASSERT_EQ(Query(1, &s), 0u);
    EXPECT_EQ(s, 0x0002);
}

TEST_F(OpsTest, DeferStartIsIgnoredOnSingleCcdCameras) {
    LinkAs(3);
    ASSERT_EQ(Start(0, 0x80000064), 0u);
    EXPECT_EQ(state->PendingStart, 0);
    EXPECT_EQ(state->ExposureActive[0], 2u);
}

TEST_F(OpsTest, StatusQueryBoundsAndOtherCommands) {
    LinkAs(0, 4);
    std::uint8_t p[2];
    le::Put16(p, 0, 96);
    EXPECT_EQ(QueryCommandStatus(state, p, p), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(le::Get16(p, 0), 96);
    le::Put16(p, 0, 0xFFFF);
    EXPECT_EQ(QueryCommandStatus(state, p, p), ErrorStatus(ErrBadParameter));
    std::uint16_t s = 1;
    EXPECT_EQ(Query(3, &s), 0u);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(Query(95, &s), 0u);
    EXPECT_EQ(camera.packets.size(), 0u);
    camera.status[1] = 0xA6;  // relays 0 and 2, pulse, hold
    EXPECT_EQ(Query(7, &s), 0u);
    EXPECT_EQ(s, 0x0005);  // relay i shows with weight 8 >> i
    EXPECT_EQ(Query(8, &s), 0u);
    EXPECT_EQ(s, 0x8001);
    camera.status[0] = 0xB0;
    camera.status[1] = 0x01;
    camera.status[2] = 0x09;
    EXPECT_EQ(Query(13, &s), 0u);
    EXPECT_EQ(s, 0x09 | 1 << 8 | 3 << 9 | 2 << 11);
    camera.fault = test::MicroFault::NoReply;
    EXPECT_EQ(Query(13, &s), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(s, 0x09 | 1 << 8 | 3 << 9 | 2 << 11);
}

TEST_F(OpsTest, MiscellaneousControlKeepsOldFieldsOnFailureAndWaitsForCommand3) {
    LinkAs(0, 4);
    std::uint8_t p[6];
    le::Put16(p, 0, 0);
    le::Put16(p, 2, 3);
    le::Put16(p, 4, 2);
    camera.fault = test::MicroFault::Nak;
    EXPECT_EQ(MiscellaneousControl(state, p), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(state->MiscFan, 1);
    camera.fault = test::MicroFault::None;
    ASSERT_EQ(MiscellaneousControl(state, p), 0u);
    EXPECT_EQ(test::g_ops.delayed_ms, 3000);
    EXPECT_EQ(state->MiscFan, 0);
    EXPECT_EQ(state->MiscShutter, 3);
    EXPECT_EQ(LastSent(8)[0], 0x0B);
}

// --- relays, pulses, serial, tip-tilt

TEST_F(OpsTest, RelayEncodingAndClick) {
    LinkAs(0, 4);
    std::uint8_t p[8] = {};
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(camera.relay_clicks, 0);
    EXPECT_EQ(LastSent(4), (Bytes{0, 0, 0, 0, 0}));
    le::Put16(p, 0, 300);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(camera.relay_clicks, 1);
    EXPECT_EQ(LastSent(4), (Bytes{18, 0, 0, 0, 1}));
    // Up to 255 the times go as they are; one above scales all four, and a
    // time that scales to 0 is off.
    const std::uint16_t unscaled[4] = {255, 1, 0, 7};
    for (int i = 0; i < 4; ++i) le::Put16(p, 2 * i, unscaled[i]);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(LastSent(4), (Bytes{255, 1, 0, 7, 0}));
    const std::uint16_t scaled[4] = {15, 256, 4095, 65535};
    for (int i = 0; i < 4; ++i) le::Put16(p, 2 * i, scaled[i]);
    ASSERT_EQ(ActivateRelay(state, p), 0u);
    EXPECT_EQ(LastSent(4), (Bytes{0, 16, 255, 255, 1}));
    EXPECT_EQ(camera.relay_clicks, 3);
    // No click when the camera refuses.
    camera.fault = test::MicroFault::Nak;
    EXPECT_EQ(ActivateRelay(state, p), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(camera.relay_clicks, 3);
}

TEST_F(OpsTest, PulseEncoding) {
    LinkAs(0, 4);
    std::uint8_t p[6];
    le::Put16(p, 0, 3);
    le::Put16(p, 2, 100);
    le::Put16(p, 4, 200);
    ASSERT_EQ(PulseOut(state, p), 0u);
    EXPECT_EQ(LastSent(5), (Bytes{3, 0x00, 0x5B, 0x00, 0x47}));
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
        EXPECT_EQ(LastSent(5), c.sent);
    }
}

TEST_F(OpsTest, TipTiltPacketAndIncompleteReply) {
    LinkAs(0, 4);
    std::uint8_t p[4];
    le::Put16(p, 0, 0x0800);
    le::Put16(p, 2, 0x0800);
    camera.serial_sent = 9;
    ASSERT_EQ(AOTipTilt(state, p), 0u);
    const Bytes b = LastSent(11);
    ASSERT_GE(b.size(), 10u);
    EXPECT_EQ(Bytes(b.end() - 9, b.end()),
              (Bytes{0xA5, 0x10, 0x05, 0x01, 0x08, 0x00, 0x08, 0x00, 0xCB}));
    camera.serial_sent = 8;
    EXPECT_EQ(AOTipTilt(state, p), ErrorStatus(ErrTipTiltIncomplete));
}

TEST_F(OpsTest, SerialBytesCountLimitAndReply) {
    LinkAs(0, 4);
    std::uint8_t p[300] = {};
    std::uint16_t sent = 0xEEEE;
    le::Put16(p, 0, 256);
    EXPECT_EQ(TxSerialBytes(state, p, &sent), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(sent, 0xEEEE);
    EXPECT_EQ(camera.packets.size(), 0u);
    le::Put16(p, 0, 0);
    camera.serial_sent = 0;
    ASSERT_EQ(TxSerialBytes(state, p, &sent), 0u);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(camera.packets.back(), (std::vector<std::uint8_t>{0xA, 0x5, 0xB, 0, 0, 0}));
}

TEST_F(OpsTest, SerialStatusTurboFocusAndDelay) {
    LinkAs(0, 4);
    std::uint8_t b[4] = {0xEE, 0xEE, 0, 0};
    camera.status[1] = 0x04;
    ASSERT_EQ(GetSerialStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 1);
    LinkAs(1);
    camera.status[1] = 0x04;
    ASSERT_EQ(GetSerialStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 0);
    camera.fault = test::MicroFault::NoReply;
    camera.packets.clear();
    b[0] = b[1] = 0xEE;
    EXPECT_EQ(GetTurboStatus(state, b), 0u);
    EXPECT_EQ(le::Get16(b, 0), 0);
    EXPECT_EQ(AOSetFocus(state, b), 0u);
    EXPECT_EQ(camera.packets.size(), 0u);
    le::Put32(b, 0, 0);
    test::g_ops.us_reads = 0;
    EXPECT_EQ(AODelay(state, b), 0u);
    EXPECT_EQ(test::g_ops.us_reads, 1);
    le::Put32(b, 0, 40000);
    const std::int64_t before = test::g_ops.now_us;
    EXPECT_EQ(AODelay(state, b), 0u);
    EXPECT_GE(test::g_ops.now_us - before, 40000 + 15625);
    // A second is the longest wait; more is refused without waiting at all.
    le::Put32(b, 0, kMaxAODelayMicroseconds);
    EXPECT_EQ(AODelay(state, b), 0u);
    for (std::uint32_t us : {kMaxAODelayMicroseconds + 1, 0xFFFFFFFFu}) {
        le::Put32(b, 0, us);
        test::g_ops.us_reads = 0;
        EXPECT_EQ(AODelay(state, b), ErrorStatus(ErrBadParameter)) << us;
        EXPECT_EQ(test::g_ops.us_reads, 0) << us;
    }
}

}  // namespace
}  // namespace zeva::driver
