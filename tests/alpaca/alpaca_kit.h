// Test kit for the Alpaca server: the server as a process on a loopback port
// it picks itself (read back from its output), stopped by process id; an HTTP
// client on libcurl; the pattern scene's pixel values; ImageBytes decoded.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/pattern.h"
#include "support/process.h"

namespace zeva::alpaca::test {

namespace fs = std::filesystem;
using json = nlohmann::json;

// Error numbers as clients see them.
constexpr int kNotImplemented = 0x400;
constexpr int kInvalidValue = 0x401;
constexpr int kValueNotSet = 0x402;
constexpr int kNotConnected = 0x407;
constexpr int kInvalidOperation = 0x40B;
constexpr int kActionNotImplemented = 0x40C;

// The pattern scene's oracle, shared with every frame test.
using zeva::test::ImagingBlock;
using zeva::test::PatternImaging;
using zeva::test::PatternTracking;

// ErrorNumber of a reply, -1 when the reply is not an Alpaca one.
inline int ErrorOf(const json& j) {
    return j.is_object() && j.contains("ErrorNumber") && j["ErrorNumber"].is_number_integer()
               ? j["ErrorNumber"].get<int>()
               : -1;
}
// Value of a reply, null when it has none.
inline json ValueOf(const json& j) {
    return j.is_object() && j.contains("Value") ? j["Value"] : json();
}

// The camera interface (ICameraV4) as clients know it, kept here on purpose
// apart from the server's own table: each member, whether it takes GET, the
// parameters of its PUT ("" a PUT without any, null no PUT), and whether a
// camera may lack it (NotImplemented).
inline std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}
struct InterfaceMember {
    const char* name;
    bool get;
    const char* put;
    bool optional = false;
};
inline std::vector<InterfaceMember> CameraInterface() {
    // Read with GET alone; the second list a camera may lack.
    const std::string getOnly =
        "connecting description devicestate driverinfo driverversion interfaceversion name "
        "supportedactions camerastate cameraxsize cameraysize canabortexposure canasymmetricbin "
        "canfastreadout cangetcoolerpower canpulseguide cansetccdtemperature canstopexposure "
        "ccdtemperature coolerpower electronsperadu exposuremax exposuremin exposureresolution "
        "fullwellcapacity hasshutter imagearray imagearrayvariant imageready ispulseguiding "
        "lastexposureduration lastexposurestarttime maxadu maxbinx maxbiny percentcompleted "
        "pixelsizex pixelsizey readoutmodes sensorname sensortype";
    const std::string optionalGetOnly =
        "bayeroffsetx bayeroffsety gainmax gainmin gains heatsinktemperature offsetmax offsetmin "
        "offsets";
    std::vector<InterfaceMember> all = {{"action", false, "Action,Parameters"},
                                        {"commandblind", false, "Command,Raw", true},
                                        {"commandbool", false, "Command,Raw", true},
                                        {"commandstring", false, "Command,Raw", true},
                                        {"connect", false, ""},
                                        {"disconnect", false, ""},
                                        {"connected", true, "Connected"},
                                        {"abortexposure", false, ""},
                                        {"stopexposure", false, ""},
                                        {"startexposure", false, "Duration,Light"},
                                        {"pulseguide", false, "Direction,Duration"},
                                        {"binx", true, "BinX"},
                                        {"biny", true, "BinY"},
                                        {"numx", true, "NumX"},
                                        {"numy", true, "NumY"},
                                        {"startx", true, "StartX"},
                                        {"starty", true, "StartY"},
                                        {"readoutmode", true, "ReadoutMode"},
                                        {"cooleron", true, "CoolerOn"},
                                        {"setccdtemperature", true, "SetCCDTemperature"},
                                        {"fastreadout", true, "FastReadout", true},
                                        {"gain", true, "Gain", true},
                                        {"offset", true, "Offset", true},
                                        {"subexposureduration", true, "SubExposureDuration", true}};
    // The names live as long as the program: the lists are kept once.
    static const std::vector<std::string> names[2] = {Words(getOnly), Words(optionalGetOnly)};
    for (int optional = 0; optional < 2; ++optional)
        for (const std::string& m : names[optional])
            all.push_back({m.c_str(), true, nullptr, optional == 1});
    return all;
}

struct HttpReply {
    long status = 0;
    std::string body;
    std::string contentType;
    json Json() const { return json::parse(body, nullptr, false); }
};

// libcurl's global set-up, once, before any test starts a thread.
inline const bool kCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

// One client (one curl handle, kept-alive connections), not shared between threads.
class Http {
  public:
    explicit Http(int port, const std::string& host = "127.0.0.1")
        : base_("http://" + host + ":" + std::to_string(port)) {
        curl_ = curl_easy_init();
    }
    ~Http() { curl_easy_cleanup(curl_); }
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;

    // `query` and `form` are already encoded ("a=1&b=2").  `stopAfter` > 0
    // drops the connection after that many body bytes (a client going away).
    HttpReply Get(const std::string& path, const std::string& query = "",
                  const std::string& accept = "", std::size_t stopAfter = 0) {
        return Do(path + (query.empty() ? "" : "?" + query), nullptr, accept, stopAfter);
    }
    HttpReply Put(const std::string& path, const std::string& form) {
        return Do(path, &form, "", 0);
    }
    // A form as a browser sends it, with the page's origin when given.
    HttpReply Post(const std::string& path, const std::string& form,
                   const std::string& origin = "") {
        return Do(path, &form, "", 0, "POST", origin.empty() ? "" : "Origin: " + origin);
    }

