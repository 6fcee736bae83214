// The Alpaca protocol as the server speaks it, apart from any camera: error
// numbers, request parameters, the JSON reply envelope and the ImageBytes image form.  Pure
// functions, tested alone.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zeva::alpaca {

// ASCOM error numbers carried in ErrorNumber (HTTP 200).
enum class AscomError : int {
    Ok = 0,
    NotImplemented = 0x400,
    InvalidValue = 0x401,
    ValueNotSet = 0x402,
    NotConnected = 0x407,
    InvalidOperation = 0x40B,
    ActionNotImplemented = 0x40C,
    OperationCancelled = 0x40E,
    // Device-specific errors start at 0x500: the camera refused a command.
    CameraError = 0x500,
};

// The outcome of one device call: a value (or none, for PUT) or an error.
struct Reply {
    AscomError error = AscomError::Ok;
    std::string message;
    std::optional<nlohmann::json> value;

    static Reply Value(nlohmann::json v) {
        Reply r;
        r.value = std::move(v);
        return r;
    }
    static Reply Done() { return Reply{}; }
    static Reply Error(AscomError e, std::string message) {
        Reply r;
        r.error = e;
        r.message = std::move(message);
        return r;
    }
    bool ok() const { return error == AscomError::Ok; }
};

inline Reply NotConnected() {
    return Reply::Error(AscomError::NotConnected, "the camera is not connected");
}
inline Reply Invalid(const std::string& what) {
    return Reply::Error(AscomError::InvalidValue, what);
}

// A malformed request: answered with HTTP 400 and `reason` as plain text.
struct BadRequest {
    std::string reason;
};

// How a request's parameter names are matched: a GET's query string in any
// case, a PUT's form body exactly as the members name them (`BinX`, not `binx`).
enum class NameMatch { AnyCase, Exact };

// The parameters of one request, in the order it carries them.  Of two values
// whose names match, the first one counts.
class Params {
  public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Params() = default;
    Params(Pairs pairs, NameMatch match) : pairs_(std::move(pairs)), match_(match) {}

    bool Has(const std::string& name) const { return Find(name) != nullptr; }
    const std::string* Find(const std::string& name) const;

    // Each returns the value or sets *bad (missing or unparsable) and returns 0/false.
    std::string Text(const std::string& name, std::optional<BadRequest>* bad) const;
    long long Integer(const std::string& name, std::optional<BadRequest>* bad) const;
    double Number(const std::string& name, std::optional<BadRequest>* bad) const;
    bool Boolean(const std::string& name, std::optional<BadRequest>* bad) const;

    // ClientID / ClientTransactionID: unsigned 32-bit; 0 when absent or unparsable.
    std::uint32_t ClientId() const;
    std::uint32_t ClientTransactionId() const;

  private:
    Pairs pairs_;
    NameMatch match_ = NameMatch::AnyCase;
};

bool EqualNoCase(const std::string& a, const std::string& b);

// Strict parsers behind Params (whole text, no spaces, in range).
bool ParseInteger(const std::string& text, long long* v);
bool ParseNumber(const std::string& text, double* v);  // finite only
bool ParseBoolean(const std::string& text, bool* v);   // true / false, any case
bool ParseUnsigned32(const std::string& text, std::uint32_t* v);

// The JSON reply for a device call.
nlohmann::json Envelope(const Reply& r, std::uint32_t clientTransactionId,
                        std::uint32_t serverTransactionId);

// ImageBytes: the 44-byte header and the pixels, UInt16 on the wire, in
// [x][y] order (all rows of column 0, then column 1, ...).  `pixels` holds
// `height` lines of `width` values each, line 0 first.
constexpr std::size_t kImageBytesHeader = 44;
constexpr std::int32_t kElementInt32 = 2;
constexpr std::int32_t kElementUInt16 = 8;
std::string ImageBytes(std::span<const std::uint16_t> pixels, unsigned width, unsigned height,
                       std::uint32_t clientTransactionId, std::uint32_t serverTransactionId);
// The ImageBytes form of an error: the header with the error number and the message.
std::string ImageBytesError(AscomError error, const std::string& message,
                            std::uint32_t clientTransactionId, std::uint32_t serverTransactionId);

// The JSON image array reply, written in pieces so a large frame never needs a
// second copy as a JSON tree: Prefix, then for each column x Column(x), then Suffix.
class JsonImageWriter {
  public:
    JsonImageWriter(std::span<const std::uint16_t> pixels, unsigned width, unsigned height,
                    std::uint32_t clientTransactionId, std::uint32_t serverTransactionId);
    unsigned columns() const { return width_; }
    std::string Prefix() const;
    // Appends column x ("[v0,v1,...]" with a leading comma after the first).
    void AppendColumn(unsigned x, std::string* out) const;
    std::string Suffix() const;

  private:
    std::span<const std::uint16_t> pixels_;
    unsigned width_, height_;
    std::uint32_t clientTransactionId_, serverTransactionId_;
};

// The whole JSON image reply as one string (tests, small frames).
std::string JsonImage(std::span<const std::uint16_t> pixels, unsigned width, unsigned height,
                      std::uint32_t clientTransactionId, std::uint32_t serverTransactionId);

// ISO 8601 UTC with milliseconds, no zone letter: 2026-12-08T16:03:14.123.
std::string UtcTimestamp(std::int64_t unixMs);

}  // namespace zeva::alpaca
