// ZEVA_PORTS entries for real ports reach the ppdev backend, and why a port
// could not be opened is what the default boot reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

}  // namespace
