#include "alpaca/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace zeva::alpaca {

namespace {

constexpr const char kQuery[] = "alpacadiscovery1";
// How often the loop looks at the stop flag.
constexpr int kPollMs = 200;

}  // namespace

Discovery::~Discovery() {
    Stop();
}

bool Discovery::Start(const std::string& address, int port, int httpPort, std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        *error = "discovery: '" + address + "' is not an IPv4 address";
        return false;
    }
    socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        *error = std::string("discovery: no UDP socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = "discovery: cannot listen on UDP " + address + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        close(socket_);
        socket_ = -1;
        return false;
    }
    httpPort_ = httpPort;
    stop_ = false;
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void Discovery::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (socket_ >= 0)
        close(socket_);
    socket_ = -1;
}

void Discovery::Loop() {
    const std::string reply = nlohmann::json{{"AlpacaPort", httpPort_}}.dump();
    char buf[256];
    while (!stop_) {
        pollfd p{socket_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(socket_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < static_cast<ssize_t>(sizeof kQuery - 1) ||
            std::memcmp(buf, kQuery, sizeof kQuery - 1) != 0)
            continue;
        sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

}  // namespace zeva::alpaca
