// The simulated camera: register latches, microcontroller, CCDs, converter.
#include "sim/camera.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace zeva::sim {

namespace {

constexpr std::uint64_t kMs = 1000000ull;
constexpr std::uint64_t kTimerUnitNs = 10 * kMs;     // exposure and relay timers
constexpr std::uint64_t kPulseUnitNs = 10000ull;     // pulse width and gap: 10 us
constexpr std::uint64_t kSerialByteNs = 1041667ull;  // 10 bits at 9600 baud
constexpr std::uint64_t kCoolerStepNs = 100 * kMs;
constexpr double kCoolerTauS = 20.0;   // thermal time constant
constexpr double kCoolerSpanC = 40.0;  // full power: this far below ambient
constexpr double kCoolerKp = 0.5;      // power per reading unit
constexpr double kCoolerKi = 0.1;      // power per reading unit and second

constexpr std::uint8_t kAck = 0x06, kNak = 0x15, kCan = 0x18;

// Status port bits as the port presents them.
constexpr std::uint8_t kStatusFlag = 0x80;  // busy flag or the micro's handshake line
constexpr std::uint8_t kStatusFloating = 0x7F;

// Register 0x30 bits.
constexpr std::uint8_t kR30Toggle = 1, kR30Select = 2, kR30Start = 4, kR30Clock = 8;

constexpr CcdShape Shape(std::uint16_t ac, std::uint16_t ar, std::uint16_t top, std::uint16_t left,
                         std::uint16_t bottom, std::uint16_t right, double umWide, double umHigh) {
    return CcdShape{ac,
                    ar,
                    top,
                    left,
                    bottom,
                    right,
                    static_cast<std::uint16_t>(left + ac + right),
                    static_cast<std::uint16_t>(top + ar + bottom),
                    umWide,
                    umHigh};
}

constexpr CcdShape kTrackDual = Shape(190, 162, 0, 6, 1, 12, 13.75, 16.0);
constexpr CcdShape kTrackOther = Shape(192, 164, 0, 4, 1, 12, 13.75, 16.0);
constexpr CcdShape kNone = Shape(0, 0, 0, 0, 0, 0, 0, 0);

// The camera's own hardware description, one line per model.
constexpr ModelInfo kModels[] = {
    {Model::Gannet, "gannet", 4, 0, Family::Dual, true, Shape(765, 510, 5, 15, 6, 15, 9, 9),
     kTrackDual, 1000, false, 1, 2, 0x0230, 0x0130, "GANNET"},
    {Model::Heron, "heron", 5, 0, Family::Dual, true, Shape(1530, 1020, 5, 15, 6, 15, 9, 9),
     kTrackDual, 1000, false, 1, 2, 0x0140, 0x0130, "HERON"},
    {Model::Ibis, "ibis", 10, 0, Family::Dual, true, Shape(512, 512, 4, 12, 4, 10, 20, 20),
     kTrackDual, 1000, false, 1, 2, 0x0350, 0x0130, "IBIS"},
    {Model::Jacana, "jacana", 12, 0, Family::Dual, true, Shape(2184, 1472, 34, 46, 4, 37, 6.8, 6.8),
     kTrackDual, 1000, false, 2, 1, 0x0120, 0x0130, "JACANA"},
    {Model::Kestrel, "kestrel", 13, 0, Family::Dual, false, Shape(1024, 1024, 4, 8, 4, 10, 24, 24),
     kNone, 1000, false, 1, 2, 0x0160, 0, "KESTREL"},
    {Model::Egret, "egret", 6, 1, Family::Single, false, Shape(320, 240, 2, 14, 0, 1, 10, 10),
     kNone, 300, false, 1, 2, 0x0125, 0, "EGRET"},
    {Model::Finch, "finch", 8, 3, Family::Single, false, Shape(640, 480, 17, 26, 0, 16, 7.4, 7.4),
     kNone, 150, true, 1, 2, 0x0420, 0, "FINCH"},
    // 682 cells: 26 border cells and 656 of the 657 active columns.
    {Model::Siskin, "siskin", 8, 3, Family::Single, false, Shape(656, 495, 3, 26, 0, 0, 7.4, 7.4),
     kNone, 250, false, 1, 2, 0x0072, 0, "SISKIN"},
    {Model::Model9, "model9", 9, 4, Family::Dual, true, Shape(100, 100, 0, 0, 0, 0, 10, 10),
     kTrackOther, 1000, false, 1, 2, 0x0200, 0x0130, "MODEL9"},
};

// Expected data bytes per command (-1: not a command of this camera).
int DataBytes(Family family, bool type8, unsigned command) {
    const bool dual = family == Family::Dual;
    switch (command) {
        case 0:
            return 4;
        case 1:
            return dual ? 1 : 0;
        case 2:
            return 3;
        case 3:
            return 0;
        case 4:
            return dual ? 5 : -1;
        case 5:
            return dual ? 5 : -1;
        case 6:
            return 0;
        case 7:
            return 2;
        case 8:
            return 1;
        case 9:
            return 0;
        case 11:
            return dual ? 0 : -1;
        case 12:
            return type8 ? 2 : -1;
        default:
            return -1;
    }
}

}  // namespace

