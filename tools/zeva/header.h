// The FITS header of a frame: what the camera and the capture say, and the
// keys the user adds with --header KEY=VALUE.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/capture.h"
#include "tools/zeva/fits.h"

namespace zeva::tool {

// "KEY=VALUE" of --header as a key, the value typed as FITS wants it:
// 'quoted' is text, T and F logical, a whole number an integer, another
// number a real, anything else text.  False, with the reason, for a keyword
// that is not one (1 to 8 of A-Z, 0-9, '-', '_'; lower case is raised), a
// structural keyword, one the tool writes itself, or a value FITS cannot hold.
bool ParseUserKey(const std::string& text, FitsKey* key, std::string* error);

// The header of `frame`: everything from the plan it was read with, the
// cooler as it was at the start (null when it could not be read), then `user`.
std::vector<FitsKey> HeaderOf(const client::Frame& frame, const client::CcdInfo& ccd,
                              std::uint16_t cameraType, const client::TemperatureStatus* temp,
                              const std::vector<FitsKey>& user);

}  // namespace zeva::tool
