// Link establishment: camera identification and the CCD geometry records.
#pragma once

#include "driver/device_state.h"

namespace zeva::driver {

inline constexpr int kEstablishLinkResultsSize = 2;  // u16 camera type

// Fills both geometry records from CameraType, SiskinVariant and EepromImage.
void InitCCDInfo(DeviceState* state);

}  // namespace zeva::driver
