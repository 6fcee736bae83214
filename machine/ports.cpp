// ZEVA_PORTS: entries, the platform's keys in them, and the registers each
// port will claim in the I/O space.
#include "machine/ports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/port_backend.h"
#include "platform/system.h"

namespace zeva::machine {
namespace {

constexpr unsigned long kLargestAddress = 0xFFFF;  // the x86 I/O space
constexpr std::uint32_t kLargestPortSpan = 8;      // an EPP port's registers
constexpr std::uint32_t kEcpRegisters = 0x400;     // ECP FIFO, config B, ECR

const char* const kValidEntries =
    "valid: sim:<camera>[?options] for a simulated camera, /dev/parportN for a real port "
    "through ppdev, io:0xNNN for a real port at that I/O address";

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// A number up to 0xFFFF, decimal or 0x hexadecimal, and nothing else.
bool ParseAddress(const std::string& text, std::uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != 0 || v > kLargestAddress)
        return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
}

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// Takes base= and span= out of the entry into *port; what remains is the
// backend's entry.  False with *error on a bad value.
bool TakePlatformKeys(PortEntry* port, bool* haveBase, std::string* error) {
    const std::string& entry = port->text;
    const std::size_t q = entry.find('?');
    port->backendEntry = entry.substr(0, q);
    if (q == std::string::npos)
        return true;
    const std::string rest = entry.substr(q + 1);
    char sep = '?';
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t amp = rest.find('&', start);
        if (amp == std::string::npos)
            amp = rest.size();
        const std::string pair = rest.substr(start, amp - start);
        start = amp + 1;
        if (pair.empty())
            continue;
        const bool isBase = pair.rfind("base=", 0) == 0;
        const bool isSpan = pair.rfind("span=", 0) == 0;
        if (!isBase && !isSpan) {
            port->backendEntry += sep;
            port->backendEntry += pair;
            sep = '&';
            continue;
        }
        std::uint32_t value = 0;
        if (!ParseAddress(pair.substr(5), &value)) {
            *error = "port entry '" + entry + "': bad value '" + pair.substr(5) + "' for " +
                     pair.substr(0, 4) + " (a number up to 0xFFFF, e.g. 0x378)";
            return false;
        }
        (isBase ? port->base : port->span) = value;
        if (isBase)
            *haveBase = true;
    }
    return true;
}

// Fills kind, address and base of one entry whose platform keys are taken.
bool Classify(PortEntry* port, bool haveBase, std::size_t index, std::string* error) {
    const std::string& what = port->backendEntry;
    if (!haveBase)
        port->base = platform::DefaultPortBase(index);
    if (what.rfind("sim:", 0) == 0) {
        port->kind = PortKind::Simulated;
        return true;
    }
    if (what.rfind("/dev/", 0) == 0) {
        port->kind = PortKind::Ppdev;
        return true;
    }
    if (what.rfind("io:", 0) == 0) {
        port->kind = PortKind::DirectIo;
        const std::size_t q = what.find('?');
        const std::string address = what.substr(3, q == std::string::npos ? q : q - 3);
        if (!ParseAddress(address, &port->address)) {
            *error = "port entry '" + port->text + "': bad port address '" + address +
                     "' (io:0xNNN, the port's base address up to 0xFFFF, e.g. io:0x378)";
            return false;
        }
        if (q != std::string::npos) {
            *error = "port entry '" + port->text + "': unknown option '" + what.substr(q + 1) +
                     "' for a direct I/O port (valid: span=N)";
            return false;
        }
        if (haveBase) {
            *error = "port entry '" + port->text +
                     "': an io: port sits at its own address; base= does not apply";
            return false;
        }
        port->base = port->address;
        return true;
    }
    *error = "port entry '" + port->text + "': not a port (" + kValidEntries + ")";
    return false;
}

std::string Registers(const PortEntry& p) {
    const std::uint32_t span = std::clamp(p.span, std::uint32_t{3}, kLargestPortSpan);
    return Hex(p.base) + "-" + Hex(p.base + span - 1) + " and " + Hex(p.base + kEcpRegisters) +
           "-" + Hex(p.base + platform::kPortEcr);
}

}  // namespace

bool PortsOverlap(const PortEntry& a, const PortEntry& b) {
    // Every register a port decodes lies in [base, base + span) or in
    // [base + 0x400, base + 0x402]; two such sets meet when one of the four
    // interval pairs does.
    struct Interval {
        std::uint32_t from, to;  // inclusive
    };
    auto intervals = [](const PortEntry& p, Interval out[2]) {
        const std::uint32_t span = std::clamp(p.span, std::uint32_t{3}, kLargestPortSpan);
        out[0] = {p.base, p.base + span - 1};
        out[1] = {p.base + kEcpRegisters, p.base + platform::kPortEcr};
    };
    Interval x[2], y[2];
    intervals(a, x);
    intervals(b, y);
    for (const Interval& i : x)
        for (const Interval& j : y)
            if (i.from <= j.to && j.from <= i.to)
                return true;
    return false;
}

bool ParsePortEntries(const std::string& text, std::vector<PortEntry>* entries,
                      std::string* error) {
    entries->clear();
    if (Trim(text).empty())
        return true;  // no ports at all
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        PortEntry port;
        port.text = Trim(text.substr(start, comma - start));
        start = comma + 1;
        if (port.text.empty()) {
            *error = "empty port entry in '" + text + "'";
            return false;
        }
        bool haveBase = false;
        if (!TakePlatformKeys(&port, &haveBase, error) ||
            !Classify(&port, haveBase, entries->size(), error))
            return false;
        for (std::size_t i = 0; i < entries->size(); ++i) {
            const PortEntry& earlier = (*entries)[i];
            if (!PortsOverlap(earlier, port))
                continue;
            *error = "port entry " + std::to_string(entries->size() + 1) + " '" + port.text +
                     "' (registers " + Registers(port) + ") overlaps port entry " +
                     std::to_string(i + 1) + " '" + earlier.text + "' (registers " +
                     Registers(earlier) + ")" +
                     (port.kind == PortKind::DirectIo && earlier.kind == PortKind::DirectIo
                          ? ": one port named twice?"
                          : ": give one of them another base=0xNNN");
            return false;
        }
        entries->push_back(std::move(port));
    }
    return true;
}

}  // namespace zeva::machine
