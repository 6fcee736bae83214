#include "alpaca/server.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "alpaca/http_gate.h"
#include "alpaca/setup.h"

namespace zeva::alpaca {

namespace {

using json = nlohmann::json;

constexpr const char* kJson = "application/json";
constexpr const char* kImageBytes = "application/imagebytes";
constexpr const char* kText = "text/plain";
// Columns of the JSON image written per chunk.
constexpr unsigned kJsonColumnsPerChunk = 16;

void SendBadRequest(httplib::Response& res, const std::string& reason) {
    res.status = 400;
    res.set_content(reason + "\n", kText);
}

bool WantsImageBytes(const httplib::Request& req) {
    for (std::size_t i = 0, n = req.get_header_value_count("Accept"); i < n; ++i)
        if (req.get_header_value("Accept", i).find(kImageBytes) != std::string::npos)
            return true;
    return false;
}

// A body without a type is taken as the form it nearly always is.
bool FormBody(const httplib::Request& req) {
    const std::string type = req.get_header_value("Content-Type");
    return type.empty() || type.rfind("application/x-www-form-urlencoded", 0) == 0;
}

// "a=1&b=2" as pairs in order, each decoded by the HTTP library (its own
// parse keeps the pairs sorted by name, which loses which came first).
Params::Pairs FormPairs(const std::string& text) {
    Params::Pairs pairs;
    httplib::detail::split(text.data(), text.data() + text.size(), '&',
                           [&](const char* b, const char* e) {
                               httplib::Params one;
                               httplib::detail::parse_query_text(std::string(b, e), one);
                               for (auto& [name, value] : one) pairs.emplace_back(name, value);
                           });
    return pairs;
}

}  // namespace

Params RequestParams(const httplib::Request& req) {
    // The form body of a PUT, in order; parameters in its URL do not count.
    if (req.method == "PUT")
        return Params(FormPairs(FormBody(req) ? req.body : ""), NameMatch::Exact);
    const std::size_t query = req.target.find('?');
    return Params(FormPairs(query == std::string::npos ? "" : req.target.substr(query + 1)),
                  NameMatch::AnyCase);
}

AlpacaServer::AlpacaServer(std::vector<CameraDevice*> devices, ServerInfo info)
    : devices_(std::move(devices)), info_(std::move(info)), http_(new HttpGate) {
    Routes();
}

AlpacaServer::~AlpacaServer() = default;

bool AlpacaServer::Bind(const std::string& host, int port, std::string* error) {
    if (!http_->Bind(host, port, error))
        return false;
    port_ = http_->port();
    return true;
}

bool AlpacaServer::Run() {
    return http_->Run();
}

void AlpacaServer::Stop() {
    http_->Stop();
}

void AlpacaServer::SendJson(httplib::Response& res, const Reply& reply, const Params& params) {
    res.set_content(Envelope(reply, params.ClientTransactionId(), NextTransaction()).dump(), kJson);
}

void AlpacaServer::Routes() {
    http_->Get("/management/apiversions",
               [this](const httplib::Request& req, httplib::Response& res) {
                   Management("apiversions", req, res);
               });
    http_->Get("/management/v1/description",
               [this](const httplib::Request& req, httplib::Response& res) {
                   Management("description", req, res);
               });
    http_->Get("/management/v1/configureddevices",
               [this](const httplib::Request& req, httplib::Response& res) {
                   Management("configureddevices", req, res);
               });
    const char* api = R"(/api/v1/([^/]+)/([^/]+)/([^/]+))";
    http_->Get(api, [this](const httplib::Request& req, httplib::Response& res) {
        Device(req, res, false);
    });
    http_->Put(api, [this](const httplib::Request& req, httplib::Response& res) {
        Device(req, res, true);
    });
    AddSetupPages(*http_, devices_, info_);
    http_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                if (ep)
                    std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what += std::string(": ") + e.what();
            } catch (...) {
            }
            std::fprintf(stderr, "zeva-alpaca: %s\n", what.c_str());
            res.status = 500;
            res.set_content(what + "\n", kText);
        });
}

void AlpacaServer::Management(const std::string& what, const httplib::Request& req,
                              httplib::Response& res) {
    const Params params = RequestParams(req);
    json value;
    if (what == "apiversions") {
        value = json::array({1});
    } else if (what == "description") {
        value = {{"ServerName", "ZEVA Alpaca camera server"},
                 {"Manufacturer", "ZEVA"},
                 {"ManufacturerVersion", ZEVA_VERSION},
                 {"Location", info_.location}};
    } else {
        value = json::array();
        for (CameraDevice* d : devices_)
            value.push_back({{"DeviceName", d->Name()},
                             {"DeviceType", "Camera"},
                             {"DeviceNumber", d->number()},
                             {"UniqueID", d->UniqueId()}});
    }
    SendJson(res, Reply::Value(value), params);
}

void AlpacaServer::Device(const httplib::Request& req, httplib::Response& res, bool put) {
    const std::string type = req.matches[1];
    const std::string number = req.matches[2];
    const std::string member = req.matches[3];
    if (type != "camera")
        return SendBadRequest(res, "no device of type '" + type + "' (this server has cameras)");
    long long n = -1;
    if (!ParseInteger(number, &n) || n < 0 || n >= static_cast<long long>(devices_.size()))
        return SendBadRequest(res, "no camera number '" + number + "' (valid: 0 to " +
                                       std::to_string(devices_.size() - 1) + ")");
    CameraDevice& device = *devices_[static_cast<std::size_t>(n)];
    const Params params = RequestParams(req);
    if (!put && (member == "imagearray" || member == "imagearrayvariant"))
        return ImageArray(device, req, res, params);
    std::optional<BadRequest> bad;
    const Reply reply = device.Call(member, put, params, &bad);
    if (bad)
        return SendBadRequest(res, bad->reason);
    SendJson(res, reply, params);
}

void AlpacaServer::ImageArray(CameraDevice& device, const httplib::Request& req,
                              httplib::Response& res, const Params& params) {
    std::shared_ptr<const client::Frame> frame;
    const Reply reply = device.Image(&frame);
    const std::uint32_t client = params.ClientTransactionId();
    const std::uint32_t server = NextTransaction();
    if (WantsImageBytes(req)) {
        res.body = reply.ok()
                       ? ImageBytes(frame->pixels, frame->plan.w, frame->plan.h, client, server)
                       : ImageBytesError(reply.error, reply.message, client, server);
        res.set_header("Content-Type", kImageBytes);
        return;
    }
    if (!reply.ok())
        return SendJson(res, reply, params);
    // JSON is written a few columns at a time; the frame stays alive with the
    // download, whatever the device does meanwhile.
    auto writer = std::make_shared<JsonImageWriter>(frame->pixels, frame->plan.w, frame->plan.h,
                                                    client, server);
    auto next = std::make_shared<unsigned>(0);
    res.set_chunked_content_provider(
        kJson, [frame, writer, next](std::size_t offset, httplib::DataSink& sink) {
            std::string chunk;
            if (offset == 0)
                chunk = writer->Prefix();
            const unsigned end = std::min(writer->columns(), *next + kJsonColumnsPerChunk);
            for (; *next < end; ++*next) writer->AppendColumn(*next, &chunk);
            if (*next == writer->columns())
                chunk += writer->Suffix();
            if (!chunk.empty() && !sink.write(chunk.data(), chunk.size()))
                return false;  // the client went away
            if (*next == writer->columns())
                sink.done();
            return true;
        });
}

}  // namespace zeva::alpaca
