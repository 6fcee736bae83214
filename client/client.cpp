// Typed commands over ParDeviceCommand, records in the driver's aligned layouts.
#include "client/client.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/plan.h"
#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "machine/machine.h"
#include "zeva/zeva.h"

namespace zeva::client {

using namespace zeva::le;

namespace {

// Process-wide, like the state of the libraries themselves.
std::atomic<Library> g_library{Library::Nt};  // of the driver opened last
std::atomic<bool> g_wrapperToNt{true};        // where the wrapper forwards since its OpenDriver
// The handle ParDeviceCommandNH works on, as far as this client set it.
std::atomic<std::uint32_t> g_selected{kInvalidHandle};
std::atomic<bool> g_vxdCameraOpen{false};  // zeva32.vxd drives one camera

constexpr std::uint32_t kNhCodeBase = 1000;

// ParDeviceCommandNH reports 1000 + code.
Status FromNh(std::uint32_t value) {
    if (value >= kNhCodeBase && value < kNhCodeBase + 0x10000u)
        return Status(ErrorStatus(static_cast<std::uint16_t>(value - kNhCodeBase)));
    return Status(value);
}

// ParDrvCommand reports the plain code.
Status FromPlain(std::uint32_t value) {
    return Status(ErrorStatus(static_cast<std::uint16_t>(value)));
}

Status FromWrapper(std::uint32_t value) {
    return g_wrapperToNt ? FromNh(value) : FromPlain(value & 0xFFFFu);
}

// The wrapper's OpenDriver picked a library: the NT one answers the
// driver-information request 1 with its own name.
bool WrapperGoesToNt() {
    std::uint8_t in[2], out[rec::DriverInfoResult::kSize] = {};
    Put16(in, 0, 1);
    if (ParDrvCommandVB(CmdGetDriverInfo, in, out) != 0)
        return true;
    return std::memcmp(out + 2, "ZEVANT", 6) == 0;
}

}  // namespace

const char* LibraryName(Library lib) {
    switch (lib) {
        case Library::Win9x:
            return "9x";
        case Library::Vb:
            return "vb";
        case Library::Nt:
            break;
    }
    return "nt";
}

bool ParseLibrary(const std::string& text, Library* lib) {
    if (text == "nt")
        *lib = Library::Nt;
    else if (text == "9x" || text == "95" || text == "98")
        *lib = Library::Win9x;
    else if (text == "vb")
        *lib = Library::Vb;
    else
        return false;
    return true;
}

std::string SystemStartError() {
    return machine::LastStartError();
}

void SleepMs(std::uint32_t ms) {
    machine::SleepMs(ms);
}

std::uint64_t NowNs() {
    return machine::NowNs();
}

bool VirtualClock() {
    return machine::VirtualClock();
}

void UsePortEntry(const std::string& entry) {
    machine::UsePortEntries(entry);
}

bool CheckPortEntries(const std::string& entries, std::string* error) {
    return machine::CheckPortEntries(entries, error);
}

void ShutdownSystem() {
    machine::Shutdown();
}

std::uint16_t Status::code() const {
    return ErrorCodeOf(raw_);
}

std::string Status::name() const {
    if (raw_ == 0)
        return "ErrNone";
    const char* n = ErrorName(code());
    if (code() == 0 || n == nullptr)
        return "PlatformError";
    return n;
}

std::string Status::Describe() const {
    char buf[96];
    if (code() != 0)
        std::snprintf(buf, sizeof buf, "%s (error %u)", name().c_str(), code());
    else
        std::snprintf(buf, sizeof buf, "platform error %u (0x%08X)", raw_, raw_);
    return buf;
}

double BcdHundredths(std::uint32_t bcd) {
    unsigned v = 0;
    for (int shift = 12; shift >= 0; shift -= 4) v = v * 10 + ((bcd >> shift) & 0xFu);
    return v / 100.0;
}

double ReadingToCelsius(double reading) {
    return CoolerCalibration{}.ToCelsius(reading);
}

std::uint16_t CelsiusToReading(double celsius) {
    return CoolerCalibration{}.ToReading(celsius);
}

Driver::~Driver() {
    Close();
}

Status Driver::Open(Library lib) {
    Close();
    library_ = lib;
    g_library = lib;
    Status s;
    switch (lib) {
        case Library::Nt:
            s = Status(ParDeviceCommand(kInvalidHandle, CmdOpenDriver, nullptr, nullptr));
            break;
        case Library::Win9x:
            s = FromPlain(ParDrvCommand(CmdOpenDriver, nullptr, nullptr));
            break;
        case Library::Vb: {
            const std::uint32_t v = ParDrvCommandVB(CmdOpenDriver, nullptr, nullptr);
            g_wrapperToNt = WrapperGoesToNt();
            s = FromWrapper(v);
            break;
        }
    }
    open_ = s.ok();
    return s;
}

Status Driver::Close() {
    if (!open_)
        return Status();
    open_ = false;
    switch (library_) {
        case Library::Win9x:
            return FromPlain(ParDrvCommand(CmdCloseDriver, nullptr, nullptr));
        case Library::Vb:
            return FromWrapper(ParDrvCommandVB(CmdCloseDriver, nullptr, nullptr));
        case Library::Nt:
            break;
    }
    return Status(ParDeviceCommand(kInvalidHandle, CmdCloseDriver, nullptr, nullptr));
}

Camera::~Camera() {
    Close();
}

Camera& Camera::operator=(Camera&& o) noexcept {
    if (this != &o) {
        Close();
        handle_ = o.handle_;
        route_ = o.route_;
        o.handle_ = kInvalidHandle;
    }
    return *this;
}

Status Camera::Open(std::uint16_t port) {
    Close();
    std::uint8_t in[2], out[4];
    Put16(in, 0, port);
    Put32(out, 0, kInvalidHandle);
    const Library lib = g_library;
    if (lib == Library::Nt) {
        route_ = Route::Handle;
        Status s(ParDeviceCommand(kInvalidHandle, CmdOpenDevice, in, out));
        if (s.ok())
            handle_ = Get32(out, 0);
        return s;
    }
    if (lib == Library::Vb && g_wrapperToNt) {
        // The NT library keeps the new handle as its own; fetch it, so that
        // the camera can select it again after another camera's commands.
        route_ = Route::Selected;
        Status s = FromNh(ParDrvCommandVB(CmdOpenDevice, in, nullptr));
        if (!s.ok()) {
            g_selected = kInvalidHandle;
            return s;
        }
        ParDrvCommandVB(CmdGetDriverHandle, nullptr, out);
        handle_ = Get32(out, 0);
        g_selected = handle_;
        return s;
    }
    // zeva32.vxd holds the first port's device from OpenDriver on; the camera
    // needs no opening of its own, but there is only the one.
    route_ = lib == Library::Vb ? Route::WrapperVxd : Route::Vxd;
    if (port != 1 || g_vxdCameraOpen.exchange(true))
        return Status(ErrorStatus(ErrOpenDeviceFailed));
    if (route_ == Route::Vxd)
        ParDrvCommand(CmdGetDriverHandle, nullptr, out);
    else
        ParDrvCommandVB(CmdGetDriverHandle, nullptr, out);
    handle_ = Get32(out, 0);
    if (handle_ == kInvalidHandle) {
        g_vxdCameraOpen = false;
        return Status(ErrorStatus(ErrDriverNotOpen));
    }
    return Status();
}

Status Camera::Close() {
    if (handle_ == kInvalidHandle)
        return Status();
    Status s;
    switch (route_) {
        case Route::Handle:
            s = Status(ParDeviceCommand(handle_, CmdCloseDevice, nullptr, nullptr));
            break;
        case Route::Selected:
            s = Send(CmdCloseDevice, nullptr, nullptr);
            g_selected = kInvalidHandle;
            break;
        case Route::Vxd:
        case Route::WrapperVxd:
            g_vxdCameraOpen = false;
            break;
    }
    handle_ = kInvalidHandle;
    return s;
}

Status Camera::Send(std::uint16_t command, void* in, void* out) {
    switch (route_) {
        case Route::Handle:
            break;
        case Route::Selected:
            if (handle_ == kInvalidHandle)
                return Status(ErrorStatus(ErrDriverNotOpen));
            if (g_selected != handle_) {
                std::uint8_t h[4];
                Put32(h, 0, handle_);
                ParDrvCommandVB(CmdSetDriverHandle, h, nullptr);
                g_selected = handle_;
            }
            return FromNh(ParDrvCommandVB(command, in, out));
        case Route::Vxd:
            if (handle_ == kInvalidHandle)
                return Status(ErrorStatus(ErrDriverNotOpen));
            return FromPlain(ParDrvCommand(command, in, out));
        case Route::WrapperVxd:
            if (handle_ == kInvalidHandle)
                return Status(ErrorStatus(ErrDriverNotOpen));
            return FromPlain(ParDrvCommandVB(command, in, out) & 0xFFFFu);
    }
    return Status(ParDeviceCommand(handle_, command, in, out));
}

Status Camera::Command(std::uint16_t command, void* in, void* out) {
    return Send(command, in, out);
}

Status Camera::EstablishLink(std::uint16_t* cameraType) {
    std::uint8_t out[rec::EstablishLinkResults::kSize] = {};
    Status s = Command(CmdEstablishLink, nullptr, out);
    if (s.ok() && cameraType)
        *cameraType = Get16(out, 0);
    return s;
}

Status Camera::GetCCDInfo(std::uint16_t request, CcdInfo* info) {
    std::uint8_t in[2];
    std::uint8_t out[rec::CcdInfoResult::kSize] = {};
    Put16(in, 0, request);
    Status s = Command(CmdGetCCDInfo, in, out);
    if (!s.ok())
        return s;
    info->firmwareVersion = Get16(out, 0);
    info->cameraType = Get16(out, 2);
    std::size_t n = 0;
    while (n < 64 && out[4 + n] != 0) ++n;
    info->name.assign(reinterpret_cast<const char*>(out + 4), n);
    unsigned count = Get16(out, 68);
    if (count > 20)
        count = 20;
    // The packed form has the mode table right after the count.
    const std::size_t modes =
        Packed() ? rec::PackedCcdInfoResult::Modes : rec::CcdInfoResult::Modes;
    info->modes.clear();
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t e = modes + 16 * i;
        ReadoutModeInfo m;
        m.mode = Get16(out, e);
        m.width = Get16(out, e + 2);
        m.height = Get16(out, e + 4);
        m.gain = Get16(out, e + 6);
        m.pixelWidth = Get32(out, e + 8);
        m.pixelHeight = Get32(out, e + 12);
        info->modes.push_back(m);
    }
    return s;
}

