// The simulated camera's microcontroller commands: exposures, cooler,
// relays, pulse output, version, EEPROM, status and serial port, and the
// timers and thermal model behind them.
#include <algorithm>

#include "sim/camera.h"

namespace zeva::sim {

namespace {

constexpr std::uint64_t kMs = 1000000ull;
constexpr std::uint64_t kTimerUnitNs = 10 * kMs;     // exposure and relay timers
constexpr std::uint64_t kBladeTravelNs = 110 * kMs;  // the shutter closing over the CCDs
constexpr std::uint64_t kPulseUnitNs = 10000ull;     // pulse width and gap: 10 us
constexpr std::uint64_t kSerialByteNs = 1041667ull;  // 10 bits at 9600 baud
constexpr std::uint64_t kCoolerStepNs = 100 * kMs;
constexpr double kCoolerTauS = 20.0;   // thermal time constant
constexpr double kCoolerSpanC = 40.0;  // full power: this far below ambient
constexpr double kCoolerKp = 0.5;      // power per reading unit
constexpr double kCoolerKi = 0.1;      // power per reading unit and second
constexpr std::uint8_t kAck = 0x06, kNak = 0x15, kCan = 0x18;

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
            StartExposure(ccd, (static_cast<std::uint32_t>(d[0]) << 16) | (d[1] << 8) | d[2], ctl,
                          now);
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
            if (dual)
                MiscShutter(d[0] & 3u, now);
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
        // Timers that ran out, the earlier first: the end of one may close
        // the shutter on the other.
        anyExposing_ = false;
        std::uint64_t ends[2] = {};
        for (int c = 0; c < 2; ++c) {
            const ExposureInfo& e = exposure_[c];
            ends[c] = e.exposing ? e.startNs + e.units * kTimerUnitNs : ~0ull;
        }
        const int first = ends[1] < ends[0] ? 1 : 0;
        for (int c : {first, 1 - first}) {
            if (!exposure_[c].exposing)
                continue;
            if (ends[c] <= now)
                EndExposure(c, ends[c]);
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

void Camera::StartExposure(int ccd, std::uint32_t units, std::uint8_t control, std::uint64_t now) {
    ExposureInfo& e = exposure_[ccd];
    if (ccd == 0)
        StreakUpTo(now);  // the imaging CCD stops collecting a streak
    e.exposing = true;
    e.units = units;
    e.control = control;
    e.startNs = now;
    e.litNs = 0;
    anyExposing_ = true;
    lit_[ccd].clear();
    litFrom_[ccd] = now;
    if (!HasShutter()) {
        // The single-CCD cameras clear their own array when an exposure starts.
        ClearArray(0);
        return;
    }
    const unsigned mode = (control >> 2) & 3u;
    if (mode == 1) {
        MoveShutter(true, now);
        shutter_.owner = ccd;
    } else if (mode == 2) {
        MoveShutter(false, now);
        shutter_.owner = -1;
    }
}

void Camera::EndExposure(int ccd, std::uint64_t now) {
    ExposureInfo& e = exposure_[ccd];
    // Light up to here; up to 110 ms later when this exposure opened the
    // shutter: the camera closes it now, and the blade takes that long to
    // cover the CCDs (the driver shortens such an exposure's time by as much).
    std::uint64_t dark = now;
    if (!HasShutter()) {
        lit_[ccd].assign(1, Span{e.startNs, now});
    } else {
        const bool closes = shutter_.owner == ccd && shutter_.open;
        if (closes)
            dark = now + kBladeTravelNs;
        if (shutter_.open && dark > litFrom_[ccd])
            lit_[ccd].push_back(Span{litFrom_[ccd], dark});
        e.exposing = false;
        if (shutter_.owner == ccd) {
            shutter_.owner = -1;
            MoveShutter(false, dark);
        }
    }
    e.exposing = false;
    // The other CCD's closing blade may have promised light past this end.
    std::erase_if(lit_[ccd], [&](Span& s) {
        s.toNs = std::min(s.toNs, dark);
        return s.toNs <= s.fromNs;
    });
    e.litNs = 0;
    for (const Span& s : lit_[ccd]) e.litNs += s.toNs - s.fromNs;
    ++e.exposuresDone;
    ApplyScene(ccd, e.startNs, now, lit_[ccd]);
    if (ccd == 0 && HasShutter()) {
        streakNs_ = now;      // nothing collected while it exposed
        StreakRebase(false);  // the scene holds the light up to here
    }
}

}  // namespace zeva::sim
