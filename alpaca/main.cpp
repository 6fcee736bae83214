// zeva-alpaca: ASCOM Alpaca server for ZEVA cameras.  Each camera's imaging
// (or only) CCD is one Alpaca camera device, its tracking CCD the next one.
// Uses only the client API.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "alpaca/camera_unit.h"
#include "alpaca/device.h"
#include "alpaca/discovery.h"
#include "alpaca/protocol.h"
#include "alpaca/server.h"
#include "alpaca/settings.h"
#include "client/client.h"
#include "client/explain.h"

namespace {

using namespace zeva::alpaca;
namespace client = zeva::client;

const char* kUsage =
    "usage: zeva-alpaca [options]\n"
    "  --sim MODEL[?options]   serve a simulated camera (gannet, heron, ibis, jacana, kestrel,\n"
    "                          egret, finch, siskin; options as in ZEVA_PORTS); repeatable\n"
    "  --port N | ENTRY        serve port N of ZEVA_PORTS, or a port entry such as\n"
    "                          /dev/parport0; repeatable (default: every ZEVA_PORTS entry)\n"
    "  --listen ADDRESS:PORT   HTTP address (default 127.0.0.1:11111; 0.0.0.0:11111 for\n"
    "                          every interface, [::]:11111 for IPv6 too; port 0 picks a\n"
    "                          free one)\n"
    "  --discovery             answer Alpaca discovery on UDP port 32227\n"
    "  --discovery-port N      answer it on port N instead (implies --discovery)\n"
    "  --settings PATH         settings file (default $XDG_CONFIG_HOME/zeva-alpaca/settings.json)\n"
    "  --calibration R1,C1,R2,C2  cooler calibration: reading R1 is C1 degrees C, R2 is C2\n"
    "  --relays N,S,E,W        guiding relay (0-3) of north, south, east and west\n"
    "                          (--calibration and --relays are saved in the settings file)\n"
    "  --location TEXT         location reported to clients\n"
    "  --version, --help\n";

int Fail(const std::string& what) {
    std::fprintf(stderr, "zeva-alpaca: %s\n", what.c_str());
    return 1;
}

struct Options {
    std::vector<std::string> ports;  // numbers or entries, in order
    std::string host = "127.0.0.1";
    int port = 11111;
    bool discovery = false;
    int discoveryPort = kDiscoveryPort;
    std::string settingsPath;
    bool haveCalibration = false, haveRelays = false;
    client::CoolerCalibration calibration;
    client::RelayMap relays;
    std::string location;
};

bool ParsePort(const std::string& text, int low, int* port) {
    long long v = 0;
    if (!ParseInteger(text, &v) || v < low || v > 65535)
        return false;
    *port = static_cast<int>(v);
    return true;
}

// Returns -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("zeva-alpaca %s\n", ZEVA_VERSION);
            return 0;
        }
        if (a == "--discovery") {
            o->discovery = true;
            continue;
        }
        static const char* kValued[] = {
            "--sim",      "--port",        "--listen", "--discovery-port",
            "--settings", "--calibration", "--relays", "--location"};
        bool valued = false;
        for (const char* v : kValued) valued |= a == v;
        if (!valued)
            return Fail("unknown option '" + a + "' (see zeva-alpaca --help)");
        if (i + 1 >= argc)
            return Fail(a + " needs a value");
        const std::string v = argv[++i];
        std::string error;
        if (a == "--sim") {
            if (v.empty() || v == "sim:")
                return Fail("--sim needs a camera model (e.g. --sim gannet)");
            o->ports.push_back(v.rfind("sim:", 0) == 0 ? v : "sim:" + v);
        } else if (a == "--port") {
            if (v.empty())
                return Fail("--port needs a port number or entry");
            o->ports.push_back(v);
        } else if (a == "--listen") {
            const std::size_t colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !ParsePort(v.substr(colon + 1), 0, &o->port))
                return Fail("bad --listen '" + v + "' (valid: ADDRESS:PORT, e.g. 127.0.0.1:11111)");
            o->host = v.substr(0, colon);
            // [::1]:11111: an IPv6 address in brackets, as in URLs.
            if (o->host.size() > 2 && o->host.front() == '[' && o->host.back() == ']')
                o->host = o->host.substr(1, o->host.size() - 2);
        } else if (a == "--discovery-port") {
            if (!ParsePort(v, 1, &o->discoveryPort))
                return Fail("bad --discovery-port '" + v + "' (valid: 1 to 65535)");
            o->discovery = true;
        } else if (a == "--settings") {
            o->settingsPath = v;
        } else if (a == "--calibration") {
            if (!ParseCalibration(v, &o->calibration, &error))
                return Fail(error);
            o->haveCalibration = true;
        } else if (a == "--relays") {
            if (!ParseRelayMap(v, &o->relays, &error))
                return Fail(error);
            o->haveRelays = true;
        } else {
            o->location = v;
        }
    }
    return -1;
}

std::vector<std::string> SplitPorts(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream s(list);
    std::string e;
    while (std::getline(s, e, ','))
        if (!e.empty())
            out.push_back(e);
    return out;
}

