#include "driver/link/micro/fake_camera.h"

#include <memory>

#include "driver/link/port.h"

namespace zeva::test {

FakeCamera* g_camera = nullptr;

driver::DeviceState* NewState() {
    static std::unique_ptr<driver::DeviceState> holder;
    holder = std::make_unique<driver::DeviceState>();
    return holder.get();
}

void FakeCamera::Write(std::uint8_t byte) {
    data_writes.push_back(byte);
    // The latch takes the value present while the strobe was high.
    if ((last_data & 0x80) != 0 && (byte & 0x80) == 0) {
        Latch(last_data & 0x70, last_data & 0x0F);
    }
    last_data = byte;
}

void FakeCamera::Latch(std::uint8_t reg, std::uint8_t value) {
    if (reg == 0x20) {
        reg20 = value;
        return;
    }
    if (reg != 0x30)
        return;
    const std::uint8_t old = reg30;
    reg30 = value;
    if ((value & 4) != 0 && (old & 4) == 0)
        fresh = true;
    if (((old ^ value) & 1) != 0)
        OnToggle();
}

std::size_t FakeCamera::ExpectedLength() const {
    if (rx.size() < 4)
        return 4;
    if (rx[2] == 11) {
        if (rx.size() < 6)
            return 6;
        return 6 + 2 * static_cast<std::size_t>(rx[4] * 16 + rx[5]);
    }
    return 4 + 2 * static_cast<std::size_t>(rx[3]);
}

void FakeCamera::OnToggle() {
    const bool host = (reg30 & 1) != 0;
    if (fault == MicroFault::NeverTakes)
        return;
    if ((reg30 & 4) != 0 && fresh) {
        fresh = false;
        receiving = true;
        replying = false;
        rx.assign(1, reg20);
        line = host;
        return;
    }
    if (receiving) {
        if (rx.size() < ExpectedLength()) {
            rx.push_back(reg20);
            line = host;
            return;
        }
        // Turnaround nibble: the packet is complete.
        receiving = false;
        packets.push_back(rx);
        if (fault == MicroFault::NoReply)
            return;
        BuildReply();
        if (reply.empty())
            return;  // this read is never answered
        replying = true;
        reply_pos = 0;
        presented = reply.empty() ? 0 : reply[0];
        line = host;
        return;
    }
    if (replying && reply_pos + 1 < reply.size()) {
        presented = reply[++reply_pos];
        line = host;
    }
}

void FakeCamera::BuildReply() {
    reply.clear();
    const std::uint8_t cmd = rx[2];
    std::vector<std::uint8_t> bytes;
    auto byte_at = [&](std::size_t k) {
        return static_cast<std::uint8_t>(rx[4 + 2 * k] * 16 + rx[5 + 2 * k]);
    };
    bool block = false;
    switch (cmd) {
        case 3:
            block = true;
            bytes.assign(temperature, temperature + 5);
            break;
        case 6:
            block = true;
            bytes = {static_cast<std::uint8_t>(version >> 8), static_cast<std::uint8_t>(version)};
            break;
        case 7: {
            const std::uint8_t a = byte_at(0);
            if ((a & 0x80) != 0) {
                block = true;
                if ((a & 0x7F) == eeprom_fail_address)
                    return;
                bytes = {eeprom[a & 0x1F]};
            }
            break;
        }
        case 9:
            block = true;
            bytes.assign(status, status + status_bytes);
            break;
        case 11:
            block = true;
            bytes = {serial_sent};
            break;
        default:
            break;
    }
    std::uint8_t single = 0;
    if (fault == MicroFault::Nak)
        single = 0x15;
    if (fault == MicroFault::Can)
        single = 0x18;
    if (fault == MicroFault::Garbage)
        single = block ? 0x4F : 0x42;
    if (single != 0 || !block) {
        const std::uint8_t b = single != 0 ? single : ack;
        reply = {static_cast<std::uint8_t>(b >> 4), static_cast<std::uint8_t>(b & 0xF)};
        return;
    }
    std::size_t m = bytes.size();
    if (fault == MicroFault::BadLength)
        m -= 1;
    reply = {0xA, 0x5,
             static_cast<std::uint8_t>(fault == MicroFault::WrongEcho ? (cmd + 1) & 0xF : cmd),
             static_cast<std::uint8_t>(m)};
    for (std::uint8_t b : bytes) {
        reply.push_back(b >> 4);
        reply.push_back(b & 0xF);
    }
}

std::uint8_t FakeCamera::ReadStatus() {
    if (++reads % reads_per_tick == 0)
        ++ticks;
    bool l = line;
    if ((reg30 & 4) != 0 && fresh)
        l = (reg30 & 1) != 0;
    if (fault == MicroFault::NeverTakes)
        l = (reg30 & 1) == 0;
    return static_cast<std::uint8_t>(((l ? 1 : 0) << 7) | ((presented & 0xF) << 3));
}

}  // namespace zeva::test

// The port primitives and kernel calls the camera link uses, against the fake.
namespace zeva::driver {

void CameraOut(DeviceState* state, std::uint8_t reg, std::uint8_t value) {
    const std::uint8_t b = static_cast<std::uint8_t>(reg + value);
    test::g_camera->Write(b);
    test::g_camera->Write(static_cast<std::uint8_t>(b + 0x80));
    test::g_camera->Write(static_cast<std::uint8_t>(b + 0x80));
    test::g_camera->Write(b);
    if (reg == kCamReg30) {
        state->Reg30Shadow = value;
    } else if (reg == kCamReg10) {
        state->Reg10Shadow = value;
    }
}

std::uint8_t CameraIn(DeviceState*, std::uint8_t select) {
    test::g_camera->data_writes.push_back(select);
    test::g_camera->last_data = select;
    return static_cast<std::uint8_t>(test::g_camera->ReadStatus() >> 3);
}

void RelayClick() {
    ++test::g_camera->relay_clicks;
}

}  // namespace zeva::driver

void KeQueryTickCount(LARGE_INTEGER* ticks) {
    ticks->QuadPart = zeva::test::g_camera->ticks;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
    // Relative interval in 100 ns units; a tick is 156250 of them.
    ++zeva::test::g_camera->thread_waits;
    zeva::test::g_camera->ticks += (-interval->QuadPart) / 156250;
    return STATUS_SUCCESS;
}
