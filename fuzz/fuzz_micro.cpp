// Fuzz target: the microcontroller's reply side.  A scripted camera behind
// the platform's port (a port backend) takes the packet and answers with
// reply nibbles and handshake delays taken from the fuzz input; MicroCommand
// runs one exchange for any command and camera type.
//
// Checked after every exchange:
//   - the status is 0 or an error the exchange can give (a refusal before
//     anything was sent touches no register at all);
//   - the result record is written only on success (pre-filled with a canary),
//     and never for a command that gives no result;
//   - after any failed exchange camera register 0x30 holds 0;
//   - a success means the camera really answered an acknowledge or a block
//     with the right start, echo and length;
//   - the caller's parameter record is left as it was.
//
// Input: command selector u8, camera type selector u8, the parameter record
// (its exact size; command 11 takes its count from the first two bytes),
// then the script: a take-delay byte, then one byte per reply nibble (low
// nibble: the value; high nibble: status reads before the line follows,
// 15 = the camera falls silent from there on).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "driver/link/micro.h"
#include "platform/port_backend.h"
#include "platform/system.h"

namespace {

using namespace zeva;
using namespace zeva::driver;

constexpr std::uint16_t kCommands[] = {
    MicroStartExposure,     MicroEndExposure,   MicroRegulateTemperature,
    MicroTemperatureStatus, MicroActivateRelay, MicroPulseOut,
    MicroGetVersion,        MicroEepromAccess,  MicroMiscControl,
    MicroGetStatus,         MicroTxSerial,      MicroCommand12,
    MicroFreezeTE,
};
constexpr std::uint32_t kTypes[] = {4, 5, 6, 8, 9, 10, 12, 13, 0, 7};
constexpr std::size_t kMaxReply = 80;
constexpr std::uint32_t kSlowReadMs = 1;  // a status read while the camera is not ready
constexpr std::uint8_t kNever = 15;

// The scripted camera: the register latches of the camera's interface and a
// microcontroller that follows the level-based handshake.
class ScriptedCamera : public platform::PortBackend {
  public:
    void Arm(unsigned take_delay, std::vector<std::uint8_t> script) {
        take_delay_ = take_delay;
        script_ = std::move(script);
        reply_pos_ = 0;
        replying_ = false;
        receiving_ = false;
        fresh_ = false;
        pending_ = 0;
        silent_ = false;
        writes_ = 0;
        presented_ = 0;
        rx_.clear();
    }
    std::uint8_t reg30() const { return reg30_; }
    unsigned writes() const { return writes_; }
    const std::vector<std::uint8_t>& packet() const { return rx_; }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        if (offset != platform::kPortStatus)
            return 0xFF;
        const bool host = (reg30_ & 1) != 0;
        bool line = line_;
        if ((reg30_ & 4) != 0 && fresh_) {
            line = host;
        } else if (line_ != target_) {
            if (!silent_ && pending_ == 0) {
                line_ = target_;
            } else {
                if (pending_ > 0)
                    --pending_;
                platform::PlatformSleepMs(kSlowReadMs);
            }
            line = line_;
        }
        return static_cast<std::uint8_t>(((line ? 1 : 0) << 7) | ((presented_ & 0xF) << 3));
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        if (offset != platform::kPortData)
            return;
        ++writes_;
        if ((data_ & 0x80) != 0 && (value & 0x80) == 0)
            Latch(data_ & 0x70, data_ & 0x0F);
        data_ = value;
    }
    void Latch(std::uint8_t reg, std::uint8_t value) {
        if (reg == 0x20) {
            reg20_ = value;
            return;
        }
        if (reg != 0x30)
            return;
        const std::uint8_t old = reg30_;
        reg30_ = value;
        const bool fresh_before = fresh_;
        if ((value & 4) != 0 && (old & 4) == 0)
            fresh_ = true;
        if (((old ^ value) & 1) != 0)
            OnToggle(fresh_before && (value & 4) != 0);
    }
    std::size_t ExpectedLength() const {
        if (rx_.size() < 4)
            return 4;
        if (rx_[2] == MicroTxSerial) {
            if (rx_.size() < 6)
                return 6;
            return 6 + 2 * static_cast<std::size_t>(rx_[4] * 16 + rx_[5]);
        }
        return 4 + 2 * static_cast<std::size_t>(rx_[3]);
    }
    void Follow(unsigned delay) {
        target_ = (reg30_ & 1) != 0;
        if (delay >= kNever) {
            silent_ = true;
        } else {
            pending_ = delay;
        }
    }
    void OnToggle(bool new_packet) {
        if (new_packet) {
            fresh_ = false;
            receiving_ = true;
            replying_ = false;
            rx_.assign(1, reg20_);
            Follow(take_delay_);
            return;
        }
        if (receiving_) {
            if (rx_.size() < ExpectedLength()) {
                rx_.push_back(reg20_);
                Follow(take_delay_);
                return;
            }
            receiving_ = false;  // the turnaround nibble
            replying_ = true;
            reply_pos_ = 0;
            Present();
            return;
        }
        if (replying_) {
            ++reply_pos_;
            Present();
        }
    }
    void Present() {
        if (reply_pos_ >= script_.size()) {
            Follow(kNever);
            return;
        }
        presented_ = script_[reply_pos_] & 0x0F;
        Follow(script_[reply_pos_] >> 4);
    }

