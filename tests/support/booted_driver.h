// The zeva driver booted on the stand-in platform with simulated cameras
// behind its ports, reached through the I/O manager as an application's
// requests would reach it: a booted driver session for the driver's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/device_state.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"
#include "support/pattern.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace zeva::test {

// One open camera device: its handle, the simulated camera behind it, and
// the request helpers every test here uses.
class CameraHandle {
  public:
    CameraHandle() = default;
    CameraHandle(platform::OpenFile* file, sim::Camera* camera, int index)
        : file_(file), camera_(camera), index_(index) {}

    platform::OpenFile* file() const { return file_; }
    sim::Camera* camera() const { return camera_; }

    // One buffered device control on the command's driver function; the
    // buffer carries the input and receives the output in place.
    NTSTATUS Call(std::uint16_t command, std::vector<std::uint8_t>& buffer, ULONG in, ULONG out,
                  ULONG_PTR* returned = nullptr) const {
        ULONG_PTR n = 0;
        if (buffer.size() < std::max(in, out)) {
            buffer.resize(std::max(in, out));
        }
        const NTSTATUS s = platform::DeviceControl(file_, ControlCode(DriverFunction(command)),
                                                   buffer.data(), in, buffer.data(), out, &n);
        if (returned != nullptr) {
            *returned = n;
        }
        return s;
    }
    // A command whose request is one u16 and whose result (if any) is one u16.
    NTSTATUS Word(std::uint16_t command, std::uint16_t value, ULONG out = 0,
                  std::uint16_t* reply = nullptr) const {
        std::vector<std::uint8_t> b(2, 0);
        le::Put16(b.data(), 0, value);
        const NTSTATUS s = Call(command, b, 2, out);
        if (reply != nullptr) {
            *reply = le::Get16(b.data(), 0);
        }
        return s;
    }
    NTSTATUS Link(std::uint16_t* type = nullptr) const {
        std::vector<std::uint8_t> b(2, 0);
        const NTSTATUS s = Call(CmdEstablishLink, b, 0, 2);
        if (type != nullptr) {
            *type = le::Get16(b.data(), 0);
        }
        return s;
    }
    NTSTATUS Start(int ccd, std::uint32_t time = 100, std::uint16_t shutter = 1) const {
        std::vector<std::uint8_t> b(rec::StartExposureParams::kSize, 0);
        le::Put16(b.data(), rec::StartExposureParams::Ccd, static_cast<std::uint16_t>(ccd));
        le::Put32(b.data(), rec::StartExposureParams::ExposureTime, time);
        le::Put16(b.data(), rec::StartExposureParams::ShutterMode, shutter);
        return Call(CmdStartExposure, b, rec::StartExposureParams::kSize, 0);
    }
    NTSTATUS Dump(int ccd, int mode, int lines) const {
        std::vector<std::uint8_t> b(rec::DumpLinesParams::kSize, 0);
        le::Put16(b.data(), rec::DumpLinesParams::Ccd, static_cast<std::uint16_t>(ccd));
        le::Put8(b.data(), rec::DumpLinesParams::ReadoutMode, static_cast<std::uint8_t>(mode));
        le::Put16(b.data(), rec::DumpLinesParams::LineCount, static_cast<std::uint16_t>(lines));
        return Call(CmdDumpLines, b, rec::DumpLinesParams::kSize, 0);
    }
    // Reads one line of `length` pixels from `start`; pixels land in *pixels.
    NTSTATUS Line(int ccd, int mode, int start, int length,
                  std::vector<std::uint16_t>* pixels) const {
        std::vector<std::uint8_t> b(std::max<std::size_t>(8, 2 * static_cast<std::size_t>(length)),
                                    0xEE);
        le::Put16(b.data(), rec::ReadoutLineParams::Ccd, static_cast<std::uint16_t>(ccd));
        le::Put8(b.data(), rec::ReadoutLineParams::ReadoutMode, static_cast<std::uint8_t>(mode));
        le::Put16(b.data(), rec::ReadoutLineParams::PixelStart, static_cast<std::uint16_t>(start));
        le::Put16(b.data(), rec::ReadoutLineParams::PixelLength,
                  static_cast<std::uint16_t>(length));
        ULONG_PTR n = 0;
        const NTSTATUS s = Call(CmdReadoutLine, b, 8, static_cast<ULONG>(2 * length), &n);
        pixels->clear();
        if (s == STATUS_SUCCESS) {
            EXPECT_EQ(n, static_cast<ULONG_PTR>(2 * length));
            for (int i = 0; i < length; ++i) {
                pixels->push_back(le::Get16(b.data(), 2 * static_cast<std::size_t>(i)));
            }
        }
        return s;
    }

