// Frame planning for applications: which readout mode and vertical factor a
// binning needs, the window actually read (floored to the binning) beside the
// window asked for, the camera-family facts an application needs, the
// cooler's two-point calibration and the guiding relays' times.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "client/client.h"

namespace zeva::client {

// --- Camera families (by the camera type EstablishLink reports) -------------
// The driver's family table, as far as applications need it.

// Types 4, 5, 10 and 12 carry a tracking CCD beside the imaging CCD.
bool HasTrackingCcd(std::uint16_t cameraType);
// Types 6 and 8 are single-CCD cameras with their own clocking and pixel format.
bool IsSingleCcd(std::uint16_t cameraType);
// Types 4, 5, 10, 12 and 13: the microcontroller drives four guide relays,
// the pulse output and the tip-tilt port.  The single-CCD cameras' micro
// answers the relay command with CAN: they have no guide relays.
bool HasGuideRelays(std::uint16_t cameraType);
// Types 4, 5, 10, 12 and 13 have a shutter, one for both CCDs, that each
// exposure start opens, closes or leaves as it is.  The single-CCD cameras'
// exposures always take light.
bool HasShutter(std::uint16_t cameraType);
// Counts the driver adds to every pixel: 100 where it subtracts a measured
// bias (imaging CCDs, type 8), 0 where the samples are raw (tracking CCD, type 6).
std::uint16_t PedestalOf(std::uint16_t cameraType, unsigned ccd);
// CCD rows one output line consumes in `mode` (0..8) with `verticalFactor`
// rows shifted per line in modes 3 to 5.
unsigned RowsPerLine(unsigned mode, unsigned verticalFactor);
// Whether modes 3 to 5 (vertical factor chosen at readout) can be read:
// the imaging CCD of every camera that is not a single-CCD one.
bool VerticalFactorModes(std::uint16_t cameraType, unsigned ccd);

// The software's version, "3.30" (the project's, for every program's
// --version, the INDI driver's DRIVER_VERSION and FITS SWCREATE).
const char* Version();

// --- Readout plans -----------------------------------------------------------

// A window: unbinned pixels where asked for, binned pixels where read.
struct Window {
    unsigned x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Window&) const = default;
};

// One readout: the CCD, the mode with its vertical factor, the binning, the
// mode's binned size and the window read in it.  `requested` keeps what the
// application asked for; `x`, `y`, `w`, `h` are what is read.
struct ReadoutPlan {
    unsigned ccd = 0;
    unsigned mode = 0;
    unsigned verticalFactor = 1;             // sent with every line and dump
    unsigned hbin = 1, vbin = 1;             // vbin: CCD rows per output line
    unsigned modeWidth = 0, modeHeight = 0;  // binned pixels / lines of the whole CCD
    Window requested;                        // unbinned, as asked for
    unsigned x = 0, y = 0, w = 0, h = 0;     // binned window read, inside the mode
    // The window read in unbinned pixels.
    Window Unbinned() const { return {x * hbin, y * vbin, w * hbin, h * vbin}; }
};

// How a window that does not fit the CCD is handled.
enum class WindowFit : std::uint8_t {
    Clip,    // clipped to the CCD, at least one binned pixel kept
    Refuse,  // an error naming the CCD's size
};

// Whether the CCD offers hbin x vbin: symmetric binning n in mode n - 1 when
// the table has it with a height; else, where `verticalFactorModes`, the
// modes 3 to 5 with vertical factor vbin.
bool BinningOffered(const CcdInfo& info, bool verticalFactorModes, unsigned hbin, unsigned vbin);

// Plans a whole-CCD readout with hbin x vbin; false (with a message) when the
// binning is not offered.
bool PlanBinning(const CcdInfo& info, unsigned ccd, bool verticalFactorModes, unsigned hbin,
                 unsigned vbin, ReadoutPlan* plan, std::string* error);

// Plans a whole-CCD readout in `mode` (0 .. the table's size - 1) with
// `verticalFactor` for modes 3 to 5; false (with a message) when the CCD has
// no such mode or it is empty.
bool PlanMode(const CcdInfo& info, unsigned ccd, unsigned mode, unsigned verticalFactor,
              ReadoutPlan* plan, std::string* error);

// Sets the window to read from the unbinned `requested` one, each edge
// floored to the binning.  With WindowFit::Refuse, false (with a message)
// when the floored window is empty or leaves the CCD; the plan is unchanged then.
bool SetWindow(ReadoutPlan* plan, const Window& requested, WindowFit fit, std::string* error);

// Binned pixel size in um of `plan` on the CCD of `info`: from the mode
// table, or for the modes without a height from the unbinned height times
// the rows per line.
void BinnedPixelSize(const CcdInfo& info, const ReadoutPlan& plan, double* width, double* height);

// --- Cooler and guiding relays -------------------------------------------------

// Linear through (reading1, celsius1) and (reading2, celsius2).
struct CoolerCalibration {
    double reading1 = 1000, celsius1 = 25;
    double reading2 = 3000, celsius2 = -25;
    bool Valid() const { return reading1 != reading2 && celsius1 != celsius2; }
    double ToCelsius(double reading) const;
    // Rounded and limited to the setpoint range 0..4095.
    std::uint16_t ToReading(double celsius) const;
};

// Relay outputs (0..3) of the four guiding directions.
struct RelayMap {
    unsigned north = 0, south = 1, east = 2, west = 3;
    bool Valid() const;
};

// Relay on-times for the pulses still due on each axis: ms left and the
// direction (true = north / west).  Times count 10 ms and stay below 256 so
// the camera never switches to its coarse 160 ms unit; longer pulses are sent
// again in pieces.
std::array<std::uint16_t, 4> RelayTimes(const RelayMap& map, std::uint32_t nsMs, bool north,
                                        std::uint32_t weMs, bool west);

// The relay status word (command 7) shows output i with weight 8 >> i.
inline bool RelayClosed(std::uint16_t status, unsigned output) {
    return output < 4 && (status & (8u >> output)) != 0;
}

}  // namespace zeva::client
