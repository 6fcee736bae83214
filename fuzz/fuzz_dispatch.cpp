// Fuzz target: arbitrary device control requests (control code, input bytes,
// output length) reaching DispatchDeviceIoControl through the stand-in I/O
// manager, with simulated cameras behind the ports and the virtual clock.
//
// Every completion is checked against the dispatcher's table as the harness
// knows it: an unknown code is not implemented with 0 bytes; a known code
// completes with success or one of the driver's own error statuses (the
// codes a command of that group can give), and with the byte count the
// table gives for a success (0 after a failure), never more than the
// caller's output.  The platform's level is back at passive after every
// request and the pool holds only what the driver allocated at load.
//
// The system boots once per process.  Each camera is then linked, and a few
// moments of a night are kept: the driver's device state, the simulated camera
// and the virtual clock, (0) linked and idle, (1) an imaging exposure running,
// (2) that exposure ended, its lines waiting, (3) the tracking CCD's exposure
// ended (a dark imaging exposure on single-CCD cameras).  Every input starts
// from one of them again, so an input means the same thing whatever ran
// before it and a reproducer replays on its own.
//
// Clearing the array (an exposure start, an offset reading) clocks the whole
// CCD out, four times over for a start: about 2 ms on a Gannet and 14 ms on a
// Kestrel, whose phase steps wait out a hundred port reads each; the rest of
// a typical input takes some 0.1 ms.  The moments give the fuzzer the states
// after a start without one.  An input clears at most once, only when its
// moment byte asks for it, and only one input in kClearShare may (picked by
// a hash of the input, so an input still means the same thing on its own):
// the fuzzer cannot learn to clear in every input and spend its time there.
//
// Input: a header byte (bits 0-1: device; 2-7: simulator faults), a moment
// byte (bits 0-1: the moment; bit 6: the header's faults on; bit 7: one array
// clear allowed), then requests:
//   selector u8 (< 0xF0: a served function by index; else a raw u32 code follows)
//   input length u16, output length u16 (both capped), input bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/device_state.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace {

using namespace zeva;
using zeva::le::Get16;
using zeva::le::Get32;
using zeva::le::Put16;
using zeva::le::Put32;

// The cameras behind the ports: the dual-CCD family and both single-CCD clockings.
const char* const kPorts[] = {
    "sim:gannet?scene=pattern",
    "sim:kestrel?scene=pattern",
    "sim:egret?scene=pattern",
    "sim:finch?scene=pattern",
};
constexpr std::size_t kPortCount = sizeof kPorts / sizeof kPorts[0];
static_assert(kPortCount == 4, "the header's two low bits pick the device");

// Bounds of the harness (not of the driver): requests that are legitimate
// but only cost time are kept short, so one input stays in the milliseconds.
constexpr std::uint32_t kMaxInput = 600;    // TxSerialBytes: 2 + 255 bytes, and more
constexpr std::uint32_t kMaxOutput = 4400;  // a full Jacana-wide line: 2 x 2184 pixels
constexpr std::uint32_t kMaxAODelayUs = 20000;
constexpr std::uint16_t kMaxDumpLines = 3;
constexpr std::uint8_t kMaxVerticalFactor = 8;
constexpr int kMaxRequests = 24;
// With the camera silenced (no answer, unplugged, busy stuck) every exchange
// waits out its timeout, five clock ticks of status polling and about a
// millisecond of the fuzzer's time: such an input makes a few requests,
// which reach what more would.
constexpr int kMaxSilencedRequests = 6;
constexpr std::uint8_t kMomentMask = 0x03;
constexpr std::uint8_t kClearAllowed = 0x80;
constexpr std::uint8_t kFaultsOn = 0x40;
constexpr std::uint8_t kPortMask = 0x03;
constexpr std::uint32_t kClearShare = 8;

enum class Group : std::uint8_t {
    Frame,    // no camera traffic: success, or ErrBadParameter for a refused record
    Camera,   // camera commands: any communication or camera error
    Readout,  // readouts and dumps: also ErrExposureInProgress
};

enum class Bytes : std::uint8_t { Fixed, OutputLength, PixelLength, Always };

struct Function {
    std::uint32_t function;
    Group group;
    Bytes bytes;
    std::uint32_t count;  // Fixed / Always: bytes reported on success
};