    std::uint8_t data_ = 0, reg20_ = 0, reg30_ = 0, presented_ = 0;
    bool fresh_ = false, receiving_ = false, replying_ = false, silent_ = false;
    bool line_ = false, target_ = false;
    unsigned pending_ = 0, take_delay_ = 0, writes_ = 0;
    std::size_t reply_pos_ = 0;
    std::vector<std::uint8_t> script_;
    std::vector<std::uint8_t> rx_;
};

ScriptedCamera* g_camera = nullptr;
DeviceState* g_state = nullptr;

void Boot() {
    static std::unique_ptr<DeviceState> state = std::make_unique<DeviceState>();
    auto camera = std::make_unique<ScriptedCamera>();
    g_camera = camera.get();
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Virtual;
    platform::PortConfig port;
    port.entry = "scripted";
    port.backend = std::move(camera);
    config.ports.push_back(std::move(port));
    if (platform::BootSystem(std::move(config)) != STATUS_SUCCESS)
        std::abort();
    state->PortBase = platform::DefaultPortBase(0);
    g_state = state.get();
}

[[noreturn]] void Finding(const char* what, std::uint16_t command, std::uint32_t type,
                          NTSTATUS status) {
    std::fprintf(stderr, "fuzz_micro: %s: command %u type %u -> status 0x%08X\n", what, command,
                 type, static_cast<unsigned>(status));
    std::abort();
}

bool IsBlockCommand(std::uint16_t command, const std::uint8_t* params) {
    switch (command) {
        case MicroTemperatureStatus:
        case MicroGetVersion:
        case MicroGetStatus:
        case MicroTxSerial:
            return true;
        case MicroEepromAccess:
            return params[2] == 0;  // a read
        default:
            return false;
    }
}

// Size of the parameter record the command reads; -1: it takes none.
int ParamsSize(std::uint16_t command, std::uint32_t type, const std::uint8_t* data,
               std::size_t size) {
    switch (command) {
        case MicroStartExposure:
            return kStartExposureParamsSize;
        case MicroEndExposure:
            return type == 6 || type == 8 ? -1 : kEndExposureParamsSize;
        case MicroRegulateTemperature:
            return kRegulateParamsSize;
        case MicroActivateRelay:
            return kRelayParamsSize;
        case MicroPulseOut:
            return kPulseParamsSize;
        case MicroEepromAccess:
            return kEepromAccessParamsSize;
        case MicroMiscControl:
            return kMiscControlParamsSize;
        case MicroFreezeTE:
            return kFreezeParamsSize;
        case MicroTxSerial: {
            // The count as the record will hold it (missing bytes read 0).
            const std::uint8_t low = size > 0 ? data[0] : 0;
            const std::uint8_t high = size > 1 ? data[1] : 0;
            const std::int16_t n = static_cast<std::int16_t>(low | high << 8);
            return kTxSerialParamsHeader + (n > 0 && n <= 300 ? n : 0);
        }
        default:
            return -1;
    }
}

int ResultSize(std::uint16_t command, std::uint32_t type, const std::uint8_t* params) {
    switch (command) {
        case MicroTemperatureStatus:
            return TemperatureStatusRecord;
        case MicroGetVersion:
            return VersionRecord;
        case MicroEepromAccess:
            return params[2] == 0 ? EepromByteRecord : 0;
        case MicroGetStatus:
            return MicroStatusRecord;
        case MicroTxSerial:
            return TxSerialRecord;
        default:
            (void)type;
            return 0;
    }
}

int ExpectedDataNibbles(std::uint16_t command, std::uint32_t type) {
    switch (command) {
        case MicroTemperatureStatus:
            return 10;
        case MicroGetVersion:
            return 4;
        case MicroEepromAccess:
        case MicroTxSerial:
            return 2;
        case MicroGetStatus:
            return type == 6 || type == 8 ? 4 : 6;
        default:
            return 0;
    }
}

// The reply nibble at i as the host can have read it (value), or -1 when the
// camera fell silent before presenting it.
int ScriptNibble(const std::vector<std::uint8_t>& script, std::size_t i) {
    for (std::size_t k = 0; k <= i; ++k) {
        if (k >= script.size() || (script[k] >> 4) >= kNever)
            return -1;
    }
    return script[i] & 0x0F;
}

