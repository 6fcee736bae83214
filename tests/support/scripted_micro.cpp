#include "support/scripted_micro.h"

#include <sstream>
#include <string>

#include "platform/system.h"

namespace zeva::test {
namespace {

// The data lines: register number on bits 4-6, value on bits 0-3, bit 7 the
// strobe; a register latches when the strobe falls.
constexpr std::uint8_t kStrobe = 0x80;
// Register 0x30 bits as the camera reads them.
constexpr std::uint8_t kToggle = 0x01;
constexpr std::uint8_t kReadMicro = 0x02;
constexpr std::uint8_t kStartOfPacket = 0x04;
constexpr std::uint8_t kHorizontalClock = 0x08;
// The selection byte that puts the micro's nibble and handshake line on the status lines.
constexpr std::uint8_t kSelectMicro = 0x30;
constexpr std::uint8_t kBusyFlag = 0x80;  // status bit 7 with the data lines at 0x00

constexpr int kReg00 = 0;
constexpr int kReg10 = 1;
constexpr int kReg20 = 2;
constexpr int kReg30 = 3;

// Serial-register cells one horizontal clock moves, by register 0x00 mode:
// 0 one, 4 two, 12 three, 8 (dual-CCD) and 1 (single-CCD) ten.
constexpr int kCellsPerClock[16] = {1, 10, 1, 1, 2, 1, 1, 1, 10, 1, 1, 1, 3, 1, 1, 1};

std::string Describe(std::uint8_t command, const std::optional<std::vector<std::uint8_t>>& data) {
    std::ostringstream out;
    out << "command " << int{command};
    if (!data)
        return out.str();
    out << " with data {";
    for (std::size_t i = 0; i < data->size(); ++i) out << (i ? ", " : "") << int{(*data)[i]};
    out << "}";
    return out.str();
}

}  // namespace

std::vector<std::uint8_t> MicroPacket::Data() const {
    std::vector<std::uint8_t> out;
    for (std::size_t k = 4; k + 1 < nibbles.size(); k += 2)
        out.push_back(static_cast<std::uint8_t>(nibbles[k] * 16 + nibbles[k + 1]));
    return out;
}

// --- Exchanges

bool MicroExchange::Takes(const MicroPacket& packet) const {
    return !ignored_ && packet.Command() == command_ && (!data_ || packet.Data() == *data_);
}

std::vector<std::uint8_t> MicroExchange::ReplyNibbles() const {
    if (fault_ == MicroFault::NoReply)
        return {};
    // A refusal or garbage replaces whatever the exchange would answer.
    const bool one_byte = !block_ || fault_ == MicroFault::Nak || fault_ == MicroFault::Can ||
                          fault_ == MicroFault::Garbage;
    const std::uint8_t one = fault_ == MicroFault::Nak       ? 0x15
                             : fault_ == MicroFault::Can     ? 0x18
                             : fault_ == MicroFault::Garbage ? 0x42
                                                             : ack_;
    if (one_byte)
        return {static_cast<std::uint8_t>(one >> 4), static_cast<std::uint8_t>(one & 0x0F)};
    const std::size_t length = block_->size() - (fault_ == MicroFault::BadLength ? 1 : 0);
    const std::uint8_t echo = fault_ == MicroFault::WrongEcho ? (command_ + 1) & 0x0F : command_;
    std::vector<std::uint8_t> out = {0xA, 0x5, echo, static_cast<std::uint8_t>(length & 0x0F)};
    for (std::uint8_t b : *block_) {
        out.push_back(b >> 4);
        out.push_back(b & 0x0F);
    }
    return out;
}

// --- Script and record

ScriptedMicro::~ScriptedMicro() {
    Verify();
}

MicroExchange& ScriptedMicro::Expect(std::uint16_t command) {
    expected_.emplace_back();
    expected_.back().command_ = static_cast<std::uint8_t>(command & 0x0F);
    return expected_.back();
}

void ScriptedMicro::ExpectIgnoredPacket() {
    expected_.emplace_back();
    expected_.back().ignored_ = true;
}

MicroExchange& ScriptedMicro::Answer(std::uint16_t command) {
    answers_.emplace_back();
    answers_.back().command_ = static_cast<std::uint8_t>(command & 0x0F);
    return answers_.back();
}

namespace {
constexpr std::uint16_t kEepromAccess = 7;
constexpr std::uint8_t kEepromRead = 0x80;  // address byte of a read
}  // namespace

void ScriptedMicro::ExpectEepromReads(const std::uint8_t* image, int count) {
    for (int a = 0; a < count; ++a)
        Expect(kEepromAccess).With({std::uint8_t(kEepromRead | a), 0}).Reply({image[a]});
}

void ScriptedMicro::AnswerEeprom(const std::uint8_t* image) {
    for (int a = 0; a < 32; ++a)
        Answer(kEepromAccess).With({std::uint8_t(kEepromRead | a), 0}).Reply({image[a]});
}

void ScriptedMicro::Verify() {
    for (const MicroExchange& x : expected_) {
        if (x.ignored_)
            ADD_FAILURE() << "the camera still expects a packet it never takes";
        else
            ADD_FAILURE() << "the camera still expects " << Describe(x.command_, x.data_);
    }
    expected_.clear();
}

int ScriptedMicro::PacketsOf(std::uint16_t command) const {
    int n = 0;
    for (const MicroPacket& p : packets_) n += p.Command() == (command & 0x0F);
    return n;
}

std::vector<std::uint8_t> ScriptedMicro::LastData(std::uint16_t command) const {
    for (auto it = packets_.rbegin(); it != packets_.rend(); ++it) {
        if (it->Command() == (command & 0x0F))
            return it->Data();
    }
    return {};
}

std::uint64_t ScriptedMicro::NowNs() const {
    return Host() != nullptr ? Host()->NowNs() : 0;
}

// --- The camera side

void ScriptedMicro::DoWrite(std::uint32_t offset, std::uint8_t value) {
    if (offset != platform::kPortData)
        return;  // the control register reaches no camera line
    data_writes_.push_back(value);
    if ((data_ & kStrobe) != 0 && (value & kStrobe) == 0)
        Latch((data_ >> 4) & 7, data_ & 0x0F);
    data_ = value;
}

void ScriptedMicro::Latch(int reg, std::uint8_t value) {
    const std::uint8_t old = latched_[reg];
    latched_[reg] = value;
    ++latch_count_[reg];
    if (reg == kReg00) {
        if ((latched_[kReg30] & kStartOfPacket) != 0 && old == 15 && value == 14)
            ++clocking_.tracking_rows;
    } else if (reg == kReg10) {
        // A row has moved when the vertical phases are back at rest.
        if ((value & 3) == 0 && (old & 3) != 0)
            ++clocking_.rows;
    } else if (reg == kReg30) {
        if ((old & kHorizontalClock) != 0 && (value & kHorizontalClock) == 0)
            clocking_.cells += kCellsPerClock[latched_[kReg00]];
        if ((value & kStartOfPacket) != 0 && (old & kStartOfPacket) == 0) {
            fresh_ = true;  // whatever came before is abandoned
            link_ = Link::Idle;
        } else if ((value & kStartOfPacket) == 0) {
            fresh_ = false;
        }
        if (((old ^ value) & kToggle) != 0)
            OnToggle(value);
    }
}

std::size_t ScriptedMicro::ExpectedLength() const {
    if (rx_.size() < 4)
        return 4;
    if (rx_[2] == 11) {  // serial bytes: the count travels as the first data byte
        if (rx_.size() < 6)
            return 6;
        return 6 + 2 * static_cast<std::size_t>(rx_[4] * 16 + rx_[5]);
    }
    return 4 + 2 * static_cast<std::size_t>(rx_[3]);
}

void ScriptedMicro::OnToggle(std::uint8_t reg30) {
    const bool host = (reg30 & kToggle) != 0;
    if (link_ == Link::Ignoring)
        return;
    // A toggle with the start of packet set is nibble 0 of a new packet,
    // whatever the camera was doing before.
    if ((reg30 & kStartOfPacket) != 0) {
        rx_.assign(1, latched_[kReg20]);
        link_ = Link::Receiving;
        fresh_ = false;
        line_ = host;
        return;
    }
    if (link_ == Link::Receiving) {
        if (rx_.size() < ExpectedLength()) {
            rx_.push_back(latched_[kReg20]);
            line_ = host;
            return;
        }
        // The turnaround nibble: the packet is complete.
        TakePacket();
        if (reply_.empty()) {
            link_ = Link::Idle;  // never answered
            return;
        }
        link_ = Link::Replying;
        reply_pos_ = 0;
        presented_ = reply_[0];
        line_ = host;
        return;
    }
    if (link_ == Link::Replying && reply_pos_ + 1 < reply_.size()) {
        presented_ = reply_[++reply_pos_];
        line_ = host;
    }
}

void ScriptedMicro::TakePacket() {
    packets_.push_back(MicroPacket{rx_});
    const MicroPacket& packet = packets_.back();
    reply_.clear();
    if (!expected_.empty() && expected_.front().Takes(packet)) {
        reply_ = expected_.front().ReplyNibbles();
        expected_.pop_front();
        return;
    }
    for (auto it = answers_.rbegin(); it != answers_.rend(); ++it) {
        if (it->Takes(packet)) {
            reply_ = it->ReplyNibbles();
            return;
        }
    }
    std::ostringstream next;
    if (expected_.empty())
        next << "nothing";
    else if (expected_.front().ignored_)
        next << "a packet it never takes";
    else
        next << Describe(expected_.front().command_, expected_.front().data_);
    ADD_FAILURE() << "the camera was sent an unexpected packet: "
                  << Describe(packet.Command(), packet.Data()) << "; it expected " << next.str();
}

bool ScriptedMicro::MicroLine() {
    const bool host = (latched_[kReg30] & kToggle) != 0;
    if (link_ == Link::Ignoring)
        return !host;
    if ((latched_[kReg30] & kStartOfPacket) != 0 && fresh_) {
        // The host asks whether the camera is ready for nibble 0.
        if (!expected_.empty() && expected_.front().ignored_) {
            expected_.pop_front();
            link_ = Link::Ignoring;
            fresh_ = false;
            return !host;
        }
        return host;
    }
    return line_;
}

std::uint8_t ScriptedMicro::DoRead(std::uint32_t offset) {
    if (offset == platform::kPortData)
        return data_;
    if (offset != platform::kPortStatus)
        return 0;
    if (data_ == kSelectMicro && (latched_[kReg30] & kReadMicro) != 0) {
        return static_cast<std::uint8_t>((MicroLine() ? 0x80 : 0) | (presented_ & 0x0F) << 3);
    }
    // The clocking side: nibble k of the A/D sample for data lines 0x10 * k;
    // with the lines at 0x00 status bit 7 is the busy flag.
    if ((data_ & 0x0F) != 0 || data_ > 0x30)
        return 0;
    const int k = data_ >> 4;
    if (k == 3)
        ++clocking_.samples;
    const std::uint8_t busy = data_ == 0 && busy_stuck_ ? kBusyFlag : 0;
    return static_cast<std::uint8_t>(busy | ((sample_ >> (4 * k)) & 0x0F) << 3);
}

// --- Session

void PortSession::BootWith(std::unique_ptr<platform::PortBackend> backend) {
    Shutdown();
    if (platform::SystemRunning())
        platform::ShutdownSystem();  // left by a test that did not shut down
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Virtual;
    platform::PortConfig port;
    port.entry = "test";
    port.backend = std::move(backend);
    config.ports.push_back(std::move(port));
    ASSERT_EQ(platform::BootSystem(std::move(config)), STATUS_SUCCESS);
    booted_ = true;
    NewState();
}

driver::DeviceState* PortSession::NewState() {
    state_ = std::make_unique<driver::DeviceState>();
    state_->PortBase = platform::DefaultPortBase(0);
    return state_.get();
}

void PortSession::Shutdown() {
    state_.reset();
    if (booted_) {
        EXPECT_EQ(platform::ShutdownSystem(), 0u);  // no pool block left
    }
    booted_ = false;
}

int SpeakerClicks() {
    int n = 0;
    for (const platform::BeepRecord& b : platform::BeepLog()) n += b.frequency != 0;
    return n;
}

std::int64_t KernelTicks() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

}  // namespace zeva::test
