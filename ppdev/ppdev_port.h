// The ppdev backend itself, a template over how its register ioctls reach
// the kernel: through System::Ioctl (stand-ins in tests), or ioctl(2)
// called directly (the real port; ppdev/system.cpp).  Claiming, releasing
// and the messages go through System in both.
#pragma once

#include <linux/ppdev.h>

#include <memory>
#include <string>

#include "ppdev/ppdev.h"

namespace zeva::ppdev {

namespace detail {

// Control register bits as the port's hardware has them.
// Bit 4, the interrupt enable, belongs to ppdev and is never passed on.
inline constexpr std::uint8_t kControlLines = 0x0F;   // nStrobe, nAutoFd, nInit, nSelectIn
inline constexpr std::uint8_t kControlDataIn = 0x20;  // data lines driven by the device

// PPDATADIR arguments.
inline constexpr int kDataForward = 0;  // data lines driven by the PC
inline constexpr int kDataReverse = 1;

// Opens and claims the port of `entry` exclusively with the data lines
// driven by the PC: an empty text with *fd and *path set, or why not.
std::string ClaimPort(const std::string& entry, System& system, int* fd, std::string* path);
// Releases and closes a claimed port.
void ReleasePort(System& system, int fd);
// The notice of a register access that failed (given once per port).
void AccessFailed(System& system, const std::string& path, int error);

}  // namespace detail

// Register ioctls through the System's Ioctl.
struct SystemIoctls {
    System* system;
    int operator()(int fd, unsigned long request, void* arg) const {
        return system->Ioctl(fd, request, arg);
    }
};

template <typename Ioctls>
class PpdevPort final : public platform::PortBackend {
  public:
    PpdevPort(System& system, std::string path, int fd, Ioctls ioctls)
        : system_(system), path_(std::move(path)), fd_(fd), ioctls_(ioctls) {}
    ~PpdevPort() override { detail::ReleasePort(system_, fd_); }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        unsigned char value = 0xFF;
        switch (offset) {
            case platform::kPortData:
                return Access(PPRDATA, &value) ? value : 0xFF;
            case platform::kPortStatus:
                return Access(PPRSTATUS, &value) ? value : 0xFF;
            case platform::kPortControl:
                if (!Access(PPRCONTROL, &value))
                    return 0xFF;
                return static_cast<std::uint8_t>((value & detail::kControlLines) |
                                                 (dataIn_ ? detail::kControlDataIn : 0));
            default:
                return 0xFF;  // ppdev cannot reach the ECR, nor any other register
        }
    }

    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        switch (offset) {
            case platform::kPortData: {
                unsigned char v = value;
                Access(PPWDATA, &v);
                return;
            }
            case platform::kPortControl: {
                const bool in = (value & detail::kControlDataIn) != 0;
                if (in != dataIn_) {
                    int dir = in ? detail::kDataReverse : detail::kDataForward;
                    if (Access(PPDATADIR, &dir))
                        dataIn_ = in;
                }
                unsigned char lines = value & detail::kControlLines;
                Access(PPWCONTROL, &lines);
                return;
            }
            default:
                return;  // the status register is read-only; nothing else is reachable
        }
    }

    void DoLevelChanged(bool raised) override { system_.LevelChanged(raised); }

    // One register ioctl.  A failure (the port gone, say) reads as a port
    // where nothing answers; the user hears of it once.
    bool Access(unsigned long request, void* arg) {
        const int error = ioctls_(fd_, request, arg);
        if (error == 0) [[likely]]
            return true;
        if (!accessFailed_) {
            accessFailed_ = true;
            detail::AccessFailed(system_, path_, error);
        }
        return false;
    }

    System& system_;
    const std::string path_;
    const int fd_;
    const Ioctls ioctls_;
    bool dataIn_ = false;
    bool accessFailed_ = false;
};

// Opens the port of `entry` with its register ioctls made by `ioctls`.
template <typename Ioctls>
platform::BackendResult OpenPortWith(const std::string& entry, System& system, Ioctls ioctls) {
    platform::BackendResult result;
    int fd = -1;
    std::string path;
    result.error = detail::ClaimPort(entry, system, &fd, &path);
    if (result.error.empty())
        result.backend = std::make_unique<PpdevPort<Ioctls>>(system, std::move(path), fd, ioctls);
    return result;
}

}  // namespace zeva::ppdev