const ModelInfo& InfoFor(Model m) {
    for (const ModelInfo& i : kModels)
        if (i.model == m)
            return i;
    return kModels[0];
}

const char* ModelName(Model m) {
    return InfoFor(m).name;
}

std::uint16_t CoolerInfo::Reading() const {
    const double r = 2000.0 - 40.0 * ccdCelsius;
    return static_cast<std::uint16_t>(std::clamp(r, 0.0, 4095.0));
}

Camera::Camera(const Options& options)
    : opt_(options), info_(&InfoFor(options.model)), mount_(options.mount) {
    for (int c = 0; c < CcdCount(); ++c) {
        const CcdShape& s = Shape(c);
        ccds_[c].cells.assign(static_cast<std::size_t>(s.totalRows) * s.totalColumns, 0);
        ccds_[c].serial.assign(s.totalColumns, 0);
    }
    BuildEeprom();
}

// The EEPROM image the options describe: a good image, or one of its faults.
void Camera::BuildEeprom() {
    eeprom_.fill(0);
    if (opt_.eeprom == EepromImage::Blank) {
        eeprom_.fill(0xFF);
    } else {
        eeprom_[2] = opt_.eeprom == EepromImage::Version0   ? 0
                     : opt_.eeprom == EepromImage::Version2 ? 2
                                                            : 1;
        eeprom_[3] =
            opt_.eepromType >= 0 ? static_cast<std::uint8_t>(opt_.eepromType) : info_->type;
        eeprom_[8] = static_cast<std::uint8_t>(info_->trackingGain);
        eeprom_[9] = static_cast<std::uint8_t>(info_->trackingGain >> 8);
        eeprom_[12] = static_cast<std::uint8_t>(info_->imagingGain);
        eeprom_[13] = static_cast<std::uint8_t>(info_->imagingGain >> 8);
        for (int i = 0; i < 9 && info_->idText[i]; ++i) eeprom_[22 + i] = info_->idText[i];
        unsigned sum = 0;
        for (int i = 2; i < 32; ++i) sum += eeprom_[i];
        std::uint16_t check = static_cast<std::uint16_t>(0xFFFF - sum);
        if (opt_.eeprom == EepromImage::BadSum)
            check = static_cast<std::uint16_t>(check + 1);
        eeprom_[0] = static_cast<std::uint8_t>(check);
        eeprom_[1] = static_cast<std::uint8_t>(check >> 8);
    }
}

void Camera::SetEeprom(EepromImage image) {
    opt_.eeprom = image;
    BuildEeprom();
}

std::uint64_t Camera::Now() const {
    return Host() ? Host()->NowNs() : 0;
}

// ---------------------------------------------------------------- port side

// The camera's pace: with `port-ns` set, every access takes at least that
// long in real time, as a port cycle on the ISA bus does.  Busy-waits on the
// monotonic clock: a sleep would take far longer than a microsecond.
namespace {
std::uint64_t RealNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}
}  // namespace

void Camera::Pace(std::uint64_t sinceNs) const {
    while (RealNs() - sinceNs < opt_.portNs) {
    }
}