// The served functions, written out here once more so that a slip in the
// driver's own table shows as a finding.
constexpr Function kFunctions[] = {
    {2101, Group::Camera, Bytes::Fixed, 0},        {2102, Group::Camera, Bytes::Fixed, 0},
    {2103, Group::Readout, Bytes::PixelLength, 0}, {2104, Group::Readout, Bytes::Fixed, 0},
    {2105, Group::Camera, Bytes::Fixed, 0},        {2106, Group::Camera, Bytes::Fixed, 10},
    {2107, Group::Camera, Bytes::Fixed, 0},        {2108, Group::Camera, Bytes::Fixed, 0},
    {2109, Group::Camera, Bytes::Fixed, 2},        {2110, Group::Frame, Bytes::OutputLength, 0},
    {2111, Group::Camera, Bytes::OutputLength, 0}, {2112, Group::Camera, Bytes::OutputLength, 0},
    {2113, Group::Camera, Bytes::Fixed, 0},        {2115, Group::Frame, Bytes::Fixed, 0},
    {2116, Group::Readout, Bytes::Fixed, 2},       {2119, Group::Camera, Bytes::Fixed, 2},
    {2120, Group::Camera, Bytes::Fixed, 2},        {2121, Group::Camera, Bytes::Fixed, 0},
    {2122, Group::Camera, Bytes::Fixed, 0},        {2123, Group::Frame, Bytes::Fixed, 0},
    {2124, Group::Camera, Bytes::Fixed, 2},        {2125, Group::Camera, Bytes::Fixed, 0},
    {2126, Group::Frame, Bytes::Always, 4},        {2127, Group::Frame, Bytes::Fixed, 0},
    {2128, Group::Frame, Bytes::Fixed, 2},         {3102, Group::Frame, Bytes::Fixed, 1},
    {3103, Group::Frame, Bytes::Fixed, 0},         {3104, Group::Frame, Bytes::Fixed, 1},
    {3105, Group::Frame, Bytes::Fixed, 0},         {3106, Group::Frame, Bytes::Fixed, 1},
    {3107, Group::Frame, Bytes::Fixed, 0},         {3120, Group::Frame, Bytes::Fixed, 1},
    {3121, Group::Frame, Bytes::Fixed, 0},         {3122, Group::Frame, Bytes::Fixed, 1},
    {3123, Group::Frame, Bytes::Fixed, 0},         {3124, Group::Frame, Bytes::Fixed, 1},
    {3125, Group::Frame, Bytes::Fixed, 0},         {3126, Group::Frame, Bytes::Fixed, 0},
    {3127, Group::Frame, Bytes::Fixed, 0},
};
constexpr std::size_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

const Function* FindFunction(std::uint32_t code) {
    if (ControlCode(FunctionOf(code)) != code)
        return nullptr;
    for (const Function& f : kFunctions) {
        if (f.function == FunctionOf(code))
            return &f;
    }
    return nullptr;
}

// What a reset puts back: everything of the device state up to its lock
// (a lock is never copied; it is free between inputs), and the camera.
static_assert(std::is_standard_layout_v<driver::DeviceState>);
constexpr std::size_t kStateBytes = offsetof(driver::DeviceState, CameraLock);
static_assert(kStateBytes + sizeof(FAST_MUTEX) == sizeof(driver::DeviceState),
              "the lock is the device state's last member");

struct Saved {
    std::uint8_t state[kStateBytes];
    std::unique_ptr<sim::Camera> camera;  // a snapshot
    std::uint64_t clock_ns = 0;
};
constexpr std::size_t kMoments = kMomentMask + 1;

struct Rig {
    DEVICE_OBJECT* devices[kPortCount] = {};
    sim::Camera* cameras[kPortCount] = {};
    platform::OpenFile* files[kPortCount] = {};
    Saved saved[kPortCount][kMoments];
    std::size_t pool_at_boot = 0;
};

Rig* g_rig = nullptr;

[[noreturn]] void Finding(const char* what, std::uint32_t code, std::uint32_t in, std::uint32_t out,
                          NTSTATUS status, ULONG_PTR bytes) {
    std::fprintf(stderr, "fuzz_dispatch: %s: code 0x%08X in %u out %u -> status 0x%08X bytes %zu\n",
                 what, code, in, out, static_cast<unsigned>(status),
                 static_cast<std::size_t>(bytes));
    std::abort();
}

