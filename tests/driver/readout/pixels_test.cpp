// Pixel arithmetic of the readout engine.
#include "driver/readout/pixels.h"

#include <gtest/gtest.h>

namespace zeva::driver {
namespace {

TEST(ImagingPixel, SubtractsBiasAndClipsAbove63000) {
    EXPECT_EQ(ImagingPixel(500, 500), 0);  // equal to the bias
    EXPECT_EQ(ImagingPixel(499, 500), 0);  // below the bias
    EXPECT_EQ(ImagingPixel(500 + 63000, 500), 63000);
    EXPECT_EQ(ImagingPixel(500 + 63001, 500), 65535);
    EXPECT_EQ(ImagingPixel(1234, 0), 1234);
    EXPECT_EQ(ImagingPixel(65535, 0), 65535);
}

TEST(ImagingSumPixel, BelowBiasDropsSumAndSaturationWins) {
    EXPECT_EQ(ImagingSumPixel(40000, 99, 100), 0);  // a low second row drops the first
    EXPECT_EQ(ImagingSumPixel(10, 100 + 63001, 100), 65535);
    EXPECT_EQ(ImagingSumPixel(65535, 100 + 5, 100), 65535);      // saturated stays saturated
    EXPECT_EQ(ImagingSumPixel(40000, 100 + 30000, 100), 65535);  // capped sum
    EXPECT_EQ(ImagingSumPixel(1000, 100 + 2000, 100), 3000);
}

TEST(TrackingPixel, MeanWithoutOverflowAndClip) {
    EXPECT_EQ(TrackingMean(65535, 65535), 65535);
    EXPECT_EQ(TrackingMean(1, 2), 1);
    EXPECT_EQ(TrackingPixel(TrackingMean(65535, 65535)), 65535);
    EXPECT_EQ(TrackingPixel(63001), 65535);
    EXPECT_EQ(TrackingPixel(63000), 63000);
    EXPECT_EQ(TrackingPixel(0), 0);
}

std::uint16_t FinchPixel(std::uint16_t finch_bias, std::initializer_list<std::uint16_t> samples) {
    std::uint32_t sum = 0;
    for (std::uint16_t s : samples) sum = SingleAddSample(SingleModel::Finch, sum, s);
    const int n = static_cast<int>(samples.size());
    return SinglePixel(sum, FinchSumBias(finch_bias, n), SingleClip(SingleModel::Finch, n));
}

TEST(FinchPixel, BiasOfThreeSamplesAndClip) {
    EXPECT_EQ(FinchSumBias(50, 3), 350);
    EXPECT_EQ(FinchPixel(50, {100, 100, 150}), 0);  // sum 350
    EXPECT_EQ(FinchPixel(50, {100, 100, 151}), 1);  // sum 351
    EXPECT_EQ(FinchPixel(50, {4095, 4095, 4095}), 12285 - 350);
    const ClipRule clip = SingleClip(SingleModel::Finch, 3);
    EXPECT_EQ(SinglePixel(350 + 12286, 350, clip), 12287);
    EXPECT_EQ(SinglePixel(350 + 12285, 350, clip), 12285);
}

TEST(FinchPixel, KeepsLowTwelveBitsOfEachSample) {
    // Bias 0: one sample is reduced by 0 (Bs = 100 - 100).
    EXPECT_EQ(FinchPixel(0, {4097}), 1);
    EXPECT_EQ(FinchPixel(0, {4090}), 4090);
    EXPECT_EQ(FinchPixel(0, {4091}), 4095);
    EXPECT_EQ(FinchPixel(0, {4095, 4096}), 4095 - 100);  // two samples: Bs = 100
    EXPECT_EQ(SinglePixel(100 + 8191, 100, SingleClip(SingleModel::Finch, 2)), 8191);
    EXPECT_EQ(SinglePixel(100 + 8190, 100, SingleClip(SingleModel::Finch, 2)), 8190);
}

TEST(SiskinPixel, CapsSumAndClipsPerSampleCount) {
    auto pixel = [](std::uint16_t bias, std::initializer_list<std::uint16_t> samples) {
        std::uint32_t sum = 0;
        for (std::uint16_t s : samples) sum = SingleAddSample(SingleModel::Siskin, sum, s);
        const int n = static_cast<int>(samples.size());
        return SinglePixel(sum, FinchSumBias(bias, n), SingleClip(SingleModel::Siskin, n));
    };
    EXPECT_EQ(pixel(20, {20 + 16384}), 16383);
    EXPECT_EQ(pixel(20, {20 + 16380}), 16380);
    EXPECT_EQ(pixel(0, {30000, 30000, 30000}), 49151);  // 90000 capped to 65535, then clipped
    EXPECT_EQ(pixel(1000, {30000, 30000, 30000}), 49151);
    // Capped at 65535 before the bias: 65535 - (10100 * 3 - 100).
    EXPECT_EQ(pixel(10000, {30000, 30000, 30000}), 65535 - 30200);
}

TEST(EgretPixel, SixteenBitSumOverflowsToSaturation) {
    std::uint32_t sum = SingleAddSample(SingleModel::Egret, 0, 40000);
    sum = SingleAddSample(SingleModel::Egret, sum, 40000);
    EXPECT_EQ(sum, 65535u);
    EXPECT_EQ(SinglePixel(sum, 0, SingleClip(SingleModel::Egret, 2)), 65535);
    EXPECT_EQ(SinglePixel(32760, 0, SingleClip(SingleModel::Egret, 1)), 32760);
    EXPECT_EQ(SinglePixel(32761, 0, SingleClip(SingleModel::Egret, 1)), 32767);
    EXPECT_EQ(SinglePixel(63000, 0, SingleClip(SingleModel::Egret, 2)), 63000);
}

TEST(BiasMeasurement, AverageBelowPedestalStoresZero) {
    EXPECT_EQ(FinchBiasFromSum(99 * 25), 0);
    EXPECT_EQ(FinchBiasFromSum(100 * 25), 0);
    EXPECT_EQ(FinchBiasFromSum(101 * 25), 1);
    EXPECT_EQ(FinchBiasFromSum(101 * 25 - 12), 1);  // rounds to nearest
    EXPECT_EQ(FinchBiasFromSum(101 * 25 - 13), 0);
    EXPECT_EQ(ImagingBiasFromSum(99 * 100), 0);
    EXPECT_EQ(ImagingBiasFromSum(350 * 100 + 49), 250);
    EXPECT_EQ(ImagingBiasFromSum(350 * 100 - 12), 250);
    EXPECT_EQ(OffsetFromSum(128 * 700 + 63), 700);
    EXPECT_EQ(OffsetFromSum(128 * 700 + 64), 701);
}

TEST(ModeFactors, MatchTheModeTable) {
    const int expected[9][3] = {{1, 1, 1}, {2, 2, 1}, {3, 3, 1}, {1, 7, 1}, {2, 7, 1},
                                {3, 7, 1}, {1, 1, 1}, {2, 1, 2}, {3, 1, 3}};
    for (int m = 0; m < 9; ++m) {
        const ModeFactors f = FactorsOfMode(m, 7);
        EXPECT_EQ(f.HorizontalBinning, expected[m][0]) << m;
        EXPECT_EQ(f.VerticalShifts, expected[m][1]) << m;
        EXPECT_EQ(f.SummedRows, expected[m][2]) << m;
        EXPECT_EQ(RowsPerLine(m, 7), expected[m][1] * expected[m][2]) << m;
    }
    EXPECT_EQ(RowsPerLine(3, 0), 0);
}

TEST(Window, ColumnsFromTheLeftAndFromTheRight) {
    EXPECT_EQ(WindowStartColumn(2, 10, 14), 34);
    EXPECT_EQ(ImagingTrailingColumns(2184, 2, 100, 14), 2184 - 200 - 14);
    // Tracking: 192 active, binning 1, window of 3 at 5 from the left:
    // located from the right-hand end.
    EXPECT_EQ(TrackingStartColumn(1, 192, 5, 3, 4), 192 - 3 - 5 + 4);
    EXPECT_EQ(TrackingStartColumn(2, 193, 0, 96, 4), 2 * (96 - 96) + 4);
    EXPECT_EQ(RoundUpToTen(0), 0);
    EXPECT_EQ(RoundUpToTen(-4), -4);
    EXPECT_EQ(RoundUpToTen(1), 10);
    EXPECT_EQ(RoundUpToTen(20), 20);
}

}  // namespace
}  // namespace zeva::driver
