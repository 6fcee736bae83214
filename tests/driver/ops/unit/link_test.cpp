// Link establishment and the CCD information tables against the scripted camera.
#include <gtest/gtest.h>

#include <cstring>

#include "common/records.h"
#include "driver/ops/ccdinfo.h"
#include "tests/driver/ops/unit/ops_camera.h"

namespace zeva::driver {
namespace {

class LinkTest : public OpsTest {
  protected:
    NTSTATUS Info(std::int16_t request) {
        std::memset(info, 0xEE, sizeof info);
        le::Put16(info, rec::CcdInfoParams::Request, static_cast<std::uint16_t>(request));
        return GetCCDInfo(state, info, info);
    }
    std::uint16_t Mode(int m, std::size_t field) {
        return le::Get16(info, rec::CcdInfoResult::Mode(static_cast<std::size_t>(m)) + field);
    }
    const char* Text(std::size_t offset) const {
        return reinterpret_cast<const char*>(info + offset);
    }
    std::uint8_t info[rec::CcdInfoResult::kSize + 8];
};

// --- link establishment

TEST_F(LinkTest, ModelOneIsEgretWithoutEepromOrSupplyChange) {
    Model(1);
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->CameraType, 6u);
    EXPECT_EQ(le::Get16(link_result, 0), 6);
    EXPECT_EQ(micro.PacketsOf(MicroEepromAccess), 0);
    EXPECT_EQ(micro.LatchCount(0x10), 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 320);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 335);
    EXPECT_EQ(state->Geometry[0].TotalRows, 242);
    EXPECT_EQ(state->MaxCCD, 0);
}

TEST_F(LinkTest, ModelZeroTakesTheTypeFromTheEepromAndLeavesTheSupplyOff) {
    const struct {
        int type;
        int columns, rows, total_columns;
        int tracking_columns;
    } cases[] = {{4, 765, 510, 795, 190},     {5, 1530, 1020, 1560, 190}, {10, 512, 512, 534, 190},
                 {12, 2184, 1472, 2267, 190}, {13, 1024, 1024, 1042, 0},  {9, 100, 100, 100, 192}};
    Model(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        state = session.NewState();
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
        EXPECT_EQ(micro.Latched(0x10), 4);  // supply off
        EXPECT_EQ(state->Geometry[0].ModeBinning[8], 3);
        EXPECT_EQ(state->Geometry[1].ModeBinning[1], 2);
    }
}

TEST_F(LinkTest, EepromTypeWithoutARowGetsTheDefaultGeometry) {
    LinkAs(0, 200);
    EXPECT_EQ(state->CameraType, 200u);
    EXPECT_EQ(le::Get16(link_result, 0), 200);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 100);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 100);
    EXPECT_EQ(state->Geometry[1].ActiveColumns, 192);
    EXPECT_EQ(state->Geometry[1].TotalColumns, 208);
    EXPECT_EQ(state->Geometry[1].TotalRows, 165);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 0);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "ZEVA Model-? CCD Camera");
}

TEST_F(LinkTest, BlankOrCorruptEepromMakesGannetWithDefaultGains) {
    Model(0);
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        state = session.NewState();
        GoodEeprom(12);
        if (variant == 0)
            eeprom[0] ^= 0x55;
        else
            std::memset(eeprom, 0xFF, sizeof eeprom);
        AnswerEeprom();
        ASSERT_EQ(Link(), 0u);
        EXPECT_EQ(state->CameraType, 4u);
        EXPECT_EQ(state->Geometry[0].Gain, 0x0230);
        EXPECT_EQ(state->Geometry[1].Gain, 0x0130);
    }
}

TEST_F(LinkTest, UnknownModelsAreNotFoundAndKeepThePreviousCamera) {
    LinkAs(0, 12);
    state->SiskinVariant = 1;
    for (int model : {2, 4, 5, 15}) {
        SCOPED_TRACE(model);
        Model(model);
        link_result[0] = link_result[1] = 0xEE;
        EXPECT_EQ(Link(), ErrorStatus(ErrCameraNotFound));
        EXPECT_EQ(state->SiskinVariant, 0);
        EXPECT_EQ(state->CameraType, 12u);
        EXPECT_EQ(state->Geometry[0].ActiveColumns, 2184);
        EXPECT_EQ(le::Get16(link_result, 0), 0xEEEE);
    }
}

