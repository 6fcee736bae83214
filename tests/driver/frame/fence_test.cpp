// The driver keeps to its own port: raw address commands aimed anywhere
// else change nothing and read an empty bus (0xFF), and loading, opening and
// driving a device never reaches the registers of another port or an
// address no port claims.
#include <string>
#include <vector>

#include "common/le.h"
#include "common/records.h"
#include "frame_fixture.h"
#include "support/booted_driver.h"

namespace zeva::test {
namespace {

constexpr std::uint16_t kOwnBase = 0x378;    // port 1
constexpr std::uint16_t kOtherBase = 0x278;  // port 2

std::vector<std::uint8_t> Address(std::uint16_t address, std::uint8_t value = 0) {
    return {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), value, 0};
}

bool OnlyPortRegisters(const std::vector<PortAccess>& log) {
    for (const PortAccess& a : log) {
        if (a.offset > 2 && a.offset != 0x402) {
            return false;
        }
    }
    return true;
}

class Fence : public FrameTest {
  protected:
    void BootTwoAndOpenFirst() {
        ASSERT_EQ(Boot({3, 3}), STATUS_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(Open(0));
        for (RecordingBackend* b : backends_) {
            b->ClearLog();
        }
    }
};

TEST_F(Fence, RawCommandsOnForeignAddressesChangeNothingAndReadAnEmptyBus) {
    BootTwoAndOpenFirst();
    backends_[1]->Set(1, 0x5A);
    backends_[1]->Set(2, 0x33);
    // The other port's registers and ECR, the addresses around this port's
    // span, and addresses where nothing sits at all.
    const std::uint16_t foreign[] = {kOtherBase,
                                     kOtherBase + 1,
                                     kOtherBase + 2,
                                     kOtherBase + 0x402,
                                     kOwnBase - 1,
                                     kOwnBase + 3,
                                     kOwnBase + 0x3FF,
                                     kOwnBase + 0x403,
                                     0x0000,
                                     0x1234,
                                     0xFFFF};
    for (std::uint16_t address : foreign) {
        Reply read = Send(3124, WriteRead(address, address, 0x42, 0), 1);
        EXPECT_EQ(read.status, STATUS_SUCCESS) << address;
        EXPECT_EQ(read.bytes, 1u) << address;
        EXPECT_EQ(read.out[0], 0xFF) << address;
        EXPECT_EQ(Send(3125, WriteRead(address, address, 0x42, 0x0F), 0).status, STATUS_SUCCESS)
            << address;
        EXPECT_EQ(Send(3126, WriteRead(address, address, 0x42, 0xF0), 0).status, STATUS_SUCCESS)
            << address;
        Reply plain = Send(3122, Address(address), 1);
        EXPECT_EQ(plain.status, STATUS_SUCCESS) << address;
        EXPECT_EQ(plain.out[0], 0xFF) << address;
        EXPECT_EQ(Send(3123, Address(address, 0x42), 0).status, STATUS_SUCCESS) << address;
    }
    EXPECT_TRUE(backends_[0]->Log().empty());
    EXPECT_TRUE(backends_[1]->Log().empty());
    // Not even the bus saw them.
    EXPECT_EQ(platform::UnclaimedPortAccesses(), 0u);
}

TEST_F(Fence, OwnRegistersStayReachableBesideForeignOnes) {
    BootTwoAndOpenFirst();
    backends_[0]->Set(1, 0x9C);
    backends_[0]->Set(0x402, 0x15);
    // Own write, foreign read: the write happens, the read is the empty bus
    // and nothing is written back there.
    Reply mixed = Send(3125, WriteRead(kOwnBase, kOtherBase + 2, 0x07, 0x01), 0);
    EXPECT_EQ(mixed.status, STATUS_SUCCESS);
    // Foreign write, own read: only the read reaches the port.
    Reply read = Send(3124, WriteRead(kOtherBase, kOwnBase + 1, 0x30, 0), 1);
    EXPECT_EQ(read.out[0], 0x9C);
    EXPECT_EQ(Send(3122, Address(kOwnBase + 0x402), 1).out[0], 0x15);
    EXPECT_EQ(backends_[0]->Log(),
              (std::vector<PortAccess>{W(0, 0x07), R(1, 0x9C), R(0x402, 0x15)}));
    EXPECT_TRUE(backends_[1]->Log().empty());
}

TEST_F(Fence, LoadOpenAndCommandsTouchOnlyTheOpenedPort) {
    ASSERT_EQ(Boot({3, 3, 3}), STATUS_SUCCESS);
    // Loading the driver touches no port.
    for (RecordingBackend* b : backends_) {
        EXPECT_TRUE(b->Log().empty());
    }
    ASSERT_NO_FATAL_FAILURE(Open(1));
    // A link (that times out on the silent port), status and temperature
    // queries, a line, the port register commands, then close.
    Send(2109, {}, 2);
    Send(2106, {}, 10);
    Send(2112, {1, 0}, 2);
    std::vector<std::uint8_t> line(8, 0);
    le::Put16(line.data(), rec::ReadoutLineParams::PixelLength, 8);
    Send(2103, line, 16);
    for (std::uint32_t f : {3102u, 3104u, 3106u, 3120u}) {
        Send(f, {}, 1);
    }
    for (std::uint32_t f : {3103u, 3105u, 3107u, 3121u}) {
        Send(f, {0x01}, 0);
    }
    Send(3124, WriteRead(kOtherBase, kOtherBase + 1, 0, 0), 1);
    ASSERT_EQ(Close(), STATUS_SUCCESS);

    EXPECT_TRUE(backends_[0]->Log().empty());
    EXPECT_TRUE(backends_[2]->Log().empty());
    EXPECT_FALSE(backends_[1]->Log().empty());
    EXPECT_TRUE(OnlyPortRegisters(backends_[1]->Log()));
    EXPECT_EQ(platform::UnclaimedPortAccesses(), 0u);
}

// Whole camera sessions on two simulated cameras, one after the other: the
// camera not in use sees no port access at all, and no access strays off
// the configured ports.
TEST(FenceWithCameras, ASessionOnOneCameraLeavesTheOtherUntouched) {
    BootedDriver driver;
    ASSERT_TRUE(driver.Boot({"sim:gannet?scene=pattern", "sim:egret?scene=pattern"}));
    for (std::size_t active = 0; active < 2; ++active) {
        const CameraHandle& h = driver[active];
        sim::Camera* idle = driver[1 - active].camera();
        idle->StartTrace();
        ASSERT_EQ(h.Link(), STATUS_SUCCESS);
        ASSERT_EQ(h.Expose(0), STATUS_SUCCESS);
        std::vector<std::uint16_t> pixels;
        ASSERT_EQ(h.Line(0, 0, 3, 10, &pixels), STATUS_SUCCESS);
        ASSERT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
        idle->StopTrace();
        EXPECT_TRUE(idle->Trace().empty()) << "camera " << 1 - active << " was touched";
    }
    EXPECT_EQ(platform::UnclaimedPortAccesses(), 0u);
    EXPECT_EQ(driver.Shutdown(), 0u);
}

}  // namespace
}  // namespace zeva::test
