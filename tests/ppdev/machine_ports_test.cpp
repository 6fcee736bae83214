// ZEVA_PORTS entries for real ports reach the ppdev backend, and why a port
// could not be opened is what the default boot reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "platform/system.h"

namespace {

bool StartWith(const char* ports) {
    setenv("ZEVA_PORTS", ports, 1);
    return zeva::machine::StartDefaultSystem();
}

void ExpectRefused(const char* ports, std::initializer_list<const char*> says) {
    EXPECT_FALSE(StartWith(ports)) << ports;
    EXPECT_FALSE(zeva::platform::SystemRunning());
    const std::string error = zeva::machine::LastStartError();
    for (const char* text : says)
        EXPECT_NE(error.find(text), std::string::npos) << "'" << text << "' in: " << error;
}

TEST(MachinePorts, FailedRealPortsStopTheBootWithTheirReason) {
    ExpectRefused("/dev/parport-does-not-exist",
                  {"'/dev/parport-does-not-exist'", "does not exist", "modprobe"});
    ExpectRefused("sim:gannet, /dev/null?base=0x3BC", {"'/dev/null", "not a ppdev parallel port"});
    ExpectRefused("/dev/parport0?base=0x3BC&mode=epp", {"mode=epp"});
    ExpectRefused("usb:0", {"'usb:0'", "/dev/parportN", "sim:<camera>"});
}

TEST(MachinePorts, ErrorIsClearedByTheNextGoodBoot) {
    ExpectRefused("/dev/parport-does-not-exist", {"does not exist"});
    ASSERT_TRUE(StartWith("sim:gannet")) << zeva::machine::LastStartError();
    EXPECT_TRUE(zeva::machine::LastStartError().empty());
    EXPECT_EQ(zeva::platform::ShutdownSystem(), 0u);
}

// Counts the accesses to the port it wraps.
class Counted final : public zeva::platform::PortBackend {
  public:
    explicit Counted(std::unique_ptr<zeva::platform::PortBackend> inner)
        : inner_(std::move(inner)) {}
    static inline std::vector<std::size_t> indices;
    static inline unsigned accesses = 0;

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        ++accesses;
        return inner_->Read(offset);
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        ++accesses;
        inner_->Write(offset, value);
    }
    std::unique_ptr<zeva::platform::PortBackend> inner_;
};

std::unique_ptr<zeva::platform::PortBackend> Wrap(
    std::unique_ptr<zeva::platform::PortBackend> backend, std::size_t index) {
    Counted::indices.push_back(index);
    return std::make_unique<Counted>(std::move(backend));
}

TEST(MachinePorts, WrapperSeesEveryPortInOrderAndItsAccesses) {
    zeva::machine::SetPortWrapper(&Wrap);
    ASSERT_TRUE(StartWith("sim:gannet,sim:kestrel?base=0x1000")) << zeva::machine::LastStartError();
    zeva::machine::SetPortWrapper(nullptr);
    EXPECT_EQ(Counted::indices, (std::vector<std::size_t>{0, 1}));
    const unsigned before = Counted::accesses;
    READ_PORT_UCHAR(0x1000 + 1);    // the Kestrel's status register
    WRITE_PORT_UCHAR(0x378, 0x00);  // the Gannet's data register
    READ_PORT_UCHAR(0x2000);        // no port there
    EXPECT_EQ(Counted::accesses, before + 2);
    EXPECT_EQ(zeva::platform::ShutdownSystem(), 0u);
}

}  // namespace