  private:
    struct Sink {
        std::string* body;
        std::size_t stopAfter;
    };
    static std::size_t Write(char* data, std::size_t size, std::size_t n, void* user) {
        Sink* s = static_cast<Sink*>(user);
        s->body->append(data, size * n);
        if (s->stopAfter && s->body->size() >= s->stopAfter)
            return 0;  // curl drops the transfer
        return size * n;
    }
    HttpReply Do(const std::string& path, const std::string* form, const std::string& accept,
                 std::size_t stopAfter, const char* method = "PUT",
                 const std::string& header = "") {
        HttpReply r;
        Sink sink{&r.body, stopAfter};
        curl_easy_reset(curl_);
        const std::string url = base_ + path;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Http::Write);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_slist* headers = nullptr;
        if (!accept.empty())
            headers = curl_slist_append(headers, ("Accept: " + accept).c_str());
        if (!header.empty())
            headers = curl_slist_append(headers, header.c_str());
        if (form) {
            curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, form->c_str());
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(form->size()));
            headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
        const CURLcode rc = curl_easy_perform(curl_);
        curl_slist_free_all(headers);
        if (rc != CURLE_OK && !(stopAfter && rc == CURLE_WRITE_ERROR)) {
            ADD_FAILURE() << path << ": " << curl_easy_strerror(rc);
            return r;
        }
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &r.status);
        char* type = nullptr;
        curl_easy_getinfo(curl_, CURLINFO_CONTENT_TYPE, &type);
        r.contentType = type ? type : "";
        return r;
    }

    std::string base_;
    CURL* curl_ = nullptr;
};

// The server process, started and stopped with the kit's process helpers.
class ServerProcess {
  public:
    ~ServerProcess() { Stop(); }

    // Starts zeva-alpaca with `args` (after --listen HOST:0, HOST as in a URL)
    // and waits for it to name its port.  False when it did not come up.
    bool Start(const std::vector<std::string>& args, const fs::path& dir,
               const std::string& host = "127.0.0.1") {
        // A log of its own for each start, so a restart never reads the last one's port.
        log_ = dir / ("server-" + std::to_string(++starts_) + ".log");
        fs::remove(log_);
        std::vector<std::string> all = {ZEVA_ALPACA_SERVER, "--listen", host + ":0"};
        all.insert(all.end(), args.begin(), args.end());
        pid_ = zeva::test::Spawn(all, dir, log_);
        const std::string mark = "on http://" + host + ":";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
            const std::string log = Log();
            const std::size_t at = log.find(mark);
            if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
                port_ = std::atoi(log.c_str() + at + mark.size());
                return port_ > 0;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // SIGTERM, then SIGKILL when it does not end within `seconds`; the exit
    // code, -1 when it had to be killed.
    int Stop(double seconds = 10) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        const int rc = zeva::test::WaitFor(pid_, seconds);
        pid_ = -1;
        return rc;
    }

    int port() const { return port_; }
    std::string Log() const { return zeva::test::ReadFile(log_); }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    int starts_ = 0;
    fs::path log_;
};

// A bare TCP connection to the server on the loopback address, for clients
// that misbehave on purpose: headers a byte at a time, bodies too long,
// downloads read slowly.  `receiveBuffer` > 0 keeps the socket's receive
// buffer that small, so a client that stops reading holds the server up.
class RawClient {
  public:
    explicit RawClient(int port, int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads until `done(received)` holds, the server closes, or `seconds` pass.
    std::string Receive(double seconds,
                        const std::function<bool(const std::string&)>& done = nullptr,
                        std::size_t chunk = 65536) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::vector<char> buf(chunk);
        while (!(done && done(got))) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            got.append(buf.data(), static_cast<std::size_t>(n));
        }
        return got;
    }
    // A whole reply with a Content-Length (or cut short).
    std::string Reply(double seconds) {
        return Receive(seconds, [](const std::string& r) {
            const std::size_t end = r.find("\r\n\r\n");
            const std::size_t at = r.find("Content-Length: ");
            return end != std::string::npos && at != std::string::npos &&
                   r.size() >= end + 4 + std::stoul(r.substr(at + 16));
        });
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// The pixels of an ImageBytes reply: a [x][y] array as rows of lines.
struct Image {
    std::int32_t header[11] = {};
    std::vector<std::vector<unsigned>> at;  // at[x][y]
};

inline bool ParseImageBytes(const std::string& body, Image* img) {
    if (body.size() < 44)
        return false;
    auto u8 = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(body[i]));
    };
    for (int i = 0; i < 11; ++i)
        img->header[i] = static_cast<std::int32_t>(u8(4 * i) | u8(4 * i + 1) << 8 |
                                                   u8(4 * i + 2) << 16 | u8(4 * i + 3) << 24);
    const std::size_t nx = static_cast<std::size_t>(img->header[8]);
    const std::size_t ny = static_cast<std::size_t>(img->header[9]);
    const std::size_t start = static_cast<std::size_t>(img->header[4]);
    if (body.size() != start + 2 * nx * ny)
        return false;
    img->at.assign(nx, std::vector<unsigned>(ny));
    std::size_t k = start;
    for (std::size_t x = 0; x < nx; ++x)
        for (std::size_t y = 0; y < ny; ++y, k += 2) img->at[x][y] = u8(k) | u8(k + 1) << 8;
    return true;
}

}  // namespace zeva::alpaca::test