// The port entries to serve, each as it goes into the system's port list.
bool ResolvePorts(const Options& o, std::vector<std::string>* entries, std::string* error) {
    const char* env = std::getenv("ZEVA_PORTS");
    const std::vector<std::string> configured = SplitPorts(env ? env : "");
    if (o.ports.empty()) {
        if (configured.empty()) {
            *error = "no camera to serve: give --sim MODEL, --port ENTRY or set ZEVA_PORTS";
            return false;
        }
        *entries = configured;
        return true;
    }
    for (const std::string& p : o.ports) {
        long long n = 0;
        if (ParseInteger(p, &n)) {
            if (n < 1 || n > static_cast<long long>(configured.size())) {
                *error = "--port " + p + ": ZEVA_PORTS has " + std::to_string(configured.size()) +
                         " entries";
                return false;
            }
            entries->push_back(configured[static_cast<std::size_t>(n - 1)]);
        } else {
            entries->push_back(p);
        }
    }
    return true;
}

// Blocks the stop signals in every thread; one thread waits for them.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

int Main(int argc, char** argv) {
    Options o;
    if (int rc = ParseOptions(argc, argv, &o); rc >= 0)
        return rc;
    std::vector<std::string> entries;
    std::string error;
    if (!ResolvePorts(o, &entries, &error))
        return Fail(error);

    if (o.settingsPath.empty())
        o.settingsPath = DefaultSettingsPath();
    Settings settings;
    if (!LoadSettings(o.settingsPath, &settings, &error))
        return Fail(error);
    if (o.haveCalibration || o.haveRelays) {
        for (const std::string& e : entries) {
            CameraSettings& c = settings.cameras[e];
            if (o.haveCalibration)
                c.calibration = o.calibration;
            if (o.haveRelays)
                c.relays = o.relays;
        }
        if (!SaveSettings(o.settingsPath, settings, &error))
            return Fail(error);
    }

    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string list;
    for (const std::string& e : entries) list += (list.empty() ? "" : ",") + e;
    client::UsePortEntry(list);
    client::Driver driver;
    client::Status st = driver.Open();
    if (!st.ok()) {
        const std::string why = client::SystemStartError();
        return Fail(why.empty() ? "opening the driver failed: " + client::Explain(st) : why);
    }
    std::vector<std::unique_ptr<CameraUnit>> units;
    std::vector<std::unique_ptr<CameraDevice>> devices;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto it = settings.cameras.find(entries[i]);
        auto unit = std::make_unique<CameraUnit>(
            static_cast<std::uint16_t>(i + 1), entries[i],
            it == settings.cameras.end() ? CameraSettings{} : it->second);
        if (!unit->Open(&error))
            return Fail(error);
        const unsigned ccds = unit->hasTracking() ? 2 : 1;
        for (unsigned ccd = 0; ccd < ccds; ++ccd)
            devices.push_back(
                std::make_unique<CameraDevice>(*unit, ccd, static_cast<unsigned>(devices.size())));
        units.push_back(std::move(unit));
    }
    std::vector<CameraDevice*> list2;
    for (auto& d : devices) list2.push_back(d.get());

    char host[256] = "";
    gethostname(host, sizeof host - 1);
    AlpacaServer server(list2, ServerInfo{o.location.empty() ? host : o.location, o.settingsPath});
    if (!server.Bind(o.host, o.port, &error))
        return Fail(error);
    Discovery discovery;
    if (o.discovery && !discovery.Start(o.host == "localhost" ? "127.0.0.1" : o.host,
                                        o.discoveryPort, server.port(), &error))
        return Fail(error);

    std::thread signals([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.Stop();
    });
    for (const auto& d : devices) std::printf("camera %u: %s\n", d->number(), d->Name().c_str());
    const bool ipv6 = o.host.find(':') != std::string::npos;
    std::printf(
        "zeva-alpaca: serving %zu camera device%s on http://%s%s%s:%d/%s\n", devices.size(),
        devices.size() == 1 ? "" : "s", ipv6 ? "[" : "", o.host.c_str(), ipv6 ? "]" : "",
        server.port(),
        o.discovery ? (", discovery on UDP port " + std::to_string(o.discoveryPort)).c_str() : "");
    std::fflush(stdout);

    const bool served = server.Run();
    // Stopped by a signal, or the listener failed: wake the signal thread.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    discovery.Stop();
    for (auto& d : devices) d->Shutdown();
    devices.clear();
    for (auto& u : units) u->Close();
    units.clear();
    driver.Close();
    client::ShutdownSystem();
    std::printf("zeva-alpaca: stopped\n");
    return served ? 0 : Fail("the HTTP server stopped on an error");
}

}  // namespace

// The process ends without running the libraries' static destructors, like
// the zeva tool: the camera and the system under the libraries are closed
// and stopped above.
int main(int argc, char** argv) {
    const int rc = Main(argc, argv);
    std::fflush(nullptr);
    std::_Exit(rc);
}