Status Camera::GetEepromInfo(EepromInfo* info) {
    // Separate records: ParDeviceCommandNH looks at the request again after
    // the call, and would take an EEPROM count of 0 or 1 in a shared buffer
    // for request 0 or 1 (and compact 392 bytes in it).
    std::uint8_t in[rec::CcdInfoParams::kSize];
    std::uint8_t buf[rec::CcdInfoExtResult::kSize] = {};
    Put16(in, 0, 2);
    Status s = Command(CmdGetCCDInfo, in, buf);
    if (!s.ok())
        return s;
    info->count = Get16(buf, 0);
    for (int i = 0; i < 4; ++i) info->words[i] = Get16(buf, 2 + 2 * i);
    info->flag = Get16(buf, 10);
    std::size_t n = 0;
    while (n < 10 && buf[12 + n] != 0) ++n;
    info->identification.assign(reinterpret_cast<const char*>(buf + 12), n);
    return s;
}

Status Camera::GetSingleCcdStatus(SingleCcdStatus* st) {
    std::uint8_t in[2], out[rec::CcdInfoStatusResult::kSize] = {};
    Put16(in, 0, 3);
    Status s = Command(CmdGetCCDInfo, in, out);
    if (s.ok()) {
        st->variant = Get16(out, 0);
        st->code = Get16(out, 2);
    }
    return s;
}

