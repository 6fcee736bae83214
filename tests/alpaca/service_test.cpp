// zeva-alpaca as a network service that holds: against a second copy on its
// address, clients that trickle, flood or stall, and requests that bend the
// protocol, each over loopback against the running server.
#include <atomic>
#include <set>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string StatusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

TEST_F(AlpacaServerTest, SecondServerOnATakenAddressFailsAndLeavesTheFirstAlone) {
    Start({"--sim", "kestrel"});
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    const fs::path log = dir / "second.log";
    const pid_t second = zeva::test::Spawn({ZEVA_ALPACA_SERVER, "--sim", "egret", "--listen",
                                            address, "--settings", (dir / "s2.json").string()},
                                           dir, log);
    EXPECT_EQ(zeva::test::WaitFor(second, 10), 1) << zeva::test::ReadFile(log);
    EXPECT_NE(zeva::test::ReadFile(log).find("cannot listen on " + address + ": address in use"),
              std::string::npos)
        << zeva::test::ReadFile(log);
    // Every request still reaches the first server's camera.
    for (int i = 0; i < 12; ++i)
        EXPECT_NE(Value(0, "name").get<std::string>().find("Kestrel"), std::string::npos);
}

TEST_F(AlpacaServerTest, TricklingClientsNeitherStarveOthersNorHoldOffAStop) {
    Start({"--sim", "gannet"});
    Connect(0);
    Connect(1);
    // 64 clients send a request header a byte at a time, more than the server
    // has workers.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 64; ++i) slow.push_back(std::make_unique<RawClient>(server.port()));
    const std::string header = "GET /api/v1/camera/0/name HTTP/1.1\r\nHost: x\r\n\r\n";
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        for (std::size_t at = 0; trickling && at < header.size(); ++at) {
            for (auto& c : slow) c->Send(header.substr(at, 1));
            for (int i = 0; i < 5 && trickling; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // They held every worker for good before; now others are answered as
    // usual (the bounds leave room for a loaded machine and sanitizers: the
    // times themselves are well under a second).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < 3; ++i) {
        Http fresh(server.port());
        const auto t = Clock::now();
        EXPECT_EQ(fresh.Get(Path(0, "camerastate")).status, 200);
        EXPECT_LT(SecondsSince(t), 5.0);
    }
    // Stopped while they trickle, an exposure runs and a guide pulse is on:
    // the server ends, cleanly, instead of waiting for them.
    PutOk(0, "startexposure", "Duration=1000&Light=true");
    PutOk(1, "pulseguide", "Direction=0&Duration=60000");
    http.reset();
    const auto t = Clock::now();
    const int rc = server.Stop(5);
    started = false;
    trickling = false;
    trickler.join();
    EXPECT_EQ(rc, 0) << server.Log();
    EXPECT_LT(SecondsSince(t), 5.0);
    EXPECT_NE(server.Log().find("zeva-alpaca: stopped"), std::string::npos);
}

TEST_F(AlpacaServerTest, BodiesOverTheLimitAreRefusedBeforeTheyAreRead) {
    Start({"--sim", "kestrel"});
    const std::string put = "PUT /api/v1/camera/0/binx HTTP/1.1\r\nHost: x\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    {
        // 256 MB announced, nothing sent: refused at once.
        RawClient c(server.port());
        c.Send(put + form + "Content-Length: 268435456\r\n\r\n");
        EXPECT_EQ(StatusLine(c.Reply(4)), "HTTP/1.1 413 Payload Too Large");
    }
    {
        // A chunked body is cut as soon as it passes the limit.
        RawClient c(server.port());
        c.Send(put + form + "Transfer-Encoding: chunked\r\n\r\n");
        const std::string chunk = "2000\r\n" + std::string(0x2000, 'a') + "\r\n";
        std::string reply;
        for (int i = 0; i < 64 && reply.empty(); ++i) {
            c.Send(chunk);
            reply = c.Receive(0.02);
        }
        reply += c.Reply(2);
        EXPECT_EQ(StatusLine(reply), "HTTP/1.1 413 Payload Too Large") << reply;
    }
    for (const char* bad :
         {"Content-Length: 6\r\nContent-Length: 6\r\n",
          "Content-Length: 6\r\nTransfer-Encoding: chunked\r\n", "Content-Length: 0x6\r\n"}) {
        RawClient c(server.port());
        c.Send(put + form + bad + std::string("\r\nBinX=1"));
        EXPECT_EQ(StatusLine(c.Reply(2)), "HTTP/1.1 400 Bad Request") << bad;
    }
    // The server goes on.
    EXPECT_EQ(Value(0, "interfaceversion"), 4);
}

