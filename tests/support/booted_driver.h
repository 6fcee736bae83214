// The zeva driver booted on the stand-in platform with simulated cameras (or
// any port backends) behind its ports, reached through the I/O manager as an
// application's requests would reach it: a booted driver session for the
// driver's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
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
        std::vector<std::uint8_t> b(rec::EstablishLinkResults::kSize, 0);
        const NTSTATUS s = Call(CmdEstablishLink, b, 0, rec::EstablishLinkResults::kSize);
        if (type != nullptr) {
            *type = le::Get16(b.data(), rec::EstablishLinkResults::CameraType);
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
    // Dumps `lines` lines; modes 3 to 5 take their rows per line from `vertical`.
    NTSTATUS Dump(int ccd, int mode, int lines, int vertical = 0) const {
        std::vector<std::uint8_t> b(rec::DumpLinesParams::kSize, 0);
        le::Put16(b.data(), rec::DumpLinesParams::Ccd, static_cast<std::uint16_t>(ccd));
        le::Put8(b.data(), rec::DumpLinesParams::ReadoutMode, static_cast<std::uint8_t>(mode));
        le::Put8(b.data(), rec::DumpLinesParams::VerticalFactor,
                 static_cast<std::uint8_t>(vertical));
        le::Put16(b.data(), rec::DumpLinesParams::LineCount, static_cast<std::uint16_t>(lines));
        return Call(CmdDumpLines, b, rec::DumpLinesParams::kSize, 0);
    }
    // Reads one line of `length` pixels from `start`; pixels land in *pixels.
    // Modes 3 to 5 take their rows per line from `vertical`.
    NTSTATUS Line(int ccd, int mode, int start, int length, std::vector<std::uint16_t>* pixels,
                  int vertical = 0) const {
        namespace p = rec::ReadoutLineParams;
        std::vector<std::uint8_t> b(
            std::max<std::size_t>(p::kSize, 2 * static_cast<std::size_t>(length)), 0xEE);
        le::Put16(b.data(), p::Ccd, static_cast<std::uint16_t>(ccd));
        le::Put8(b.data(), p::ReadoutMode, static_cast<std::uint8_t>(mode));
        le::Put8(b.data(), p::VerticalFactor, static_cast<std::uint8_t>(vertical));
        le::Put16(b.data(), p::PixelStart, static_cast<std::uint16_t>(start));
        le::Put16(b.data(), p::PixelLength, static_cast<std::uint16_t>(length));
        ULONG_PTR n = 0;
        const NTSTATUS s = Call(CmdReadoutLine, b, p::kSize, static_cast<ULONG>(2 * length), &n);
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

    // Reads `lines` mode-0 lines of the imaging CCD's window [start, start +
    // length) and compares them with the pattern scene from active row `row`.
    ::testing::AssertionResult ReadsPattern(int row, int start, int length, int lines) const;

    // The driver's device object of this handle, and its device state.
    DEVICE_OBJECT* Device() const {
        return platform::FindDevice("\\Device\\lptccd" + std::to_string(index_));
    }
    driver::DeviceState* State() const {
        DEVICE_OBJECT* device = Device();
        return device == nullptr ? nullptr : driver::StateOf(device);
    }
    // Nothing in progress and nothing queued: no current start-I/O request
    // and nothing on the driver's pending list.
    bool Idle() const {
        DEVICE_OBJECT* device = Device();
        if (device == nullptr) {
            return false;
        }
        const LIST_ENTRY* head = &driver::StateOf(device)->PendingRequests;
        return device->CurrentIrp == nullptr && head->Flink == head;
    }

  private:
    platform::OpenFile* file_ = nullptr;
    sim::Camera* camera_ = nullptr;
    int index_ = 0;
};

// The platform booted with the driver, and the camera devices opened on it.
// Shuts down when it goes (after its owner's members declared before it,
// such as a fake system under a port, which must outlive the port).
class BootedDriver {
  public:
    ~BootedDriver() { Shutdown(); }

    // Boots the platform with these ports and loads the driver; opens
    // nothing.  Returns the driver's load status.
    NTSTATUS Load(std::vector<platform::PortConfig> ports,
                  platform::ClockMode clock = platform::ClockMode::Virtual) {
        Shutdown();
        platform::SystemConfig config;
        config.ports = std::move(ports);
        config.clock = clock;
        config.driver_entry = &driver::DriverEntry;
        handles_.assign(config.ports.size(), CameraHandle());
        booted_ = true;  // the platform runs even when the driver refused to load
        return platform::BootSystem(std::move(config));
    }
    // Opens the camera device of port `index` (\\.\LPTCCD<index + 1>), with
    // the simulated camera behind it if there is one.
    ::testing::AssertionResult Open(std::size_t index, sim::Camera* camera = nullptr) {
        const std::string link = "\\DosDevices\\LPTCCD" + std::to_string(index + 1);
        platform::OpenFile* file = nullptr;
        if (index >= handles_.size() || platform::OpenDevice(link, 0, &file) != STATUS_SUCCESS) {
            return ::testing::AssertionFailure() << "cannot open " << link;
        }
        handles_[index] = CameraHandle(file, camera, static_cast<int>(index));
        return ::testing::AssertionSuccess();
    }
    // Closes the handle of port `index`; returns the close's status.
    NTSTATUS Close(std::size_t index) {
        if (index >= handles_.size() || handles_[index].file() == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        const NTSTATUS s = platform::CloseFile(handles_[index].file());
        handles_[index] = CameraHandle();
        return s;
    }

    // Boots with one simulated camera per entry (ports 1, 2, ...) and opens
    // every camera device.
    ::testing::AssertionResult Boot(const std::vector<std::string>& entries,
                                    platform::ClockMode clock = platform::ClockMode::Virtual) {
        std::vector<platform::PortConfig> ports;
        std::vector<sim::Camera*> cameras;
        for (const std::string& entry : entries) {
            auto made = sim::MakeBackend(entry);
            if (!made.backend) {
                return ::testing::AssertionFailure() << made.error;
            }
            cameras.push_back(static_cast<sim::Camera*>(made.backend.get()));
            ports.push_back(Port(entry, std::move(made.backend)));
        }
        return LoadAndOpen(std::move(ports), cameras, clock);
    }

    // Boots with one port whose backend reaches the simulated camera of
    // `camera_entry` through a stand-in system, as a real port is wired to
    // a camera: `open_port` puts the camera behind the stand-in and opens
    // the backend over it.  The camera runs on the platform's clock and
    // lives as long as the session.
    template <typename OpenPort>
    ::testing::AssertionResult BootWired(const std::string& camera_entry,
                                         const std::string& port_entry, std::uint32_t base,
                                         OpenPort open_port) {
        Shutdown();
        auto made = sim::MakeBackend(camera_entry);
        if (!made.backend) {
            return ::testing::AssertionFailure() << made.error;
        }
        sim::Camera* camera = static_cast<sim::Camera*>(made.backend.get());
        platform::BackendResult port = open_port(static_cast<platform::PortBackend*>(camera));
        if (!port.backend) {
            return ::testing::AssertionFailure() << port.error;
        }
        platform::PortBackend* outer = port.backend.get();
        std::vector<platform::PortConfig> ports;
        ports.push_back(Port(port_entry, std::move(port.backend), base));
        const NTSTATUS loaded = Load(std::move(ports));
        wired_.push_back(std::move(made.backend));
        if (loaded != STATUS_SUCCESS) {
            return ::testing::AssertionFailure() << "the driver did not load";
        }
        camera->Attach(outer->Host());
        return Open(0, camera);
    }

    // Closes the handles and unloads; returns the pool blocks left over.
    std::size_t Shutdown() {
        std::size_t leaked = 0;
        if (booted_ && platform::SystemRunning()) {
            for (std::size_t i = 0; i < handles_.size(); ++i) {
                Close(i);
            }
            leaked = platform::ShutdownSystem();
        }
        booted_ = false;
        handles_.clear();
        wired_.clear();
        return leaked;
    }
    const CameraHandle& operator[](std::size_t i) const { return handles_[i]; }
    std::size_t size() const { return handles_.size(); }

    // A port of the configuration.
    static platform::PortConfig Port(const std::string& entry,
                                     std::unique_ptr<platform::PortBackend> backend,
                                     std::uint32_t base = 0, std::uint32_t span = 3) {
        platform::PortConfig port;
        port.entry = entry;
        port.backend = std::move(backend);
        port.base = base;
        port.span = span;
        return port;
    }

  private:
    ::testing::AssertionResult LoadAndOpen(
        std::vector<platform::PortConfig> ports, const std::vector<sim::Camera*>& cameras,
        platform::ClockMode clock = platform::ClockMode::Virtual) {
        if (Load(std::move(ports), clock) != STATUS_SUCCESS) {
            return ::testing::AssertionFailure() << "the driver did not load";
        }
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            ::testing::AssertionResult opened = Open(i, cameras[i]);
            if (!opened) {
                return opened;
            }
        }
        return ::testing::AssertionSuccess();
    }

    bool booted_ = false;
    std::vector<CameraHandle> handles_;
    // Cameras behind a wired port; destroyed after the port (at shutdown).
    std::vector<std::unique_ptr<platform::PortBackend>> wired_;
};

// What a bias-corrected mode-0 imaging line reads at active row r, column c
// of the pattern scene: the charge and the pedestal.
inline std::uint16_t ImagingPixel(int r, int c) {
    return static_cast<std::uint16_t>(
        100 + PatternImaging(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c)));
}

}  // namespace zeva::test

namespace zeva::test {

inline ::testing::AssertionResult CameraHandle::ReadsPattern(int row, int start, int length,
                                                             int lines) const {
    std::vector<std::uint16_t> pixels;
    for (int line = 0; line < lines; ++line) {
        const NTSTATUS s = Line(0, 0, start, length, &pixels);
        if (s != STATUS_SUCCESS) {
            return ::testing::AssertionFailure()
                   << "line " << line << " failed: 0x" << std::hex << s;
        }
        for (int i = 0; i < length; ++i) {
            if (pixels[i] != ImagingPixel(row + line, start + i)) {
                return ::testing::AssertionFailure()
                       << "line " << line << " (row " << row + line << ") pixel " << start + i
                       << " reads " << pixels[i] << ", not " << ImagingPixel(row + line, start + i);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zeva::test
