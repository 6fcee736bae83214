// Host side of the camera's port, written out by hand for the simulator's
// tests: camera register writes, the nibble handshake, sample read-back.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/port_backend.h"
#include "sim/camera.h"

namespace zeva::sim::testing {

class FakeHost : public platform::PortHost {
  public:
    std::uint64_t NowNs() const override { return now; }
    void AdvanceMs(std::uint64_t ms) { now += ms * 1000000ull; }
    std::uint64_t now = 1000000000ull;
};

class Wire {
  public:
    explicit Wire(Camera& cam) : cam_(cam) {}

    void Out(std::uint8_t reg, std::uint8_t value) {
        const std::uint8_t b = static_cast<std::uint8_t>(reg + value);
        cam_.Write(0, b);
        cam_.Write(0, static_cast<std::uint8_t>(b + 0x80));
        cam_.Write(0, static_cast<std::uint8_t>(b + 0x80));
        cam_.Write(0, b);
        if (reg == 0x30)
            shadow30 = value;
    }
    std::uint8_t In(std::uint8_t select) {
        cam_.Write(0, select);
        return static_cast<std::uint8_t>(cam_.Read(1) >> 3);
    }
    bool Ready() {
        Out(0x30, shadow30 | 2);
        return ((In(0x30) >> 4) & 1) == (shadow30 & 1);
    }
    bool WaitReady(int polls = 40) {
        for (int i = 0; i < polls; ++i)
            if (Ready())
                return true;
        return false;
    }
    void MicroOut(std::uint8_t nibble) {
        Out(0x20, nibble);
        Out(0x30, shadow30 ^ 1);
    }
    std::uint8_t MicroIn(bool acknowledge) {
        Out(0x30, shadow30 | 2);
        const std::uint8_t n = In(0x30) & 0x0F;
        if (acknowledge)
            Out(0x30, shadow30 ^ 1);
        return n;
    }
    // Sends a packet the way the host does; false when a nibble is not taken.
    bool Send(const std::vector<std::uint8_t>& nibbles) {
        Out(0x30, 4);
        for (std::size_t i = 0; i <= nibbles.size(); ++i) {
            if (!WaitReady()) {
                Out(0x30, 0);
                return false;
            }
            if (i == nibbles.size())
                return true;
            if (i == 1)
                Out(0x30, shadow30 & ~4);
            MicroOut(nibbles[i]);
        }
        return true;
    }
    // Turnaround, then `count` reply nibbles (the last without a toggle).
    // Returns fewer nibbles when the camera stops answering.
    std::vector<std::uint8_t> Reply(std::size_t count) {
        MicroOut(0);
        std::vector<std::uint8_t> r;
        for (std::size_t i = 0; i < count; ++i) {
            if (!WaitReady())
                break;
            r.push_back(MicroIn(i + 1 < count));
        }
        return r;
    }
    static std::vector<std::uint8_t> Packet(std::uint8_t command,
                                            const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> n = {0xA, 0x5, command, static_cast<std::uint8_t>(bytes.size())};
        for (std::uint8_t b : bytes) {
            n.push_back(b >> 4);
            n.push_back(b & 0x0F);
        }
        return n;
    }
    // Whole exchange; an empty vector when the packet was not taken.
    std::vector<std::uint8_t> Exchange(std::uint8_t command, const std::vector<std::uint8_t>& bytes,
                                       std::size_t replyNibbles) {
        if (!Send(Packet(command, bytes)))
            return {};
        return Reply(replyNibbles);
    }
    // Starts an exposure of `units` (10 ms) with the control byte `control`
    // (bits 2-3 the shutter mode, bit 4 the CCD); true when acknowledged.
    bool StartExposure(std::uint32_t units, std::uint8_t control) {
        return Exchange(
                   0,
                   {static_cast<std::uint8_t>(units >> 16), static_cast<std::uint8_t>(units >> 8),
                    static_cast<std::uint8_t>(units), control},
                   2) == std::vector<std::uint8_t>{0, 6};
    }
    // Data bytes of a block reply (after A, 5, echo, length).
    static std::vector<std::uint8_t> Bytes(const std::vector<std::uint8_t>& r) {
        std::vector<std::uint8_t> b;
        for (std::size_t i = 4; i + 1 < r.size(); i += 2)
            b.push_back(static_cast<std::uint8_t>(r[i] * 16 + r[i + 1]));
        return b;
    }
    // One pixel clock (register 0x30 `high` then `low`) and the four nibbles read back.
    std::uint16_t ClockAndRead(std::uint8_t high = 8, std::uint8_t low = 0) {
        Out(0x30, high);
        Out(0x30, low);
        return ReadSample();
    }
    std::uint16_t ReadSample() {
        std::uint16_t s = 0;
        for (int k = 0; k < 4; ++k)
            s = static_cast<std::uint16_t>(
                s | ((In(static_cast<std::uint8_t>(k << 4)) & 0x0F) << (4 * k)));
        return s;
    }

    std::uint8_t shadow30 = 0;

  private:
    Camera& cam_;
};

}  // namespace zeva::sim::testing
