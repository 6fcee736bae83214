// A stand-in for the processor and kernel under the direct port I/O
// backend: port instructions answered by a port backend behind them (the
// camera simulator) or by plain latches, ioperm(2) logged per thread and
// failing as told, and the kernel's claims on I/O addresses as the test
// sets them.  Nothing reaches a real port.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "portio/portio.h"

namespace zeva::test {

struct IopermCall {
    std::uint32_t from, count;
    bool on;
    std::thread::id thread;
};

struct PortInstruction {
    bool out;
    std::uint16_t address;
    std::uint8_t value;
    std::thread::id thread;
};

class FakeProcessor : public portio::System {
  public:
    // --- what the test sets up
    bool portInstructions = true;
    bool rawIo = true;
    int iopermError = 0;                          // errno of every ioperm(on)
    std::map<std::uint32_t, std::string> claims;  // address -> kernel driver
    platform::PortBackend* behind = nullptr;      // answers at `behindBase`
    std::uint32_t behindBase = 0;

    // --- what the backend did
    std::vector<IopermCall> Ioperms() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ioperms_;
    }
    std::vector<PortInstruction> Instructions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return instructions_;
    }
    std::vector<std::string> notices;
    std::vector<bool> levels;
    std::map<std::uint16_t, std::uint8_t> latches;

    // Address ranges the calling thread holds (on minus off), for checks
    // that nothing is left granted.
    int GrantedCount(std::uint32_t address) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const IopermCall& c : ioperms_)
            if (c.from <= address && address < c.from + c.count)
                n += c.on ? 1 : -1;
        return n;
    }

    bool HasPortInstructions() override { return portInstructions; }
    bool HasRawIoCapability() override { return rawIo; }
    std::string KernelClaim(std::uint32_t from, std::uint32_t to) override {
        for (const auto& [address, owner] : claims)
            if (from <= address && address <= to)
                return owner;
        return {};
    }
    int Ioperm(std::uint32_t from, std::uint32_t count, bool on) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (on && iopermError != 0)
            return iopermError;
        ioperms_.push_back({from, count, on, std::this_thread::get_id()});
        return 0;
    }
    std::uint8_t In(std::uint16_t address) override {
        std::uint8_t v = 0xFF;
        if (behind != nullptr)
            v = behind->Read(address - behindBase);
        else if (latches.count(address))
            v = latches[address];
        Record({false, address, v, std::this_thread::get_id()});
        return v;
    }
    void Out(std::uint16_t address, std::uint8_t value) override {
        Record({true, address, value, std::this_thread::get_id()});
        if (behind != nullptr)
            behind->Write(address - behindBase, value);
        else
            latches[address] = value;
    }
    void LevelChanged(bool raised) override { levels.push_back(raised); }
    void Notice(const std::string& text) override { notices.push_back(text); }

  private:
    void Record(const PortInstruction& i) {
        std::lock_guard<std::mutex> lock(mutex_);
        instructions_.push_back(i);
    }
    std::mutex mutex_;
    std::vector<IopermCall> ioperms_;
    std::vector<PortInstruction> instructions_;
};

}  // namespace zeva::test
