// Camera register access and the timing services shared by the camera routines.
#include "driver/link/port.h"

#include "common/le.h"

namespace zeva::driver {

namespace {
constexpr std::uint8_t kSupplyOffValue = kReg10VddOff;
constexpr std::int32_t kSupplySettleMs = 200;
constexpr ULONG kSupplySettleUs = 200000;
constexpr LONGLONG kHundredNsPerTick55 = 550000;  // 55 ms in 100 ns units
constexpr ULONG kClickFrequency = 1183;
constexpr ULONG kClickMicroseconds = 20000;
}  // namespace

void CameraOut(DeviceState* state, std::uint8_t reg, std::uint8_t value) {
    const std::uint8_t b = static_cast<std::uint8_t>(reg + value);
    const std::uint8_t strobed = static_cast<std::uint8_t>(b + kStrobe);
    const ULONG_PTR data = state->PortBase + kDataRegister;
    WRITE_PORT_UCHAR(data, b);
    WRITE_PORT_UCHAR(data, strobed);
    WRITE_PORT_UCHAR(data, strobed);
    WRITE_PORT_UCHAR(data, b);
    if (reg == kCamReg30) {
        state->Reg30Shadow = value;
    } else if (reg == kCamReg10) {
        state->Reg10Shadow = value;
    }
}

std::uint8_t CameraIn(DeviceState* state, std::uint8_t select) {
    WRITE_PORT_UCHAR(state->PortBase + kDataRegister, select);
    return static_cast<std::uint8_t>(READ_PORT_UCHAR(state->PortBase + kStatusRegister) >> 3);
}

void DisableLPTInterrupts(DeviceState* state) {
    WRITE_PORT_UCHAR(state->PortBase + kControlRegister, 0x00);
}

void SetVdd(DeviceState* state, int on) {
    const std::uint8_t previous = state->Reg10Shadow;
    CameraOut(state, kCamReg10, on != 0 ? 0 : kSupplyOffValue);
    if (on == 0 || (previous & kReg10VddOff) == 0) {
        return;
    }
    // A thread wait is only allowed up to APC level; above it the supply
    // settles under a processor stall instead.
    if (KeGetCurrentIrql() <= APC_LEVEL) {
        Delay(kSupplySettleMs);
    } else {
        KeStallExecutionProcessor(kSupplySettleUs);
    }
}

void IODelay(DeviceState* state, std::int16_t count) {
    for (std::int16_t i = 0; i < count; ++i) {
        (void)READ_PORT_UCHAR(state->PortBase + kDataRegister);
    }
}

void Delay(std::int32_t milliseconds) {
    // 32-bit product, as the callers' counts never come near the limit.
    const std::int32_t interval = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(milliseconds) * static_cast<std::uint32_t>(-10000));
    LARGE_INTEGER relative;
    relative.QuadPart = interval;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &relative);
}

std::uint32_t TickCount() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER divisor;
    divisor.QuadPart = kHundredNsPerTick55;
    const LARGE_INTEGER quotient = RtlLargeIntegerDivide(now, divisor, nullptr);
    return quotient.u.LowPart;
}

NTSTATUS GetUSTimer(DeviceState* /*state*/, std::uint8_t* out) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    le::Put32(out, 0, static_cast<std::uint32_t>(now.QuadPart / 10));
    return STATUS_SUCCESS;
}

void disable(DeviceState* state) {
    state->SavedIrql = KfRaiseIrql(static_cast<KIRQL>(state->RaisedIrql & 0xFF));
}

void enable(DeviceState* state) {
    KfLowerIrql(static_cast<KIRQL>(state->SavedIrql & 0xFF));
}

void RelayClick() {
    (void)HalMakeBeep(kClickFrequency);
    KeStallExecutionProcessor(kClickMicroseconds);
    (void)HalMakeBeep(0);
}

}  // namespace zeva::driver