Status Camera::StartExposure(const ExposureRequest& r) {
    std::uint8_t in[rec::StartExposureParams::kSize] = {};
    std::uint32_t t = r.time & 0x00FFFFFFu;
    if (r.passThrough)
        t |= 1u << 30;
    if (r.deferStart)
        t |= 1u << 31;
    if (Packed()) {
        namespace p = rec::PackedStartExposureParams;
        Put16(in, p::Ccd, r.ccd);
        Put32(in, p::ExposureTime, t);
        Put16(in, p::OptionCode, r.optionCode);
        Put16(in, p::ShutterMode, r.shutterMode);
    } else {
        namespace a = rec::StartExposureParams;
        Put16(in, a::Ccd, r.ccd);
        Put32(in, a::ExposureTime, t);
        Put16(in, a::OptionCode, r.optionCode);
        Put16(in, a::ShutterMode, r.shutterMode);
    }
    return Command(CmdStartExposure, in, nullptr);
}

Status Camera::EndExposure(std::uint16_t ccd, bool skipDelay) {
    std::uint8_t in[2];
    Put16(in, 0, static_cast<std::uint16_t>((ccd & 0x7FFFu) | (skipDelay ? 0x8000u : 0u)));
    return Command(CmdEndExposure, in, nullptr);
}

