// An indiserver session for tests: the server with the ZEVA driver on a free
// loopback port (stopped by process id), and clients written against the INDI
// client library (INDI::BaseClient) that record every property they are sent.
#pragma once

#include <arpa/inet.h>
#include <baseclient.h>
#include <basedevice.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace zeva::test {

namespace fs = std::filesystem;

inline constexpr const char* kIndiDevice = "ZEVA CCD";

// indiserver running the driver, in a process group of its own.
class IndiServer {
  public:
    // `entry`: the driver's port entry (ZEVA_PORTS); `clock`: "virtual" or "real".
    void Start(const fs::path& dir, const std::string& entry, const std::string& clock) {
        dir_ = dir;
        port_ = FreeLoopbackPort();
        const std::string home = dir.string(), port = std::to_string(port_);
        const std::string socket = (dir / "indiserver").string();
        const std::string log = (dir / "server.log").string();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (chdir(home.c_str()) != 0)
                _exit(127);
            FILE* f = std::fopen(log.c_str(), "w");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            // The driver's configuration under the test's directory.
            setenv("HOME", home.c_str(), 1);
            setenv("ZEVA_PORTS", entry.c_str(), 1);
            setenv("ZEVA_CLOCK", clock.c_str(), 1);
            // A local socket of its own: the default one is shared by every
            // indiserver on the machine, and a second server exits at once.
            execl(ZEVA_INDISERVER, ZEVA_INDISERVER, "-p", port.c_str(), "-u", socket.c_str(), "-v",
                  ZEVA_INDI_DRIVER, static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
    }
    void Stop() {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGKILL);  // the server and its driver
        kill(pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
    }
    ~IndiServer() { Stop(); }
    int port() const { return port_; }
    std::string Log() const { return ReadFile(dir_ / "server.log"); }

  private:
    fs::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// One property as a client received it.
struct PropertyUpdate {
    std::uint64_t seq = 0;  // order of arrival in this client
    std::string device;
    std::string name;
    IPState state = IPS_IDLE;
    bool definition = false;  // defXXXVector rather than setXXXVector
    bool deleted = false;     // delProperty
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> texts;
    std::map<std::string, bool> switches;
    std::vector<std::uint8_t> blob;
    std::string message;  // the device's message that came with it, if any
};

// An INDI client that keeps every property update it receives, in order.
// It sends to the device `target` ("ZEVA CCD" unless set).
class RecordingClient : public INDI::BaseClient {
  public:
    RecordingClient() = default;
    ~RecordingClient() override { disconnectServer(); }

    // Connects to the server on the loopback port; retries while it starts.
    // Watches `devices` (the first one's CONNECTION tells it joined).
    bool Join(int port, double seconds = 30,
              const std::vector<std::string>& devices = {kIndiDevice}) {
        setServer("127.0.0.1", static_cast<unsigned>(port));
        for (const std::string& d : devices) watchDevice(d.c_str());
        const auto end = Deadline(seconds);
        while (!connectServer()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return WaitFor([](const PropertyUpdate& u) { return u.name == "CONNECTION"; }, 0, seconds)
                   .seq != 0;
    }
    void ReceiveBlobs(const char* property) { setBLOBMode(B_ALSO, target.c_str(), property); }

    // Sends elements of a number, text or switch property.  Each is sent from
    // a property of its own: the library's copy of a property is also
    // written by its listener thread (a countdown arriving between setting a
    // value there and sending it would replace the value).
    void SetNumber(const char* property, const char* element, double value) {
        SetNumbers(property, {{element, value}});
    }
    void SetNumbers(const char* property, const std::vector<std::pair<const char*, double>>& v) {
        INDI::PropertyNumber p(v.size());
        p.setDeviceName(target.c_str());
        p.setName(property);
        for (std::size_t i = 0; i < v.size(); ++i) {
            p[i].setName(v[i].first);
            p[i].setValue(v[i].second);
        }
        sendNewNumber(p);
    }
    void SetText(const char* property, const char* element, const std::string& text) {
        INDI::PropertyText p(1);
        p.setDeviceName(target.c_str());
        p.setName(property);
        p[0].setName(element);
        p[0].setText(text);
        sendNewText(p);
    }
    // Turns `element` on (the driver turns the others of a one-of-many off).
    void Switch(const char* property, const char* element) {
        INDI::PropertySwitch p(1);
        p.setDeviceName(target.c_str());
        p.setName(property);
        p[0].setName(element);
        p[0].setState(ISS_ON);
        sendNewSwitch(p);
    }

    std::uint64_t Seq() {
        std::lock_guard<std::mutex> g(lock_);
        return seq_;
    }
    // The first definition or update (not a deletion) after `after` for
    // which `match` holds, waiting at most `seconds`; an update with seq 0
    // when none came.
    PropertyUpdate WaitFor(const std::function<bool(const PropertyUpdate&)>& match,
                           std::uint64_t after, double seconds) {
        std::unique_lock<std::mutex> g(lock_);
        const auto end = Deadline(seconds);
        std::size_t next = 0;
        for (;;) {
            for (; next < log_.size(); ++next)
                if (log_[next].seq > after && !log_[next].deleted && match(log_[next]))
                    return log_[next];
            if (changed_.wait_until(g, end) == std::cv_status::timeout && next == log_.size())
                return PropertyUpdate{};
        }
    }
    // The next update of `target`'s `name` after `after` whose state is not Busy.
    PropertyUpdate WaitSettled(const std::string& name, std::uint64_t after, double seconds) {
        return WaitFor([&](const PropertyUpdate& u) { return Of(u, name) && u.state != IPS_BUSY; },
                       after, seconds);
    }
    // The next frame of `target`'s BLOB `name` ("CCD1", "CCD2") after `after`.
    PropertyUpdate WaitBlob(const std::string& name, std::uint64_t after, double seconds) {
        return WaitFor([&](const PropertyUpdate& u) { return Of(u, name) && !u.blob.empty(); },
                       after, seconds);
    }
    // The last update of `target`'s `name` (seq 0 when none came).
    PropertyUpdate Last(const std::string& name) {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = log_.rbegin(); it != log_.rend(); ++it)
            if (Of(*it, name) && !it->deleted)
                return *it;
        return PropertyUpdate{};
    }
    // Every definition and update of `target`'s `name` so far, in order.
    std::vector<PropertyUpdate> All(const std::string& name) {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<PropertyUpdate> out;
        for (const PropertyUpdate& u : log_)
            if (Of(u, name) && !u.deleted)
                out.push_back(u);
        return out;
    }
    // Whether `target` has `name` defined now, as far as this client heard.
    bool Defined(const std::string& name) {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = log_.rbegin(); it != log_.rend(); ++it)
            if (Of(*it, name))
                return !it->deleted;
        return false;
    }
    // "NAME: message" for every property that came in Alert.
    std::vector<std::string> Alerts() {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<std::string> out;
        for (const PropertyUpdate& u : log_)
            if (u.state == IPS_ALERT)
                out.push_back(u.name + ": " + u.message);
        return out;
    }
    // The last `count` updates, one line each, for failure messages.
    std::string Tail(std::size_t count) {
        std::lock_guard<std::mutex> g(lock_);
        std::string out;
        for (std::size_t i = log_.size() > count ? log_.size() - count : 0; i < log_.size(); ++i) {
            const PropertyUpdate& u = log_[i];
            out += std::to_string(u.seq) + " " + u.name + " " + pstateStr(u.state);
            for (const auto& [k, v] : u.numbers) out += " " + k + "=" + std::to_string(v);
            for (const auto& [k, v] : u.switches) out += v ? " " + k : "";
            out += "\n";
        }
        return out;
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> g(lock_);
        return messages_;
    }

    std::string target = kIndiDevice;

  protected:
    void newProperty(INDI::Property p) override { Record(p, true); }
    void updateProperty(INDI::Property p) override { Record(p, false); }
    void removeProperty(INDI::Property p) override {
        std::lock_guard<std::mutex> g(lock_);
        PropertyUpdate u;
        u.seq = ++seq_;
        u.device = p.getDeviceName();
        u.name = p.getName();
        u.deleted = true;
        log_.push_back(std::move(u));
        changed_.notify_all();
    }
    void newMessage(INDI::BaseDevice d, int id) override {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back(d.messageQueue(id));
    }

  private:
    bool Of(const PropertyUpdate& u, const std::string& name) const {
        return u.name == name && u.device == target;
    }
    static std::chrono::steady_clock::time_point Deadline(double seconds) {
        return std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
    }
    void Record(INDI::Property p, bool definition) {
        std::lock_guard<std::mutex> g(lock_);
        PropertyUpdate u;
        u.seq = ++seq_;
        u.device = p.getDeviceName();
        u.name = p.getName();
        u.state = p.getState();
        u.definition = definition;
        switch (p.getType()) {
            case INDI_NUMBER:
                for (const auto& w : *p.getNumber()) u.numbers[w.getName()] = w.getValue();
                break;
            case INDI_TEXT:
                for (const auto& w : *p.getText()) u.texts[w.getName()] = w.getText();
                break;
            case INDI_SWITCH:
                for (const auto& w : *p.getSwitch())
                    u.switches[w.getName()] = w.getState() == ISS_ON;
                break;
            case INDI_BLOB:
                for (const auto& w : *p.getBLOB()) {
                    const auto* b = static_cast<const std::uint8_t*>(w.getBlob());
                    if (b && w.getBlobLen() > 0)
                        u.blob.assign(b, b + w.getBlobLen());
                }
                break;
            default:
                break;
        }
        if (!messages_.empty())
            u.message = messages_.back();
        log_.push_back(std::move(u));
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t seq_ = 0;
    std::vector<PropertyUpdate> log_;
    std::vector<std::string> messages_;
};

// A FITS image received as a BLOB, read with cfitsio from memory.
struct FitsImage {
    long width = 0, height = 0;
    std::vector<unsigned short> pixels;
    std::map<std::string, std::string> keys;  // every header key's value, as text

    explicit FitsImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
        fitsfile* f = nullptr;
        int status = 0;
        void* mem = bytes_.data();
        std::size_t size = bytes_.size();
        fits_open_memfile(&f, "blob.fits", READONLY, &mem, &size, 0, nullptr, &status);
        if (status != 0) {
            ADD_FAILURE() << "not a FITS image (" << bytes_.size() << " bytes)";
            return;
        }
        int keyCount = 0;
        fits_get_hdrspace(f, &keyCount, nullptr, &status);
        for (int i = 1; i <= keyCount && status == 0; ++i) {
            char name[FLEN_KEYWORD] = {}, value[FLEN_VALUE] = {}, comment[FLEN_COMMENT] = {};
            fits_read_keyn(f, i, name, value, comment, &status);
            std::string v = value;
            if (v.size() >= 2 && v.front() == '\'') {
                v = v.substr(1, v.rfind('\'') - 1);
                while (!v.empty() && v.back() == ' ') v.pop_back();
            }
            keys[name] = v;
        }
        long axes[2] = {0, 0};
        int naxis = 0, bitpix = 0;
        fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
        width = axes[0];
        height = axes[1];
        pixels.resize(static_cast<std::size_t>(width * height));
        int anynul = 0;
        if (!pixels.empty())
            fits_read_img(f, TUSHORT, 1, width * height, nullptr, pixels.data(), &anynul, &status);
        EXPECT_EQ(status, 0) << "reading the FITS image";
        int closing = 0;
        fits_close_file(f, &closing);
    }
    double Number(const std::string& key) const {
        auto it = keys.find(key);
        if (it == keys.end()) {
            ADD_FAILURE() << "no FITS key " << key;
            return std::nan("");
        }
        return std::atof(it->second.c_str());
    }
    std::string Text(const std::string& key) const {
        auto it = keys.find(key);
        return it == keys.end() ? std::string() : it->second;
    }
    unsigned short At(long x, long y) const {
        return pixels[static_cast<std::size_t>(y * width + x)];
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

// The brightest star of an image and where its light falls: the largest
// 5 x 5 sum away from the edges, then the centroid above the local
// background in a box around it.
struct Star {
    bool found = false;
    double x = 0, y = 0;
};

inline Star CentroidNear(const FitsImage& im, double x0, double y0, int half) {
    Star s;
    const long cx = std::lround(x0), cy = std::lround(y0);
    if (cx - half < 0 || cy - half < 0 || cx + half >= im.width || cy + half >= im.height)
        return s;
    double edge = 0;
    int n = 0;
    for (long y = cy - half; y <= cy + half; ++y)
        for (long x = cx - half; x <= cx + half; ++x)
            if (std::labs(y - cy) == half || std::labs(x - cx) == half) {
                edge += im.At(x, y);
                ++n;
            }
    edge /= n;
    double w = 0, sx = 0, sy = 0;
    for (long y = cy - half; y <= cy + half; ++y)
        for (long x = cx - half; x <= cx + half; ++x) {
            const double v = im.At(x, y) - edge;
            if (v < 60)  // several times the read noise: noise far out would pull the centroid
                continue;
            w += v;
            sx += v * x;
            sy += v * y;
        }
    if (w <= 0)
        return s;
    s.found = true;
    s.x = sx / w;
    s.y = sy / w;
    return s;
}

// The brightest star whose 5 x 5 sum peaks within `radius` of (x0, y0)
// (anywhere, with radius < 0), at least `margin` pixels from the edges.
inline Star BrightestStarNear(const FitsImage& im, double x0, double y0, double radius,
                              int margin = 12) {
    double best = -1;
    long bx = 0, by = 0;
    for (long y = margin; y < im.height - margin; ++y)
        for (long x = margin; x < im.width - margin; ++x) {
            if (radius >= 0 && std::hypot(x - x0, y - y0) > radius)
                continue;
            double sum = 0;
            for (long dy = -2; dy <= 2; ++dy)
                for (long dx = -2; dx <= 2; ++dx) sum += im.At(x + dx, y + dy);
            if (sum > best) {
                best = sum;
                bx = x;
                by = y;
            }
        }
    return best < 0 ? Star{}
                    : CentroidNear(im, static_cast<double>(bx), static_cast<double>(by), 7);
}

inline Star BrightestStar(const FitsImage& im) {
    return BrightestStarNear(im, 0, 0, -1);
}

// A test with an indiserver of its own in a fresh directory: the server's
// log goes to stderr when the test fails, the directory is removed when it
// passes.
class IndiServerTest : public ::testing::Test {
  protected:
    explicit IndiServerTest(const char* prefix) : prefix_(prefix) {}
    void SetUp() override { dir = TestDirectory(prefix_); }
    void TearDown() override {
        server.Stop();
        if (HasFailure())
            std::fprintf(stderr, "server log:\n%s\n%s", server.Log().c_str(),
                         FailureDetail().c_str());
        else
            fs::remove_all(dir);
    }
    // Starts the server on `entry`, joins `c` to it, connects the camera and
    // waits until an update the connection brings satisfies `ready`.
    void StartConnected(RecordingClient& c, const std::string& entry, const std::string& clock,
                        const std::function<bool(const PropertyUpdate&)>& ready) {
        ASSERT_NO_FATAL_FAILURE(server.Start(dir, entry, clock));
        ASSERT_TRUE(c.Join(server.port())) << server.Log();
        const std::uint64_t seq = c.Seq();
        c.Switch("CONNECTION", "CONNECT");
        ASSERT_EQ(c.WaitSettled("CONNECTION", seq, 60).state, IPS_OK);
        ASSERT_NE(c.WaitFor(ready, seq, 30).seq, 0u);
    }
    // The chip sizes, which come once the camera has been identified.
    static bool ChipKnown(const PropertyUpdate& u) {
        return u.name == "CCD_INFO" && u.numbers.at("CCD_MAX_X") > 0;
    }
    // More to show when the test fails (a client's last updates, say).
    virtual std::string FailureDetail() { return ""; }

    fs::path dir;
    IndiServer server;

  private:
    const char* prefix_;
};

}  // namespace zeva::test
