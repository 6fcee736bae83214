#include "indi/host.h"

#include <cstdlib>
#include <mutex>

#include "client/capture.h"

namespace zeva::indi::host {

namespace {

// The devices' shared state.  Never destroyed: the devices, static objects
// of another file, close their cameras when the process ends, in an order
// no file decides.
struct Shared {
    std::mutex lock;
    std::vector<std::string> entries;  // each device's entry for its next connection
    std::vector<bool> open;            // each device's camera is open
    std::string running;               // the entries the system was given
};
Shared& S() {
    static Shared* shared = new Shared;
    return *shared;
}

std::string Joined(const std::vector<std::string>& entries) {
    std::string list;
    for (const std::string& e : entries) list += (list.empty() ? "" : ",") + e;
    return list;
}

}  // namespace

std::string DeviceName(std::size_t index) {
    return index == 0 ? "ZEVA CCD" : "ZEVA CCD " + std::to_string(index + 1);
}

std::vector<std::string> StartEntries() {
    const char* env = std::getenv("ZEVA_PORTS");
    const std::string text = env ? env : "";
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string e = text.substr(start, comma - start);
        const std::size_t first = e.find_first_not_of(" \t");
        e = first == std::string::npos ? ""
                                       : e.substr(first, e.find_last_not_of(" \t") - first + 1);
        if (!e.empty())
            entries.push_back(e);
        start = comma + 1;
    }
    if (entries.empty())
        entries.push_back("sim:gannet");
    return entries;
}

bool CheckEntry(const std::string& entry, std::string* error) {
    if (entry.find(',') != std::string::npos) {
        *error = "one port entry per device: '" + entry +
                 "' names several ports (list them in ZEVA_PORTS, a device each)";
        return false;
    }
    return client::CheckPortEntries(entry, error);
}

namespace {

// Makes room for `count` devices, each with its ZEVA_PORTS entry (lock held).
void Size(Shared& s, std::size_t count) {
    if (s.entries.size() >= count)
        return;
    const std::vector<std::string> start = StartEntries();
    for (std::size_t i = s.entries.size(); i < count; ++i)
        s.entries.push_back(i < start.size() ? start[i] : "sim:gannet");
    s.open.resize(count, false);
}

}  // namespace

void SetEntry(std::size_t index, std::size_t count, const std::string& entry) {
    Shared& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    Size(s, count);
    s.entries[index] = entry;
}

bool Claim(std::size_t index, std::size_t count, const std::string& entry, std::string* error) {
    Shared& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    Size(s, count);
    std::vector<std::string> entries = s.entries;
    entries[index] = entry;
    const std::string list = Joined(entries);
    if (!client::CheckPortEntries(list, error))
        return false;
    if (list != s.running) {
        for (std::size_t i = 0; i < s.open.size(); ++i) {
            if (i == index || !s.open[i])
                continue;
            *error = "disconnect " + DeviceName(i) +
                     " first: the driver's cameras run on one system, which restarts for a "
                     "changed port entry";
            return false;
        }
        client::UsePortEntry(list);
        s.running = list;
    }
    s.entries = entries;
    s.open[index] = true;
    return true;
}

void Release(std::size_t index) {
    Shared& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (index < s.open.size())
        s.open[index] = false;
}

std::string LastStartError() {
    return client::SystemStartError();
}

void Shutdown() {
    client::ShutdownSystem();
}

std::uint64_t NowNs() {
    return client::NowNs();
}

void Wait(unsigned ms) {
    client::PauseMs(ms);
}

}  // namespace zeva::indi::host
