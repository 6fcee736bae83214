// The HTTP side of the Alpaca server (cpp-httplib): the management API, the
// device calls routed to the camera devices, the image in its two forms.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alpaca/device.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zeva::alpaca {

class HttpGate;

struct ServerInfo {
    std::string location;      // the management description's Location
    std::string settingsPath;  // the settings file the set-up pages save to
};

class AlpacaServer {
  public:
    AlpacaServer(std::vector<CameraDevice*> devices, ServerInfo info);
    ~AlpacaServer();
    AlpacaServer(const AlpacaServer&) = delete;
    AlpacaServer& operator=(const AlpacaServer&) = delete;

    // Binds `host`:`port` (port 0: any free port), alone; false with a message.
    bool Bind(const std::string& host, int port, std::string* error);
    int port() const { return port_; }
    // Serves until Stop (from any thread).
    bool Run();
    void Stop();

  private:
    void Routes();
    void Management(const std::string& what, const httplib::Request& req, httplib::Response& res);
    void Device(const httplib::Request& req, httplib::Response& res, bool put);
    void ImageArray(CameraDevice& device, const httplib::Request& req, httplib::Response& res,
                    const Params& params);
    void SendJson(httplib::Response& res, const Reply& reply, const Params& params);
    std::uint32_t NextTransaction() { return ++transaction_; }

    std::vector<CameraDevice*> devices_;
    ServerInfo info_;
    std::unique_ptr<HttpGate> http_;
    int port_ = 0;
    std::atomic<std::uint32_t> transaction_{0};
};

// Reads the parameters of a request: the query string, and for a PUT the
// form-encoded body.
Params RequestParams(const httplib::Request& req);

}  // namespace zeva::alpaca
