// The driver's record of one camera, one per parallel port: the device
// extension of the camera device.  Zero-filled at creation; every driver
// routine takes it first.  There is no other mutable driver state.
#pragma once

#include <cstdint>

#include "platform/ntddk.h"

namespace zeva::driver {

inline constexpr int kModeCount = 9;

// Per-CCD geometry: 21 u16 fields.  Index 0 imaging (or only) CCD, 1 tracking CCD.
struct GeometryRecord {
    std::uint16_t ActiveColumns;
    std::uint16_t ActiveRows;
    std::uint16_t TopRows;
    std::uint16_t LeftColumns;
    std::uint16_t BottomRows;
    std::uint16_t RightColumns;
    std::uint16_t TotalColumns;
    std::uint16_t TotalRows;
    std::uint16_t ModeBinning[kModeCount];
    std::uint16_t Gain;         // BCD hundredths of e-/ADU
    std::uint16_t EepromWord;   // stored, not used
    std::uint16_t PixelWidth;   // BCD hundredths of um
    std::uint16_t PixelHeight;  // BCD hundredths of um
};
static_assert(sizeof(GeometryRecord) == 21 * 2);

inline constexpr int kMicroTxBufferSize = 516;
inline constexpr int kMicroRxBufferSize = 65;
inline constexpr int kCommandStatusCount = 96;
inline constexpr int kLineSumBufferSize = 2184;
inline constexpr int kEepromSize = 32;
inline constexpr std::uint16_t kInitialRaisedIrql = 27;

struct DeviceState {
    // --- Platform links and port
    DEVICE_OBJECT* DeviceObject;
    DEVICE_OBJECT* PortDevice;  // no reference held
    LIST_ENTRY PendingRequests;
    PHYSICAL_ADDRESS PortPhysicalAddress;
    ULONG_PTR PortBase;  // data register; status +1, control +2, ECR +0x402
    std::uint32_t PortSpan;
    PPARALLEL_TRY_ALLOCATE_ROUTINE PortTryAllocate;
    PPARALLEL_FREE_ROUTINE PortFree;
    PPARALLEL_QUERY_WAITERS_ROUTINE PortQueryWaiters;
    PVOID PortContext;
    std::uint8_t LinkCreated;
    UNICODE_STRING LinkName;

    // --- Interrupt level and timer
    std::uint16_t RaisedIrql;
    std::uint16_t SavedIrql;
    std::uint32_t TimerSeconds;
    std::uint32_t TimerMinuteMark;

    // --- Camera link
    std::uint8_t Reg30Shadow;
    std::uint8_t MicroTxBuffer[kMicroTxBufferSize];
    std::uint8_t MicroRxBuffer[kMicroRxBufferSize];

    // --- Command status and bias
    std::uint16_t CommandStatus[kCommandStatusCount];
    std::uint16_t ImagingBias;
    std::uint16_t FinchBias;
    std::uint16_t LineSumBuffer[kLineSumBufferSize];

    // --- Exposure and camera identity
    std::uint8_t ShutterOpenRequested;
    std::uint8_t PendingStart;
    std::uint32_t LastTrackingClearTick;
    std::int32_t MaxCCD;
    std::uint32_t CameraType;
    std::uint8_t EepromImage[kEepromSize];
    GeometryRecord Geometry[2];
    std::uint32_t PendingCcd;
    std::uint32_t ExposureActive[2];
    std::uint8_t LastExposureParams[12];
    std::uint16_t MiscFan;
    std::uint16_t MiscShutter;
    std::uint16_t MiscLed;
    struct {
        std::uint16_t Count;
        std::uint8_t Bytes[9];
    } TipTiltSerialRecord;

    // --- Cooler and variant flags
    std::uint8_t FreezeTEDuringReadout;
    std::uint8_t TEFrozen;
    std::uint8_t Reg10Shadow;
    std::uint16_t FrozenSetpoint;
    std::uint16_t FrozenPower;
    std::uint8_t SiskinVariant;

    // --- Serialization of camera traffic (this driver's addition): every
    // exchange with the camera on this device, line readouts included, runs
    // under this lock, taken at passive level before any raise.
    FAST_MUTEX CameraLock;
};

// The device state of a camera device.
inline DeviceState* StateOf(DEVICE_OBJECT* device) {
    return static_cast<DeviceState*>(device->DeviceExtension);
}

}  // namespace zeva::driver
