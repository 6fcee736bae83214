// Alpaca discovery: answers the datagram "alpacadiscovery1" on UDP (port
// 32227 by default) with {"AlpacaPort": <the HTTP port>}, to the sender.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace zeva::alpaca {

constexpr int kDiscoveryPort = 32227;

class Discovery {
  public:
    Discovery() = default;
    ~Discovery();
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // Listens on `address`:`port` (IPv4; "0.0.0.0" for every interface, which
    // also receives broadcasts) and answers with `httpPort`.  Other Alpaca
    // servers on the machine may share the port.  False with a message.
    bool Start(const std::string& address, int port, int httpPort, std::string* error);
    void Stop();

  private:
    void Loop();
    int socket_ = -1;
    int httpPort_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zeva::alpaca
