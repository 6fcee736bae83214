// The set-up pages Alpaca clients open in the user's browser: the server's
// page (its cameras and their port entries) and one page per camera device
// with a form for the camera's cooler calibration and guiding relays, saved
// to the server's settings file and applied at once.  Plain HTML with a
// little CSS, narrow enough for a phone.
#pragma once

#include <string>
#include <vector>

#include "alpaca/device.h"

namespace httplib {
class Server;
}  // namespace httplib

namespace zeva::alpaca {

struct ServerInfo;

// Adds GET /setup, and GET and POST /setup/v1/camera/{n}/setup.
void AddSetupPages(httplib::Server& http, const std::vector<CameraDevice*>& devices,
                   const ServerInfo& info);

// `text` with the characters HTML gives a meaning (& < > " ') escaped.
std::string EscapeHtml(const std::string& text);

}  // namespace zeva::alpaca
