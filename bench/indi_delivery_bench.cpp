// How long a short exposure takes to reach an INDI client as a BLOB: our
// driver (a simulated Gannet on the real clock) and INDI's own CCD simulator
// under one indiserver, measured in the same run, turn about.
//
//   build/bench/indi_delivery_bench [ROUNDS] [SECONDS] [DRIVER]
//
// (default 10 rounds of 0.01 s; DRIVER: another build of indi_zeva_ccd to
// compare, default the one built with this program).
// Prints the median, the fastest and the slowest delivery of each, from the
// moment the client sends CCD_EXPOSURE to the moment it has the whole BLOB.
#include <baseclient.h>
#include <basedevice.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kOurs = "ZEVA CCD";
const char* const kTheirs = "CCD Simulator";

// Counts each device's BLOBs and CONNECTION/CCD_EXPOSURE states.
class Client : public INDI::BaseClient {
  public:
    // Waits until `device` has `property` defined.
    bool WaitDefined(const std::string& device, const std::string& property, double seconds) {
        return Wait(seconds, [&] { return defined_.count(device + "." + property) != 0; });
    }
    bool WaitConnected(const std::string& device, double seconds) {
        return Wait(seconds, [&] { return connected_[device]; });
    }
    // Sends an exposure and returns the seconds until the device's BLOB came
    // (negative when none came in time).
    double Expose(const std::string& device, double seconds) {
        std::uint64_t before;
        {
            std::lock_guard<std::mutex> g(lock_);
            before = blobs_[device];
        }
        INDI::PropertyNumber p(1);
        p.setDeviceName(device.c_str());
        p.setName("CCD_EXPOSURE");
        p[0].setName("CCD_EXPOSURE_VALUE");
        p[0].setValue(seconds);
        const Clock::time_point start = Clock::now();
        sendNewNumber(p);
        if (!Wait(60, [&] { return blobs_[device] > before; }))
            return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    void Connect(const std::string& device) {
        INDI::PropertySwitch p(1);
        p.setDeviceName(device.c_str());
        p.setName("CONNECTION");
        p[0].setName("CONNECT");
        p[0].setState(ISS_ON);
        sendNewSwitch(p);
    }

  protected:
    void newProperty(INDI::Property p) override { Seen(p); }
    void updateProperty(INDI::Property p) override { Seen(p); }

  private:
    template <typename F>
    bool Wait(double seconds, F done) {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, std::chrono::duration<double>(seconds), done);
    }
    void Seen(INDI::Property p) {
        std::lock_guard<std::mutex> g(lock_);
        const std::string device = p.getDeviceName(), name = p.getName();
        defined_[device + "." + name] = true;
        if (name == "CONNECTION" && p.getType() == INDI_SWITCH) {
            auto* on = p.getSwitch()->findWidgetByName("CONNECT");
            connected_[device] = on && on->getState() == ISS_ON && p.getState() == IPS_OK;
        }
        if (p.getType() == INDI_BLOB)
            for (const auto& b : *p.getBLOB())
                if (b.getBlobLen() > 0)
                    ++blobs_[device];
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::string, bool> defined_, connected_;
    std::map<std::string, std::uint64_t> blobs_;
};

struct Figures {
    double median = 0, fastest = 0, slowest = 0;
};
Figures Of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.01;
    const std::string driver = argc > 3 ? argv[3] : ZEVA_INDI_DRIVER;
    char name[] = "/tmp/zeva-indi-delivery.XXXXXX";
    if (mkdtemp(name) == nullptr)
        return 1;
    const fs::path dir = name;
    const int port = zeva::test::FreeLoopbackPort();
    // Our driver on the real clock, its configuration under `dir`.
    setenv("HOME", dir.c_str(), 1);
    setenv("ZEVA_PORTS", "sim:gannet", 1);
    setenv("ZEVA_CLOCK", "real", 1);
    const pid_t server =
        zeva::test::Spawn({ZEVA_INDISERVER, "-p", std::to_string(port), "-u",
                           (dir / "indiserver").string(), driver, ZEVA_INDI_SIMULATOR_CCD},
                          dir, dir / "server.log");
    int rc = 1;
    {
        Client c;
        c.setServer("127.0.0.1", static_cast<unsigned>(port));
        bool joined = false;
        for (int i = 0; i < 50 && !joined; ++i) {
            joined = c.connectServer();
            if (!joined)
                usleep(200'000);
        }
        bool ready = joined;
        for (const char* d : {kOurs, kTheirs}) {
            ready = ready && c.WaitDefined(d, "CONNECTION", 30);
            if (!ready)
                break;
            c.Connect(d);
            ready = c.WaitConnected(d, 30) && c.WaitDefined(d, "CCD_EXPOSURE", 30);
            c.setBLOBMode(B_ALSO, d, "CCD1");
        }
        if (ready) {
            std::map<std::string, std::vector<double>> took;
            // One unmeasured frame each, then turn about.
            c.Expose(kOurs, seconds);
            c.Expose(kTheirs, seconds);
            for (int i = 0; i < rounds && ready; ++i)
                for (const char* d : {kOurs, kTheirs}) {
                    const double t = c.Expose(d, seconds);
                    ready = ready && t >= 0;
                    took[d].push_back(t);
                }
            if (ready) {
                std::printf(
                    "%g s exposure to a client's BLOB, %d rounds (median, fastest, slowest):\n",
                    seconds, rounds);
                for (const char* d : {kOurs, kTheirs}) {
                    const Figures f = Of(took[d]);
                    std::printf("  %-14s %.3f s  %.3f s  %.3f s\n", d, f.median, f.fastest,
                                f.slowest);
                }
                rc = 0;
            }
        }
        if (rc != 0)
            std::fprintf(stderr, "no delivery measured; server log:\n%s\n",
                         zeva::test::ReadFile(dir / "server.log").c_str());
        c.disconnectServer();
    }
    zeva::test::KillGroup(server);
    if (rc == 0)
        fs::remove_all(dir);
    return rc;
}
