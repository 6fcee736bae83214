// The direct port I/O backend over a stand-in processor: what it refuses and
// why, which registers each thread is granted, the register mapping, and a
// camera linked and read through the driver.
#include "portio/portio.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/command_table.h"
#include "common/le.h"
#include "platform/system.h"
#include "sim/config.h"
#include "support/fake_processor.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

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

class DirectPortUnderTheDriver : public ::testing::Test {
  protected:
    void TearDown() override {
        if (file != nullptr)
            platform::CloseFile(file);
        if (platform::SystemRunning()) {
            EXPECT_EQ(platform::ShutdownSystem(), 0u);
        }
    }
    NTSTATUS Call(std::uint16_t command, std::vector<std::uint8_t>& b, ULONG in, ULONG out) {
        b.resize(std::max<std::size_t>({b.size(), in, out}));
        ULONG_PTR n = 0;
        return platform::DeviceControl(file, ControlCode(DriverFunction(command)), b.data(), in,
                                       b.data(), out, &n);
    }
    FakeProcessor cpu;  // outlives the booted system, which owns the port
    platform::BackendResult camera;
    platform::OpenFile* file = nullptr;
};

TEST_F(DirectPortUnderTheDriver, CameraAtACardsAddressLinksAndReadsPixelExactLines) {
    camera = sim::MakeBackend("sim:kestrel?scene=pattern");
    ASSERT_TRUE(camera.backend) << camera.error;
    cpu.behind = camera.backend.get();
    cpu.behindBase = 0xD010;
    platform::BackendResult made = portio::OpenPort(0xD010, cpu);
    ASSERT_TRUE(made.backend) << made.error;
    platform::PortBackend* direct = made.backend.get();
    platform::SystemConfig config;
    platform::PortConfig port;
    port.entry = "io:0xD010";
    port.base = 0xD010;
    port.backend = std::move(made.backend);
    config.ports.push_back(std::move(port));
    config.clock = platform::ClockMode::Virtual;
    config.driver_entry = &driver::DriverEntry;
    ASSERT_EQ(platform::BootSystem(std::move(config)), STATUS_SUCCESS);
    camera.backend->Attach(direct->Host());
    ASSERT_EQ(platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &file), STATUS_SUCCESS);

    std::vector<std::uint8_t> b(2, 0);
    ASSERT_EQ(Call(CmdEstablishLink, b, 0, 2), STATUS_SUCCESS);
    EXPECT_EQ(le::Get16(b.data(), 0), 13);

    b.assign(12, 0);
    le::Put32(b.data(), 4, 1);  // 10 ms, shutter open
    le::Put16(b.data(), 10, 1);
    ASSERT_EQ(Call(CmdStartExposure, b, 12, 0), STATUS_SUCCESS);
    for (int polls = 0;; ++polls) {
        ASSERT_LT(polls, 100);
        b.assign(2, 0);
        le::Put16(b.data(), 0, 1);
        ASSERT_EQ(Call(CmdQueryCommandStatus, b, 2, 2), STATUS_SUCCESS);
        if ((le::Get16(b.data(), 0) & 3) == 3)
            break;
        platform::PlatformSleepMs(10);
    }
    b.assign(2, 0);
    ASSERT_EQ(Call(CmdEndExposure, b, 2, 0), STATUS_SUCCESS);
    cpu.levels.clear();
    const unsigned x = 40, w = 10;
    b.assign(2 * w, 0);
    le::Put16(b.data(), 4, x);
    le::Put16(b.data(), 6, w);
    ASSERT_EQ(Call(CmdReadoutLine, b, 8, 2 * w), STATUS_SUCCESS);
    for (unsigned c = 0; c < w; ++c)
        EXPECT_EQ(le::Get16(b.data(), 2 * c), (17 * (x + c)) % 1000 + 100) << "pixel " << c;
    EXPECT_EQ(cpu.levels, (std::vector<bool>{true, false})) << "the line ran at the raised level";
}

}  // namespace