Status Camera::QueryCommandStatus(std::uint16_t command, std::uint16_t* status) {
    std::uint8_t in[2], out[2] = {};
    Put16(in, 0, command);
    Status s = Command(CmdQueryCommandStatus, in, out);
    if (s.ok() && status)
        *status = Get16(out, 0);
    return s;
}

Status Camera::DumpLines(std::uint16_t ccd, std::uint8_t mode, std::uint8_t verticalFactor,
                         std::uint16_t lines) {
    std::uint8_t in[rec::DumpLinesParams::kSize];
    Put16(in, 0, ccd);
    Put8(in, 2, mode);
    Put8(in, 3, verticalFactor);
    Put16(in, 4, lines);
    return Command(CmdDumpLines, in, nullptr);
}

Status Camera::ReadoutLine(const LineRequest& r, std::span<std::uint16_t> pixels) {
    if (pixels.size() < r.pixelLength)
        return Status(ErrorStatus(ErrBadParameter));
    std::uint8_t in[rec::ReadoutLineParams::kSize];
    Put16(in, 0, r.ccd);
    Put8(in, 2, r.mode);
    Put8(in, 3, r.verticalFactor);
    Put16(in, 4, r.pixelStart);
    Put16(in, 6, r.pixelLength);
    std::vector<std::uint8_t> out(2u * r.pixelLength + 2u);
    Status s = Command(CmdReadoutLine, in, out.data());
    if (s.ok())
        for (std::size_t i = 0; i < r.pixelLength; ++i) pixels[i] = Get16(out.data(), 2 * i);
    return s;
}

Status Camera::EndReadout(std::uint16_t ccd) {
    std::uint8_t in[2];
    Put16(in, 0, ccd);
    return Command(CmdEndReadout, in, nullptr);
}

Status Camera::SetTemperatureRegulation(std::uint16_t regulation, std::uint16_t setpoint) {
    std::uint8_t in[rec::TemperatureRegulationParams::kSize];
    Put16(in, 0, regulation);
    Put16(in, 2, setpoint);
    return Command(CmdSetTemperatureRegulation, in, nullptr);
}

Status Camera::QueryTemperatureStatus(TemperatureStatus* st) {
    std::uint8_t out[rec::TemperatureStatusResults::kSize] = {};
    Status s = Command(CmdQueryTemperatureStatus, nullptr, out);
    if (s.ok()) {
        st->regulationFlags = Get16(out, 0);
        st->setpoint = Get16(out, 2);
        st->power = Get16(out, 4);
        st->reading1 = Get16(out, 6);
        st->reading2 = Get16(out, 8);
    }
    return s;
}

Status Camera::ActivateRelay(const std::array<std::uint16_t, 4>& times) {
    std::uint8_t in[rec::RelayParams::kSize];
    for (int i = 0; i < 4; ++i) Put16(in, 2 * i, times[i]);
    return Command(CmdActivateRelay, in, nullptr);
}

Status Camera::PulseOut(std::uint16_t count, std::uint16_t width, std::uint16_t period) {
    std::uint8_t in[rec::PulseOutParams::kSize];
    Put16(in, 0, count);
    Put16(in, 2, width);
    Put16(in, 4, period);
    return Command(CmdPulseOut, in, nullptr);
}

Status Camera::AOTipTilt(std::uint16_t x, std::uint16_t y) {
    std::uint8_t in[rec::TipTiltParams::kSize];
    Put16(in, 0, x);
    Put16(in, 2, y);
    return Command(CmdAOTipTilt, in, nullptr);
}

}  // namespace zeva::client
