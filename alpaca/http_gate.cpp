#include "alpaca/http_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zeva::alpaca {

namespace {

using Clock = std::chrono::steady_clock;

// The header of one request, at most (the library refuses longer lines itself).
constexpr std::size_t kMaxHeader = 16 * 1024;
constexpr std::size_t kReceiveChunk = 4096;
constexpr int kListenBacklog = 64;
// The gate looks at its deadlines at least this often (ms).
constexpr int kGateTickMs = 250;

Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int MsUntil(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

std::string AddressText(const sockaddr_storage& a, int* port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        *port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        *port = ntohs(v6->sin6_port);
    }
    return text;
}

}  // namespace

// One client connection, held by the gate while it waits for a request and
// by one worker while that request is answered.
struct HttpGate::Connection {
    int fd = -1;
    std::string pending;  // received, not yet read by the library
    std::size_t pendingAt = 0;
    Clock::time_point deadline;  // for the header, then for the body
    std::size_t served = 0;
    // Of the request in a worker: its body as announced, and how it went.
    enum class Body { Unknown, None, Counted } body = Body::Unknown;
    std::size_t bodyLeft = 0;  // bytes the body may still take on the wire
    bool overLimit = false;
    bool timedOut = false;
    bool closeAfter = false;

    bool HeaderIn() const {
        return pending.find("\r\n\r\n", pendingAt) != std::string::npos ||
               pending.size() - pendingAt > kMaxHeader;
    }
};

namespace {
// The connection whose request this worker thread answers (the library's
// hooks see only the request).
thread_local HttpGate::Connection* tCurrent = nullptr;
}  // namespace

// The library's view of a connection: reads from what the gate received,
// then from the socket until the deadline; writes wait for a slow reader up
// to the write silence.
class HttpGate::Stream : public httplib::Stream {
  public:
    Stream(const HttpGate& gate, Connection& c) : gate_(gate), c_(c) {}

    bool is_readable() const override {
        return c_.pendingAt < c_.pending.size() || WaitFor(POLLIN, c_.deadline);
    }
    bool is_writable() const override {
        return WaitFor(POLLOUT, After(gate_.limits_.writeSilenceSeconds));
    }
    ssize_t read(char* ptr, size_t size) override {
        if (c_.body == Connection::Body::None)
            return 0;  // no length and not chunked: the body is empty
        if (c_.body == Connection::Body::Counted) {
            if (c_.bodyLeft == 0) {
                c_.overLimit = true;
                return -1;
            }
            size = std::min(size, c_.bodyLeft);
        }
        ssize_t n = 0;
        if (c_.pendingAt < c_.pending.size()) {
            n = static_cast<ssize_t>(std::min(size, c_.pending.size() - c_.pendingAt));
            std::memcpy(ptr, c_.pending.data() + c_.pendingAt, static_cast<std::size_t>(n));
            c_.pendingAt += static_cast<std::size_t>(n);
        } else {
            for (;;) {
                if (!WaitFor(POLLIN, c_.deadline)) {
                    c_.timedOut = Clock::now() >= c_.deadline;
                    return -1;
                }
                n = recv(c_.fd, ptr, size, 0);
                if (n >= 0 || (errno != EAGAIN && errno != EINTR))
                    break;
            }
        }
        if (n > 0 && c_.body == Connection::Body::Counted)
            c_.bodyLeft -= static_cast<std::size_t>(n);
        return n;
    }
    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            const ssize_t n = send(c_.fd, ptr, size, MSG_NOSIGNAL);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR))
                return n;
            if (!WaitFor(POLLOUT, After(gate_.limits_.writeSilenceSeconds)))
                return -1;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        getpeername(c_.fd, reinterpret_cast<sockaddr*>(&a), &len);
        ip = AddressText(a, &port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        getsockname(c_.fd, reinterpret_cast<sockaddr*>(&a), &len);
        ip = AddressText(a, &port);
    }
    socket_t socket() const override { return c_.fd; }

  private:
    // Waits for `events` until `until`, in steps so a stop is seen.
    bool WaitFor(short events, Clock::time_point until) const {
        for (;;) {
            if (gate_.stopping_)
                return false;
            pollfd p{c_.fd, events, 0};
            const int ms = MsUntil(until);
            const int r = poll(&p, 1, ms);
            if (r > 0)
                return true;
            if ((r == 0 && ms == 0) || (r < 0 && errno != EINTR))
                return false;
        }
    }

    const HttpGate& gate_;
    Connection& c_;
};

