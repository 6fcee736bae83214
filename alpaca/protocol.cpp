#include "alpaca/protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace zeva::alpaca {

namespace {

std::string Lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

BadRequest Missing(const std::string& name) {
    return BadRequest{"missing parameter " + name};
}

BadRequest Unparsable(const std::string& name, const std::string& value, const char* what) {
    return BadRequest{"parameter " + name + "='" + value + "' is not " + what};
}

}  // namespace

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && Lower(a) == Lower(b);
}

const std::string* Params::Find(const std::string& name) const {
    for (const auto& [n, value] : pairs_)
        if (match_ == NameMatch::Exact ? n == name : EqualNoCase(n, name))
            return &value;
    return nullptr;
}

std::string Params::Text(const std::string& name, std::optional<BadRequest>* bad) const {
    const std::string* v = Find(name);
    if (!v) {
        *bad = Missing(name);
        return "";
    }
    return *v;
}

long long Params::Integer(const std::string& name, std::optional<BadRequest>* bad) const {
    const std::string* v = Find(name);
    long long n = 0;
    if (!v)
        *bad = Missing(name);
    else if (!ParseInteger(*v, &n))
        *bad = Unparsable(name, *v, "an integer");
    return n;
}

double Params::Number(const std::string& name, std::optional<BadRequest>* bad) const {
    const std::string* v = Find(name);
    double d = 0;
    if (!v)
        *bad = Missing(name);
    else if (!ParseNumber(*v, &d))
        *bad = Unparsable(name, *v, "a finite number");
    return d;
}

bool Params::Boolean(const std::string& name, std::optional<BadRequest>* bad) const {
    const std::string* v = Find(name);
    bool b = false;
    if (!v)
        *bad = Missing(name);
    else if (!ParseBoolean(*v, &b))
        *bad = Unparsable(name, *v, "true or false");
    return b;
}

std::uint32_t Params::ClientId() const {
    std::uint32_t id = 0;
    const std::string* v = Find("ClientID");
    return v && ParseUnsigned32(*v, &id) ? id : 0;
}

std::uint32_t Params::ClientTransactionId() const {
    std::uint32_t id = 0;
    const std::string* v = Find("ClientTransactionID");
    return v && ParseUnsigned32(*v, &id) ? id : 0;
}

bool ParseInteger(const std::string& text, long long* v) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *v);
    return ec == std::errc() && ptr == end;
}

bool ParseNumber(const std::string& text, double* v) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *v);
    return ec == std::errc() && ptr == end && std::isfinite(*v);
}

bool ParseBoolean(const std::string& text, bool* v) {
    const std::string l = Lower(text);
    if (l == "true")
        *v = true;
    else if (l == "false")
        *v = false;
    else
        return false;
    return true;
}

bool ParseUnsigned32(const std::string& text, std::uint32_t* v) {
    long long n = 0;
    if (!ParseInteger(text, &n) || n < 0 || n > 0xFFFFFFFFll)
        return false;
    *v = static_cast<std::uint32_t>(n);
    return true;
}

nlohmann::json Envelope(const Reply& r, std::uint32_t clientTransactionId,
                        std::uint32_t serverTransactionId) {
    nlohmann::json j;
    if (r.ok() && r.value)
        j["Value"] = *r.value;
    j["ClientTransactionID"] = clientTransactionId;
    j["ServerTransactionID"] = serverTransactionId;
    j["ErrorNumber"] = static_cast<int>(r.error);
    j["ErrorMessage"] = r.ok() ? "" : r.message;
    return j;
}