constexpr std::uint8_t kCanary = 0xC5;
constexpr int kNoResultCanary = 40;  // a command with no result gets this many canary bytes

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_camera == nullptr)
        Boot();
    if (size < 3)
        return 0;
    std::uint16_t command = kCommands[data[0] % (sizeof kCommands / sizeof kCommands[0])];
    if (data[0] >= 0xF0)
        command = static_cast<std::uint16_t>(data[0] - 0xF0 + 13);  // unknown numbers 13..28
    const std::uint32_t type = kTypes[data[1] % (sizeof kTypes / sizeof kTypes[0])];
    std::size_t pos = 2;

    const int params_size = ParamsSize(command, type, data + pos, size - pos);
    std::unique_ptr<std::uint8_t[]> params;
    if (params_size > 0) {
        params = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(params_size));
        const std::size_t have = std::min<std::size_t>(params_size, size - pos);
        std::memcpy(params.get(), data + pos, have);
        pos += have;
    }
    const std::vector<std::uint8_t> params_copy(params.get(),
                                                params.get() + (params_size > 0 ? params_size : 0));
    const unsigned take_delay = pos < size ? (data[pos] & 0x80 ? kNever : data[pos] & 3) : 0;
    if (pos < size)
        ++pos;
    std::vector<std::uint8_t> script(data + pos, data + std::min(size, pos + kMaxReply));

    const bool known = command <= 12 ? command != 10 : command == MicroFreezeTE;
    const bool block = known && params_size != 0 &&
                       (command != MicroEepromAccess || params != nullptr) &&
                       IsBlockCommand(command, params ? params.get() : params_copy.data());
    const int result_size = known && (command != MicroEepromAccess || params)
                                ? ResultSize(command, type, params.get())
                                : 0;
    const std::size_t out_size = result_size > 0 ? result_size : kNoResultCanary;
    std::unique_ptr<std::uint8_t[]> out = std::make_unique<std::uint8_t[]>(out_size);
    std::memset(out.get(), kCanary, out_size);

    g_camera->Arm(take_delay, script);
    const NTSTATUS status = MicroCommand(g_state, command, type, params.get(), out.get());
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Finding("level left raised", command, type, status);
    if (std::getenv("FUZZ_MICRO_TRACE") != nullptr)
        std::fprintf(stderr, "command %u type %u -> 0x%08X\n", command, type,
                     static_cast<unsigned>(status));

    bool out_untouched = true;
    for (std::size_t i = 0; i < out_size; ++i) out_untouched = out_untouched && out[i] == kCanary;
    if (params_size > 0 && std::memcmp(params.get(), params_copy.data(), params_size) != 0)
        Finding("the caller's parameter record was changed", command, type, status);
    if (result_size == 0 && !out_untouched)
        Finding("a command without a result wrote the result record", command, type, status);

    if (status == STATUS_SUCCESS) {
        if (!known)
            Finding("unknown command succeeded", command, type, status);
        if (!block) {
            if (ScriptNibble(script, 0) != 0x0 || ScriptNibble(script, 1) != 0x6)
                Finding("success without an acknowledge", command, type, status);
        } else {
            const int expected = ExpectedDataNibbles(command, type);
            if (ScriptNibble(script, 0) != 0xA || ScriptNibble(script, 1) != 0x5 ||
                ScriptNibble(script, 2) != (command & 0x0F) ||
                ScriptNibble(script, 3) != expected / 2 ||
                ScriptNibble(script, 3 + static_cast<std::size_t>(expected)) < 0)
                Finding("success without a complete block", command, type, status);
        }
        return 0;
    }

    if (!out_untouched)
        Finding("result record written by a failed exchange", command, type, status);
    const std::uint32_t s = static_cast<std::uint32_t>(status);
    if ((s & 0xFFFF0000u) != kErrorStatusBase)
        Finding("not an error status of the driver", command, type, status);
    const std::uint16_t code = static_cast<std::uint16_t>(s & 0xFFFF);
    if (code == ErrBadParameter) {
        // Refused before anything was sent: no register touched.
        if (g_camera->writes() != 0)
            Finding("a refused command touched the camera", command, type, status);
        const bool bad_count =
            command == MicroTxSerial && params_size >= 2 &&
            (le::GetI16(params.get(), 0) < 0 || le::GetI16(params.get(), 0) > 255);
        if (known && !bad_count && !(command == MicroRegulateTemperature))
            Finding("a valid command refused", command, type, status);
        return 0;
    }
    switch (code) {
        case ErrTxTimeout:
        case ErrRxTimeout:
        case ErrNakReceived:
        case ErrCanReceived:
        case ErrUnknownResponse:
            break;
        case ErrBadLength:
            if (!block)
                Finding("bad length for an acknowledge", command, type, status);
            break;
        default:
            Finding("an error the exchange cannot give", command, type, status);
    }
    if (code == ErrTxTimeout && take_delay != kNever)
        Finding("transmit timeout on a camera that takes every nibble", command, type, status);
    if (code == ErrNakReceived && (ScriptNibble(script, 0) != 1 || ScriptNibble(script, 1) != 5))
        Finding("NAK reported without a NAK", command, type, status);
    if (code == ErrCanReceived && (ScriptNibble(script, 0) != 1 || ScriptNibble(script, 1) != 8))
        Finding("CAN reported without a CAN", command, type, status);
    if (g_camera->reg30() != 0)
        Finding("register 0x30 not 0 after a failed exchange", command, type, status);
    return 0;
}
