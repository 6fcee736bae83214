// The system under the libraries, as the client API lets a program run it:
// switching port entries between sessions, and its clock.
#include <gtest/gtest.h>

#include "client/client.h"

namespace zeva::client {
namespace {

std::uint16_t LinkedType() {
    Driver driver;
    Camera camera;
    std::uint16_t type = 0;
    EXPECT_TRUE(driver.Open().ok());
    Status s = camera.Open(1);
    EXPECT_TRUE(s.ok()) << s.Describe();
    if (s.ok()) {
        s = camera.EstablishLink(&type);
        EXPECT_TRUE(s.ok()) << s.Describe();
    }
    return type;
}

TEST(ClientSystem, PortEntrySwitchesTheCameraBetweenSessions) {
    UsePortEntry("sim:egret");
    EXPECT_EQ(LinkedType(), 6);
    UsePortEntry("sim:kestrel");
    EXPECT_EQ(LinkedType(), 13);
    UsePortEntry("sim:kestrel");  // the same entry keeps the running system
    EXPECT_EQ(LinkedType(), 13);
    // A camera that cannot be reached: the open or the link fails, and the
    // next entry works again.
    UsePortEntry("sim:gannet?micro=silent");
    {
        Driver driver;
        Camera camera;
        ASSERT_TRUE(driver.Open().ok());
        std::uint16_t type = 0;
        if (camera.Open(1).ok()) {
            EXPECT_FALSE(camera.EstablishLink(&type).ok());
        }
    }
    UsePortEntry("sim:gannet");
    EXPECT_EQ(LinkedType(), 4);
    ShutdownSystem();
    ShutdownSystem();  // idempotent
}

TEST(ClientSystem, SleepMovesTheVirtualClock) {
    UsePortEntry("sim:gannet");
    Driver driver;
    ASSERT_TRUE(driver.Open().ok());
    ASSERT_TRUE(VirtualClock());  // tests run with ZEVA_CLOCK=virtual
    const std::uint64_t before = NowNs();
    SleepMs(60000);
    EXPECT_GE(NowNs() - before, 60000ull * 1000000ull);
    ASSERT_TRUE(driver.Close().ok());
    ShutdownSystem();
}

}  // namespace
}  // namespace zeva::client