void Keep(Rig& rig, std::size_t port, std::size_t moment) {
    Saved& s = rig.saved[port][moment];
    std::memcpy(s.state, driver::StateOf(rig.devices[port]), kStateBytes);
    s.camera = std::make_unique<sim::Camera>(rig.cameras[port]->Snapshot());
    s.clock_ns = platform::ClockNowNs();
}

// Puts one port back to a kept moment.
void Restore(Rig& rig, std::size_t port, std::size_t moment) {
    const Saved& s = rig.saved[port][moment];
    std::memcpy(static_cast<void*>(driver::StateOf(rig.devices[port])), s.state, kStateBytes);
    rig.cameras[port]->Restore(*s.camera);
    platform::RewindVirtualClock(s.clock_ns);
}

void Setup(const Rig& rig, std::size_t port, std::uint32_t function, std::uint8_t* in,
           std::uint32_t in_length) {
    ULONG_PTR bytes = 0;
    const NTSTATUS s = platform::DeviceControl(rig.files[port], ControlCode(function), in,
                                               in_length, nullptr, 0, &bytes);
    if (s != STATUS_SUCCESS) {
        std::fprintf(stderr, "fuzz_dispatch: %s: setting up with %u gave 0x%08X\n", kPorts[port],
                     function, static_cast<unsigned>(s));
        std::abort();
    }
}

// Starts a 0.1 s exposure of one CCD (shutter open or closed) and, when
// asked, lets it run out and ends it.
void Expose(const Rig& rig, std::size_t port, std::uint16_t ccd, std::uint16_t shutter, bool end) {
    std::uint8_t start[rec::StartExposureParams::kSize] = {};
    Put16(start, rec::StartExposureParams::Ccd, ccd);
    Put32(start, rec::StartExposureParams::ExposureTime, 10);
    Put16(start, rec::StartExposureParams::ShutterMode, shutter);
    Setup(rig, port, 2101, start, sizeof start);
    if (!end)
        return;
    LARGE_INTEGER wait;
    wait.QuadPart = -2'000'000;  // 0.2 s
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    std::uint8_t stop[rec::EndExposureParams::kSize] = {};
    Put16(stop, rec::EndExposureParams::CcdAndSkipDelay, ccd);
    Setup(rig, port, 2102, stop, sizeof stop);
}

void Boot() {
    static Rig rig;
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Virtual;
    config.driver_entry = &driver::DriverEntry;
    for (std::size_t i = 0; i < kPortCount; ++i) {
        platform::PortConfig port;
        port.entry = kPorts[i];
        auto made = sim::MakeBackend(port.entry);
        if (!made.backend) {
            std::fprintf(stderr, "fuzz_dispatch: %s\n", made.error.c_str());
            std::abort();
        }
        rig.cameras[i] = static_cast<sim::Camera*>(made.backend.get());
        port.backend = std::move(made.backend);
        config.ports.push_back(std::move(port));
    }
    if (platform::BootSystem(std::move(config)) != STATUS_SUCCESS) {
        std::fprintf(stderr, "fuzz_dispatch: the system did not boot\n");
        std::abort();
    }
    for (std::size_t i = 0; i < kPortCount; ++i) {
        // Opened like an application does, so the device timer runs; the
        // handle stays open for the life of the process.
        const std::string link = "\\DosDevices\\LPTCCD" + std::to_string(i + 1);
        if (platform::OpenDevice(link, 0, &rig.files[i]) != STATUS_SUCCESS) {
            std::fprintf(stderr, "fuzz_dispatch: cannot open %s\n", link.c_str());
            std::abort();
        }
        rig.devices[i] = platform::FindDevice("\\Device\\lptccd" + std::to_string(i));
        if (rig.devices[i] == nullptr)
            std::abort();
    }
    for (std::size_t i = 0; i < kPortCount; ++i) {
        std::uint8_t type[2] = {};
        ULONG_PTR bytes = 0;
        if (platform::DeviceControl(rig.files[i], ControlCode(2109), nullptr, 0, type, sizeof type,
                                    &bytes) != STATUS_SUCCESS) {
            std::fprintf(stderr, "fuzz_dispatch: %s does not link\n", kPorts[i]);
            std::abort();
        }
        Keep(rig, i, 0);
        const bool tracking = rig.cameras[i]->CcdCount() == 2;
        Expose(rig, i, 0, 1, false);
        Keep(rig, i, 1);
        Expose(rig, i, 0, 1, true);
        Keep(rig, i, 2);
        Restore(rig, i, 0);
        Expose(rig, i, tracking ? 1 : 0, tracking ? 1 : 0, true);
        Keep(rig, i, 3);
        Restore(rig, i, 0);
    }
    rig.pool_at_boot = platform::PoolOutstanding();
    g_rig = &rig;
}

