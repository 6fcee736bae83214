// The exposure-and-readout sequence an application runs, through the I/O
// manager, on every simulated model with the pattern scene.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/le.h"
#include "platform/system.h"
#include "sim/config.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace {

using zeva::le::Get16;
using zeva::le::Put16;
using zeva::le::Put32;

struct Model {
    const char* entry;
    std::uint16_t type;
    int columns, rows;  // CCD read
    int ccd;
};

const Model kModels[] = {
    {"sim:gannet?scene=pattern", 4, 765, 510, 0},
    {"sim:heron?scene=pattern", 5, 1530, 1020, 0},
    {"sim:ibis?scene=pattern", 10, 512, 512, 0},
    {"sim:jacana?scene=pattern", 12, 2184, 1472, 0},
    {"sim:kestrel?scene=pattern", 13, 1024, 1024, 0},
    {"sim:gannet?scene=pattern", 4, 190, 162, 1},
    {"sim:heron?scene=pattern", 5, 190, 162, 1},
    {"sim:ibis?scene=pattern", 10, 190, 162, 1},
    {"sim:jacana?scene=pattern", 12, 190, 162, 1},
};

// Imaging pixels carry the bias pedestal of 100; tracking pixels are raw
// samples, with the camera's converter offset of 1000.
int Pattern(int ccd, int r, int c) {
    return ccd == 0 ? 100 + (31 * r + 17 * c) % 1000 : 1000 + 2000 + (13 * r + 7 * c) % 1000;
}

class EndToEnd : public ::testing::TestWithParam<Model> {
  protected:
    void SetUp() override {
        zeva::platform::SystemConfig config;
        zeva::platform::PortConfig port;
        port.entry = GetParam().entry;
        auto made = zeva::sim::MakeBackend(port.entry);
        ASSERT_TRUE(made.backend) << made.error;
        port.backend = std::move(made.backend);
        config.ports.push_back(std::move(port));
        config.clock = zeva::platform::ClockMode::Virtual;
        config.driver_entry = &zeva::driver::DriverEntry;
        ASSERT_EQ(zeva::platform::BootSystem(std::move(config)), STATUS_SUCCESS);
        ASSERT_EQ(zeva::platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &file), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (file != nullptr)
            zeva::platform::CloseFile(file);
        if (zeva::platform::SystemRunning()) {
            EXPECT_EQ(zeva::platform::ShutdownSystem(), 0u);
        }
    }
    NTSTATUS Call(std::uint16_t command, std::vector<std::uint8_t>& buffer, ULONG in, ULONG out,
                  ULONG_PTR* returned = nullptr) {
        ULONG_PTR n = 0;
        const NTSTATUS s =
            zeva::platform::DeviceControl(file, zeva::ControlCode(zeva::DriverFunction(command)),
                                          buffer.data(), in, buffer.data(), out, &n);
        if (returned != nullptr)
            *returned = n;
        return s;
    }
    zeva::platform::OpenFile* file = nullptr;
};

TEST_P(EndToEnd, ExposesAndReadsThePatternWindow) {
    const Model& m = GetParam();
    std::vector<std::uint8_t> b(400, 0);
    ASSERT_EQ(Call(9, b, 0, 2), STATUS_SUCCESS);
    EXPECT_EQ(Get16(b.data(), 0), m.type);

    b.assign(400, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
    ASSERT_EQ(Call(11, b, 2, 392), STATUS_SUCCESS);
    EXPECT_EQ(Get16(b.data(), 2), m.type);
    EXPECT_EQ(Get16(b.data(), 72 + 2), m.columns);
    EXPECT_EQ(Get16(b.data(), 72 + 4), m.rows);

    b.assign(12, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
    Put32(b.data(), 4, 100);
    Put16(b.data(), 10, 1);  // shutter open: the scene is exposed
    ASSERT_EQ(Call(1, b, 12, 0), STATUS_SUCCESS);
    int polls = 0;
    for (;; ++polls) {
        ASSERT_LT(polls, 1000);
        b.assign(2, 0);
        Put16(b.data(), 0, 1);
        ASSERT_EQ(Call(12, b, 2, 2), STATUS_SUCCESS);
        if (((Get16(b.data(), 0) >> (2 * m.ccd)) & 3) == 3)
            break;
        zeva::platform::PlatformSleepMs(100);
    }
    b.assign(2, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
    ASSERT_EQ(Call(2, b, 2, 0), STATUS_SUCCESS);

    const int skip = 3, first = 5, width = 40, lines = 4;
    b.assign(6, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
    Put16(b.data(), 4, skip);
    ASSERT_EQ(Call(4, b, 6, 0), STATUS_SUCCESS);
    for (int line = 0; line < lines; ++line) {
        b.assign(2 * width, 0);
        Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
        Put16(b.data(), 4, first);
        Put16(b.data(), 6, width);
        ULONG_PTR n = 0;
        ASSERT_EQ(Call(3, b, 8, 2 * width, &n), STATUS_SUCCESS);
        ASSERT_EQ(n, static_cast<ULONG_PTR>(2 * width));
        for (int i = 0; i < width; ++i)
            ASSERT_EQ(Get16(b.data(), 2 * i), Pattern(m.ccd, skip + line, first + i))
                << "line " << line << " pixel " << i;
    }
    b.assign(2, 0);
    Put16(b.data(), 0, static_cast<std::uint16_t>(m.ccd));
    EXPECT_EQ(Call(25, b, 2, 0), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Models, EndToEnd, ::testing::ValuesIn(kModels));

}  // namespace