HttpGate::HttpGate(GateLimits limits) : limits_(limits) {
    set_keep_alive_max_count(limits_.requestsPerConnection);
    set_keep_alive_timeout(static_cast<time_t>(limits_.headerSeconds));
    set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return RefuseBody(req, res) ? HandlerResponse::Handled : HandlerResponse::Unhandled;
    });
    set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
        return RefuseBody(req, res) ? res.status : 100;
    });
    // The library's own refusals come without a reason; a body cut at the
    // limit or the deadline is answered as such.
    set_error_handler([this](const httplib::Request&, httplib::Response& res) {
        if (tCurrent && tCurrent->overLimit) {
            res.status = 413;
            res.set_content(
                "the body is over the limit of " + std::to_string(limits_.maxBody) + " bytes\n",
                "text/plain");
        } else if (tCurrent && tCurrent->timedOut) {
            res.status = 408;
            res.set_content("the request did not come in time\n", "text/plain");
        } else if (res.body.empty() && !res.content_provider_) {
            res.set_content("the request was refused (HTTP " + std::to_string(res.status) + ")\n",
                            "text/plain");
        }
    });
}

HttpGate::~HttpGate() {
    Stop();
    for (int fd : {listener_, epoll_, wake_})
        if (fd >= 0)
            close(fd);
}

bool HttpGate::Bind(const std::string& host, int port, std::string* error) {
    const bool v6 = host.find(':') != std::string::npos;
    const std::string where = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (gai != 0) {
        *error = "cannot listen on " + where + ": " + gai_strerror(gai);
        return false;
    }
    int why = 0;
    for (addrinfo* a = found; a && listener_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            why = errno;
            continue;
        }
        // Address reuse lets a restarted server bind while its old connections
        // linger; unlike port reuse it never lets two servers listen at once.
        const int yes = 1, no = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (a->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0) {
            listener_ = fd;
        } else {
            why = errno;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listener_ < 0) {
        std::string reason = why == EADDRINUSE ? "address in use" : std::strerror(why);
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        *error = "cannot listen on " + where + ": " + reason;
        return false;
    }
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    AddressText(a, &port_);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    svr_sock_ = listener_;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e);
    return true;
}

void HttpGate::Wake() {
    const std::uint64_t one = 1;
    if (wake_ >= 0)
        (void)!::write(wake_, &one, sizeof one);
}

void HttpGate::Stop() {
    stopping_ = true;
    std::lock_guard<std::mutex> g(lock_);
    // The listener's accept ends (before or after it began), and whatever a
    // worker waits for ends now.
    if (listener_ >= 0)
        shutdown(listener_, SHUT_RDWR);
    for (const auto& c : active_) shutdown(c->fd, SHUT_RDWR);
    Wake();
}

namespace {
// The listener's task queue: the hand-over to the gate is run in place.
class InPlace : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};
}  // namespace

bool HttpGate::Run() {
    if (listener_ < 0)
        return false;
    pool_ = std::make_unique<httplib::ThreadPool>(limits_.workers);
    new_task_queue = [] { return new InPlace; };
    std::thread gate([this] { GateLoop(); });
    if (!stopping_)
        listen_after_bind();  // the library's accept loop, until Stop
    {
        // The library closed the listener.
        std::lock_guard<std::mutex> g(lock_);
        listener_ = -1;
    }
    stopping_ = true;
    Wake();
    gate.join();
    pool_->shutdown();  // every worker's socket is shut: they end at once
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& c : arrivals_) Release(c->fd);
    arrivals_.clear();
    return true;
}

bool HttpGate::process_and_close_socket(socket_t sock) {
    std::lock_guard<std::mutex> g(lock_);
    if (stopping_ || held_ >= limits_.maxConnections) {
        close(sock);
        return false;
    }
    ++held_;
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    const int yes = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto c = std::make_shared<Connection>();
    c->fd = sock;
    arrivals_.push_back(c);
    Wake();
    return true;
}

void HttpGate::GateLoop() {
    epoll_event events[64];
    while (!stopping_) {
        const int n = epoll_wait(epoll_, events, 64, kGateTickMs);
        for (int i = 0; i < n && !stopping_; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_) {
                std::uint64_t count;
                (void)!::read(wake_, &count, sizeof count);
            } else if (auto it = waiting_.find(fd); it != waiting_.end()) {
                Receive(it->second);
            }
        }
        std::deque<std::shared_ptr<Connection>> arrived;
        {
            std::lock_guard<std::mutex> g(lock_);
            arrived.swap(arrivals_);
        }
        for (const auto& c : arrived) Wait(c);
        // Connections whose request did not come in time.
        const auto now = Clock::now();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            auto c = (it++)->second;
            if (now >= c->deadline)
                Close(c);
        }
    }
    while (!waiting_.empty()) Close(waiting_.begin()->second);
}

