// C++ client for ZEVA cameras: a small RAII layer over the library entries.
// By default it goes through the NT library's explicit-handle entry
// ParDeviceCommand (libzevant); the Windows 95/98 library's ParDrvCommand
// (libzeva32m) and the wrapper's ParDrvCommandVB (libzevavb32) can be chosen
// instead, to check those paths.  One Driver per process, any number of
// Camera objects (one per port).  Records are built and parsed as
// little-endian bytes in the layouts of the library in use.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zeva::client {

// The 32-bit value the library returned: 0, 0xE0000000 + error code, or a
// platform error number when the device call did not reach the driver.
//
// On the 95/98 and wrapper paths the libraries report plain codes (or 1000 +
// code); the client turns them into 0xE0000000 + code, so callers see one
// form whichever library they went through.
class Status {
  public:
    Status() = default;
    explicit Status(std::uint32_t raw) : raw_(raw) {}
    bool ok() const { return raw_ == 0; }
    std::uint32_t raw() const { return raw_; }
    // The error code (0 when the value carries none, e.g. a platform error).
    std::uint16_t code() const;
    // "ErrBadParameter", or "PlatformError" for a value without a code.
    std::string name() const;
    // "ErrBadParameter (error 6)" and the like, for messages.
    std::string Describe() const;

  private:
    std::uint32_t raw_ = 0;
};

constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFFu;

// Values the camera keeps in BCD hundredths (0x0900 = 9.00).
double BcdHundredths(std::uint32_t bcd);

struct ReadoutModeInfo {
    std::uint16_t mode = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;       // 0: the vertical factor is chosen at readout
    std::uint16_t gain = 0;         // BCD, e-/ADU hundredths
    std::uint32_t pixelWidth = 0;   // BCD, um hundredths
    std::uint32_t pixelHeight = 0;  // BCD, um hundredths
};

struct CcdInfo {
    std::uint16_t firmwareVersion = 0;
    std::uint16_t cameraType = 0;
    std::string name;
    std::vector<ReadoutModeInfo> modes;
};

struct EepromInfo {
    std::uint16_t count = 0;
    std::array<std::uint16_t, 4> words{};
    std::uint16_t flag = 0;
    std::string identification;
};

struct SingleCcdStatus {
    std::uint16_t variant = 0;
    std::uint16_t code = 0;
};

struct ExposureRequest {
    std::uint16_t ccd = 0;
    std::uint32_t time = 0;  // camera timer units (10 ms), 24 bits
    bool passThrough = false;
    bool deferStart = false;
    std::uint16_t optionCode = 0;
    std::uint16_t shutterMode = 1;  // 1: open during the exposure
};

struct LineRequest {
    std::uint16_t ccd = 0;
    std::uint8_t mode = 0;
    std::uint8_t verticalFactor = 1;
    std::uint16_t pixelStart = 0;
    std::uint16_t pixelLength = 0;
};

struct TemperatureStatus {
    std::uint16_t regulationFlags = 0;  // bit 0 regulating, bit 15 frozen by the driver
    std::uint16_t setpoint = 0;
    std::uint16_t power = 0;  // 0..255
    std::uint16_t reading1 = 0;
    std::uint16_t reading2 = 0;
};

// Cooler calibration: linear through reading 1000 = +25 C and 3000 = -25 C.
double ReadingToCelsius(double reading);
std::uint16_t CelsiusToReading(double celsius);

// Exposure state of one CCD in the command-1 status word: 0 idle, 2 exposing, 3 finished.
inline unsigned ExposureStateOf(std::uint16_t status, unsigned ccd) {
    return ccd == 0 ? (status & 3u) : ((status >> 2) & 3u);
}

// The library entry the client goes through.
enum class Library {
    Nt,     // libzevant ParDeviceCommand, one handle per camera (the default)
    Win9x,  // libzeva32m ParDrvCommand: zeva32.vxd, which drives the first port only
    Vb,     // libzevavb32 ParDrvCommandVB: to whichever library the platform
            // calls for at OpenDriver (the NT one, or the 95/98 one under
            // ZEVA_WINDOWS=95/98)
};
// "nt", "9x", "vb".
const char* LibraryName(Library lib);
// Parses "nt", "9x" (or "95", "98") and "vb"; false for anything else.
bool ParseLibrary(const std::string& text, Library* lib);

// Why the system under the libraries could not start (a port that could not
// be opened, say), with what to do about it; empty when it started.
std::string SystemStartError();

