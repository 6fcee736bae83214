// The direct port I/O backend over a stand-in processor: what it refuses and
// why, which registers each thread is granted, the register mapping, and a
// camera linked and read through the driver.
#include "portio/portio.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "driver/camera.h"
#include "support/booted_driver.h"
#include "support/fake_processor.h"

namespace {

using namespace zeva;
using test::FakeProcessor;

constexpr std::uint32_t kBase = 0x378;

void ExpectRefused(FakeProcessor& cpu, std::uint32_t address,
                   std::initializer_list<const char*> says) {
    platform::BackendResult r = portio::OpenPort(address, cpu);
    EXPECT_FALSE(r.backend) << std::hex << address;
    for (const char* text : says)
        EXPECT_NE(r.error.find(text), std::string::npos) << "'" << text << "' in: " << r.error;
    EXPECT_TRUE(cpu.Instructions().empty()) << "no port touched before the port is granted";
    EXPECT_EQ(cpu.GrantedCount(address), 0) << "nothing left granted";
    EXPECT_EQ(cpu.GrantedCount(address + 0x402), 0);
}

TEST(DirectPortOpen, EachRefusalSaysWhyAndWhatToDo) {
    {
        FakeProcessor cpu;
        cpu.portInstructions = false;
        ExpectRefused(cpu, kBase, {"io:0x378", "no port instructions", "/dev/parportN"});
    }
    {
        FakeProcessor cpu;
        cpu.claims[0x37A] = "parport0";
        ExpectRefused(cpu, kBase, {"parport0", "/dev/parport0", "rmmod"});
    }
    {
        FakeProcessor cpu;
        cpu.claims[0x77A] = "parport1";  // only the ECR is the kernel's
        ExpectRefused(cpu, kBase, {"parport1"});
    }
    {
        FakeProcessor cpu;
        cpu.claims[0x2F9] = "serial";
        ExpectRefused(cpu, 0x2F8, {"'serial'", "not a free parallel port"});
    }
    {
        FakeProcessor cpu;
        cpu.rawIo = false;
        cpu.iopermError = EPERM;
        ExpectRefused(cpu, kBase, {"CAP_SYS_RAWIO", "setcap cap_sys_rawio+ep", "root"});
    }
    {
        FakeProcessor cpu;
        cpu.iopermError = EPERM;  // capable, yet the kernel says no
        ExpectRefused(cpu, kBase, {"lockdown", "/dev/parportN"});
    }
}

TEST(DirectPortOpen, ImplausibleAddressesAreRefusedBeforeAnythingElse) {
    struct Case {
        std::uint32_t address;
        const char* says;
    } cases[] = {
        {0x0, "below 0x100"},     {0x80, "below 0x100"},
        {0x379, "multiple of 4"}, {0xFC00, "beyond 0xFFFF"},
        {0xCF8, "PCI"},           {0xCFC, "PCI"},
        {0x8F8, "PCI"},  // its ECR would be 0xCFA
    };
    for (const Case& c : cases) {
        FakeProcessor cpu;
        ExpectRefused(cpu, c.address, {c.says});
        EXPECT_TRUE(cpu.Ioperms().empty());
    }
    for (std::uint32_t good : {0x378u, 0x278u, 0x3BCu, 0xD010u, 0xFBFCu}) {
        EXPECT_EQ(portio::ImplausibleAddress(good), "") << std::hex << good;
    }
}

TEST(DirectPortOpen, GrantsTheThreeRegistersAndTheEcrAndTakesThemBackAtClose) {
    FakeProcessor cpu;
    {
        platform::BackendResult r = portio::OpenPort(0xD010, cpu);
        ASSERT_TRUE(r.backend) << r.error;
        EXPECT_EQ(cpu.GrantedCount(0xD010), 1);
        EXPECT_EQ(cpu.GrantedCount(0xD012), 1);
        EXPECT_EQ(cpu.GrantedCount(0xD013), 0);
        EXPECT_EQ(cpu.GrantedCount(0xD412), 1);
        EXPECT_EQ(cpu.GrantedCount(0xD411), 0);
    }
    for (std::uint32_t a : {0xD010u, 0xD011u, 0xD012u, 0xD412u}) EXPECT_EQ(cpu.GrantedCount(a), 0);
}

TEST(DirectPortRegisters, EachOffsetReachesItsAddressOnly) {
    FakeProcessor cpu;
    platform::BackendResult r = portio::OpenPort(kBase, cpu);
    ASSERT_TRUE(r.backend) << r.error;
    platform::PortBackend& port = *r.backend;
    cpu.latches[0x379] = 0x5F;
    port.Write(platform::kPortData, 0xA5);
    port.Write(platform::kPortStatus, 0x12);   // read-only: dropped
    port.Write(platform::kPortControl, 0x3F);  // interrupt enable never set
    port.Write(platform::kPortEcr, 0x34);
    port.Write(3, 0x99);  // beyond the port: dropped
    EXPECT_EQ(port.Read(platform::kPortData), 0xA5);
    EXPECT_EQ(port.Read(platform::kPortStatus), 0x5F);
    EXPECT_EQ(port.Read(platform::kPortControl), 0x2F);
    EXPECT_EQ(port.Read(platform::kPortEcr), 0x34);
    EXPECT_EQ(port.Read(0x400), 0xFF);
    std::vector<std::pair<bool, std::uint16_t>> seen;
    for (const auto& i : cpu.Instructions()) seen.push_back({i.out, i.address});
    EXPECT_EQ(seen, (std::vector<std::pair<bool, std::uint16_t>>{{true, 0x378},
                                                                 {true, 0x37A},
                                                                 {true, 0x77A},
                                                                 {false, 0x378},
                                                                 {false, 0x379},
                                                                 {false, 0x37A},
                                                                 {false, 0x77A}}));
    port.LevelChanged(true);
    port.LevelChanged(false);
    EXPECT_EQ(cpu.levels, (std::vector<bool>{true, false}));
}

TEST(DirectPortThreads, AnotherThreadIsGrantedTheRegistersBeforeItsFirstInstruction) {
    FakeProcessor cpu;
    platform::BackendResult r = portio::OpenPort(kBase, cpu);
    ASSERT_TRUE(r.backend) << r.error;
    const std::size_t opened = cpu.Ioperms().size();
    std::thread::id other;
    std::thread([&] {
        other = std::this_thread::get_id();
        r.backend->Read(platform::kPortStatus);
        r.backend->Write(platform::kPortData, 1);
    }).join();
    r.backend->Read(platform::kPortStatus);  // the opening thread is granted already
    const std::vector<test::IopermCall> calls = cpu.Ioperms();
    ASSERT_EQ(calls.size(), opened + 2) << "one grant of the registers and one of the ECR";
    EXPECT_EQ(calls[opened].thread, other);
    EXPECT_EQ(calls[opened + 1].thread, other);
    EXPECT_TRUE(calls[opened].on);
    const std::vector<test::PortInstruction> ins = cpu.Instructions();
    ASSERT_EQ(ins.size(), 3u);
    EXPECT_EQ(ins[0].thread, other);
}

TEST(DirectPortThreads, ThreadRefusedItsGrantReadsAnEmptyPortWithOneNotice) {
    FakeProcessor cpu;
    platform::BackendResult r = portio::OpenPort(kBase, cpu);
    ASSERT_TRUE(r.backend) << r.error;
    cpu.iopermError = EPERM;
    std::thread([&] {
        EXPECT_EQ(r.backend->Read(platform::kPortStatus), 0xFF);
        r.backend->Write(platform::kPortData, 1);
        EXPECT_EQ(r.backend->Read(platform::kPortData), 0xFF);
    }).join();
    EXPECT_TRUE(cpu.Instructions().empty()) << "an instruction without a grant kills the process";
    ASSERT_EQ(cpu.notices.size(), 1u);
    EXPECT_NE(cpu.notices[0].find("reads 0xFF"), std::string::npos) << cpu.notices[0];
}

TEST(DirectPortKernelClaims, OnlyDriversClaimTheirInnermostRanges) {
    const std::string ioports =
        "0000-0cf7 : PCI Bus 0000:00\n"
        "  0000-001f : dma1\n"
        "  0378-037a : parport0\n"
        "  03f8-03ff : serial\n"
        "0d00-ffff : PCI Bus 0000:00\n"
        "  d000-dfff : PCI Bus 0000:03\n"
        "    d000-d01f : 0000:03:00.0\n"
        "      d010-d017 : parport1\n"
        "    d020-d027 : 0000:03:00.1\n";
    EXPECT_EQ(portio::IoportsOwner(ioports, 0x378, 0x37A), "parport0");
    EXPECT_EQ(portio::IoportsOwner(ioports, 0x3F8, 0x3FA), "serial");
    EXPECT_EQ(portio::IoportsOwner(ioports, 0x278, 0x27A), "") << "a bus window is no driver";
    EXPECT_EQ(portio::IoportsOwner(ioports, 0xD010, 0xD012), "parport1");
    EXPECT_EQ(portio::IoportsOwner(ioports, 0xD020, 0xD022), "") << "a card with no driver";
    EXPECT_EQ(portio::IoportsOwner(ioports, 0x77A, 0x77A), "");
    const std::string zeroed = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : parport0\n";
    EXPECT_EQ(portio::IoportsOwner(zeroed, 0x378, 0x37A), "");
}

TEST(DirectPortUnderTheDriver, CameraAtACardsAddressLinksAndReadsPixelExactLines) {
    constexpr std::uint32_t kCard = 0xD010;
    FakeProcessor cpu;  // outlives the session, which owns the port
    test::BootedDriver session;
    ASSERT_TRUE(session.BootWired("sim:kestrel?scene=pattern", "io:0xD010", kCard,
                                  [&](platform::PortBackend* camera) {
                                      cpu.behind = camera;
                                      cpu.behindBase = kCard;
                                      return portio::OpenPort(kCard, cpu);
                                  }));
    const test::CameraHandle& h = session[0];
    std::uint16_t type = 0;
    ASSERT_EQ(h.Link(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, driver::kCameraKestrel);
    ASSERT_EQ(h.Expose(0, 1), STATUS_SUCCESS);  // 10 ms, shutter open
    cpu.levels.clear();
    EXPECT_TRUE(h.ReadsPattern(0, 40, 10, 1));
    EXPECT_EQ(cpu.levels, (std::vector<bool>{true, false})) << "the line ran at the raised level";
    EXPECT_EQ(session.Shutdown(), 0u);
}

}  // namespace