// FNV-1a over the whole input.
std::uint32_t InputHash(const std::uint8_t* data, std::size_t size) {
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

bool MayClear(const std::uint8_t* data, std::size_t size) {
    return (data[1] & kClearAllowed) != 0 && InputHash(data, size) % kClearShare == 0;
}

bool ClearsArray(std::uint32_t code) {
    return code == ControlCode(2101) || code == ControlCode(2116);
}

// Keeps legitimate but long requests short (see the bounds above).
void BoundRequest(std::uint32_t function, std::uint8_t* in, std::uint32_t in_length) {
    switch (function) {
        case 2123:  // AODelay: microseconds at 0
            if (in_length >= 4)
                Put32(in, 0, Get32(in, 0) % (kMaxAODelayUs + 1));
            break;
        case 2104:  // DumpLines: vertical factor at 3, line count at 4
            if (in_length >= 4)
                in[3] = static_cast<std::uint8_t>(in[3] % (kMaxVerticalFactor + 1));
            if (in_length >= 6)
                Put16(in, 4, static_cast<std::uint16_t>(Get16(in, 4) % (kMaxDumpLines + 1)));
            break;
        case 2103:  // ReadoutLine: vertical factor at 3
            if (in_length >= 4)
                in[3] = static_cast<std::uint8_t>(in[3] % (kMaxVerticalFactor + 1));
            break;
        default:
            break;
    }
}

bool DriverErrorAllowed(const Function& f, std::uint16_t code) {
    switch (code) {
        case ErrBadParameter:
            return true;
        case ErrExposureInProgress:
            return f.group == Group::Readout;
        case ErrTxTimeout:
        case ErrRxTimeout:
        case ErrNakReceived:
        case ErrCanReceived:
        case ErrUnknownResponse:
        case ErrBadLength:
        case ErrDigitizerTimeout:
            return f.group != Group::Frame;
        case ErrEepromChecksum:
        case ErrEepromVersion:
            return f.function == 2109 || f.function == 2111;
        case ErrShutter:
            // A start, or the deferred start that a status query carries out.
            return f.function == 2101 || f.function == 2112;
        case ErrCameraNotFound:
            return f.function == 2109;
        case ErrTipTiltIncomplete:
            return f.function == 2121;
        default:
            return false;
    }
}

void CheckCompletion(std::uint32_t code, const std::uint8_t* in, std::uint32_t in_length,
                     std::uint32_t out_length, NTSTATUS returned, const IO_STATUS_BLOCK& io) {
    const NTSTATUS status = io.Status;
    const ULONG_PTR bytes = io.Information;
    if (returned != status && returned != STATUS_PENDING)
        Finding("dispatch returned another status than it completed", code, in_length, out_length,
                status, bytes);
    if (bytes > out_length)
        Finding("byte count beyond the caller's output", code, in_length, out_length, status,
                bytes);
    const Function* f = FindFunction(code);
    if (f == nullptr) {
        if (status != STATUS_NOT_IMPLEMENTED || bytes != 0)
            Finding("unknown code not refused", code, in_length, out_length, status, bytes);
        return;
    }
    if (status == STATUS_SUCCESS) {
        ULONG_PTR expected = f->count;
        if (f->bytes == Bytes::OutputLength)
            expected = out_length;
        if (f->bytes == Bytes::PixelLength)
            expected = in_length >= 8 ? 2u * Get16(in, 6) : bytes + 1;
        if (bytes != expected)
            Finding("success with a byte count the table does not give", code, in_length,
                    out_length, status, bytes);
        return;
    }
    const bool driver_error =
        (static_cast<std::uint32_t>(status) & 0xFFFF0000u) == kErrorStatusBase;
    if (!driver_error || !DriverErrorAllowed(*f, static_cast<std::uint16_t>(status & 0xFFFF)))
        Finding("status the dispatcher table does not allow", code, in_length, out_length, status,
                bytes);
    const ULONG_PTR allowed = f->bytes == Bytes::Always && out_length >= f->count ? f->count : 0;
    if (bytes != 0 && bytes != allowed)
        Finding("bytes reported by a failed request", code, in_length, out_length, status, bytes);
}

void Request(DEVICE_OBJECT* device, std::uint32_t code, std::vector<std::uint8_t>& in,
             std::uint32_t out_length) {
    // Exact-size buffers: the platform's system buffer is max(input, output)
    // bytes of the heap, so a driver access past it is caught by the sanitizer.
    std::unique_ptr<std::uint8_t[]> out(out_length != 0 ? new std::uint8_t[out_length] : nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    const std::uint32_t in_length = static_cast<std::uint32_t>(in.size());
    IRP* irp = IoBuildDeviceIoControlRequest(code, device, in_length != 0 ? in.data() : nullptr,
                                             in_length, out.get(), out_length, FALSE, &event, &io);
    const NTSTATUS returned = IoCallDriver(device, irp);
    if (returned == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    CheckCompletion(code, in.data(), in_length, out_length, returned, io);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Finding("level left raised", code, in_length, out_length, io.Status, io.Information);
}

// The header's fault bits count only when the moment byte switches faults
// on: a fault makes every exchange wait out its timeout (five clock ticks of
// polling), and most inputs should reach the paths behind working exchanges.
// Returns whether the faults silence the camera: then every exchange waits
// out its timeout.
bool SetFaults(std::size_t port, std::uint8_t header, bool on) {
    sim::Camera* camera = g_rig->cameras[port];
    if (!on)
        header &= kPortMask;
    const unsigned micro = (header >> 2) & 7;
    const auto fault = micro <= 6 ? static_cast<sim::MicroFault>(micro) : sim::MicroFault::Ok;
    const bool busy = (header & 0x20) != 0, unplugged = (header & 0x80) != 0;
    camera->SetMicroFault(fault);
    camera->SetBusyStuck(busy);
    camera->SetShutterFault((header & 0x40) != 0);
    camera->SetUnplugged(unplugged);
    camera->ResetMicro();
    return fault == sim::MicroFault::Silent || fault == sim::MicroFault::NoReply || busy ||
           unplugged;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_rig == nullptr)
        Boot();
    if (size < 2)
        return 0;
    const std::size_t port = data[0] & kPortMask;
    Restore(*g_rig, port, data[1] & kMomentMask);
    const bool silenced = SetFaults(port, data[0], (data[1] & kFaultsOn) != 0);
    const int max_requests = silenced ? kMaxSilencedRequests : kMaxRequests;
    std::size_t pos = 2;
    int clears = MayClear(data, size) ? 0 : 1;
    for (int n = 0; n < max_requests && pos + 5 <= size; ++n) {
        const std::uint8_t selector = data[pos++];
        std::uint32_t code;
        if (selector < 0xF0) {
            code = ControlCode(kFunctions[selector % kFunctionCount].function);
        } else {
            if (pos + 4 > size)
                break;
            code = Get32(data, pos);
            pos += 4;
        }
        if (pos + 4 > size)
            break;
        std::uint32_t in_length = Get16(data, pos) % (kMaxInput + 1);
        const std::uint32_t out_length = Get16(data, pos + 2) % (kMaxOutput + 1);
        pos += 4;
        if (in_length > size - pos)
            in_length = static_cast<std::uint32_t>(size - pos);
        std::vector<std::uint8_t> in(data + pos, data + pos + in_length);
        pos += in_length;
        if (ClearsArray(code) && ++clears > 1)
            continue;
        BoundRequest(FunctionOf(code), in.data(), in_length);
        Request(g_rig->devices[port], code, in, out_length);
    }
    // The driver's working memory lives in the device state: nothing stays allocated.
    if (platform::PoolOutstanding() != g_rig->pool_at_boot) {
        std::fprintf(stderr, "fuzz_dispatch: pool blocks %zu, %zu after boot\n",
                     platform::PoolOutstanding(), g_rig->pool_at_boot);
        std::abort();
    }
    return 0;
}
