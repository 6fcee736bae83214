#include "client/plan.h"

#include <algorithm>
#include <cmath>

#include "driver/camera.h"

namespace zeva::client {

// The families are the driver's own table; the client passes them on.
bool HasTrackingCcd(std::uint16_t cameraType) {
    return driver::HasTrackingCcd(cameraType);
}

bool IsSingleCcd(std::uint16_t cameraType) {
    return driver::IsSingleCcd(cameraType);
}

bool HasGuideRelays(std::uint16_t cameraType) {
    return driver::IsDualFamily(cameraType);
}

bool HasShutter(std::uint16_t cameraType) {
    return driver::IsDualFamily(cameraType);
}

const char* Version() {
    return ZEVA_VERSION_TEXT;
}

std::uint16_t PedestalOf(std::uint16_t cameraType, unsigned ccd) {
    return driver::PedestalOf(cameraType, ccd);
}

unsigned RowsPerLine(unsigned mode, unsigned verticalFactor) {
    return driver::RowsPerLine(static_cast<int>(mode), static_cast<int>(verticalFactor));
}

bool VerticalFactorModes(std::uint16_t cameraType, unsigned ccd) {
    return ccd == 0 && !IsSingleCcd(cameraType);
}

namespace {

// Symmetric binning n reads in mode n - 1 when the table has it with a height.
bool SymmetricMode(const CcdInfo& info, unsigned n) {
    return n >= 1 && n <= 3 && n <= info.modes.size() && info.modes[n - 1].height != 0;
}

bool VerticalFactorMode(const CcdInfo& info, bool usable, unsigned hbin, unsigned vbin) {
    return usable && hbin >= 1 && hbin <= 3 && vbin >= 1 && vbin <= 3 && info.modes.size() >= 6 &&
           info.modes[2 + hbin].height == 0 && info.modes[0].height != 0;
}

// Fills the mode's part of `plan` and selects the whole CCD.
bool FillMode(const CcdInfo& info, unsigned ccd, unsigned mode, unsigned verticalFactor,
              ReadoutPlan* plan, std::string* error) {
    ReadoutPlan p;
    p.ccd = ccd;
    p.mode = mode;
    p.verticalFactor = verticalFactor;
    p.hbin = mode % 3 + 1;
    p.vbin = RowsPerLine(mode, verticalFactor);
    const ReadoutModeInfo& m = info.modes[mode];
    p.modeWidth = m.width;
    p.modeHeight = m.height ? m.height : (p.vbin ? info.modes[0].height / p.vbin : 0);
    if (p.modeWidth == 0 || p.modeHeight == 0) {
        *error = "the CCD reports an empty readout mode";
        return false;
    }
    p.w = p.modeWidth;
    p.h = p.modeHeight;
    p.requested = p.Unbinned();
    *plan = p;
    return true;
}

}  // namespace

bool BinningOffered(const CcdInfo& info, bool verticalFactorModes, unsigned hbin, unsigned vbin) {
    if (hbin == vbin && SymmetricMode(info, hbin))
        return true;
    return VerticalFactorMode(info, verticalFactorModes, hbin, vbin);
}

bool PlanBinning(const CcdInfo& info, unsigned ccd, bool verticalFactorModes, unsigned hbin,
                 unsigned vbin, ReadoutPlan* plan, std::string* error) {
    if (hbin == vbin && SymmetricMode(info, hbin))
        return FillMode(info, ccd, hbin - 1, 1, plan, error);
    if (VerticalFactorMode(info, verticalFactorModes, hbin, vbin))
        return FillMode(info, ccd, 2 + hbin, vbin, plan, error);
    *error = "binning " + std::to_string(hbin) + "x" + std::to_string(vbin) +
             " is not offered by this CCD";
    return false;
}

bool PlanMode(const CcdInfo& info, unsigned ccd, unsigned mode, unsigned verticalFactor,
              ReadoutPlan* plan, std::string* error) {
    if (mode >= info.modes.size()) {
        *error = "readout mode " + std::to_string(mode) + " is not offered by this CCD";
        if (!info.modes.empty())
            *error += " (valid: 0 to " + std::to_string(info.modes.size() - 1) + ")";
        return false;
    }
    if (verticalFactor < 1 || verticalFactor > 255) {
        *error = "vertical factor " + std::to_string(verticalFactor) + " is not 1 to 255";
        return false;
    }
    return FillMode(info, ccd, mode, verticalFactor, plan, error);
}

bool SetWindow(ReadoutPlan* plan, const Window& requested, WindowFit fit, std::string* error) {
    ReadoutPlan& p = *plan;
    const unsigned x = requested.x / p.hbin, y = requested.y / p.vbin;
    const unsigned w = requested.w / p.hbin, h = requested.h / p.vbin;
    if (fit == WindowFit::Refuse) {
        // Each sum in 64 bits: a window far outside must not wrap into the CCD.
        if (w == 0 || h == 0 || std::uint64_t{x} + w > p.modeWidth ||
            std::uint64_t{y} + h > p.modeHeight) {
            *error = "window " + std::to_string(requested.x) + "," + std::to_string(requested.y) +
                     "," + std::to_string(requested.w) + "," + std::to_string(requested.h) +
                     " does not fit the CCD in this mode (valid: inside " +
                     std::to_string(p.modeWidth * p.hbin) + " x " +
                     std::to_string(p.modeHeight * p.vbin) +
                     " unbinned pixels, at least one binned pixel)";
            return false;
        }
        p.x = x, p.y = y, p.w = w, p.h = h;
    } else {
        p.x = std::min(x, p.modeWidth - 1);
        p.y = std::min(y, p.modeHeight - 1);
        p.w = std::clamp(w, 1u, p.modeWidth - p.x);
        p.h = std::clamp(h, 1u, p.modeHeight - p.y);
    }
    p.requested = requested;
    return true;
}

void BinnedPixelSize(const CcdInfo& info, const ReadoutPlan& plan, double* width, double* height) {
    *width = *height = 0;
    if (plan.mode >= info.modes.size())
        return;
    const ReadoutModeInfo& m = info.modes[plan.mode];
    *width = BcdHundredths(m.pixelWidth);
    *height = m.height ? BcdHundredths(m.pixelHeight)
                       : BcdHundredths(info.modes[0].pixelHeight) * plan.vbin;
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

}  // namespace zeva::client
