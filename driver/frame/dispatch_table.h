// The control codes the driver serves: for each command row of the command
// table (common/command_table.h) its routine, the routine's form, the buffer
// it needs and the byte count it reports.  The dispatcher (dispatch.cpp) is a
// loop over this table.
#pragma once

#include <cstdint>

#include "common/command_table.h"
#include "driver/device_state.h"

namespace zeva::driver {

using TwoArgRoutine = NTSTATUS (*)(DeviceState* state, std::uint8_t* buffer);
using ThreeArgRoutine = NTSTATUS (*)(DeviceState* state, const std::uint8_t* params,
                                     std::uint8_t* result);

enum class Form : std::uint8_t {
    Nothing,           // success, touches nothing
    TwoArg,            // routine(state, buffer)
    ThreeArg,          // routine(state, buffer, buffer)
    TxSerial,          // TxSerialBytes with the dispatcher's own result slot
    Readout,           // queued for DriverStartIo
    SetIrql,           // RaisedIrql := Level
    GetIrql,           // buffer u16 := RaisedIrql
    PortRead,          // byte 0 := read PortBase + port_offset
    PortWrite,         // write byte 0 to PortBase + port_offset
    PortReadAddress,   // byte 0 := read Address
    PortWriteAddress,  // write Value to Address
    PortWriteRead,     // 3124..3126 at RaisedIrql
};

enum class Returned : std::uint8_t {
    Fixed,         // returned_bytes on success, 0 on failure
    Always,        // returned_bytes whatever the status
    OutputLength,  // the caller's output length on success
    PixelLength,   // 2 x PixelLength on success (set by DriverStartIo)
};

struct DispatchEntry {
    std::uint32_t function;
    Form form;
    TwoArgRoutine two_arg;
    ThreeArgRoutine three_arg;
    ULONG_PTR port_offset;
    SizeRule size_rule;
    std::uint32_t min_input;  // the command row's fixed sizes, or what the routine reads
    std::uint32_t min_output;
    Returned returned;
    std::uint32_t returned_bytes;
    bool camera_lock;  // runs under the device's CameraLock
};

// The entry for a control code, or null for a code the driver does not serve.
const DispatchEntry* FindDispatchEntry(std::uint32_t control_code);

// Whether the request's buffers hold what the entry reads and reports.
// buffer holds the input (the system buffer, at least input_length bytes).
// Returns 0 or ErrBadParameter's status.
NTSTATUS CheckRequestSizes(const DispatchEntry& entry, const std::uint8_t* buffer,
                           std::uint32_t input_length, std::uint32_t output_length);

}  // namespace zeva::driver
