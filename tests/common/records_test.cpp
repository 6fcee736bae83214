// Record layouts: the fields the two forms share, read through the
// little-endian helpers at their offsets.
#include "common/records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/command_table.h"
#include "common/le.h"

namespace zeva {
namespace {

TEST(Records, PackedAndAlignedExposureStartCarryTheSameFields) {
    std::uint8_t packed[rec::PackedStartExposureParams::kSize] = {0x01, 0x00, 0x78, 0x56, 0x34,
                                                                  0x12, 0x02, 0x00, 0x01, 0x00};
    namespace a = rec::StartExposureParams;
    std::uint8_t aligned[a::kSize] = {};
    AlignStartExposure(packed, aligned);
    const std::uint8_t expected[a::kSize] = {0x01, 0x00, 0x00, 0x00, 0x78, 0x56,
                                             0x34, 0x12, 0x02, 0x00, 0x01, 0x00};
    for (std::size_t i = 0; i < a::kSize; ++i) {
        EXPECT_EQ(aligned[i], expected[i]) << i;
    }
}

TEST(Records, CcdInfoModesStartAfterTheGapInTheAlignedForm) {
    EXPECT_EQ(rec::CcdInfoResult::Mode(0), 72u);
    EXPECT_EQ(rec::PackedCcdInfoResult::Mode(0), 70u);
    EXPECT_EQ(rec::CcdInfoResult::Mode(19) + rec::ReadoutModeInfo::PixelHeight + 4, 392u);
    EXPECT_EQ(rec::PackedCcdInfoResult::Mode(19) + rec::ReadoutModeInfo::PixelHeight + 4, 390u);
}

TEST(Records, CompactedCcdInfoKeepsEveryModeFieldAndTheHeader) {
    std::uint8_t info[rec::CcdInfoResult::kSize];
    for (std::size_t i = 0; i < sizeof info; ++i) info[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::uint8_t before[sizeof info];
    std::memcpy(before, info, sizeof info);
    CompactCcdInfoResult(info);
    EXPECT_EQ(std::memcmp(info, before, rec::CcdInfoResult::ReadoutModeCount + 2), 0);
    for (std::size_t m = 0; m < rec::CcdInfoResult::kModeCount; ++m) {
        EXPECT_EQ(std::memcmp(info + rec::PackedCcdInfoResult::Mode(m),
                              before + rec::CcdInfoResult::Mode(m), rec::ReadoutModeInfo::kSize),
                  0)
            << m;
    }
}

TEST(CommandTable, RecordsSizedByTheirContents) {
    std::uint8_t line[rec::ReadoutLineParams::kSize] = {};
    le::Put16(line, rec::ReadoutLineParams::PixelLength, 0xFFFF);
    EXPECT_EQ(ResultBytes(cmd::ReadoutLine, line, false), 2u * 0xFFFF);
    std::uint8_t request[rec::CcdInfoParams::kSize] = {};
    const std::uint32_t expected[][2] = {{392, 390}, {392, 390}, {22, 22}, {4, 4}, {0, 0}};
    for (std::int16_t r = 0; r <= 4; ++r) {
        le::Put16(request, 0, static_cast<std::uint16_t>(r));
        EXPECT_EQ(ResultBytes(cmd::GetCCDInfo, request, false), expected[r][0]) << r;
        EXPECT_EQ(ResultBytes(cmd::GetCCDInfo, request, true), expected[r][1]) << r;
    }
    le::Put16(request, 0, 0xFFFF);  // request -1: refused, no result record
    EXPECT_EQ(ResultBytes(cmd::GetCCDInfo, request, true), 0u);
    std::uint8_t serial[2];
    le::Put16(serial, 0, 9);
    EXPECT_EQ(ParamsBytes(cmd::TxSerialBytes, serial, true), 11u);
    EXPECT_EQ(ResultBytes(cmd::TxSerialBytes, serial, true), 2u);
    EXPECT_EQ(ParamsBytes(cmd::StartExposure, nullptr, true), 10u);
    EXPECT_EQ(ParamsBytes(cmd::StartExposure, nullptr, false), 12u);
}

TEST(CommandTable, FunctionsAndCommandsFindEachOther) {
    for (const CommandRow& row : kCommandTable) {
        EXPECT_EQ(FindCommand(row.command), &row);
        if (row.function != 0) {
            EXPECT_EQ(FindFunction(row.function), &row);
        }
    }
    EXPECT_EQ(DriverFunction(CmdReadSubtractLine), 0u);  // sent as a ReadoutLine
    EXPECT_EQ(FindCommand(0), nullptr);
    EXPECT_EQ(FindCommand(31), nullptr);
    EXPECT_EQ(FindFunction(2114), nullptr);
}

TEST(Records, ReadoutLineLengthIsTheUnsignedWordAtSix) {
    std::uint8_t line[rec::ReadoutLineParams::kSize] = {0, 0, 4, 2, 0x10, 0, 0xFE, 0xFF};
    EXPECT_EQ(le::Get8(line, rec::ReadoutLineParams::ReadoutMode), 4);
    EXPECT_EQ(le::Get8(line, rec::ReadoutLineParams::VerticalFactor), 2);
    EXPECT_EQ(le::Get16(line, rec::ReadoutLineParams::PixelStart), 0x10);
    EXPECT_EQ(le::Get16(line, rec::ReadoutLineParams::PixelLength), 0xFFFE);
}

TEST(Records, TxSerialBytesSizeGrowsWithItsCount) {
    EXPECT_EQ(rec::TxSerialBytesParams::SizeFor(0), 2u);
    EXPECT_EQ(rec::TxSerialBytesParams::SizeFor(255), 257u);
}

}  // namespace
}  // namespace zeva
