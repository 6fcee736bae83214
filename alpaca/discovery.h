// Alpaca discovery: answers the datagram "alpacadiscovery1" on UDP (port
// 32227 by default) with {"AlpacaPort": <the HTTP port>}, to the sender.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zeva::alpaca {

constexpr int kDiscoveryPort = 32227;
// The IPv6 multicast group Alpaca clients send to.
constexpr const char* kDiscoveryGroup6 = "ff12::a1:9aca";

class Discovery {
  public:
    Discovery() = default;
    ~Discovery();
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // Listens on `address`:`port` and answers with `httpPort`.  An IPv4
    // address ("0.0.0.0" for every interface, which also receives
    // broadcasts) or an IPv6 one ("::" for every interface: then also IPv4's
    // 0.0.0.0 and the multicast group).  Other Alpaca servers on the machine
    // may share the port.  False with a message.
    bool Start(const std::string& address, int port, int httpPort, std::string* error);
    void Stop();

  private:
    bool Open4(const std::string& address, int port, std::string* error);
    bool Open6(const std::string& address, int port, std::string* error);
    void Loop();
    std::vector<int> sockets_;
    int httpPort_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zeva::alpaca
