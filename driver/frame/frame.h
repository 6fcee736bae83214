// The driver's entry points: load and unload, open/close/cleanup, device
// control, the readout queue and the device timer.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// --- load.cpp
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
void DriverInitializeDeviceObject(DRIVER_OBJECT* driver, ULONG port_index);
// Builds \Device\ParallelPort<i>, \Device\lptccd<i> and \DosDevices\LPTCCD<i+1>.
// On false nothing is left allocated.
bool DriverMakeNames(ULONG port_index, UNICODE_STRING* port_name, UNICODE_STRING* device_name,
                     UNICODE_STRING* link_name);
NTSTATUS DriverGetPortInfoFromPortDevice(DeviceState* state);
void DriverUnload(DRIVER_OBJECT* driver);

// --- open_close.cpp
NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp);
void DriverCancel(DEVICE_OBJECT* device, IRP* irp);
void IoTimer(DEVICE_OBJECT* device, PVOID context);

// --- dispatch.cpp
NTSTATUS DispatchDeviceIoControl(DEVICE_OBJECT* device, IRP* irp);

// --- start_io.cpp
void DriverStartIo(DEVICE_OBJECT* device, IRP* irp);
// Queues a line readout under CameraLock and returns STATUS_PENDING.
NTSTATUS QueueReadoutLine(DeviceState* state, IRP* irp, ULONG input_length, ULONG output_length);

// Raw port commands 3124..3126 (state, system buffer, function): status.
NTSTATUS PortWriteThenReadCommand(DeviceState* state, std::uint8_t* buffer, std::uint32_t function);

inline constexpr char kDriverInfoName[] = "ZEVA.SYS Ver 3.30WNT";
inline constexpr char kLibraryInfoName[] = "??? DLL Ver ???";
inline constexpr std::uint16_t kDriverVersion = 0x0330;

}  // namespace zeva::driver
