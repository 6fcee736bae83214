// A port backend for driver tests: records every register access in order
// and answers reads from scripted values, else from the last value written
// to that register (or a per-register default).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/port_backend.h"

namespace zeva::test {

struct PortAccess {
    std::uint32_t offset;
    std::uint8_t value;
    bool write;
    bool operator==(const PortAccess&) const = default;
};

inline PortAccess W(std::uint32_t offset, std::uint8_t value) {
    return {offset, value, true};
}
inline PortAccess R(std::uint32_t offset, std::uint8_t value) {
    return {offset, value, false};
}

class RecordingBackend : public platform::PortBackend {
  public:
    // Reads of offset return these values in order before falling back.
    void Script(std::uint32_t offset, std::vector<std::uint8_t> values) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint8_t v : values) {
            scripted_[offset].push_back(v);
        }
    }
    // The value a register holds (what a read returns when nothing is scripted).
    void Set(std::uint32_t offset, std::uint8_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        registers_[offset] = value;
    }
    std::vector<PortAccess> Log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::vector<PortAccess> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<PortAccess> out;
        for (const PortAccess& a : log_) {
            if (a.write) {
                out.push_back(a);
            }
        }
        return out;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    int RaisedLevelChanges() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return raised_changes_;
    }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint8_t value = 0;
        auto s = scripted_.find(offset);
        if (s != scripted_.end() && !s->second.empty()) {
            value = s->second.front();
            s->second.pop_front();
        } else {
            auto r = registers_.find(offset);
            value = r != registers_.end() ? r->second : 0;
        }
        log_.push_back({offset, value, false});
        return value;
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        registers_[offset] = value;
        log_.push_back({offset, value, true});
    }
    void DoLevelChanged(bool raised) override {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_changes_ += raised ? 1 : 0;
    }

    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::deque<std::uint8_t>> scripted_;
    std::map<std::uint32_t, std::uint8_t> registers_;
    std::vector<PortAccess> log_;
    int raised_changes_ = 0;
};

}  // namespace zeva::test
