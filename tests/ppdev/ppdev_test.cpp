// The ppdev backend over a fake kernel (claim, errors, register mapping),
// over the real kernel with device nodes that are not a parallel port, and
// under the driver with the camera simulator wired behind the fake port.
#include "ppdev/ppdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/command_table.h"
#include "driver/camera.h"
#include "support/booted_driver.h"
#include "support/fake_kernel.h"

namespace zeva::test {
namespace {

constexpr const char* kPort = "/dev/parport0";

std::unique_ptr<platform::PortBackend> OpenFake(FakeKernel& kernel) {
    platform::BackendResult r = ppdev::OpenPort(kPort, kernel);
    EXPECT_TRUE(r.backend) << r.error;
    kernel.ClearLog();
    return std::move(r.backend);
}

// --- claim and release

TEST(PpdevOpen, ClaimsExclusivelyThenDrivesTheDataLines) {
    FakeKernel kernel;
    platform::BackendResult r = ppdev::OpenPort(kPort, kernel);
    ASSERT_TRUE(r.backend) << r.error;
    EXPECT_EQ(kernel.openedPath, kPort);
    EXPECT_EQ(kernel.Log(), (std::vector<IoctlCall>{{PPEXCL, -1}, {PPCLAIM, -1}, {PPDATADIR, 0}}));
    kernel.ClearLog();
    r.backend.reset();
    EXPECT_EQ(kernel.Log(), (std::vector<IoctlCall>{{PPRELEASE, -1}}));
    EXPECT_TRUE(kernel.openFds.empty());
}

TEST(PpdevOpen, EachFailureSaysWhatToDoAndLeavesNothingOpen) {
    struct Case {
        int openError;
        unsigned long request;  // 0: no ioctl fails
        int error;
        std::vector<std::string> says;
    } cases[] = {
        {ENOENT, 0, 0, {"does not exist", "modprobe parport_pc ppdev"}},
        {ENXIO, 0, 0, {"no parallel port", "modprobe parport_pc"}},
        {EACCES, 0, 0, {"no permission", "group lp", "udev"}},
        {EPERM, 0, 0, {"no permission", "group lp"}},
        {EIO, 0, 0, {"cannot open", "Input/output error"}},
        {0, PPEXCL, ENOTTY, {"not a ppdev parallel port", "modprobe ppdev"}},
        {0, PPCLAIM, EBUSY, {"busy", "another program", "lp", "cups"}},
        {0, PPCLAIM, ENXIO, {"busy", "another program"}},
        {0, PPEXCL, EIO, {"PPEXCL failed"}},
        {0, PPDATADIR, EIO, {"PPDATADIR"}},
    };
    for (const Case& c : cases) {
        FakeKernel kernel;
        kernel.openError = c.openError;
        if (c.request != 0)
            kernel.failOn[c.request] = c.error;
        platform::BackendResult r = ppdev::OpenPort(kPort, kernel);
        EXPECT_FALSE(r.backend);
        EXPECT_NE(r.error.find(kPort), std::string::npos) << r.error;
        for (const std::string& text : c.says)
            EXPECT_NE(r.error.find(text), std::string::npos) << "'" << text << "' in: " << r.error;
        EXPECT_TRUE(kernel.openFds.empty()) << r.error;
        // A claimed port is released before it is closed.
        const std::vector<IoctlCall> log = kernel.Log();
        const bool claimed =
            std::find(log.begin(), log.end(), IoctlCall{PPDATADIR, 0}) != log.end();
        if (claimed) {
            EXPECT_EQ(log.back(), (IoctlCall{PPRELEASE, -1}));
        }
    }
}

TEST(PpdevOpen, UnknownOptionIsRefusedBeforeTheDeviceIsTouched) {
    FakeKernel kernel;
    platform::BackendResult r = ppdev::OpenPort("/dev/parport0?mode=epp", kernel);
    EXPECT_FALSE(r.backend);
    EXPECT_NE(r.error.find("mode=epp"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("base="), std::string::npos) << r.error;
    EXPECT_TRUE(kernel.openedPath.empty());
}

// --- register mapping

TEST(PpdevRegisters, DataStatusAndControlGoThroughTheirIoctls) {
    FakeKernel kernel;
    auto port = OpenFake(kernel);
    kernel.status = 0x87;
    port->Write(platform::kPortData, 0xB5);
    EXPECT_EQ(port->Read(platform::kPortData), 0xB5);
    EXPECT_EQ(port->Read(platform::kPortStatus), 0x87);  // raw, BUSY as the port presents it
    port->Write(platform::kPortControl, 0x0B);
    EXPECT_EQ(port->Read(platform::kPortControl), 0x0B);
    EXPECT_EQ(kernel.Log(), (std::vector<IoctlCall>{{PPWDATA, 0xB5},
                                                    {PPRDATA, -1},
                                                    {PPRSTATUS, -1},
                                                    {PPWCONTROL, 0x0B},
                                                    {PPRCONTROL, -1}}));
}

TEST(PpdevRegisters, DirectionBitGoesThroughDataDirAndInterruptBitIsKept) {
    FakeKernel kernel;
    auto port = OpenFake(kernel);
    port->Write(platform::kPortControl, 0x24);  // data lines in, nInit
    EXPECT_EQ(port->Read(platform::kPortControl), 0x24);
    port->Write(platform::kPortControl, 0x30);  // still in; interrupt enable is ppdev's
    port->Write(platform::kPortControl, 0x00);  // the driver's DisableLPTInterrupts
    EXPECT_EQ(port->Read(platform::kPortControl), 0x00);
    EXPECT_EQ(kernel.Log(), (std::vector<IoctlCall>{{PPDATADIR, 1},
                                                    {PPWCONTROL, 0x04},
                                                    {PPRCONTROL, -1},
                                                    {PPWCONTROL, 0x00},
                                                    {PPDATADIR, 0},
                                                    {PPWCONTROL, 0x00},
                                                    {PPRCONTROL, -1}}));
}

TEST(PpdevRegisters, UnreachableRegistersReadFFWithoutASystemCall) {
    FakeKernel kernel;
    auto port = OpenFake(kernel);
    EXPECT_EQ(port->Read(platform::kPortEcr), 0xFF);
    EXPECT_EQ(port->Read(3), 0xFF);
    EXPECT_EQ(port->Read(0x400), 0xFF);
    port->Write(platform::kPortEcr, 0x20);
    port->Write(platform::kPortStatus, 0x00);  // read-only register
    port->Write(7, 0x55);
    EXPECT_TRUE(kernel.Log().empty());
}

TEST(PpdevRegisters, FailedAccessReadsLikeAnEmptyPortAndIsNoticedOnce) {
    FakeKernel kernel;
    auto port = OpenFake(kernel);
    kernel.status = 0x00;
    kernel.failOn[PPRSTATUS] = EIO;
    kernel.failOn[PPWDATA] = EIO;
    EXPECT_EQ(port->Read(platform::kPortStatus), 0xFF);
    port->Write(platform::kPortData, 0x12);
    EXPECT_EQ(port->Read(platform::kPortStatus), 0xFF);
    ASSERT_EQ(kernel.notices.size(), 1u);
    EXPECT_NE(kernel.notices[0].find(kPort), std::string::npos);
    kernel.failOn.clear();
    EXPECT_EQ(port->Read(platform::kPortStatus), 0x00);  // recovers when the port answers
}

// --- the real kernel, with nodes that are no parallel port

TEST(PpdevRealKernel, MissingDeviceSaysToLoadTheModules) {
    platform::BackendResult r = ppdev::MakeBackend("/dev/parport-does-not-exist");
    EXPECT_FALSE(r.backend);
    EXPECT_NE(r.error.find("/dev/parport-does-not-exist does not exist"), std::string::npos)
        << r.error;
    EXPECT_NE(r.error.find("modprobe"), std::string::npos) << r.error;
}

TEST(PpdevRealKernel, DeviceThatIsNotAParallelPortIsNamedSo) {
    platform::BackendResult r = ppdev::MakeBackend("/dev/null");
    EXPECT_FALSE(r.backend);
    EXPECT_NE(r.error.find("/dev/null is not a ppdev parallel port"), std::string::npos) << r.error;
}

// --- the driver on a port wired, through the mapping, to a simulated camera

TEST(PpdevUnderTheDriver, CameraLinksAndReadsPixelExactLinesAtTheRaisedLevel) {
    FakeKernel kernel;  // outlives the session, which owns the port
    BootedDriver session;
    ASSERT_TRUE(
        session.BootWired("sim:gannet?scene=pattern", kPort, 0, [&](platform::PortBackend* camera) {
            kernel.behind = camera;
            return ppdev::OpenPort(kPort, kernel);
        }));
    const CameraHandle& h = session[0];
    std::uint16_t type = 0;
    ASSERT_EQ(h.Link(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, driver::kCameraGannet);
    ASSERT_EQ(h.Expose(0, 1), STATUS_SUCCESS);   // 10 ms, shutter open
    ASSERT_EQ(h.Dump(0, 0, 4), STATUS_SUCCESS);  // skip rows 0 to 3

    kernel.levels.clear();
    const int lines = 3;
    EXPECT_TRUE(h.ReadsPattern(4, 30, 12, lines));
    // Every line at the raised level (real-time priority on the real
    // system), and dropped after it.
    std::vector<bool> levels;
    for (int line = 0; line < lines; ++line) levels.insert(levels.end(), {true, false});
    EXPECT_EQ(kernel.levels, levels);
    EXPECT_TRUE(kernel.notices.empty());
    EXPECT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
    // The data lines stayed driven by the PC throughout.
    for (const IoctlCall& call : kernel.Log()) {
        EXPECT_FALSE(call.request == PPDATADIR && call.value != 0) << "data lines turned around";
    }
    EXPECT_EQ(session.Shutdown(), 0u);
}

}  // namespace
}  // namespace zeva::test
