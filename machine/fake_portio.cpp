// ZEVA_FAKE_PORTIO: the direct port I/O backend over a stand-in processor.
#include "machine/fake_portio.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

#include "portio/portio.h"
#include "sim/config.h"

namespace zeva::machine {
namespace {

class FakeProcessor final : public portio::System {
  public:
    FakeProcessor(std::uint32_t address, std::unique_ptr<platform::PortBackend> camera)
        : address_(address), camera_(std::move(camera)) {}

    bool portInstructions = true;
    bool rawIo = true;
    int iopermError = 0;
    std::string claim;

    bool HasPortInstructions() override { return portInstructions; }
    bool HasRawIoCapability() override { return rawIo; }
    std::string KernelClaim(std::uint32_t from, std::uint32_t to) override {
        return from <= address_ + 2 && address_ <= to ? claim : std::string();
    }
    int Ioperm(std::uint32_t, std::uint32_t, bool on) override { return on ? iopermError : 0; }
    std::uint8_t In(std::uint16_t address) override {
        return camera_ ? camera_->Read(address - address_) : 0xFF;
    }
    void Out(std::uint16_t address, std::uint8_t value) override {
        if (camera_)
            camera_->Write(address - address_, value);
    }
    void LevelChanged(bool) override {}  // no real-time priority for a stand-in
    void Notice(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }

    // The camera sees the platform's clock like any backend.
    void Attach(const platform::PortHost* host) {
        if (camera_)
            camera_->Attach(host);
    }

  private:
    const std::uint32_t address_;
    std::unique_ptr<platform::PortBackend> camera_;
};

// The direct port together with the stand-in it runs on.
class FakeDirectPort final : public platform::PortBackend {
  public:
    FakeDirectPort(std::unique_ptr<FakeProcessor> processor,
                   std::unique_ptr<platform::PortBackend> port)
        : processor_(std::move(processor)), port_(std::move(port)) {}

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        Attached();
        return port_->Read(offset);
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        Attached();
        port_->Write(offset, value);
    }
    void DoLevelChanged(bool raised) override { port_->LevelChanged(raised); }
    // The platform attaches this backend at boot, before any access.
    void Attached() {
        std::call_once(attached_, [this] { processor_->Attach(Host()); });
    }

    std::unique_ptr<FakeProcessor> processor_;  // outlives the port
    std::unique_ptr<platform::PortBackend> port_;
    std::once_flag attached_;
};

}  // namespace

platform::BackendResult MakeFakeDirectPort(const std::string& setting, std::uint32_t address) {
    platform::BackendResult result;
    std::unique_ptr<platform::PortBackend> camera;
    if (setting.rfind("sim:", 0) == 0) {
        platform::BackendResult sim = sim::MakeBackend(setting);
        if (!sim.backend) {
            result.error = "ZEVA_FAKE_PORTIO: " + sim.error;
            return result;
        }
        camera = std::move(sim.backend);
    }
    auto processor = std::make_unique<FakeProcessor>(address, std::move(camera));
    if (setting == "no-rawio") {
        processor->rawIo = false;
        processor->iopermError = EPERM;
    } else if (setting == "lockdown") {
        processor->iopermError = EPERM;
    } else if (setting == "not-x86") {
        processor->portInstructions = false;
    } else if (setting == "claimed") {
        processor->claim = "parport0";
    } else if (setting.rfind("sim:", 0) != 0) {
        result.error = "ZEVA_FAKE_PORTIO='" + setting +
                       "' (valid: sim:<camera>[?options], no-rawio, lockdown, not-x86, claimed)";
        return result;
    }
    platform::BackendResult port = portio::OpenPort(address, *processor);
    if (!port.backend)
        return port;
    result.backend =
        std::make_unique<FakeDirectPort>(std::move(processor), std::move(port.backend));
    return result;
}

}  // namespace zeva::machine
