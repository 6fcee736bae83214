#include "alpaca/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace zeva::alpaca {

namespace {

constexpr const char kQuery[] = "alpacadiscovery1";
// How often the loop looks at the stop flag.
constexpr int kPollMs = 200;

std::string Where(const std::string& address, int port) {
    return "discovery: cannot listen on UDP " + address + " port " + std::to_string(port) + ": " +
           std::strerror(errno);
}

// A UDP socket with address reuse and one more option of the family
// (broadcast, IPv6 only), bound to `a`; -1 with errno set when any step fails.
int BoundSocket(const sockaddr* a, socklen_t len, int level, int option) {
    const int s = socket(a->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (s < 0)
        return -1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(s, level, option, &on, sizeof on) != 0 || bind(s, a, len) != 0) {
        const int error = errno;
        close(s);
        errno = error;
        return -1;
    }
    return s;
}

}  // namespace

Discovery::~Discovery() {
    Stop();
}

bool Discovery::Open4(const std::string& address, int port, std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    const int s = BoundSocket(reinterpret_cast<sockaddr*>(&a), sizeof a, SOL_SOCKET, SO_BROADCAST);
    if (s < 0) {
        *error = Where(address, port);
        return false;
    }
    sockets_.push_back(s);
    return true;
}

bool Discovery::Open6(const std::string& address, int port, std::string* error) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET6, address.c_str(), &a.sin6_addr);
    const int s = BoundSocket(reinterpret_cast<sockaddr*>(&a), sizeof a, IPPROTO_IPV6, IPV6_V6ONLY);
    if (s < 0) {
        *error = Where(address, port);
        return false;
    }
    if (IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr)) {
        // Clients ask the whole link through the group; a machine without
        // multicast still answers direct queries.
        ipv6_mreq group{};
        inet_pton(AF_INET6, kDiscoveryGroup6, &group.ipv6mr_multiaddr);
        if (setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &group, sizeof group) != 0)
            std::fprintf(stderr, "zeva-alpaca: discovery: cannot join %s: %s\n", kDiscoveryGroup6,
                         std::strerror(errno));
    }
    sockets_.push_back(s);
    return true;
}

bool Discovery::Start(const std::string& address, int port, int httpPort, std::string* error) {
    in_addr a4;
    in6_addr a6;
    bool ok;
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1) {
        ok = Open4(address, port, error);
    } else if (inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
        ok = Open6(address, port, error);
        if (ok && IN6_IS_ADDR_UNSPECIFIED(&a6))
            ok = Open4("0.0.0.0", port, error);
    } else {
        *error = "discovery: '" + address + "' is not an IP address";
        ok = false;
    }
    if (!ok) {
        Stop();
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
    for (int s : sockets_) close(s);
    sockets_.clear();
}

void Discovery::Loop() {
    const std::string reply = nlohmann::json{{"AlpacaPort", httpPort_}}.dump();
    std::vector<pollfd> polls;
    for (int s : sockets_) polls.push_back(pollfd{s, POLLIN, 0});
    char buf[256];
    while (!stop_) {
        if (poll(polls.data(), polls.size(), kPollMs) <= 0)
            continue;
        for (pollfd& p : polls) {
            if (!(p.revents & POLLIN))
                continue;
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(p.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < static_cast<ssize_t>(sizeof kQuery - 1) ||
                std::memcmp(buf, kQuery, sizeof kQuery - 1) != 0)
                continue;
            sendto(p.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
}

}  // namespace zeva::alpaca
