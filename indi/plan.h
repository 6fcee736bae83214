// Pure helpers of the INDI driver: readout plans from binning and frame,
// the cooler's two-point calibration and the guiding relay times.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "client/client.h"

namespace zeva::indi {

// One readout: the mode, its vertical factor and the window in binned pixels.
struct ReadoutPlan {
    unsigned mode = 0;
    unsigned verticalFactor = 1;
    unsigned hbin = 1, vbin = 1;
    unsigned modeWidth = 0, modeHeight = 0;  // binned pixels / lines of the whole CCD
    unsigned x = 0, y = 0, w = 0, h = 0;     // binned window, inside the mode
};

// Whether the CCD offers hbin x vbin; `verticalFactorModes` says whether its
// modes 3 to 5 (vertical factor chosen at readout) can be read.
bool BinningOffered(const client::CcdInfo& info, bool verticalFactorModes, unsigned hbin,
                    unsigned vbin);

// Plans a readout of the unbinned frame x, y, w, h; the window is clipped to
// the CCD and keeps at least one binned pixel.  False (with a message) when
// the binning is not offered.
bool PlanReadout(const client::CcdInfo& info, bool verticalFactorModes, unsigned hbin,
                 unsigned vbin, unsigned x, unsigned y, unsigned w, unsigned h, ReadoutPlan* plan,
                 std::string* error);

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

}  // namespace zeva::indi