std::uint8_t Camera::DoRead(std::uint32_t offset) {
    const std::uint64_t began = opt_.portNs ? RealNs() : 0;
    std::uint8_t v;
    switch (offset) {
        case platform::kPortData:
            v = data_;
            break;
        case platform::kPortStatus:
            if (opt_.unplugged) {
                v = kStatusFloating;
            } else if (regs_[3] & kR30Select) {
                v = MicroStatus();
            } else {
                const unsigned k = (data_ >> 4) & 3;
                v = static_cast<std::uint8_t>(((sample_ >> (4 * k)) & 0x0F) << 3);
                if (opt_.busyStuck || busyLeft_ > 0) {
                    v |= kStatusFlag;
                    if (busyLeft_ > 0)
                        --busyLeft_;
                }
            }
            break;
        case platform::kPortControl:
            v = control_;
            break;
        case platform::kPortEcr:
            v = ecr_;
            break;
        default:
            v = 0xFF;
            break;
    }
    if (tracing_)
        trace_.push_back({Now(), offset, v, false});
    if (opt_.portNs)
        Pace(began);
    return v;
}

void Camera::DoWrite(std::uint32_t offset, std::uint8_t value) {
    const std::uint64_t began = opt_.portNs ? RealNs() : 0;
    if (tracing_)
        trace_.push_back({Now(), offset, value, true});
    switch (offset) {
        case platform::kPortData: {
            // A camera register latches on the rising edge of the strobe.
            const bool rising = (value & 0x80) && !(data_ & 0x80);
            data_ = value;
            if (rising)
                Latch((value >> 4) & 7, value & 0x0F);
            break;
        }
        case platform::kPortControl:
            control_ = value;
            break;
        case platform::kPortEcr:
            ecr_ = value;
            break;
        default:
            break;
    }
    if (opt_.portNs)
        Pace(began);
}

void Camera::Latch(unsigned reg, std::uint8_t value) {
    const std::uint8_t old = regs_[reg];
    regs_[reg] = value;
    switch (reg) {
        case 0:
            OnReg00(value);
            break;
        case 1:
            OnReg10(old, value);
            break;
        case 3:
            OnReg30(old, value);
            break;
        default:
            break;
    }
}

void Camera::OnReg00(std::uint8_t now) {
    // The tracking CCD's rows move on 15 then 14 while register 0x30 addresses it.
    if (info_->family != Family::Dual || !info_->hasTracking || !(regs_[3] & kR30Start))
        return;
    if (now == 15) {
        trackingArmed_ = true;
        return;
    }
    if (now == 14 && trackingArmed_)
        RowTransfer(1);
    trackingArmed_ = false;
}

void Camera::OnReg10(std::uint8_t old, std::uint8_t now) {
    if (info_->family == Family::Single) {
        // 2 opens, 6 then 4 moves one row, 0 closes.
        if (now == 2) {
            singleState_ = 1;
        } else if (now == 6) {
            singleState_ = singleState_ != 0 ? 2 : 0;
        } else if (now == 4) {
            if (singleState_ == 2)
                RowTransfer(0);
            singleState_ = singleState_ != 0 ? 1 : 0;
        } else if (now == 0) {
            singleState_ = 0;
        }
        return;
    }
    // Dual family imaging CCD: phases in bits 0-1, a row is A, B, A, 0.
    const unsigned ph = now & 3;
    if (ph == (old & 3u))
        return;
    const unsigned a = info_->phaseA, b = info_->phaseB;
    switch (imagingPhase_) {
        case 0:
            imagingPhase_ = ph == a ? 1 : -1;
            break;
        case 1:
            imagingPhase_ = ph == b ? 2 : -1;
            break;
        case 2:
            imagingPhase_ = ph == a ? 3 : -1;
            break;
        case 3:
            if (ph == 0)
                RowTransfer(0);
            imagingPhase_ = -1;
            break;
        default:
            break;
    }
    if (ph == 0)
        imagingPhase_ = 0;
}

