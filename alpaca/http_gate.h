// The connection layer in front of the HTTP library.  The library's own
// listener gives each connection a worker thread from its first byte and
// trusts the client's pace, so a few clients that send their headers a byte at
// a time, or a huge body, hold every worker; its socket shares the port with
// any second server.  Here the library's listener only accepts (on a socket
// bound without port sharing), one thread holds the idle and half-sent
// connections, and a connection reaches a worker only once a whole request
// header is in; the library then parses and answers it on a stream
// that enforces a deadline for the body, refuses a body over the limit before
// reading it, and lets a download wait a minute for a stalled client.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace zeva::alpaca {

struct GateLimits {
    std::size_t workers = 16;
    // A request's header must be complete this long after the connection
    // starts waiting for it (accepted, or its last answer sent); an idle
    // kept-alive connection is closed then too.
    double headerSeconds = 5;
    // Bodies (forms) larger than this are refused (413) at their
    // Content-Length, or as soon as a chunked body passes it on the wire.
    std::size_t maxBody = 64 * 1024;
    // A body must come in at this rate, after a grace period.
    double bodyGraceSeconds = 2;
    double bodyBytesPerSecond = 16 * 1024;
    // How long a client may stop reading a reply (a download) before it is cut.
    double writeSilenceSeconds = 60;
    // Connections held at once; more are closed at once.
    std::size_t maxConnections = 512;
    std::size_t requestsPerConnection = 100;
};

class HttpGate : public httplib::Server {
  public:
    explicit HttpGate(GateLimits limits = GateLimits{});
    ~HttpGate() override;

    // Binds `host`:`port` (port 0: any free port) without sharing the port
    // with another server; false with "cannot listen on HOST:PORT: why".
    bool Bind(const std::string& host, int port, std::string* error);
    int port() const { return port_; }
    // Serves until Stop (from any thread); every worker has ended on return.
    bool Run();
    void Stop();

    struct Connection;

  private:
    class Stream;
    // The library's listener hands each accepted socket here.
    bool process_and_close_socket(socket_t sock) override;
    void GateLoop();
    void Receive(std::shared_ptr<Connection> c);
    void Dispatch(const std::shared_ptr<Connection>& c);
    void Serve(const std::shared_ptr<Connection>& c);
    void Wait(const std::shared_ptr<Connection>& c);
    void Close(std::shared_ptr<Connection> c);
    void Release(int fd);  // closes a connection's socket
    void Wake();
    // The request's body as its headers announce it: refused (true, with
    // the answer in `res`) or allowed, with its deadline.
    bool RefuseBody(const httplib::Request& req, httplib::Response& res);

    const GateLimits limits_;
    int listener_ = -1;
    int epoll_ = -1;
    int wake_ = -1;  // eventfd: Stop, or a connection back from a worker
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> held_{0};  // connections open
    // Connections the gate holds, by descriptor, and those back from workers.
    std::map<int, std::shared_ptr<Connection>> waiting_;
    std::mutex lock_;
    // New connections, and those back from workers for their next request.
    std::deque<std::shared_ptr<Connection>> arrivals_;  // lock_
    std::set<std::shared_ptr<Connection>> active_;      // lock_: in a worker
    std::unique_ptr<httplib::ThreadPool> pool_;
};

}  // namespace zeva::alpaca
