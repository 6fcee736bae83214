// A scripted camera behind a parallel port, for the driver's link and
// operation tests.  It plays the camera's side of the microcontroller link at
// the register level: the data lines latched into the camera registers on the
// falling strobe, the toggle handshake on register 0x30, packets of nibbles
// through register 0x20, and the reply nibbles on the status lines.  It also
// counts the CCD clocking the driver does (rows, serial-register cells, A/D
// samples), answering the busy flag and the samples with set values.
//
// Exchanges are scripted in order: the next expectation takes the next packet
// of its command (and data, when it names them).  A packet the expectation
// does not take goes to the standing answers (the camera's state: its version,
// its EEPROM, its status); a packet neither takes fails the test and is never
// answered.  Expectations left over fail the test at Verify() and when the
// backend goes (at platform shutdown).
//
// Deliberately independent of the camera simulator: a second, minimal
// description of the camera's side, so a slip in one is caught by the other.
// Time is the platform's (virtual) clock: timeouts cost no real time.  One
// thread at a time drives it (the driver's routines called directly).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "driver/device_state.h"
#include "platform/port_backend.h"

namespace zeva::test {

// How the camera answers one exchange wrongly.
enum class MicroFault {
    None,
    NoReply,    // takes the packet and the turnaround, never answers
    Nak,        // answers with the byte 0x15
    Can,        // answers with the byte 0x18
    Garbage,    // answers with the byte 0x42: no acknowledge, no block start
    WrongEcho,  // a data block echoing the next command number (acknowledges unchanged)
    BadLength,  // a data block whose length nibble is one short (acknowledges unchanged)
};

// One packet as the camera took it, one nibble per byte.
struct MicroPacket {
    std::vector<std::uint8_t> nibbles;
    // The command nibble: the low four bits of the command number.
    std::uint8_t Command() const { return nibbles.size() > 2 ? nibbles[2] : 0xFF; }
    // The bytes from nibble 4 on (command 11: the count byte, then the bytes).
    std::vector<std::uint8_t> Data() const;
};

// What the camera does with one packet: an acknowledge (0x06) unless told otherwise.
class MicroExchange {
  public:
    // Takes only a packet that carries exactly these data bytes.
    MicroExchange& With(std::vector<std::uint8_t> data) {
        data_ = std::move(data);
        return *this;
    }
    // Answers with a data block of these bytes.
    MicroExchange& Reply(std::vector<std::uint8_t> bytes) {
        block_ = std::move(bytes);
        return *this;
    }
    // Answers with this one byte.
    MicroExchange& Ack(std::uint8_t byte = 0x06) {
        block_.reset();
        ack_ = byte;
        return *this;
    }
    MicroExchange& Fail(MicroFault fault) {
        fault_ = fault;
        return *this;
    }

  private:
    friend class ScriptedMicro;
    bool Takes(const MicroPacket& packet) const;
    std::vector<std::uint8_t> ReplyNibbles() const;

    std::uint8_t command_ = 0;  // the command nibble
    bool ignored_ = false;      // a packet the camera never takes
    std::optional<std::vector<std::uint8_t>> data_;
    std::optional<std::vector<std::uint8_t>> block_;
    std::uint8_t ack_ = 0x06;
    MicroFault fault_ = MicroFault::None;
};

// The CCD clocking seen at the port since the last ResetClocking().
struct Clocking {
    int rows = 0;           // rows moved by register 0x10's phases (imaging and single-CCD)
    int tracking_rows = 0;  // rows moved by register 0x00, 15 then 14, tracking CCD selected
    int cells = 0;          // serial-register cells moved out by horizontal clocks
    int samples = 0;        // A/D samples read (four nibbles each)
};

class ScriptedMicro : public platform::PortBackend {
  public:
    ~ScriptedMicro() override;

    // --- Script.
    // The next packet of `command` (its low nibble is what travels).
    MicroExchange& Expect(std::uint16_t command);
    // The next packet is never taken: the handshake line never follows the host's.
    void ExpectIgnoredPacket();
    // Every packet of `command` (and data, when it names them) no expectation
    // takes; of the answers that fit a packet the latest one answers it.
    MicroExchange& Answer(std::uint16_t command);
    // Reads of the 32 EEPROM addresses, in order, as expectations / as standing answers.
    void ExpectEepromReads(const std::uint8_t* image, int count = 32);
    void AnswerEeprom(const std::uint8_t* image);
    // Fails the test for every expectation left, and forgets them.
    void Verify();