namespace {

// Little-endian, as the ImageBytes form is defined.
void Put16(std::uint8_t* p, std::size_t off, std::uint16_t v) {
    p[off] = static_cast<std::uint8_t>(v);
    p[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutHeader(std::string* out, std::int32_t error, std::uint32_t clientTransactionId,
               std::uint32_t serverTransactionId, std::int32_t imageType,
               std::int32_t transmissionType, std::int32_t rank, std::uint32_t d1,
               std::uint32_t d2) {
    out->assign(kImageBytesHeader, '\0');
    auto* b = reinterpret_cast<std::uint8_t*>(out->data());
    const std::uint32_t fields[11] = {1,
                                      static_cast<std::uint32_t>(error),
                                      clientTransactionId,
                                      serverTransactionId,
                                      static_cast<std::uint32_t>(kImageBytesHeader),
                                      static_cast<std::uint32_t>(imageType),
                                      static_cast<std::uint32_t>(transmissionType),
                                      static_cast<std::uint32_t>(rank),
                                      d1,
                                      d2,
                                      0};
    for (std::size_t i = 0; i < 11; ++i) Put32(b, i * 4, fields[i]);
}

}  // namespace

std::string ImageBytes(std::span<const std::uint16_t> pixels, unsigned width, unsigned height,
                       std::uint32_t clientTransactionId, std::uint32_t serverTransactionId) {
    const std::size_t n = static_cast<std::size_t>(width) * height;
    if (pixels.size() < n)
        return ImageBytesError(AscomError::InvalidOperation, "the image is shorter than its size",
                               clientTransactionId, serverTransactionId);
    std::string out;
    PutHeader(&out, 0, clientTransactionId, serverTransactionId, kElementInt32, kElementUInt16, 2,
              width, height);
    out.resize(kImageBytesHeader + 2 * n);
    auto* b = reinterpret_cast<std::uint8_t*>(out.data()) + kImageBytesHeader;
    // Transpose: the stream runs down each column (y fastest).
    std::size_t k = 0;
    for (unsigned x = 0; x < width; ++x)
        for (unsigned y = 0; y < height; ++y, k += 2)
            Put16(b, k, pixels[static_cast<std::size_t>(y) * width + x]);
    return out;
}

std::string ImageBytesError(AscomError error, const std::string& message,
                            std::uint32_t clientTransactionId, std::uint32_t serverTransactionId) {
    std::string out;
    PutHeader(&out, static_cast<std::int32_t>(error), clientTransactionId, serverTransactionId, 0,
              0, 0, 0, 0);
    out += message;
    return out;
}

JsonImageWriter::JsonImageWriter(std::span<const std::uint16_t> pixels, unsigned width,
                                 unsigned height, std::uint32_t clientTransactionId,
                                 std::uint32_t serverTransactionId)
    : pixels_(pixels),
      width_(width),
      height_(height),
      clientTransactionId_(clientTransactionId),
      serverTransactionId_(serverTransactionId) {}

std::string JsonImageWriter::Prefix() const {
    nlohmann::json j = Envelope(Reply::Done(), clientTransactionId_, serverTransactionId_);
    j["Type"] = 2;
    j["Rank"] = 2;
    std::string s = j.dump();
    s.pop_back();  // the closing brace: Value follows
    s += ",\"Value\":[";
    return s;
}

void JsonImageWriter::AppendColumn(unsigned x, std::string* out) const {
    char num[8];
    if (x > 0)
        out->push_back(',');
    out->push_back('[');
    for (unsigned y = 0; y < height_; ++y) {
        if (y > 0)
            out->push_back(',');
        auto [end, ec] =
            std::to_chars(num, num + sizeof num, pixels_[static_cast<std::size_t>(y) * width_ + x]);
        (void)ec;
        out->append(num, end);
    }
    out->push_back(']');
}

std::string JsonImageWriter::Suffix() const {
    return "]}";
}

std::string JsonImage(std::span<const std::uint16_t> pixels, unsigned width, unsigned height,
                      std::uint32_t clientTransactionId, std::uint32_t serverTransactionId) {
    JsonImageWriter w(pixels, width, height, clientTransactionId, serverTransactionId);
    std::string s = w.Prefix();
    for (unsigned x = 0; x < width; ++x) w.AppendColumn(x, &s);
    s += w.Suffix();
    return s;
}

std::string UtcTimestamp(std::int64_t unixMs) {
    const std::time_t secs = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(unixMs % 1000));
    return buf;
}

}  // namespace zeva::alpaca
