// Fuzz target: the ZEVA_PORTS text of the default system, through the port
// entry parser (and, for simulated cameras, the simulator's option parser).
// Nothing is opened: the parser is pure.
//
// Checked for every input:
//   - a refusal says why;
//   - each accepted entry is trimmed, holds no comma, and is of the kind its
//     prefix names; an io: port sits at its own address; no platform key
//     (base=, span=) is left for the backend;
//   - no two accepted entries claim a register in common;
//   - the accepted entries, written out again, parse to the same ports;
//   - the simulator's parser accepts a simulated entry's options or says why.
//
// Input: the ZEVA_PORTS text itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "machine/ports.h"
#include "sim/config.h"

namespace {

using zeva::machine::PortEntry;
using zeva::machine::PortKind;

[[noreturn]] void Finding(const char* what, const std::string& text) {
    std::fprintf(stderr, "fuzz_ports: %s: '%s'\n", what, text.c_str());
    std::abort();
}

bool HasPlatformKey(const std::string& backendEntry) {
    const std::size_t q = backendEntry.find('?');
    if (q == std::string::npos)
        return false;
    std::size_t start = q + 1;
    while (start <= backendEntry.size()) {
        std::size_t amp = backendEntry.find('&', start);
        if (amp == std::string::npos)
            amp = backendEntry.size();
        const std::string pair = backendEntry.substr(start, amp - start);
        if (pair.rfind("base=", 0) == 0 || pair.rfind("span=", 0) == 0)
            return true;
        start = amp + 1;
    }
    return false;
}

const char* PrefixOf(PortKind kind) {
    switch (kind) {
        case PortKind::Simulated:
            return "sim:";
        case PortKind::Ppdev:
            return "/dev/";
        case PortKind::DirectIo:
            return "io:";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<PortEntry> entries;
    std::string error;
    if (!zeva::machine::ParsePortEntries(text, &entries, &error)) {
        if (error.empty())
            Finding("refused without a message", text);
        return 0;
    }
    std::string again;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PortEntry& e = entries[i];
        if (e.text.empty() || e.text.front() == ' ' || e.text.back() == ' ' ||
            e.text.find(',') != std::string::npos)
            Finding("an entry that is not one trimmed item of the list", text);
        if (e.backendEntry.rfind(PrefixOf(e.kind), 0) != 0)
            Finding("an entry of another kind than its prefix", text);
        if (e.kind == PortKind::DirectIo && (e.base != e.address || e.address > 0xFFFF))
            Finding("an io: port away from its own address", text);
        if (HasPlatformKey(e.backendEntry))
            Finding("a platform key left for the backend", text);
        for (std::size_t j = 0; j < i; ++j) {
            if (zeva::machine::PortsOverlap(entries[j], e))
                Finding("two accepted entries claim the same register", text);
        }
        if (e.kind == PortKind::Simulated) {
            zeva::sim::Options options;
            std::string why;
            if (!zeva::sim::ParseOptions(e.backendEntry, &options, &why) && why.empty())
                Finding("simulator options refused without a message", text);
        }
        again += (i == 0 ? "" : ",") + e.text;
    }
    std::vector<PortEntry> reparsed;
    if (!zeva::machine::ParsePortEntries(again, &reparsed, &error) ||
        reparsed.size() != entries.size())
        Finding("the accepted entries do not parse again", text);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PortEntry &a = entries[i], &b = reparsed[i];
        if (a.kind != b.kind || a.backendEntry != b.backendEntry || a.base != b.base ||
            a.span != b.span || a.address != b.address)
            Finding("the accepted entries parse again to other ports", text);
    }
    return 0;
}