// A connection waits in the gate for its next request header.
void HttpGate::Wait(const std::shared_ptr<Connection>& c) {
    c->deadline = After(limits_.headerSeconds);
    if (c->pendingAt > 0) {
        c->pending.erase(0, c->pendingAt);
        c->pendingAt = 0;
    }
    if (c->HeaderIn())
        return Dispatch(c);  // sent right behind the last one
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = c->fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &e);
    waiting_[c->fd] = c;
}

void HttpGate::Receive(std::shared_ptr<Connection> c) {
    char buf[kReceiveChunk];
    const ssize_t n = recv(c->fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return Close(c);
    if (n > 0)
        c->pending.append(buf, static_cast<std::size_t>(n));
    if (c->HeaderIn()) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd, nullptr);
        waiting_.erase(c->fd);
        Dispatch(c);
    }
}

void HttpGate::Dispatch(const std::shared_ptr<Connection>& c) {
    {
        std::lock_guard<std::mutex> g(lock_);
        active_.insert(c);
    }
    pool_->enqueue([this, c] { Serve(c); });
}

void HttpGate::Close(std::shared_ptr<Connection> c) {
    if (waiting_.erase(c->fd))
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd, nullptr);
    Release(c->fd);
}

void HttpGate::Release(int fd) {
    close(fd);
    --held_;
}

// On a worker: the library reads and answers one request.
void HttpGate::Serve(const std::shared_ptr<Connection>& c) {
    Connection& k = *c;
    k.deadline = After(limits_.headerSeconds);  // for a header the gate saw only begin
    k.body = Connection::Body::Unknown;
    k.overLimit = k.timedOut = k.closeAfter = false;
    const bool last = ++k.served >= limits_.requestsPerConnection;
    bool closed = false;
    bool ok = false;
    if (!stopping_) {
        Stream stream(*this, k);
        tCurrent = &k;
        ok = process_request(stream, last, closed, nullptr);
        tCurrent = nullptr;
    }
    std::lock_guard<std::mutex> g(lock_);
    active_.erase(c);
    if (!ok || closed || last || k.closeAfter || k.overLimit || k.timedOut || stopping_) {
        Release(k.fd);
        return;
    }
    arrivals_.push_back(c);
    Wake();
}

bool HttpGate::RefuseBody(const httplib::Request& req, httplib::Response& res) {
    Connection* c = tCurrent;
    if (!c)
        return false;
    auto refuse = [&](int status, const std::string& why) {
        res.status = status;
        res.set_header("Connection", "close");
        res.set_content(why + "\n", "text/plain");
        c->closeAfter = true;
        return true;
    };
    const std::size_t lengths = req.get_header_value_count("Content-Length");
    const bool chunked = req.has_header("Transfer-Encoding");
    if (lengths > 1)
        return refuse(400, "more than one Content-Length");
    if (lengths == 1 && chunked)
        return refuse(400, "both Content-Length and Transfer-Encoding");
    if (chunked && req.get_header_value("Transfer-Encoding") != "chunked")
        return refuse(501, "no transfer encoding but chunked is taken");
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity")
        return refuse(415, "compressed bodies are not taken");
    std::size_t length = 0;
    if (lengths == 1) {
        const std::string text = req.get_header_value("Content-Length");
        if (text.empty() || text.size() > 18 ||
            !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
            return refuse(400, "bad Content-Length '" + text + "'");
        length = std::stoull(text);
        if (length > limits_.maxBody)
            return refuse(413, "a body of " + text + " bytes is over the limit of " +
                                   std::to_string(limits_.maxBody));
    } else if (!chunked) {
        c->body = Connection::Body::None;
        return false;
    }
    if (req.method == "GET" || req.method == "HEAD")
        c->closeAfter = true;  // the library leaves a GET's body unread: no request follows it
    const std::size_t wire = chunked ? limits_.maxBody : length;
    c->body = Connection::Body::Counted;
    c->bodyLeft = wire;
    c->deadline =
        After(limits_.bodyGraceSeconds + static_cast<double>(wire) / limits_.bodyBytesPerSecond);
    return false;
}

}  // namespace zeva::alpaca
