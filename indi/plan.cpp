#include "indi/plan.h"

#include <algorithm>
#include <cmath>

namespace zeva::indi {

namespace {

// Symmetric binning n reads in mode n - 1 when the table has it with a height.
bool SymmetricMode(const client::CcdInfo& info, unsigned n) {
    return n >= 1 && n <= 3 && n <= info.modes.size() && info.modes[n - 1].height != 0;
}

bool VerticalFactorMode(const client::CcdInfo& info, bool usable, unsigned hbin, unsigned vbin) {
    return usable && hbin >= 1 && hbin <= 3 && vbin >= 1 && vbin <= 3 && info.modes.size() >= 6 &&
           info.modes[2 + hbin].height == 0 && info.modes[0].height != 0;
}

}  // namespace

bool BinningOffered(const client::CcdInfo& info, bool verticalFactorModes, unsigned hbin,
                    unsigned vbin) {
    if (hbin == vbin && SymmetricMode(info, hbin))
        return true;
    return VerticalFactorMode(info, verticalFactorModes, hbin, vbin);
}

bool PlanReadout(const client::CcdInfo& info, bool verticalFactorModes, unsigned hbin,
                 unsigned vbin, unsigned x, unsigned y, unsigned w, unsigned h, ReadoutPlan* plan,
                 std::string* error) {
    ReadoutPlan p;
    p.hbin = hbin;
    p.vbin = vbin;
    if (hbin == vbin && SymmetricMode(info, hbin)) {
        p.mode = hbin - 1;
        p.verticalFactor = 1;
        p.modeWidth = info.modes[p.mode].width;
        p.modeHeight = info.modes[p.mode].height;
    } else if (VerticalFactorMode(info, verticalFactorModes, hbin, vbin)) {
        p.mode = 2 + hbin;
        p.verticalFactor = vbin;
        p.modeWidth = info.modes[p.mode].width;
        p.modeHeight = info.modes[0].height / vbin;
    } else {
        *error = "binning " + std::to_string(hbin) + "x" + std::to_string(vbin) +
                 " is not offered by this CCD";
        return false;
    }
    if (p.modeWidth == 0 || p.modeHeight == 0) {
        *error = "the CCD reports an empty readout mode";
        return false;
    }
    p.x = std::min(x / hbin, p.modeWidth - 1);
    p.y = std::min(y / vbin, p.modeHeight - 1);
    p.w = std::clamp(w / hbin, 1u, p.modeWidth - p.x);
    p.h = std::clamp(h / vbin, 1u, p.modeHeight - p.y);
    *plan = p;
    return true;
}

double CoolerCalibration::ToCelsius(double reading) const {
    return celsius1 + (reading - reading1) * (celsius2 - celsius1) / (reading2 - reading1);
}

std::uint16_t CoolerCalibration::ToReading(double celsius) const {
    const double r =
        std::round(reading1 + (celsius - celsius1) * (reading2 - reading1) / (celsius2 - celsius1));
    if (!(r > 0))
        return 0;
    return static_cast<std::uint16_t>(std::min(r, 4095.0));
}

bool RelayMap::Valid() const {
    const unsigned o[4] = {north, south, east, west};
    for (unsigned i = 0; i < 4; ++i) {
        if (o[i] > 3)
            return false;
        for (unsigned j = i + 1; j < 4; ++j)
            if (o[i] == o[j])
                return false;
    }
    return true;
}

std::array<std::uint16_t, 4> RelayTimes(const RelayMap& map, std::uint32_t nsMs, bool north,
                                        std::uint32_t weMs, bool west) {
    auto units = [](std::uint32_t ms) {
        return static_cast<std::uint16_t>(std::min<std::uint32_t>((ms + 5) / 10, 255));
    };
    std::array<std::uint16_t, 4> t{};
    if (nsMs > 0 && map.Valid())
        t[north ? map.north : map.south] = units(nsMs);
    if (weMs > 0 && map.Valid())
        t[west ? map.west : map.east] = units(weMs);
    return t;
}

}  // namespace zeva::indi