void Camera::OnReg30(std::uint8_t old, std::uint8_t now) {
    // Pixel clock: bit 3 falling.
    if ((old & kR30Clock) && !(now & kR30Clock)) {
        const std::uint8_t mode = regs_[0];
        if (info_->family == Family::Single) {
            HorizontalClock(0, mode == 1 ? 10 : 1);
        } else if (now & kR30Start) {
            if (info_->hasTracking)
                HorizontalClock(1, mode == 8 ? 10 : 1);
        } else {
            HorizontalClock(0, mode == 4 ? 2 : mode == 12 ? 3 : mode == 8 ? 10 : 1);
        }
    }
    // Microcontroller handshake.
    if (opt_.micro == MicroFault::Silent)
        return;
    const bool toggle = ((old ^ now) & kR30Toggle) != 0;
    const bool line = (now & kR30Toggle) != 0;
    if ((now & kR30Start) && !(old & kR30Start)) {
        micro_ = MicroState::WaitStart;
        hsTarget_ = line;
        return;
    }
    if (!toggle) {
        if ((now & kR30Start) && micro_ == MicroState::WaitStart)
            hsTarget_ = line;
        return;
    }
    if ((now & kR30Start) && (old & kR30Start)) {
        // Nibble 0 of a new packet, whatever came before.
        rxCount_ = 0;
        rxExpected_ = 4;
        micro_ = MicroState::Receiving;
    }
    switch (micro_) {
        case MicroState::Receiving:
            TakeNibble(regs_[2]);
            hsTarget_ = line;
            break;
        case MicroState::Turnaround:
            if (opt_.micro == MicroFault::NoReply)
                return;
            Execute();
            micro_ = MicroState::Replying;
            replyPos_ = 0;
            hsTarget_ = line;
            break;
        case MicroState::Replying:
            if (replyPos_ + 1 < replyCount_)
                ++replyPos_;
            hsTarget_ = line;
            break;
        default:
            break;
    }
    lag_ = opt_.latency;
}

std::uint8_t Camera::MicroStatus() {
    if (hsShown_ != hsTarget_) {
        if (lag_ > 0)
            --lag_;
        else
            hsShown_ = hsTarget_;
    }
    std::uint8_t nibble = 0;
    if (micro_ == MicroState::Replying && replyPos_ < replyCount_)
        nibble = reply_[replyPos_];
    return static_cast<std::uint8_t>((nibble << 3) | (hsShown_ ? kStatusFlag : 0));
}

void Camera::ResetMicro() {
    micro_ = MicroState::Idle;
    hsTarget_ = hsShown_ = false;
    lag_ = 0;
    rxCount_ = 0;
    replyCount_ = replyPos_ = 0;
}

void Camera::TakeNibble(std::uint8_t nibble) {
    if (rxCount_ < rx_.size())
        rx_[rxCount_] = nibble;
    ++rxCount_;
    if (rxCount_ == 4) {
        rxExpected_ = 4 + 2u * rx_[3];
        // The serial command sends a count byte and that many bytes, length field 0.
        if (rx_[2] == 11 && rx_[3] == 0 && info_->family == Family::Dual)
            rxExpected_ = 6;
    } else if (rxCount_ == 6 && rx_[2] == 11 && rx_[3] == 0 && info_->family == Family::Dual) {
        rxExpected_ = 6 + 2u * (rx_[4] * 16u + rx_[5]);
    }
    if (rxCount_ >= rxExpected_) {
        micro_ = MicroState::Turnaround;
        ++packets_;
    }
}

void Camera::ReplyByte(std::uint8_t b) {
    reply_[0] = b >> 4;
    reply_[1] = b & 0x0F;
    replyCount_ = 2;
}

void Camera::ReplyBlock(const std::uint8_t* data, unsigned count) {
    if (opt_.micro == MicroFault::Garbage) {
        ReplyByte(0x42);
        return;
    }
    if (opt_.micro == MicroFault::BadLength && count > 0)
        --count;
    reply_[0] = 0xA;
    reply_[1] = 0x5;
    reply_[2] = rx_[2] & 0x0F;
    reply_[3] = static_cast<std::uint8_t>(count);
    for (unsigned i = 0; i < count; ++i) {
        reply_[4 + 2 * i] = data[i] >> 4;
        reply_[5 + 2 * i] = data[i] & 0x0F;
    }
    replyCount_ = 4 + 2 * count;
}

