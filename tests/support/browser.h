// A real browser for tests of web pages: Debian's headless Chromium, driven
// through chromedriver (the WebDriver protocol) on a free loopback port with
// libcurl.  Pages are loaded, fields filled, buttons clicked, texts read and
// screenshots written as PNG.  chromedriver runs in a process group of its
// own and is stopped by its process id, the browser with it.
#pragma once

#include <curl/curl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace zeva::test {

class Browser {
  public:
    ~Browser() { Stop(); }

    // The programs from Debian's chromium and chromium-driver packages;
    // empty when either is missing.
    static std::string Missing() {
        std::string missing;
        for (const char* p : {kChromium, kDriver})
            if (access(p, X_OK) != 0)
                missing += std::string(missing.empty() ? "" : ", ") + p;
        return missing;
    }

    // Starts chromedriver and a browser session with a window `width` x
    // `height` (CSS pixels), its profile and log in `dir`.  False with the
    // reason.
    bool Start(const std::filesystem::path& dir, int width, int height, std::string* error) {
        for (int attempt = 0; attempt < 3 && session_.empty(); ++attempt) {
            Stop();
            port_ = FreeLoopbackPort();
            pid_ = Spawn({kDriver, "--port=" + std::to_string(port_)}, dir,
                         dir / ("chromedriver-" + std::to_string(attempt) + ".log"));
            if (!WaitReady(20))
                continue;  // the port was taken meanwhile, or it did not come up
            const nlohmann::json caps = {{"capabilities",
                                          {{"alwaysMatch",
                                            {{"browserName", "chrome"},
                                             {"goog:chromeOptions",
                                              {{"binary", kChromium},
                                               {"args",
                                                {"--headless=new", "--no-sandbox", "--disable-gpu",
                                                 "--disable-dev-shm-usage", "--no-first-run",
                                                 "--user-data-dir=" + (dir / "profile").string(),
                                                 "--window-size=" + std::to_string(width) + "," +
                                                     std::to_string(height)}}}}}}}}};
            const nlohmann::json r = Call("POST", "/session", caps);
            if (r.contains("value") && r["value"].contains("sessionId"))
                session_ = r["value"]["sessionId"].get<std::string>();
            else
                *error = "no browser session: " + r.dump();
        }
        if (session_.empty() && error->empty())
            *error = "chromedriver did not come up";
        return !session_.empty();
    }

    // Ends the session (the browser quits) and chromedriver.
    void Stop() {
        if (!session_.empty())
            Call("DELETE", "/session/" + session_, nullptr);
        session_.clear();
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            WaitFor(pid_, 5);
            kill(-pid_, SIGKILL);  // whatever of the browser is left in its group
        }
        pid_ = -1;
    }

    bool Go(const std::string& url) { return Ok(Session("POST", "/url", {{"url", url}})); }
    std::string Url() { return Value(Session("GET", "/url", nullptr)); }
    std::string Title() { return Value(Session("GET", "/title", nullptr)); }

    // The first element matching the CSS selector, waiting up to `seconds`
    // for it to appear (a page loads slowly on a busy machine); empty when
    // none did.
    std::string Find(const std::string& css, double seconds = 30) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const nlohmann::json r =
                Session("POST", "/element", {{"using", "css selector"}, {"value", css}});
            if (Ok(r) && r["value"].is_object())
                for (const auto& [key, id] : r["value"].items()) return id.get<std::string>();
            if (std::chrono::steady_clock::now() > end)
                return "";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    bool Clear(const std::string& e) { return Ok(Element(e, "POST", "/clear", json::object())); }
    bool Type(const std::string& e, const std::string& text) {
        return Ok(Element(e, "POST", "/value", {{"text", text}}));
    }
    bool Click(const std::string& e) { return Ok(Element(e, "POST", "/click", json::object())); }
    std::string Text(const std::string& e) { return Value(Element(e, "GET", "/text", nullptr)); }
    // A property such as "value" of an input.
    std::string Property(const std::string& e, const std::string& name) {
        return Value(Element(e, "GET", "/property/" + name, nullptr));
    }
    // The page as the user sees it, as a PNG file.
    bool Screenshot(const std::filesystem::path& png) {
        const nlohmann::json r = Session("GET", "/screenshot", nullptr);
        if (!Ok(r) || !r["value"].is_string())
            return false;
        const std::string bytes = Base64(r["value"].get<std::string>());
        std::ofstream(png, std::ios::binary) << bytes;
        return bytes.rfind("\x89PNG", 0) == 0;
    }

  private:
    using json = nlohmann::json;
    static constexpr const char* kChromium = "/usr/bin/chromium";
    static constexpr const char* kDriver = "/usr/bin/chromedriver";

    static bool Ok(const json& r) {
        return r.is_object() && r.contains("value") &&
               !(r["value"].is_object() && r["value"].contains("error"));
    }
    static std::string Value(const json& r) {
        return Ok(r) && r["value"].is_string() ? r["value"].get<std::string>() : "";
    }
    json Session(const std::string& method, const std::string& path, const json& body) {
        return Call(method, "/session/" + session_ + path, body);
    }
    json Element(const std::string& e, const std::string& method, const std::string& path,
                 const json& body) {
        return Session(method, "/element/" + e + path, body);
    }
    bool WaitReady(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            const json r = Call("GET", "/status", nullptr);
            if (r.contains("value") && r["value"].value("ready", false))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    static std::size_t Collect(char* data, std::size_t size, std::size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
    }
    // One WebDriver command; null when chromedriver did not answer in JSON.
    json Call(const std::string& method, const std::string& path, const json& body) {
        CURL* curl = curl_easy_init();
        if (!curl)
            return nullptr;
        const std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
        const std::string text = body.is_null() ? "" : body.dump();
        std::string reply;
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Browser::Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        if (method != "GET") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
        }
        const CURLcode rc = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return rc == CURLE_OK ? json::parse(reply, nullptr, false) : json(nullptr);
    }
    static std::string Base64(const std::string& in) {
        auto sextet = [](char c) -> int {
            if (c >= 'A' && c <= 'Z')
                return c - 'A';
            if (c >= 'a' && c <= 'z')
                return c - 'a' + 26;
            if (c >= '0' && c <= '9')
                return c - '0' + 52;
            return c == '+' ? 62 : c == '/' ? 63 : -1;
        };
        std::string out;
        unsigned bits = 0;
        int count = 0;
        for (char c : in) {
            const int v = sextet(c);
            if (v < 0)
                continue;  // padding and line breaks
            bits = (bits << 6) | static_cast<unsigned>(v);
            count += 6;
            if (count >= 8) {
                count -= 8;
                out += static_cast<char>((bits >> count) & 0xFF);
            }
        }
        return out;
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string session_;
};

}  // namespace zeva::test