TEST_F(AlpacaServerTest, PutWithoutABodyIsAnsweredAtOnceAsAnEmptyForm) {
    Start({"--sim", "kestrel"});
    Connect(0);
    RawClient c(server.port());
    struct {
        std::string member;
        std::string status;
        std::string says;
    } cases[] = {
        {"abortexposure", "HTTP/1.1 200 OK", "\"ErrorNumber\":0"},
        {"binx", "HTTP/1.1 400 Bad Request", "missing parameter BinX"},
        {"startexposure", "HTTP/1.1 400 Bad Request", "missing parameter Duration"},
    };
    for (const auto& k : cases) {
        // One kept-alive connection: each answer comes before the next request.
        const auto t = Clock::now();
        c.Send("PUT /api/v1/camera/0/" + k.member + " HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string reply = c.Reply(3);
        EXPECT_LT(SecondsSince(t), 3.0) << k.member;  // 5 s before
        EXPECT_EQ(StatusLine(reply), k.status) << reply;
        EXPECT_NE(reply.find(k.says), std::string::npos) << reply;
    }
}

TEST_F(AlpacaServerTest, PutTakesItsFormBodyOnlyAndTheFirstOfTwoNames) {
    Start({"--sim", "kestrel"});
    Connect(0);
    // The query's Duration does not count.
    HttpReply r = http->Put(Path(0, "startexposure") + "?Duration=100", "Duration=0.01&Light=true");
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_TRUE(WaitUntil(0, "imageready", [](const json& v) { return v == true; }));
    EXPECT_DOUBLE_EQ(Value(0, "lastexposureduration").get<double>(), 0.01);
    // Two of one name: the first counts, in a form exactly named, in a query in any case.
    PutOk(0, "numx", "NumX=20&NumX=30");
    EXPECT_EQ(Value(0, "numx"), 20);
    EXPECT_EQ(
        Put(0, "numy",
            "numy=40&NumY=50&ClientTransactionID=8&ClientTransactionID=9")["ClientTransactionID"],
        8);
    EXPECT_EQ(Value(0, "numy"), 50);
    EXPECT_EQ(Get(0, "numx", "clienttransactionid=5&ClientTransactionID=6")["ClientTransactionID"],
              5);
}

TEST_F(AlpacaServerTest, UniqueIdsAreVersion5AndTellEveryCameraApart) {
    Start({"--sim", "gannet", "--sim", "gannet", "--sim", "egret"});
    auto ids = [&] {
        std::vector<std::string> out;
        const json list = http->Get("/management/v1/configureddevices").Json();
        for (const json& d : list["Value"]) out.push_back(d["UniqueID"]);
        return out;
    };
    const std::vector<std::string> first = ids();
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), 5u);
    for (const std::string& id : first) {
        ASSERT_EQ(id.size(), 36u) << id;
        EXPECT_EQ(id[14], '5') << id;  // name-based, SHA-1
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    }
    // The same from one start to the next.
    http.reset();
    ASSERT_EQ(server.Stop(), 0);
    started = false;
    Start({"--sim", "gannet", "--sim", "gannet", "--sim", "egret"});
    EXPECT_EQ(ids(), first);
}

TEST_F(AlpacaServerTest, DownloadWaitsForAClientThatStopsReadingForSeconds) {
    // A full Jacana frame as JSON: far more than the sockets' buffers hold.
    Start({"--sim", "jacana"});
    Connect(0);
    Expose(0, 0.01, true);
    RawClient c(server.port(), 16 * 1024);
    c.Send("GET /api/v1/camera/0/imagearray HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string got = c.Receive(5, [](const std::string& r) { return r.size() > 100000; });
    ASSERT_GT(got.size(), 100000u);
    std::this_thread::sleep_for(std::chrono::seconds(8));  // the old limit was 5 s of silence
    got += c.Receive(
        30, [](const std::string& r) { return r.size() > 5 && r.ends_with("\r\n0\r\n\r\n"); });
    ASSERT_TRUE(got.ends_with("\r\n0\r\n\r\n")) << got.size() << " bytes";
    EXPECT_NE(got.find("]]}"), std::string::npos);
    EXPECT_EQ(Value(0, "imageready"), true);
}

}  // namespace
}  // namespace zeva::alpaca::test