// ------------------------------------------------------------ the commands

void Camera::Execute() {
    Advance();
    const std::uint64_t now = Now();
    if (opt_.micro == MicroFault::Nak || opt_.micro == MicroFault::Can) {
        ReplyByte(opt_.micro == MicroFault::Nak ? kNak : kCan);
        return;
    }
    const bool ackFault = opt_.micro == MicroFault::Garbage;
    auto ack = [&] { ReplyByte(ackFault ? 0x42 : kAck); };
    if (rxCount_ < 4 || rx_[0] != 0xA || rx_[1] != 0x5) {
        ReplyByte(kNak);
        return;
    }
    const unsigned command = rx_[2];
    const bool type8 = info_->type == 8;
    const int expected = DataBytes(info_->family, type8, command);
    if (expected < 0) {
        ReplyByte(kCan);
        return;
    }
    if (command != 11 && rx_[3] != expected) {
        ReplyByte(kNak);
        return;
    }
    std::uint8_t d[260] = {};
    const unsigned first = command == 11 ? 6 : 4;
    const unsigned n = std::min<unsigned>((rxCount_ - first) / 2, sizeof d);
    for (unsigned i = 0; i < n; ++i)
        d[i] = static_cast<std::uint8_t>(rx_[first + 2 * i] * 16 + rx_[first + 2 * i + 1]);
    const bool dual = info_->family == Family::Dual;

    switch (command) {
        case 0: {  // start an exposure
            const std::uint8_t ctl = d[3];
            const int ccd = dual && info_->hasTracking ? (ctl >> 4) & 1 : 0;
            ExposureInfo& e = exposure_[ccd];
            e.exposing = true;
            e.units = (static_cast<std::uint32_t>(d[0]) << 16) | (d[1] << 8) | d[2];
            e.control = ctl;
            e.startNs = now;
            anyExposing_ = true;
            // The single-CCD cameras clear their own array when an exposure starts.
            if (!dual)
                ClearArray(0);
            ack();
            return;
        }
        case 1: {  // end an exposure
            const int ccd = dual && info_->hasTracking ? d[0] & 1 : 0;
            if (exposure_[ccd].exposing)
                EndExposure(ccd, now);
            ack();
            return;
        }
        case 2:  // cooler
            if (d[0] >= 0x10) {
                // Command 130 arrives as 2 with its flag byte: the type-9 freeze.
                cooler_.frozen = (d[0] & 8) != 0;
                ack();
                return;
            }
            if (d[0] > 2) {
                ReplyByte(kNak);
                return;
            }
            cooler_.mode = d[0];
            if (d[0] == 0) {
                cooler_.setpoint = static_cast<std::uint16_t>(d[1] << 4);
                cooler_.power = 0;
            } else if (d[0] == 1) {
                cooler_.setpoint = static_cast<std::uint16_t>(d[1] << 4);
                cooler_.power = d[2];
                coolerIntegral_ = d[2];
            } else {
                cooler_.power = d[1];
            }
            ack();
            return;
        case 3: {  // cooler status
            const std::uint8_t b[5] = {
                static_cast<std::uint8_t>(cooler_.mode != 0 ? 1 : 0),
                static_cast<std::uint8_t>(cooler_.setpoint >> 4),
                static_cast<std::uint8_t>(
                    std::clamp(2000.0 - 40.0 * cooler_.ambientCelsius, 0.0, 4095.0) / 16),
                static_cast<std::uint8_t>(cooler_.Reading() >> 4),
                static_cast<std::uint8_t>(cooler_.power)};
            ReplyBlock(b, 5);
            return;
        }
        case 4: {  // relays
            const std::uint64_t unit = d[4] ? 16 * kTimerUnitNs : kTimerUnitNs;
            for (int i = 0; i < 4; ++i) relayUntil_[i] = d[i] ? now + d[i] * unit : 0;
            // The mount moves while a relay is closed; an exposure still running
            // may ask where it pointed since its start.
            mount_.SetRelays(now, relayUntil_);
            std::uint64_t needed = now;
            for (const ExposureInfo& e : exposure_)
                if (e.exposing)
                    needed = std::min(needed, e.startNs);
            mount_.Forget(needed);
            ack();
            return;
        }
        case 5: {  // pulse train
            const std::uint64_t width = d[1] * 256u + d[2], gap = d[3] * 256u + d[4];
            pulseUntil_ = d[0] ? now + d[0] * (width + gap + 47) * kPulseUnitNs : 0;
            ack();
            return;
        }
        case 6: {  // version
            const std::uint16_t v = static_cast<std::uint16_t>((info_->modelNumber << 12) | 0x031);
            const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8),
                                       static_cast<std::uint8_t>(v)};
            ReplyBlock(b, 2);
            return;
        }
        case 7: {  // EEPROM
            const unsigned address = d[0] & 0x7F;
            if (address >= eeprom_.size()) {
                ReplyByte(kNak);
                return;
            }
            if (d[0] & 0x80) {
                ReplyBlock(&eeprom_[address], 1);
            } else {
                eeprom_[address] = d[1];
                ack();
            }
            return;
        }
        case 8:
            misc_ = d[0];
            ack();
            return;
        case 9: {  // status
            std::uint8_t b[3] = {0, 0, static_cast<std::uint8_t>(opt_.shutterFault ? 3 : 9)};
            if (exposure_[0].exposing)
                b[0] |= 2;
            if (dual && exposure_[1].exposing)
                b[0] |= 2 << 2;
            for (int i = 0; i < 4; ++i)
                if (relayUntil_[i] > now)
                    b[1] |= static_cast<std::uint8_t>(1 << (dual ? 4 + i : i));
            if (dual) {
                if (pulseUntil_ > now)
                    b[1] |= 2;
                if (holdUntil_ > now)
                    b[1] |= 4;
            }
            ReplyBlock(b, dual ? 3 : 2);
            return;
        }
        case 11: {  // serial port
            const unsigned count = n;
            serial_.insert(serial_.end(), d, d + count);
            if (count == 9 && d[0] == 0xA5) {
                unsigned sum = 0;
                for (int i = 0; i < 8; ++i) sum += d[i];
                if ((sum & 0xFF) == d[8])
                    ++tipTiltGood_;
                else
                    ++tipTiltBad_;
            }
            holdUntil_ = std::max(holdUntil_, now) + count * kSerialByteNs;
            const std::uint8_t b = static_cast<std::uint8_t>(count);
            ReplyBlock(&b, 1);
            return;
        }
        case 12:
            ack();
            return;
        default:
            ReplyByte(kCan);
            return;
    }
}

