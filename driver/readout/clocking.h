// Port-level pieces shared by the clocking routines: the busy wait, the
// four-nibble sample read-back and the vertical phases.  The pixel loops use
// these with direct port accesses, one ISA bus cycle each, so every access
// here is one the hardware needs.
#pragma once

#include <cstdint>

#include "common/errors.h"
#include "driver/camera.h"
#include "driver/device_state.h"
#include "driver/link/port.h"

namespace zeva::driver {

// --- Register values the clocking routines write (4-bit nibbles).
// Register 0x00, horizontal clock mode of the dual-CCD cameras: one column per clock.
inline constexpr std::uint8_t kHClockOneColumn = 0x0;
// Register 0x10, imaging vertical clocks: bit 3 held during a row transfer,
// bits 0 and 1 the phases (PhasesOf), bit 2 the supply-off bit SetVdd drives.
inline constexpr std::uint8_t kVerticalRelease = 0x0;
inline constexpr std::uint8_t kVerticalHold = 0x8;
inline constexpr std::uint8_t kVerticalSupplyOff = 0x4;
// Register 0x30 with no clock and no CCD addressed.
inline constexpr std::uint8_t kReg30Idle = 0x0;
// Register 0x00, tracking CCD vertical clocks: a row moves with phase 1 then
// phase 2; rest before and after, prepare and enter around the first row,
// release after the row of a dump.
inline constexpr std::uint8_t kTrackingVerticalRest = 10;
inline constexpr std::uint8_t kTrackingVerticalPrepare = 2;
inline constexpr std::uint8_t kTrackingVerticalEnter = 11;
inline constexpr std::uint8_t kTrackingRowPhase1 = 15;
inline constexpr std::uint8_t kTrackingRowPhase2 = 14;
inline constexpr std::uint8_t kTrackingVerticalRelease = 8;
// Register 0x10, single-CCD vertical clocks: open a transfer, each row phase
// 1 then phase 2, close.
inline constexpr std::uint8_t kSingleVerticalOpen = 2;
inline constexpr std::uint8_t kSingleRowPhase1 = 6;
inline constexpr std::uint8_t kSingleRowPhase2 = 4;
inline constexpr std::uint8_t kSingleVerticalClose = 0;

inline constexpr NTSTATUS kDigitizerTimeout = ErrorStatus(ErrDigitizerTimeout);
// Status reads before the busy flag is given up on.
inline constexpr int kBusyReads = 51;
inline constexpr std::uint8_t kBusyFlag = 0x80;  // status bit 7 with data = 0x00

// Data port := 0x00, then up to 51 status reads until bit 7 clears.
inline NTSTATUS BusyPoll(DeviceState* state) {
    const ULONG_PTR base = state->PortBase;
    WRITE_PORT_UCHAR(base + kDataRegister, 0x00);
    for (int i = 0; i < kBusyReads; ++i) {
        if ((READ_PORT_UCHAR(base + kStatusRegister) & kBusyFlag) == 0)
            return 0;
    }
    return kDigitizerTimeout;
}

// The same wait through CameraIn on register 0, as the flush loops make it.
inline NTSTATUS CameraInBusyWait(DeviceState* state) {
    for (int i = 0; i < kBusyReads; ++i) {
        if ((CameraIn(state, kCamReg00) & kCameraInFlag) == 0)
            return 0;
    }
    return kDigitizerTimeout;
}

// One A/D sample: nibble k selected by writing 0x10 * k to the data port,
// read from status bits 3..6.
inline std::uint16_t ReadSample(DeviceState* state) {
    const ULONG_PTR base = state->PortBase;
    std::uint16_t sample = 0;
    for (unsigned k = 0; k < 4; ++k) {
        WRITE_PORT_UCHAR(base + kDataRegister, static_cast<UCHAR>(k << 4));
        sample |= static_cast<std::uint16_t>(((READ_PORT_UCHAR(base + kStatusRegister) >> 3) & 0x0F)
                                             << (4 * k));
    }
    return sample;
}

// Vertical phases of the imaging CCD: A = 1, B = 2, swapped on the Jacana.
struct Phases {
    std::uint8_t A;
    std::uint8_t B;
};
inline Phases PhasesOf(const DeviceState* state) {
    return SwapsVerticalPhases(state->CameraType) ? Phases{2, 1} : Phases{1, 2};
}
// The delay unit: port reads per vertical phase step.
inline std::int16_t DelayUnit(const DeviceState* state) {
    return DelayUnitOf(state->CameraType);
}

}  // namespace zeva::driver
