// io: entries through the default system and the client, as every program
// on the machine runs them: over a stand-in processor given in-process, and
// over the one ZEVA_FAKE_PORTIO chooses for programs run whole.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/client.h"
#include "machine/machine.h"
#include "platform/port_backend.h"
#include "sim/config.h"
#include "support/fake_processor.h"

namespace {

using namespace zeva;

class DirectIoEntries : public ::testing::Test {
  protected:
    void TearDown() override {
        camera.Close();
        driver.Close();
        client::ShutdownSystem();
        machine::SetDirectIoSystem(nullptr);
        unsetenv("ZEVA_FAKE_PORTIO");
    }
    // Opens port 1 of `ports`; the camera type, or 0 with *error.
    std::uint16_t Link(const std::string& ports, std::string* error) {
        client::UsePortEntry(ports);
        client::Status st = driver.Open();
        if (!st.ok()) {
            *error = client::SystemStartError();
            return 0;
        }
        st = camera.Open(1);
        std::uint16_t type = 0;
        if (st.ok())
            st = camera.EstablishLink(&type);
        if (!st.ok())
            *error = st.Describe();
        return type;
    }
    client::Driver driver;
    client::Camera camera;
};

TEST_F(DirectIoEntries, CameraBehindAStandInProcessorLinksThroughTheClient) {
    test::FakeProcessor cpu;
    platform::BackendResult heron = sim::MakeBackend("sim:heron");
    ASSERT_TRUE(heron.backend);
    cpu.behind = heron.backend.get();
    cpu.behindBase = 0xD010;
    machine::SetDirectIoSystem(&cpu);
    std::string error;
    EXPECT_EQ(Link("sim:gannet, io:0xd010", &error), 4) << error;
    camera.Close();
    ASSERT_TRUE(camera.Open(2).ok());
    std::uint16_t type = 0;
    ASSERT_TRUE(camera.EstablishLink(&type).ok());
    EXPECT_EQ(type, 5);
    EXPECT_GT(cpu.Instructions().size(), 0u);
    for (const test::PortInstruction& i : cpu.Instructions()) {
        EXPECT_TRUE(i.address >= 0xD010 && i.address <= 0xD012) << std::hex << i.address;
    }
    camera.Close();
    driver.Close();
    client::ShutdownSystem();
    EXPECT_EQ(cpu.GrantedCount(0xD010), 0) << "the port is given back at shutdown";
}

TEST_F(DirectIoEntries, RefusedPortStopsTheBootWithItsReason) {
    test::FakeProcessor cpu;
    cpu.rawIo = false;
    cpu.iopermError = EPERM;
    machine::SetDirectIoSystem(&cpu);
    std::string error;
    EXPECT_EQ(Link("io:0x378", &error), 0);
    EXPECT_NE(error.find("port entry 'io:0x378'"), std::string::npos) << error;
    EXPECT_NE(error.find("CAP_SYS_RAWIO"), std::string::npos) << error;
}

TEST_F(DirectIoEntries, EnvironmentStandInServesWholePrograms) {
    setenv("ZEVA_FAKE_PORTIO", "sim:kestrel", 1);
    std::string error;
    EXPECT_EQ(Link("io:0x3BC", &error), 13) << error;
    TearDown();

    const struct {
        const char* setting;
        const char* says;
    } refusals[] = {
        {"no-rawio", "CAP_SYS_RAWIO"},       {"lockdown", "lockdown"},
        {"not-x86", "no port instructions"}, {"claimed", "parport0"},
        {"sim:vulture", "vulture"},          {"everything", "ZEVA_FAKE_PORTIO='everything'"},
    };
    for (const auto& r : refusals) {
        setenv("ZEVA_FAKE_PORTIO", r.setting, 1);
        error.clear();
        EXPECT_EQ(Link("io:0x278", &error), 0) << r.setting;
        EXPECT_NE(error.find(r.says), std::string::npos) << r.setting << ": " << error;
        TearDown();
    }
}

}  // namespace
