#include "indi/host.h"

#include <cstdlib>
#include <mutex>

#include "client/capture.h"

namespace zeva::indi::host {

namespace {

std::mutex g_lock;
std::vector<std::string> g_entries;  // each device's entry as last claimed
std::vector<bool> g_open;            // each device's camera is open
std::string g_running;               // the entries the system was given

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

// Makes room for `count` devices, each with its ZEVA_PORTS entry (g_lock held).
void Size(std::size_t count) {
    if (g_entries.size() >= count)
        return;
    const std::vector<std::string> start = StartEntries();
    for (std::size_t i = g_entries.size(); i < count; ++i)
        g_entries.push_back(i < start.size() ? start[i] : "sim:gannet");
    g_open.resize(count, false);
}

}  // namespace

void SetEntry(std::size_t index, std::size_t count, const std::string& entry) {
    std::lock_guard<std::mutex> g(g_lock);
    Size(count);
    g_entries[index] = entry;
}

bool Claim(std::size_t index, std::size_t count, const std::string& entry, std::string* error) {
    std::lock_guard<std::mutex> g(g_lock);
    Size(count);
    std::vector<std::string> entries = g_entries;
    entries[index] = entry;
    const std::string list = Joined(entries);
    if (!client::CheckPortEntries(list, error))
        return false;
    if (list != g_running) {
        for (std::size_t i = 0; i < g_open.size(); ++i) {
            if (i == index || !g_open[i])
                continue;
            *error = "disconnect " + DeviceName(i) +
                     " first: the driver's cameras run on one system, which restarts for a "
                     "changed port entry";
            return false;
        }
        client::UsePortEntry(list);
        g_running = list;
    }
    g_entries = entries;
    g_open[index] = true;
    return true;
}

void Release(std::size_t index) {
    std::lock_guard<std::mutex> g(g_lock);
    if (index < g_open.size())
        g_open[index] = false;
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