void Camera::Advance() {
    const std::uint64_t now = Now();
    if (anyExposing_) {
        anyExposing_ = false;
        for (int c = 0; c < 2; ++c) {
            ExposureInfo& e = exposure_[c];
            if (!e.exposing)
                continue;
            if (now - e.startNs >= e.units * kTimerUnitNs)
                EndExposure(c, e.startNs + e.units * kTimerUnitNs);
            else
                anyExposing_ = true;
        }
    }
    // Cooler: a first-order thermal model stepped every 100 ms.
    if (coolerNs_ == 0 || now < coolerNs_)
        coolerNs_ = now;
    unsigned steps = 0;
    while (now - coolerNs_ >= kCoolerStepNs && steps < 100000) {
        coolerNs_ += kCoolerStepNs;
        ++steps;
        const double dt = kCoolerStepNs / 1e9;
        if (cooler_.mode == 1 && !cooler_.frozen) {
            // A PI regulator on the reading (higher readings are colder).
            const double err = static_cast<double>(cooler_.setpoint) - cooler_.Reading();
            coolerIntegral_ = std::clamp(coolerIntegral_ + kCoolerKi * err * dt, 0.0, 255.0);
            const double p = std::clamp(coolerIntegral_ + kCoolerKp * err, 0.0, 255.0);
            cooler_.power = static_cast<unsigned>(p + 0.5);
        }
        const double target = cooler_.ambientCelsius - kCoolerSpanC * cooler_.power / 255.0;
        cooler_.ccdCelsius += (target - cooler_.ccdCelsius) * (dt / kCoolerTauS);
    }
    if (steps == 100000)
        coolerNs_ = now;
}