TEST_F(LinkTest, FailedEepromReadKeepsThePreviousCameraAndALaterLinkRecovers) {
    LinkAs(1);
    Model(0);
    GoodEeprom(5);
    micro.ExpectEepromReads(eeprom, 3);
    micro.Expect(MicroEepromAccess).With({0x83, 0}).Fail(test::MicroFault::NoReply);
    EXPECT_EQ(Link(), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(state->CameraType, 6u);
    EXPECT_EQ(state->MaxCCD, 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 320);
    EXPECT_EQ(micro.Latched(0x10), 4);  // supply off
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->CameraType, 5u);
    EXPECT_EQ(state->MaxCCD, 1);
}

TEST_F(LinkTest, FinchAndSiskinAreToldApartByTheOffset) {
    micro.SetSample(200);
    LinkAs(3);
    EXPECT_EQ(state->CameraType, 8u);
    EXPECT_EQ(state->SiskinVariant, 0);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 640);
    // The offset measurement: the type-8 preparation, then an exposure the
    // camera ends at once, which clears its array.
    micro.SetSample(201);
    micro.Expect(MicroGetVersion).Reply({0x31, 0x23});
    micro.Expect(MicroCommand12).With({0x01, 0x00});
    micro.Expect(MicroStartExposure);
    micro.Expect(MicroEndExposure);
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(micro.Clocked().samples, 128);
    EXPECT_EQ(state->SiskinVariant, 1);
    EXPECT_EQ(state->Geometry[0].ActiveColumns, 657);
    EXPECT_EQ(state->Geometry[0].ActiveRows, 495);
    EXPECT_EQ(state->Geometry[0].RightColumns, 65535);
    EXPECT_EQ(state->Geometry[0].TotalColumns, 682);
    // An offset that cannot be measured is no Siskin.
    micro.SetBusyStuck(true);
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->SiskinVariant, 0);
}

TEST_F(LinkTest, LinkReleasesAFrozenCoolerOnlyWhenAutoFreezeIsOn) {
    LinkAs(0, 4);
    state->TEFrozen = 1;
    state->FrozenSetpoint = 0x0640;
    state->FrozenPower = 90;
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    state->FreezeTEDuringReadout = 1;
    micro.Expect(MicroRegulateTemperature).With({1, 0x64, 90});
    ASSERT_EQ(Link(), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
}

// --- CCD information

TEST(BcdNx, MultipliesDecimalDigitsAndSaturates) {
    EXPECT_EQ(bcd_nx(0x2400, 3), 0x7200);
    EXPECT_EQ(bcd_nx(0x4000, 3), 0x9999);
    EXPECT_EQ(bcd_nx(0x0680, 2), 0x1360);
    EXPECT_EQ(bcd_nx(0x1375, 2), 0x2750);
    EXPECT_EQ(bcd_nx(0x00A0, 1), 0x0100);  // a nibble above 9 counts with its value
}

TEST_F(LinkTest, GannetImagingTableHasNineModes) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::FirmwareVersion), 0x123);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::CameraType), 4);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "ZEVA Gannet Dual CCD Camera");
    EXPECT_EQ(info[4 + 63], 0);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 9);
    const int w[9] = {765, 382, 255, 765, 382, 255, 765, 382, 255};
    const int h[9] = {510, 255, 170, 0, 0, 0, 510, 255, 170};
    const int pw[9] = {0x0900, 0x1800, 0x2700, 0x0900, 0x1800, 0x2700, 0x0900, 0x1800, 0x2700};
    for (int m = 0; m < 9; ++m) {
        SCOPED_TRACE(m);
        EXPECT_EQ(Mode(m, rec::ReadoutModeInfo::Mode), m);
        EXPECT_EQ(Mode(m, rec::ReadoutModeInfo::Width), w[m]);
        EXPECT_EQ(Mode(m, rec::ReadoutModeInfo::Height), h[m]);
        EXPECT_EQ(Mode(m, rec::ReadoutModeInfo::Gain), 0x0250);
        EXPECT_EQ(le::Get32(info, rec::CcdInfoResult::Modes + 16 * m + 8),
                  static_cast<std::uint32_t>(pw[m]));
        EXPECT_EQ(le::Get32(info, rec::CcdInfoResult::Modes + 16 * m + 12),
                  static_cast<std::uint32_t>(m >= 3 && m < 6 ? 0x0900 : pw[m]));
    }
    for (int i = rec::CcdInfoResult::Modes + 16 * 9; i < 392; ++i) ASSERT_EQ(info[i], 0) << i;
    EXPECT_EQ(info[392], 0xEE);
}

