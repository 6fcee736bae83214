// Boots the platform with recording ports and the driver, and sends requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/device_state.h"
#include "driver/frame/frame.h"
#include "platform/system.h"
#include "support/booted_driver.h"
#include "support/recording_backend.h"

namespace zeva::test {

struct Reply {
    NTSTATUS status;
    ULONG_PTR bytes;
    std::vector<std::uint8_t> out;
};

// The record of the port write-and-read commands.
inline std::vector<std::uint8_t> WriteRead(std::uint16_t write_address, std::uint16_t read_address,
                                           std::uint8_t value, std::uint8_t mask) {
    std::vector<std::uint8_t> b(rec::PortWriteReadParams::kSize);
    le::Put16(b.data(), rec::PortWriteReadParams::WriteAddress, write_address);
    le::Put16(b.data(), rec::PortWriteReadParams::ReadAddress, read_address);
    b[rec::PortWriteReadParams::WriteValue] = value;
    b[rec::PortWriteReadParams::Mask] = mask;
    return b;
}

class FrameTest : public ::testing::Test {
  protected:
    // Boots with one port per span (recording backends) and loads the driver.
    NTSTATUS Boot(std::vector<std::uint32_t> spans = {3}) {
        backends_.clear();
        std::vector<platform::PortConfig> ports;
        for (std::uint32_t span : spans) {
            auto backend = std::make_unique<RecordingBackend>();
            backends_.push_back(backend.get());
            ports.push_back(BootedDriver::Port("recording", std::move(backend), 0, span));
        }
        return session_.Load(std::move(ports));
    }
    // Opens the camera device of port `index`; requests go to it.
    void Open(std::size_t index = 0) {
        ASSERT_TRUE(session_.Open(index));
        opened_ = index;
    }
    NTSTATUS Close() { return session_.Close(opened_); }
    void BootAndOpen() {
        ASSERT_EQ(Boot(), STATUS_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(Open());
        backends_[0]->ClearLog();
    }
    void TearDown() override { EXPECT_EQ(session_.Shutdown(), 0u); }

    Reply Send(std::uint32_t function, std::vector<std::uint8_t> in, ULONG out_length,
               std::uint8_t fill = 0xAA) {
        return SendCode(ControlCode(function), std::move(in), out_length, fill);
    }
    Reply SendCode(std::uint32_t code, std::vector<std::uint8_t> in, ULONG out_length,
                   std::uint8_t fill = 0xAA) {
        Reply r{0, 0, std::vector<std::uint8_t>(out_length, fill)};
        r.status =
            platform::DeviceControl(session_[opened_].file(), code,
                                    in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                    out_length == 0 ? nullptr : r.out.data(), out_length, &r.bytes);
        return r;
    }
    driver::DeviceState* State(const std::string& name = "\\Device\\lptccd0") {
        DEVICE_OBJECT* device = platform::FindDevice(name);
        return device == nullptr ? nullptr : driver::StateOf(device);
    }

    std::vector<RecordingBackend*> backends_;
    BootedDriver session_;
    std::size_t opened_ = 0;
};

}  // namespace zeva::test
