// The Alpaca server test fixture: zeva-alpaca started as a process on a free
// loopback port, with an HTTP client and helpers for exposures and images.
#pragma once

#include "alpaca/alpaca_kit.h"

namespace zeva::alpaca::test {

class AlpacaServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zeva-alpaca-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        http.reset();
        const int rc = server.Stop();
        if (started) {
            EXPECT_EQ(rc, 0) << "the server did not stop cleanly\n" << server.Log();
        }
        if (HasFailure())
            std::fprintf(stderr, "server log:\n%s\n", server.Log().c_str());
        fs::remove_all(dir);
    }

    void Start(std::vector<std::string> args, const std::string& host = "127.0.0.1") {
        args.push_back("--settings");
        args.push_back((dir / "settings.json").string());
        ASSERT_TRUE(server.Start(args, dir, host)) << server.Log();
        started = true;
        http = std::make_unique<Http>(server.port());
    }

    static std::string Path(unsigned device, const std::string& member) {
        return "/api/v1/camera/" + std::to_string(device) + "/" + member;
    }
    // A GET that must succeed at the HTTP level; the JSON reply.
    json Get(unsigned device, const std::string& member, const std::string& query = "") {
        HttpReply r = http->Get(Path(device, member), query);
        EXPECT_EQ(r.status, 200) << member << ": " << r.body;
        return r.Json();
    }
    json Put(unsigned device, const std::string& member, const std::string& form) {
        HttpReply r = http->Put(Path(device, member), form);
        EXPECT_EQ(r.status, 200) << member << ": " << r.body;
        return r.Json();
    }
    json Value(unsigned device, const std::string& member) {
        json j = Get(device, member);
        EXPECT_EQ(ErrorOf(j), 0) << member << ": " << j.dump();
        return ValueOf(j);
    }
    void PutOk(unsigned device, const std::string& member, const std::string& form) {
        json j = Put(device, member, form);
        ASSERT_EQ(ErrorOf(j), 0) << member << " " << form << ": " << j.dump();
    }
    void Connect(unsigned device) { PutOk(device, "connected", "Connected=true"); }
    // Polls `member` until `want(value)` holds; false after `seconds`.
    bool WaitUntil(unsigned device, const std::string& member,
                   const std::function<bool(const json&)>& want, double seconds = 30) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            json j = Get(device, member);
            if (ErrorOf(j) == 0 && want(ValueOf(j)))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void Frame(unsigned device, unsigned bx, unsigned by, unsigned x, unsigned y, unsigned w,
               unsigned h) {
        PutOk(device, "binx", "BinX=" + std::to_string(bx));
        PutOk(device, "biny", "BinY=" + std::to_string(by));
        PutOk(device, "startx", "StartX=" + std::to_string(x));
        PutOk(device, "starty", "StartY=" + std::to_string(y));
        PutOk(device, "numx", "NumX=" + std::to_string(w));
        PutOk(device, "numy", "NumY=" + std::to_string(h));
    }
    // Exposes and waits for the image.
    void Expose(unsigned device, double seconds, bool light) {
        PutOk(device, "startexposure",
              "Duration=" + std::to_string(seconds) + "&Light=" + (light ? "true" : "false"));
        ASSERT_TRUE(WaitUntil(device, "imageready", [](const json& v) { return v == true; }))
            << "no image; state " << Get(device, "camerastate").dump();
    }
    Image ImageBytesOf(unsigned device) {
        HttpReply r = http->Get(Path(device, "imagearray"), "ClientTransactionID=77",
                                "application/imagebytes");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.contentType, "application/imagebytes");
        Image img;
        EXPECT_TRUE(ParseImageBytes(r.body, &img)) << r.body.size() << " bytes";
        return img;
    }

    fs::path dir;
    ServerProcess server;
    bool started = false;
    std::unique_ptr<Http> http;
};

}  // namespace zeva::alpaca::test