    // The A/D sample every clocking read presents; a busy flag that never clears.
    void SetSample(std::uint16_t sample) { sample_ = sample; }
    void SetBusyStuck(bool stuck) { busy_stuck_ = stuck; }

    // --- Record.
    const std::vector<MicroPacket>& Packets() const { return packets_; }
    int PacketsOf(std::uint16_t command) const;
    // Data bytes of the last packet of `command` (empty when none came).
    std::vector<std::uint8_t> LastData(std::uint16_t command) const;
    void ClearPackets() { packets_.clear(); }
    // Every byte written to the data register.
    const std::vector<std::uint8_t>& DataWrites() const { return data_writes_; }
    // The nibble latched in camera register 0x00, 0x10, ... 0x70, and how often it was latched.
    std::uint8_t Latched(std::uint8_t reg) const { return latched_[(reg >> 4) & 7]; }
    int LatchCount(std::uint8_t reg) const { return latch_count_[(reg >> 4) & 7]; }
    const Clocking& Clocked() const { return clocking_; }
    void ResetClocking() { clocking_ = Clocking{}; }
    // Platform time as the port sees it (reading it costs no virtual time).
    std::uint64_t NowNs() const;

  private:
    enum class Link { Idle, Receiving, Replying, Ignoring };

    std::uint8_t DoRead(std::uint32_t offset) override;
    void DoWrite(std::uint32_t offset, std::uint8_t value) override;
    void Latch(int reg, std::uint8_t value);
    void OnToggle(std::uint8_t reg30);
    std::size_t ExpectedLength() const;
    void TakePacket();
    bool MicroLine();

    std::deque<MicroExchange> expected_;
    std::deque<MicroExchange> answers_;  // deque: references stay valid as it grows
    std::uint16_t sample_ = 0;
    bool busy_stuck_ = false;

    std::vector<MicroPacket> packets_;
    std::vector<std::uint8_t> data_writes_;
    Clocking clocking_;

    std::uint8_t data_ = 0;  // the data lines
    std::uint8_t latched_[8] = {};
    int latch_count_[8] = {};
    Link link_ = Link::Idle;
    bool fresh_ = false;  // start of packet set, no nibble of it taken yet
    bool line_ = false;   // the micro's handshake line
    std::uint8_t presented_ = 0;
    std::vector<std::uint8_t> rx_;
    std::vector<std::uint8_t> reply_;
    std::size_t reply_pos_ = 0;
};

// The platform booted on the virtual clock with one backend behind the first
// port and no driver loaded, and a zeroed device state on that port: the
// driver's routines are called directly and reach the camera through the
// platform's I/O space.
class PortSession {
  public:
    ~PortSession() { Shutdown(); }

    template <typename Backend>
    Backend& Boot(std::unique_ptr<Backend> backend) {
        Backend& b = *backend;
        BootWith(std::move(backend));
        return b;
    }
    ScriptedMicro& BootScripted() { return Boot(std::make_unique<ScriptedMicro>()); }
    driver::DeviceState* state() const { return state_.get(); }
    // A new zeroed device state on the same port, as a new device has it.
    driver::DeviceState* NewState();
    // Unloads: the backend goes, and a scripted one verifies its script.
    void Shutdown();

  private:
    void BootWith(std::unique_ptr<platform::PortBackend> backend);
    std::unique_ptr<driver::DeviceState> state_;
    bool booted_ = false;
};

// A test with the scripted camera behind the first port and a device state on it.
class ScriptedMicroTest : public ::testing::Test {
  protected:
    PortSession session;
    ScriptedMicro& micro = session.BootScripted();
    driver::DeviceState* state = session.state();
};

// Speaker clicks sounded since boot (beeps that are not the silencing one).
int SpeakerClicks();
// The kernel's tick count (15.625 ms ticks).
std::int64_t KernelTicks();

}  // namespace zeva::test