TEST_F(LinkTest, TrackingTableAndKestrelAndDefaultType) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(1), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 2);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::Width), 95);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::Height), 81);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::PixelWidth), 0x2750);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::PixelHeight), 0x3200);
    LinkAs(0, 13);
    ASSERT_EQ(Info(1), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 9);
    EXPECT_EQ(Mode(0, rec::ReadoutModeInfo::Width), 1024);
    LinkAs(0, 9);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 0);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "ZEVA Model-? CCD Camera");
}

TEST_F(LinkTest, SingleCcdTablesAndNames) {
    micro.SetSample(250);
    LinkAs(3);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "ZEVA Siskin Camera");
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 6);
    EXPECT_EQ(Mode(2, rec::ReadoutModeInfo::Width), 219);
    EXPECT_EQ(Mode(2, rec::ReadoutModeInfo::Height), 165);
    EXPECT_EQ(Mode(5, rec::ReadoutModeInfo::Height), 0);
    EXPECT_EQ(Mode(5, rec::ReadoutModeInfo::Gain), 0x0072);
    EXPECT_EQ(Mode(6, rec::ReadoutModeInfo::Width), 0);
    micro.SetSample(150);
    ASSERT_EQ(Link(), 0u);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "ZEVA Finch Camera");
    EXPECT_EQ(Mode(0, rec::ReadoutModeInfo::Width), 640);
    LinkAs(1);
    ASSERT_EQ(Info(0), 0u);
    EXPECT_STREQ(Text(rec::CcdInfoResult::Name), "Egret Camera");
    EXPECT_EQ(le::Get16(info, rec::CcdInfoResult::ReadoutModeCount), 2);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::Width), 160);
    EXPECT_EQ(Mode(1, rec::ReadoutModeInfo::PixelWidth), 0x2000);
}

TEST_F(LinkTest, RequestsRefusedByCameraTypeLeaveTheBufferUntouched) {
    LinkAs(1);
    for (std::int16_t r : {1, 2, -1, 4}) {
        EXPECT_EQ(Info(r), ErrorStatus(ErrBadParameter)) << r;
        EXPECT_EQ(info[2], 0xEE);
    }
    LinkAs(0, 4);
    for (std::int16_t r : {3, -1, 4}) EXPECT_EQ(Info(r), ErrorStatus(ErrBadParameter)) << r;
    EXPECT_TRUE(micro.Packets().empty());
}

TEST_F(LinkTest, VersionFailureGivesAnAllZeroTable) {
    LinkAs(0, 4);
    micro.Expect(MicroGetVersion).Fail(test::MicroFault::NoReply);
    EXPECT_EQ(Info(0), ErrorStatus(ErrRxTimeout));
    for (std::size_t i = 0; i < rec::CcdInfoResult::kSize; ++i) ASSERT_EQ(info[i], 0) << i;
}

TEST_F(LinkTest, EepromValuesWithGoodBadAndMissingEeprom) {
    LinkAs(0, 4);
    ASSERT_EQ(Info(2), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromCount), 7);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromWords), 0x1111);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromWords + 6), 0x4444);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromFlag), 3);
    EXPECT_STREQ(Text(rec::CcdInfoExtResult::IdentificationText), "ABC");
    EXPECT_EQ(info[rec::CcdInfoExtResult::IdentificationText + 4],
              0xEE);  // not cleared after the text
    eeprom[0] ^= 1;
    AnswerEeprom();
    ASSERT_EQ(Info(2), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromCount), 0);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromFlag), 0);
    EXPECT_STREQ(Text(rec::CcdInfoExtResult::IdentificationText), "-");
    micro.Expect(MicroEepromAccess).With({0x80, 0}).Fail(test::MicroFault::NoReply);
    EXPECT_EQ(Info(2), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromFlag), 1);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoExtResult::EepromWords), 0);
    EXPECT_STREQ(Text(rec::CcdInfoExtResult::IdentificationText), "-");
}

TEST_F(LinkTest, SingleCcdStatusVariant) {
    LinkAs(1);
    ASSERT_EQ(Info(3), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoStatusResult::StatusVariant), 2);
    LinkAs(3);
    Status({0x60, 0});
    ASSERT_EQ(Info(3), 0u);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoStatusResult::StatusVariant), 1);
    EXPECT_EQ(le::Get16(info, rec::CcdInfoStatusResult::StatusCode), 3);
}

}  // namespace
}  // namespace zeva::driver
