// Boots the platform with recording ports and the driver, and sends requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/commands.h"
#include "driver/device_state.h"
#include "driver/frame/frame.h"
#include "platform/system.h"
#include "support/recording_backend.h"

namespace zeva::test {

struct Reply {
    NTSTATUS status;
    ULONG_PTR bytes;
    std::vector<std::uint8_t> out;
};

class FrameTest : public ::testing::Test {
  protected:
    // Boots with one port per span (recording backends) and loads the driver.
    NTSTATUS Boot(std::vector<std::uint32_t> spans = {3}) {
        platform::SystemConfig config;
        config.clock = platform::ClockMode::Virtual;
        config.driver_entry = &driver::DriverEntry;
        backends_.clear();
        for (std::uint32_t span : spans) {
            auto backend = std::make_unique<RecordingBackend>();
            backends_.push_back(backend.get());
            platform::PortConfig port;
            port.entry = "recording";
            port.backend = std::move(backend);
            port.span = span;
            config.ports.push_back(std::move(port));
        }
        return platform::BootSystem(std::move(config));
    }
    void BootAndOpen() {
        ASSERT_EQ(Boot(), STATUS_SUCCESS);
        ASSERT_EQ(platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &file_), STATUS_SUCCESS);
        backends_[0]->ClearLog();
    }
    void TearDown() override {
        if (file_ != nullptr) {
            platform::CloseFile(file_);
            file_ = nullptr;
        }
        if (platform::SystemRunning()) {
            EXPECT_EQ(platform::ShutdownSystem(), 0u);
        }
    }
    Reply Send(std::uint32_t function, std::vector<std::uint8_t> in, ULONG out_length,
               std::uint8_t fill = 0xAA) {
        return SendCode(ControlCode(function), std::move(in), out_length, fill);
    }
    Reply SendCode(std::uint32_t code, std::vector<std::uint8_t> in, ULONG out_length,
                   std::uint8_t fill = 0xAA) {
        Reply r{0, 0, std::vector<std::uint8_t>(out_length, fill)};
        r.status = platform::DeviceControl(
            file_, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
            out_length == 0 ? nullptr : r.out.data(), out_length, &r.bytes);
        return r;
    }
    driver::DeviceState* State(const std::string& name = "\\Device\\lptccd0") {
        DEVICE_OBJECT* device = platform::FindDevice(name);
        return device == nullptr ? nullptr : driver::StateOf(device);
    }

    std::vector<RecordingBackend*> backends_;
    platform::OpenFile* file_ = nullptr;
};

}  // namespace zeva::test