// Waits `ms` milliseconds on the system's clock: a real wait, or under
// ZEVA_CLOCK=virtual an advance of the virtual time, so that polling loops
// (exposure, cooler) see the camera's time move.
void SleepMs(std::uint32_t ms);

// The system's clock in nanoseconds (virtual time under ZEVA_CLOCK=virtual).
std::uint64_t NowNs();
// True when the system runs on the virtual clock.
bool VirtualClock();

// Makes the system under the libraries run the ports of `entry` (the
// ZEVA_PORTS grammar), stopping it first when it runs other ports; the next
// Driver::Open boots it.  Call only while no camera is open.
void UsePortEntry(const std::string& entry);
// Checks port entries (the ZEVA_PORTS grammar) as the system would parse
// them at its start, opening nothing: false with *error naming the entry.
bool CheckPortEntries(const std::string& entries, std::string* error);
// Stops the system under the libraries (idempotent).  Programs with their
// own threads call it before they exit, while those threads still run.
void ShutdownSystem();

// The driver opened for this process (commands 17 / 18).
class Driver {
  public:
    Driver() = default;
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    Driver(Driver&& o) noexcept : open_(o.open_), library_(o.library_) { o.open_ = false; }
    // Cameras opened afterwards go through the same library.
    Status Open(Library lib = Library::Nt);
    Status Close();
    bool isOpen() const { return open_; }
    Library library() const { return library_; }

  private:
    bool open_ = false;
    Library library_ = Library::Nt;
};

// One camera device (commands 27 / 28), closed by the destructor.
class Camera {
  public:
    Camera() = default;
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    Camera(Camera&& o) noexcept : handle_(o.handle_), route_(o.route_) {
        o.handle_ = kInvalidHandle;
    }
    Camera& operator=(Camera&& o) noexcept;

    // Opens the camera on parallel port `port` (1 = first port), through the
    // library the driver was last opened with.  On the 95/98 path only port 1
    // exists (ErrOpenDeviceFailed otherwise) and one Camera at a time.
    Status Open(std::uint16_t port);
    Status Close();
    bool isOpen() const { return handle_ != kInvalidHandle; }
    std::uint32_t handle() const { return handle_; }

    Status EstablishLink(std::uint16_t* cameraType);
    // Request 0 (imaging or only CCD) or 1 (tracking CCD).
    Status GetCCDInfo(std::uint16_t request, CcdInfo* info);
    Status GetEepromInfo(EepromInfo* info);          // request 2
    Status GetSingleCcdStatus(SingleCcdStatus* st);  // request 3
    Status StartExposure(const ExposureRequest& r);
    Status EndExposure(std::uint16_t ccd, bool skipDelay = false);
    Status QueryCommandStatus(std::uint16_t command, std::uint16_t* status);
    Status DumpLines(std::uint16_t ccd, std::uint8_t mode, std::uint8_t verticalFactor,
                     std::uint16_t lines);
    // Reads one line; `pixels` must hold at least pixelLength values.
    Status ReadoutLine(const LineRequest& r, std::span<std::uint16_t> pixels);
    Status EndReadout(std::uint16_t ccd);
    Status SetTemperatureRegulation(std::uint16_t regulation, std::uint16_t setpoint);
    Status QueryTemperatureStatus(TemperatureStatus* st);
    Status ActivateRelay(const std::array<std::uint16_t, 4>& times);
    Status PulseOut(std::uint16_t count, std::uint16_t width, std::uint16_t period);
    Status AOTipTilt(std::uint16_t x, std::uint16_t y);
    // Any command with caller-built records, passed as they are: the driver's
    // aligned layouts through the NT path, the packed application layouts of
    // commands 1 and 11 through the others.
    Status Command(std::uint16_t command, void* in, void* out);

  private:
    // How the camera's commands travel (fixed when it is opened).
    enum class Route : std::uint8_t {
        Handle,      // ParDeviceCommand with this camera's handle
        Selected,    // ParDrvCommandVB to ParDeviceCommandNH, handle selected by command 34
        Vxd,         // ParDrvCommand to zeva32.vxd
        WrapperVxd,  // ParDrvCommandVB to ParDrvCommand
    };
    Status Send(std::uint16_t command, void* in, void* out);
    bool Packed() const { return route_ != Route::Handle; }

    std::uint32_t handle_ = kInvalidHandle;
    Route route_ = Route::Handle;
};

}  // namespace zeva::client
