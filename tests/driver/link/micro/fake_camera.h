// A scripted camera behind the port primitives: decodes the data-register
// writes like the camera's latches, runs the microcontroller handshake and
// answers with scripted replies or faults.  Kernel ticks advance with the
// status reads, so timeouts cost no real time.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/device_state.h"

namespace zeva::test {

enum class MicroFault { None, NeverTakes, NoReply, Nak, Can, Garbage, WrongEcho, BadLength };

struct FakeCamera {
    // Script.
    MicroFault fault = MicroFault::None;
    std::uint8_t ack = 0x06;                             // acknowledge byte for ack commands
    std::uint8_t temperature[5] = {1, 125, 0, 150, 77};  // command 3 reply bytes
    std::uint16_t version = 0x1123;                      // command 6 reply word
    std::uint8_t eeprom[32] = {};                        // command 7 reads
    int eeprom_fail_address = -1;                        // a read of this address is never answered
    std::uint8_t status[3] = {0, 0, 0};                  // command 9 reply bytes
    int status_bytes = 3;                                // 2 on single-CCD cameras
    std::uint8_t serial_sent = 0;                        // command 11 reply byte

    // Record.
    std::vector<std::uint8_t> data_writes;           // every data-register byte
    std::vector<std::vector<std::uint8_t>> packets;  // nibbles of each complete packet
    int relay_clicks = 0;
    int thread_waits = 0;  // KeDelayExecutionThread calls
    std::int64_t ticks = 0;
    int reads_per_tick = 20;

    // Camera side.
    std::uint8_t last_data = 0;
    std::uint8_t reg20 = 0;
    std::uint8_t reg30 = 0;
    bool fresh = false;  // start bit set, no nibble of the new packet taken yet
    bool receiving = false;
    bool replying = false;
    bool line = false;  // micro handshake line
    std::uint8_t presented = 0;
    std::vector<std::uint8_t> rx;
    std::vector<std::uint8_t> reply;
    std::size_t reply_pos = 0;
    int reads = 0;

    void Write(std::uint8_t byte);
    std::uint8_t ReadStatus();
    void Latch(std::uint8_t reg, std::uint8_t value);
    void OnToggle();
    std::size_t ExpectedLength() const;
    void BuildReply();
};

// The camera the port primitives talk to.
extern FakeCamera* g_camera;

// Device state for a test (zero-filled).
zeva::driver::DeviceState* NewState();

}  // namespace zeva::test
