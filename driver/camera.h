// The camera families: type numbers, what each family has and how it is
// clocked, model names and CCD geometry.  Written once here and read by the
// link, the command routines, the readout engine and (through the client)
// the applications.  Constants and constexpr functions only.
#pragma once

#include <cstdint>

namespace zeva::driver {

// Camera type numbers (DeviceState::CameraType).
inline constexpr std::uint32_t kCameraGannet = 4;
inline constexpr std::uint32_t kCameraHeron = 5;
inline constexpr std::uint32_t kCameraEgret = 6;
inline constexpr std::uint32_t kCameraType7 = 7;
inline constexpr std::uint32_t kCameraFinch = 8;  // Siskin when SiskinVariant is set
inline constexpr std::uint32_t kCameraType9 = 9;
inline constexpr std::uint32_t kCameraIbis = 10;
inline constexpr std::uint32_t kCameraJacana = 12;
inline constexpr std::uint32_t kCameraKestrel = 13;

// The microcontroller's 4-bit model number to camera type; index 2 is refused.
inline constexpr std::uint32_t romMSNtoID[5] = {4, 6, 7, 8, 9};

// Measured offset above which a type-8 camera is the Siskin variant.
inline constexpr std::uint16_t kSiskinOffsetThreshold = 200;

// Microcontroller with EEPROM and the dual-CCD packet formats (the Kestrel
// shares them though it has one CCD).
constexpr bool IsDualFamily(std::uint32_t type) {
    return type == kCameraGannet || type == kCameraHeron || type == kCameraIbis ||
           type == kCameraJacana || type == kCameraKestrel;
}
// Single-CCD cameras clocked by the driver, with their own pixel format.
constexpr bool IsSingleCcd(std::uint32_t type) {
    return type == kCameraEgret || type == kCameraFinch;
}
// Types with a tracking CCD of their own.
constexpr bool HasTrackingCcd(std::uint32_t type) {
    return type == kCameraGannet || type == kCameraHeron || type == kCameraIbis ||
           type == kCameraJacana;
}
// Types whose records name a tracking CCD (MaxCCD 1 after an exposure
// start): the tracking cameras and type 9, which is not clocked as one.
constexpr bool NamesTrackingCcd(std::uint32_t type) {
    return HasTrackingCcd(type) || type == kCameraType9;
}
// Type 9 freezes the cooler drive around a readout.
constexpr bool FreezesTEForReadout(std::uint32_t type) {
    return type == kCameraType9;
}
// The Jacana's imaging CCD takes its vertical phases swapped.
constexpr bool SwapsVerticalPhases(std::uint32_t type) {
    return type == kCameraJacana;
}
// The Kestrel paces its vertical phases by the horizontal clocks.
constexpr bool PacesPhasesByHorizontalClock(std::uint32_t type) {
    return type == kCameraKestrel;
}
// Port reads per vertical phase step.
constexpr std::int16_t DelayUnitOf(std::uint32_t type) {
    return type == kCameraKestrel ? 100 : 10;
}
// Mask of the A/D samples: 16 bits on the Egret and the Siskin, 12 bits else.
constexpr std::uint16_t SampleMaskOf(std::uint32_t type, bool siskin) {
    return (type == kCameraEgret || siskin) ? 65535 : 4095;
}

// Pedestal left in every bias-corrected pixel.
inline constexpr std::uint16_t kPixelPedestal = 100;
// The offset a pixel value carries: the pedestal on a bias-corrected CCD (the
// imaging CCD, and the Finch/Siskin), none on the raw samples of the tracking
// CCD and the Egret.
constexpr std::uint16_t PedestalOf(std::uint32_t type, unsigned ccd) {
    return (ccd == 1 || type == kCameraEgret) ? 0 : kPixelPedestal;
}

// Readout modes 0..8: horizontal binning mode % 3 + 1; modes 0..2 shift as
// many rows on the chip, 3..5 shift the vertical factor's rows, 6..8 sum
// mode - 5 rows in the driver.  Rows of the CCD one line consumes.
constexpr std::uint16_t RowsPerLine(int mode, int vertical_factor) {
    if (mode < 3)
        return static_cast<std::uint16_t>(mode + 1);
    if (mode <= 5)
        return static_cast<std::uint16_t>(vertical_factor);
    return static_cast<std::uint16_t>(mode - 5);
}

// Where a geometry field's value comes from.
enum class GeoSource : std::uint8_t { Fixed, EepromWord };

struct CcdGeometryRow {
    std::uint16_t ActiveColumns;
    std::uint16_t ActiveRows;
    std::uint16_t TopRows;
    std::uint16_t LeftColumns;
    std::uint16_t BottomRows;
    std::uint16_t RightColumns;
    std::uint16_t PixelWidth;   // BCD
    std::uint16_t PixelHeight;  // BCD
    GeoSource GainSource;
    std::uint16_t Gain;  // BCD value, or EEPROM byte offset of the word
    GeoSource EepromWordSource;
    std::uint16_t EepromWord;  // value, or EEPROM byte offset of the word
};

// Imaging CCD (record 0).
inline constexpr CcdGeometryRow kImagingGannet = {
    765, 510, 5, 15, 6, 15, 0x0900, 0x0900, GeoSource::EepromWord, 12, GeoSource::EepromWord, 10};
inline constexpr CcdGeometryRow kImagingHeron = {
    1530, 1020, 5, 15, 6, 15, 0x0900, 0x0900, GeoSource::EepromWord, 12, GeoSource::EepromWord, 10};
inline constexpr CcdGeometryRow kImagingIbis = {
    512, 512, 4, 12, 4, 10, 0x2000, 0x2000, GeoSource::EepromWord, 12, GeoSource::EepromWord, 10};
inline constexpr CcdGeometryRow kImagingJacana = {
    2184, 1472, 34, 46, 4, 37, 0x0680, 0x0680, GeoSource::EepromWord, 12, GeoSource::EepromWord,
    10};
inline constexpr CcdGeometryRow kImagingKestrel = {
    1024, 1024, 4, 8, 4, 10, 0x2400, 0x2400, GeoSource::EepromWord, 12, GeoSource::EepromWord, 10};
inline constexpr CcdGeometryRow kImagingEgret = {
    320, 240, 2, 14, 0, 1, 0x1000, 0x1000, GeoSource::Fixed, 0x0125, GeoSource::Fixed, 0};
inline constexpr CcdGeometryRow kImagingFinch = {
    640, 480, 17, 26, 0, 16, 0x0740, 0x0740, GeoSource::Fixed, 0x0420, GeoSource::Fixed, 0};
inline constexpr CcdGeometryRow kImagingSiskin = {
    657, 495, 3, 26, 0, 65535, 0x0740, 0x0740, GeoSource::Fixed, 0x0072, GeoSource::Fixed, 0};
inline constexpr CcdGeometryRow kImagingDefault = {
    100, 100, 0, 0, 0, 0, 0x1000, 0x1000, GeoSource::EepromWord, 12, GeoSource::EepromWord, 10};

// Tracking CCD (record 1).
inline constexpr CcdGeometryRow kTrackingDual = {
    190, 162, 0, 6, 1, 12, 0x1375, 0x1600, GeoSource::EepromWord, 8, GeoSource::EepromWord, 6};
inline constexpr CcdGeometryRow kTrackingDefault = {
    192, 164, 0, 4, 1, 12, 0x1375, 0x1600, GeoSource::EepromWord, 8, GeoSource::EepromWord, 6};

// Horizontal binning per readout mode.
inline constexpr std::uint16_t kImagingModeBinning[9] = {1, 2, 3, 1, 2, 3, 1, 2, 3};
inline constexpr std::uint16_t kTrackingModeBinning[2] = {1, 2};

// The imaging row of a camera type.
constexpr const CcdGeometryRow& ImagingRowFor(std::uint32_t type, bool siskin) {
    switch (type) {
        case 4:
            return kImagingGannet;
        case 5:
            return kImagingHeron;
        case 10:
            return kImagingIbis;
        case 12:
            return kImagingJacana;
        case 13:
            return kImagingKestrel;
        case 6:
            return kImagingEgret;
        case 8:
            return siskin ? kImagingSiskin : kImagingFinch;
        default:
            return kImagingDefault;
    }
}

// The tracking row of a camera type; nullptr when the record is left as it was
// (types 6, 8 and 13).
constexpr const CcdGeometryRow* TrackingRowFor(std::uint32_t type) {
    if (IsSingleCcd(type) || type == kCameraKestrel)
        return nullptr;
    if (HasTrackingCcd(type))
        return &kTrackingDual;
    return &kTrackingDefault;
}

// Model name reported by the CCD information command.
constexpr const char* CameraNameFor(std::uint32_t type, bool siskin) {
    switch (type) {
        case 4:
            return "ZEVA Gannet Dual CCD Camera";
        case 5:
            return "ZEVA Heron Dual CCD Camera";
        case 6:
            return "Egret Camera";
        case 8:
            return siskin ? "ZEVA Siskin Camera" : "ZEVA Finch Camera";
        case 10:
            return "ZEVA Ibis Dual CCD Camera";
        case 12:
            return "ZEVA Jacana Dual CCD Camera";
        case 13:
            return "ZEVA Kestrel CCD Camera";
        default:
            return "ZEVA Model-? CCD Camera";
    }
}

}  // namespace zeva::driver
