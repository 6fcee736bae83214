#include "alpaca/setup.h"

#include <httplib.h>

#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "alpaca/server.h"
#include "alpaca/settings.h"
#include "client/plan.h"

namespace zeva::alpaca {

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";

// The form's fields, in the order of the page.
constexpr const char* kCalibrationFields[4] = {"reading1", "celsius1", "reading2", "celsius2"};
constexpr const char* kRelayFields[4] = {"north", "south", "east", "west"};
constexpr const char* kDirections[4] = {"North", "South", "East", "West"};

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:0 auto;padding:0 1em 2em;max-width:36em;"
    "line-height:1.4;color:#222}"
    "h1{font-size:1.3em}h2{font-size:1.1em}"
    "code{word-break:break-all}"
    "fieldset{border:1px solid #bbb;border-radius:6px;margin:1em 0;padding:.5em 1em 1em}"
    "label{display:block;margin-top:.6em}"
    "input,select{display:block;box-sizing:border-box;width:100%;font-size:1em;padding:.4em}"
    "button{margin-top:1em;font-size:1.1em;padding:.5em 2em}"
    ".range{color:#555;font-size:.9em}"
    ".notice{border-radius:6px;padding:.6em 1em}"
    ".saved{background:#e3f4e1;border:1px solid #7b7}"
    ".refused{background:#fbe4e4;border:1px solid #c77}"
    "li{margin:.6em 0}";

// Shortest text that reads back as the same number (a page saved again
// unchanged changes nothing).
std::string Decimal(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string Page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>" +
           EscapeHtml(title) + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n" + body +
           "</body></html>\n";
}

void SendPage(httplib::Response& res, int status, const std::string& title,
              const std::string& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(Page(title, body), kHtml);
}

// The form's values as texts: what the camera has, or what was sent.
using Fields = std::map<std::string, std::string>;

Fields FieldsOf(const CameraSettings& s) {
    const client::CoolerCalibration& c = s.calibration;
    const client::RelayMap& r = s.relays;
    return {{"reading1", Decimal(c.reading1)},  {"celsius1", Decimal(c.celsius1)},
            {"reading2", Decimal(c.reading2)},  {"celsius2", Decimal(c.celsius2)},
            {"north", std::to_string(r.north)}, {"south", std::to_string(r.south)},
            {"east", std::to_string(r.east)},   {"west", std::to_string(r.west)}};
}

// Reads the form into `s`; false with the reason, naming the field.  Without
// `withRelays` (a camera that has none) the relays in `s` stay as they are.
bool ParseFields(const Fields& f, bool withRelays, CameraSettings* s, std::string* why) {
    double* numbers[4] = {&s->calibration.reading1, &s->calibration.celsius1,
                          &s->calibration.reading2, &s->calibration.celsius2};
    unsigned* relays[4] = {&s->relays.north, &s->relays.south, &s->relays.east, &s->relays.west};
    for (int i = 0; i < 4; ++i) {
        const auto it = f.find(kCalibrationFields[i]);
        if (it == f.end()) {
            *why = std::string(kCalibrationFields[i]) + " is missing";
            return false;
        }
        if (!ParseNumber(it->second, numbers[i])) {
            *why = std::string(kCalibrationFields[i]) + " \"" + it->second + "\" is not a number";
            return false;
        }
    }
    for (int i = 0; i < 4 && withRelays; ++i) {
        const auto it = f.find(kRelayFields[i]);
        long long v = -1;
        if (it == f.end() || !ParseInteger(it->second, &v) || v < 0 || v > 3) {
            *why = std::string(kRelayFields[i]) + " \"" + (it == f.end() ? "" : it->second) +
                   "\" is not a relay 0 to 3";
            return false;
        }
        *relays[i] = static_cast<unsigned>(v);
    }
    if (std::string fault = CalibrationFault(s->calibration); !fault.empty()) {
        *why = fault;
        return false;
    }
    for (int i = 0; i < 4 && withRelays; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (*relays[i] == *relays[j]) {
                *why = std::string(kRelayFields[i]) + " and " + kRelayFields[j] +
                       " are both relay " + std::to_string(*relays[i]) +
                       ": each direction needs its own relay";
                return false;
            }
    return true;
}

// "celsius1 25 to 20, north relay 0 to 2"; empty when nothing changed.
std::string Changes(const CameraSettings& before, const CameraSettings& after) {
    const Fields a = FieldsOf(before), b = FieldsOf(after);
    std::string out;
    for (const char* const* names : {kCalibrationFields, kRelayFields})
        for (int i = 0; i < 4; ++i)
            if (a.at(names[i]) != b.at(names[i]))
                out += std::string(out.empty() ? "" : ", ") + names[i] + " " + a.at(names[i]) +
                       " to " + b.at(names[i]);
    return out;
}

class SetupPages {
  public:
    SetupPages(std::vector<CameraDevice*> devices, std::string location, std::string path)
        : devices_(std::move(devices)), location_(std::move(location)), path_(std::move(path)) {}

    void ServerPage(httplib::Response& res) const;
    void DevicePage(const httplib::Request& req, httplib::Response& res, bool post);

  private:
    void Show(httplib::Response& res, int status, const CameraDevice& d, const Fields& fields,
              const std::string& notice, bool saved) const;
    // Why the camera of `d` must not be changed now; empty when it may.
    std::string Busy(const CameraDevice& d) const;
    // Changes the camera of `d` and the settings file; false with the reason.
    bool Save(CameraDevice& d, const CameraSettings& s, std::string* what, int* status);

    std::vector<CameraDevice*> devices_;
    std::string location_, path_;
    std::mutex saveLock_;  // one save at a time: each rewrites the whole file
};

void SetupPages::ServerPage(httplib::Response& res) const {
    std::string body = "<h1>ZEVA Alpaca camera server</h1>\n<p>" +
                       EscapeHtml(location_.empty() ? "" : "Location: " + location_) +
                       "</p>\n<h2>Cameras</h2>\n<ul>\n";
    for (const CameraDevice* d : devices_)
        body += "<li><a href=\"/setup/v1/camera/" + std::to_string(d->number()) +
                "/setup\">Camera " + std::to_string(d->number()) + ": " + EscapeHtml(d->Name()) +
                "</a><br>port entry <code>" + EscapeHtml(d->unit().entry()) + "</code></li>\n";
    body +=
        "</ul>\n<p class=\"range\">The cameras served are given when the server starts "
        "(<code>--sim</code>, <code>--port</code> or <code>ZEVA_PORTS</code>). Settings file: "
        "<code>" +
        EscapeHtml(path_) + "</code></p>\n";
    SendPage(res, 200, "ZEVA Alpaca set-up", body);
}

void SetupPages::Show(httplib::Response& res, int status, const CameraDevice& d,
                      const Fields& fields, const std::string& notice, bool saved) const {
    const std::string n = std::to_string(d.number());
    std::string body = "<h1>Camera " + n + ": " + EscapeHtml(d.Name()) +
                       "</h1>\n<p>Port entry <code>" + EscapeHtml(d.unit().entry()) + "</code>";
    for (const CameraDevice* other : devices_)
        if (other != &d && &other->unit() == &d.unit())
            body += "; the same camera as camera " + std::to_string(other->number()) +
                    ", which shares these settings";
    body += ".</p>\n";
    if (!notice.empty())
        body += std::string("<p id=\"notice\" role=\"status\" class=\"notice ") +
                (saved ? "saved" : "refused") + "\">" + EscapeHtml(notice) + "</p>\n";
    auto value = [&](const char* name) {
        const auto it = fields.find(name);
        return EscapeHtml(it == fields.end() ? "" : it->second);
    };
    double low = 0, high = 0;
    d.unit().SetpointRange(&low, &high);
    body += "<form method=\"post\" action=\"/setup/v1/camera/" + n +
            "/setup\">\n<fieldset><legend>Cooler calibration</legend>\n"
            "<p class=\"range\">Two points, each a reading of the cooler's sensor (0 to 4095) and "
            "the sensor temperature it means; the readings differ, and so do the "
            "temperatures.</p>\n";
    const std::string celsiusRange = Decimal(kColdestCelsius) + " to " + Decimal(kWarmestCelsius);
    const char* labels[4] = {"Point 1: reading", "Point 1: temperature", "Point 2: reading",
                             "Point 2: temperature"};
    for (int i = 0; i < 4; ++i) {
        const bool reading = i % 2 == 0;
        const std::string range = reading ? "min=\"0\" max=\"4095\""
                                          : "min=\"" + Decimal(kColdestCelsius) + "\" max=\"" +
                                                Decimal(kWarmestCelsius) + "\"";
        body += std::string("<label for=\"") + kCalibrationFields[i] + "\">" + labels[i] +
                " <span class=\"range\">(" + (reading ? "0 to 4095" : celsiusRange + " &deg;C") +
                ")</span></label><input type=\"number\" step=\"any\" " + range + " id=\"" +
                kCalibrationFields[i] + "\" name=\"" + kCalibrationFields[i] + "\" value=\"" +
                value(kCalibrationFields[i]) + "\" required>\n";
    }
    body += "<p class=\"range\">With the calibration in use, set points from " +
            EscapeHtml(Decimal(std::round(low * 10) / 10)) + " to " +
            EscapeHtml(Decimal(std::round(high * 10) / 10)) +
            " &deg;C.</p></fieldset>\n<fieldset><legend>Guiding relays</legend>\n";
    const bool withRelays = client::HasGuideRelays(d.unit().type());
    body += withRelays ? "<p class=\"range\">The relay (0 to 3) each guide direction closes; "
                         "each direction its own relay.</p>\n"
                       : "<p>This camera has no guiding relays.</p>\n";
    for (int i = 0; i < 4 && withRelays; ++i) {
        body += std::string("<label for=\"") + kRelayFields[i] + "\">" + kDirections[i] +
                "</label><select id=\"" + kRelayFields[i] + "\" name=\"" + kRelayFields[i] + "\">";
        for (int r = 0; r < 4; ++r) {
            const std::string v = std::to_string(r);
            body += "<option value=\"" + v + "\"" +
                    (value(kRelayFields[i]) == v ? " selected" : "") + ">relay " + v + "</option>";
        }
        body += "</select>\n";
    }
    body += "</fieldset>\n<p class=\"range\">Saved to <code>" + EscapeHtml(path_) +
            "</code> and used at once; refused while the camera exposes or guides.</p>\n"
            "<button type=\"submit\" id=\"save\">Save</button>\n</form>\n"
            "<p><a href=\"/setup\">All cameras of this server</a></p>\n";
    SendPage(res, status, "Camera " + n + " set-up", body);
}

std::string SetupPages::Busy(const CameraDevice& d) const {
    if (d.unit().IsPulseGuiding())
        return "the camera is guiding";
    for (CameraDevice* other : devices_) {
        if (&other->unit() != &d.unit())
            continue;
        std::optional<BadRequest> bad;
        const Reply state = other->Call("camerastate", false, Params(), &bad);
        // 1 waiting, 2 exposing, 3 reading out; a device not connected has no exposure.
        if (!bad && state.ok() && state.value && state.value->is_number_integer()) {
            const int s = state.value->get<int>();
            if (s >= 1 && s <= 3)
                return "camera " + std::to_string(other->number()) +
                       (s == 3 ? " is reading out a frame" : " is exposing");
        }
    }
    return "";
}

bool SetupPages::Save(CameraDevice& d, const CameraSettings& s, std::string* what, int* status) {
    std::lock_guard<std::mutex> g(saveLock_);
    *status = 409;
    if (std::string busy = Busy(d); !busy.empty()) {
        *what = "Not saved: " + busy + ". Try again when it is idle.";
        return false;
    }
    // The file as it is now: entries of cameras not served stay as they are.
    Settings file;
    std::string error;
    if (!LoadSettings(path_, &file, &error)) {
        *status = 500;
        *what = "Not saved: " + error + ".";
        return false;
    }
    const CameraSettings before = d.unit().settings();
    const Reply applied = d.unit().ChangeSettings(s);
    if (!applied.ok() && applied.error == AscomError::InvalidOperation) {
        *what = "Not saved: " + applied.message + ". Try again when it is idle.";
        return false;
    }
    file.cameras[d.unit().entry()] = s;
    if (!SaveSettings(path_, file, &error)) {
        d.unit().ChangeSettings(before);
        *status = 500;
        *what = "Not saved: " + error + ".";
        return false;
    }
    const std::string changes = Changes(before, s);
    *what = changes.empty() ? "Saved; nothing changed." : "Saved: " + changes + ".";
    if (!applied.ok())
        *what += " The cooler keeps its old target until it is set again: " + applied.message;
    return true;
}

void SetupPages::DevicePage(const httplib::Request& req, httplib::Response& res, bool post) {
    long long n = -1;
    if (!ParseInteger(req.matches[1], &n) || n < 0 || n >= static_cast<long long>(devices_.size()))
        return SendPage(res, 404, "No such camera",
                        "<h1>No camera " + EscapeHtml(req.matches[1]) +
                            "</h1>\n<p><a href=\"/setup\">The cameras of this server</a></p>\n");
    CameraDevice& d = *devices_[static_cast<std::size_t>(n)];
    if (!post)
        return Show(res, 200, d, FieldsOf(d.unit().settings()), "", false);

    // A form sent from a page of another site (a browser sends the page's
    // origin with it) would change the camera behind the user's back.
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && origin != "http://" + req.get_header_value("Host"))
        return Show(res, 403, d, FieldsOf(d.unit().settings()),
                    "Not saved: the form came from another site (" + origin + ").", false);
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    Fields fields;
    for (const auto& [k, v] : form) fields.emplace(k, v);  // the first of two counts
    CameraSettings s = d.unit().settings();
    std::string why;
    if (!ParseFields(fields, client::HasGuideRelays(d.unit().type()), &s, &why))
        return Show(res, 400, d, fields, "Not saved: " + why + ".", false);
    std::string what;
    int status = 200;
    const bool saved = Save(d, s, &what, &status);
    Show(res, saved ? 200 : status, d, saved ? FieldsOf(s) : fields, what, saved);
}

}  // namespace

std::string EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void AddSetupPages(httplib::Server& http, const std::vector<CameraDevice*>& devices,
                   const ServerInfo& info) {
    auto pages = std::make_shared<SetupPages>(devices, info.location, info.settingsPath);
    http.Get("/setup",
             [pages](const httplib::Request&, httplib::Response& res) { pages->ServerPage(res); });
    const char* device = R"(/setup/v1/camera/([^/]+)/setup)";
    http.Get(device, [pages](const httplib::Request& req, httplib::Response& res) {
        pages->DevicePage(req, res, false);
    });
    http.Post(device, [pages](const httplib::Request& req, httplib::Response& res) {
        pages->DevicePage(req, res, true);
    });
}

}  // namespace zeva::alpaca
