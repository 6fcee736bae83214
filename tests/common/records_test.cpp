// Record layouts: the fields the two forms share, read through the
// little-endian helpers at their offsets.
#include "common/records.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "common/le.h"

namespace zeva {
namespace {

TEST(Records, PackedAndAlignedExposureStartCarryTheSameFields) {
    std::uint8_t packed[rec::PackedStartExposureParams::kSize] = {0x01, 0x00, 0x78, 0x56, 0x34,
                                                                  0x12, 0x02, 0x00, 0x01, 0x00};
    namespace p = rec::PackedStartExposureParams;
    namespace a = rec::StartExposureParams;
    std::uint8_t aligned[a::kSize] = {};
    le::Put16(aligned, a::Ccd, le::Get16(packed, p::Ccd));
    le::Put32(aligned, a::ExposureTime, le::Get32(packed, p::ExposureTime));
    le::Put16(aligned, a::OptionCode, le::Get16(packed, p::OptionCode));
    le::Put16(aligned, a::ShutterMode, le::Get16(packed, p::ShutterMode));
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
