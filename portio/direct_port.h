// The direct port I/O backend itself, a template over how it reaches the
// registers: through System::In / Out (stand-ins in tests), or through the
// processor's in/out instructions inlined (the real port; portio/system.cpp).
// The hot path of an access is a check that the calling thread holds the
// port, and the instruction.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "portio/portio.h"

namespace zeva::portio {

namespace detail {

// The ports the calling thread has been granted (ioperm is per thread).
// Initial-exec: the check runs on every access and must not call into the
// dynamic loader.
struct Grants {
    static constexpr unsigned kSlots = 8;
    std::uint32_t bases[kSlots];
    unsigned count;
};
__attribute__((tls_model("initial-exec"))) inline thread_local Grants tl_grants{};

inline bool GrantedHere(std::uint32_t base) {
    const Grants& g = tl_grants;
    for (unsigned i = 0; i < g.count; ++i)
        if (g.bases[i] == base)
            return true;
    return false;
}

// Grants the calling thread the port's registers; false (with one notice
// per port) when the kernel refuses.
bool GrantThisThread(System& system, std::uint32_t base, std::atomic<bool>* noticed);
// Takes the registers back from the calling thread (the closing one).
void ReleaseThisThread(System& system, std::uint32_t base);
// Checks the processor, the address, the kernel's claims and the capability,
// and grants the calling thread the registers: an empty text, or why not.
std::string CheckAndGrant(std::uint32_t address, System& system);

// Bit 4 of the control register enables the port's interrupt; with no
// kernel driver on the port nobody would answer it.
inline constexpr std::uint8_t kControlInterruptEnable = 0x10;

}  // namespace detail

// Registers through the System's In / Out.
struct SystemInstructions {
    System* system;
    std::uint8_t In(std::uint16_t address) const { return system->In(address); }
    void Out(std::uint16_t address, std::uint8_t value) const { system->Out(address, value); }
};

template <typename Instructions>
class DirectPort final : public platform::PortBackend {
  public:
    // The calling thread has been granted the registers (CheckAndGrant).
    DirectPort(System& system, std::uint32_t base, Instructions instructions)
        : system_(system), base_(base), instructions_(instructions) {
        detail::Grants& g = detail::tl_grants;
        if (!detail::GrantedHere(base) && g.count < detail::Grants::kSlots)
            g.bases[g.count++] = base;
    }
    ~DirectPort() override { detail::ReleaseThisThread(system_, base_); }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        if (!Mapped(offset) || !Ready())
            return 0xFF;
        return instructions_.In(static_cast<std::uint16_t>(base_ + offset));
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        if (!Mapped(offset) || offset == platform::kPortStatus || !Ready())
            return;
        if (offset == platform::kPortControl)
            value &= static_cast<std::uint8_t>(~detail::kControlInterruptEnable);
        instructions_.Out(static_cast<std::uint16_t>(base_ + offset), value);
    }
    void DoLevelChanged(bool raised) override { system_.LevelChanged(raised); }

    static bool Mapped(std::uint32_t offset) {
        return offset <= platform::kPortControl || offset == platform::kPortEcr;
    }
    // Without a grant an in/out would kill the process (SIGSEGV): a thread
    // is granted the registers at its first access, or the access is dropped.
    bool Ready() {
        if (detail::GrantedHere(base_)) [[likely]]
            return true;
        return detail::GrantThisThread(system_, base_, &noticed_);
    }

    System& system_;
    const std::uint32_t base_;
    const Instructions instructions_;
    std::atomic<bool> noticed_{false};
};

// Opens the port at `address`, reaching its registers with `instructions`.
template <typename Instructions>
platform::BackendResult OpenPortWith(std::uint32_t address, System& system,
                                     Instructions instructions) {
    platform::BackendResult result;
    result.error = detail::CheckAndGrant(address, system);
    if (result.error.empty())
        result.backend = std::make_unique<DirectPort<Instructions>>(system, address, instructions);
    return result;
}

}  // namespace zeva::portio
