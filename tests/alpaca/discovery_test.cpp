// Alpaca discovery: the server answers discovery datagrams on the loopback
// addresses with its HTTP port, and ignores anything else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

// A UDP port on the loopback address of `family` that was free a moment ago.
int FreeUdpPort(int family) {
    const int s = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage a{};
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (family == AF_INET) {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
    }
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&a)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    close(s);
    return port;
}

// Sends `datagrams` to the loopback address of `family`, port `udp`; the
// answers that come back within a moment.
std::vector<std::string> AskLoopback(int family, int udp,
                                     const std::vector<std::string>& datagrams) {
    const int s = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage to{};
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (family == AF_INET) {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&to);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<std::uint16_t>(udp));
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&to);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<std::uint16_t>(udp));
        a6->sin6_addr = in6addr_loopback;
    }
    for (const std::string& d : datagrams)
        sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), len);
    std::vector<std::string> answers;
    pollfd p{s, POLLIN, 0};
    // The first answer may take the server's poll period; later ones would be at once.
    for (int wait = 5000; poll(&p, 1, wait) == 1; wait = 300) {
        char buf[256];
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0)
            answers.emplace_back(buf, static_cast<std::size_t>(n));
    }
    close(s);
    return answers;
}

TEST_F(AlpacaServerTest, DiscoveryAnswersWithTheHttpPort) {
    // A free UDP port of our own, so parallel tests and real servers do not meet.
    const int udp = FreeUdpPort(AF_INET);
    Start({"--sim", "kestrel", "--discovery-port", std::to_string(udp)});
    // Junk gets no answer; the query one, naming the HTTP port.
    const auto answers = AskLoopback(AF_INET, udp, {"hello", "alpacadiscovery1"});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(json::parse(answers[0], nullptr, false)["AlpacaPort"], server.port()) << answers[0];
}

TEST_F(AlpacaServerTest, DiscoveryAnswersOverIpv6) {
    const int udp = FreeUdpPort(AF_INET6);
    Start({"--sim", "kestrel", "--discovery-port", std::to_string(udp)}, "[::1]");
    const auto answers = AskLoopback(AF_INET6, udp, {"alpacadiscovery1"});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(json::parse(answers[0], nullptr, false)["AlpacaPort"], server.port()) << answers[0];
    // The HTTP side listens there too.
    Http h6(server.port(), "[::1]");
    EXPECT_EQ(h6.Get("/management/apiversions").Json()["Value"], json::array({1}));
}

}  // namespace
}  // namespace zeva::alpaca::test