void Camera::EndExposure(int ccd, std::uint64_t now) {
    ExposureInfo& e = exposure_[ccd];
    e.exposing = false;
    ++e.exposuresDone;
    const bool dual = info_->family == Family::Dual;
    const bool open = !dual || ((e.control >> 2) & 3) == 1;
    ApplyScene(ccd, e.startNs, now, open);
}

// ------------------------------------------------------------ the CCDs

std::uint32_t& Camera::Cell(int ccd, int row, int col) {
    Ccd& k = ccds_[ccd];
    const CcdShape& s = Shape(ccd);
    const unsigned ring = (k.head + static_cast<unsigned>(row)) % s.totalRows;
    return k.cells[static_cast<std::size_t>(ring) * s.totalColumns + col];
}

std::uint32_t Camera::Charge(int ccd, int row, int col) const {
    return const_cast<Camera*>(this)->Cell(ccd, row, col);
}

void Camera::SetCharge(int ccd, int row, int col, std::uint32_t electrons) {
    Cell(ccd, row, col) = electrons;
}

std::uint32_t Camera::SerialCell(int ccd, int col) const {
    const Ccd& k = ccds_[ccd & 1];
    const unsigned i = k.serialPos + static_cast<unsigned>(col);
    return i < k.serial.size() ? k.serial[i] : 0;
}

void Camera::ClearArray(int ccd) {
    std::fill(ccds_[ccd].cells.begin(), ccds_[ccd].cells.end(), 0u);
}

void Camera::RowTransfer(int ccd) {
    if (anyExposing_)
        Advance();
    Ccd& k = ccds_[ccd];
    const CcdShape& s = Shape(ccd);
    if (s.totalRows == 0)
        return;
    const unsigned cols = s.totalColumns;
    // Bring what is left in the serial register to the output end.
    if (k.serialPos > 0) {
        for (unsigned i = 0; i < cols; ++i)
            k.serial[i] = i + k.serialPos < cols ? k.serial[i + k.serialPos] : 0;
        k.serialPos = 0;
    }
    std::uint32_t* row = &k.cells[static_cast<std::size_t>(k.head) * cols];
    for (unsigned i = 0; i < cols; ++i) {
        k.serial[i] += row[i];
        row[i] = 0;
    }
    k.head = (k.head + 1) % s.totalRows;  // an empty row enters at the far end
    ++k.rowsMoved;
}

void Camera::HorizontalClock(int ccd, unsigned columns) {
    Ccd& k = ccds_[ccd];
    const unsigned size = static_cast<unsigned>(k.serial.size());
    std::uint32_t moved = 0;
    for (unsigned i = 0; i < columns && k.serialPos < size; ++i) moved += k.serial[k.serialPos++];
    ++k.clocks;
    // The converter works two clocks behind the serial register.
    sample_ = Convert(ccd, k.pipeOld);
    k.pipeOld = k.pipeNew;
    k.pipeNew = moved;
    busyLeft_ = opt_.busyReads;
}

std::uint16_t Camera::Convert(int ccd, std::uint32_t charge) const {
    if (ccd == 0 && info_->family == Family::Dual && (regs_[1] & 4))
        return 0;  // supply off
    const std::uint32_t v = charge + info_->offset;
    if (info_->twelveBit)
        return static_cast<std::uint16_t>(0xF000 | std::min<std::uint32_t>(v, 4095));
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 65535));
}

// ------------------------------------------------------------ inspection

ExposureInfo Camera::Exposure(int ccd) {
    Advance();
    return exposure_[ccd & 1];
}

CoolerInfo Camera::Cooler() {
    Advance();
    return cooler_;
}

std::uint64_t Camera::RelayRemainingNs(int relay) {
    const std::uint64_t now = Now(), until = relayUntil_[relay & 3];
    return until > now ? until - now : 0;
}

bool Camera::PulseActive() {
    return pulseUntil_ > Now();
}
bool Camera::SerialHold() {
    return holdUntil_ > Now();
}

}  // namespace zeva::sim