    // Exposes `ccd` with the shutter open, polls until the camera reports it
    // finished and ends it.  Returns the first failure.
    NTSTATUS Expose(int ccd, std::uint32_t time = 20) const {
        NTSTATUS s = Start(ccd, time);
        if (s != STATUS_SUCCESS) {
            return s;
        }
        for (int polls = 0; polls < 200; ++polls) {
            std::uint16_t status = 0;
            s = Word(CmdQueryCommandStatus, 1, 2, &status);
            if (s != STATUS_SUCCESS) {
                return s;
            }
            if ((status >> (2 * ccd) & 3) == 3) {
                return Word(CmdEndExposure, static_cast<std::uint16_t>(ccd));
            }
            platform::PlatformSleepMs(20);
        }
        return STATUS_TIMEOUT;
    }

    // The driver's device object of this handle.
    DEVICE_OBJECT* Device() const {
        return platform::FindDevice("\\Device\\lptccd" + std::to_string(index_));
    }
    // Nothing in progress and nothing queued: no current start-I/O request
    // and nothing on the driver's pending list.
    bool Idle() const {
        DEVICE_OBJECT* device = Device();
        if (device == nullptr) {
            return false;
        }
        const auto* state = static_cast<const driver::DeviceState*>(device->DeviceExtension);
        const LIST_ENTRY* head = &state->PendingRequests;
        return device->CurrentIrp == nullptr && head->Flink == head;
    }

  private:
    platform::OpenFile* file_ = nullptr;
    sim::Camera* camera_ = nullptr;
    int index_ = 0;
};

// Boots the platform with one simulated camera per entry (ports 1, 2, ...)
// and the driver, and opens every camera device.
class BootedDriver {
  public:
    ~BootedDriver() { Shutdown(); }

    ::testing::AssertionResult Boot(const std::vector<std::string>& entries,
                                    platform::ClockMode clock = platform::ClockMode::Virtual) {
        platform::SystemConfig config;
        std::vector<sim::Camera*> cameras;
        for (const std::string& entry : entries) {
            platform::PortConfig port;
            port.entry = entry;
            auto made = sim::MakeBackend(entry);
            if (!made.backend) {
                return ::testing::AssertionFailure() << made.error;
            }
            cameras.push_back(static_cast<sim::Camera*>(made.backend.get()));
            port.backend = std::move(made.backend);
            config.ports.push_back(std::move(port));
        }
        config.clock = clock;
        config.driver_entry = &driver::DriverEntry;
        if (platform::BootSystem(std::move(config)) != STATUS_SUCCESS) {
            return ::testing::AssertionFailure() << "the driver did not load";
        }
        booted_ = true;
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            platform::OpenFile* file = nullptr;
            const std::string link = "\\DosDevices\\LPTCCD" + std::to_string(i + 1);
            if (platform::OpenDevice(link, 0, &file) != STATUS_SUCCESS) {
                return ::testing::AssertionFailure() << "cannot open " << link;
            }
            handles_.emplace_back(file, cameras[i], static_cast<int>(i));
        }
        return ::testing::AssertionSuccess();
    }
    // Closes the handles and unloads; returns the pool blocks left over.
    std::size_t Shutdown() {
        for (CameraHandle& h : handles_) {
            platform::CloseFile(h.file());
        }
        handles_.clear();
        if (!booted_) {
            return 0;
        }
        booted_ = false;
        return platform::ShutdownSystem();
    }
    const CameraHandle& operator[](std::size_t i) const { return handles_[i]; }
    std::size_t size() const { return handles_.size(); }

  private:
    bool booted_ = false;
    std::vector<CameraHandle> handles_;
};

// What a bias-corrected mode-0 imaging line reads at active row r, column c
// of the pattern scene: the charge and the pedestal.
inline std::uint16_t ImagingPixel(int r, int c) {
    return static_cast<std::uint16_t>(
        100 + PatternImaging(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c)));
}

}  // namespace zeva::test
