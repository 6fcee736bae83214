// The simulated camera: register latches, microcontroller, CCDs, converter.
#include "sim/camera.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

namespace zeva::sim {

namespace {

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

namespace {
// Snapshot identities, unique in the process so that equal origins mean equal cells.
std::atomic<std::uint64_t> g_snapshots{0};
}  // namespace

void Camera::Ccd::Unmark() const {
    if (anyChanged)
        std::fill(changed.begin(), changed.end(), std::uint8_t{0});
    anyChanged = allChanged = false;
}

Camera::Ccd& Camera::Ccd::operator=(const Ccd& other) {
    if (this == &other)
        return *this;
    // A CCD kept without its cells held no charge: its cells read as zeros.
    const std::size_t width = changed.empty() ? 0 : cells.size() / changed.size();
    if (origin == other.origin && origin != 0 && !allChanged && width != 0 &&
        (other.cells.empty() || other.cells.size() == cells.size())) {
        for (std::size_t r = 0; anyChanged && r < changed.size(); ++r) {
            if (changed[r] == 0)
                continue;
            const auto row = static_cast<std::ptrdiff_t>(r * width);
            if (other.cells.empty())
                std::fill_n(cells.begin() + row, width, 0u);
            else
                std::copy_n(other.cells.begin() + row, width, cells.begin() + row);
        }
    } else if (other.cells.empty()) {
        if (chargedRows > 0 || anyChanged)
            std::fill(cells.begin(), cells.end(), 0u);
    } else {
        cells.assign(other.cells.begin(), other.cells.end());
    }
    if (other.serial.empty())
        std::fill(serial.begin(), serial.end(), 0u);
    else
        serial.assign(other.serial.begin(), other.serial.end());
    head = other.head;
    serialPos = other.serialPos;
    chargedRows = other.chargedRows;
    serialCharged = other.serialCharged;
    pipeOld = other.pipeOld;
    pipeNew = other.pipeNew;
    rowsMoved = other.rowsMoved;
    clocks = other.clocks;
    origin = other.origin;
    if (changed.size() != other.changed.size())
        changed.assign(other.changed.size(), 0);
    Unmark();
    return *this;
}

Camera Camera::Snapshot() const {
    Camera copy = *this;
    const std::uint64_t id = g_snapshots.fetch_add(1, std::memory_order_relaxed) + 1;
    for (int c = 0; c < 2; ++c) {
        Ccd& k = copy.ccds_[c];
        if (k.chargedRows == 0 && !k.serialCharged) {
            k.cells = {};
            k.serial = {};
        }
        const Ccd& mine = ccds_[c];
        if (mine.changed.empty() && c < CcdCount())
            mine.changed.assign(Shape(c).totalRows, 0);
        k.changed.assign(mine.changed.size(), 0);
        k.origin = mine.origin = id;
        k.Unmark();
        mine.Unmark();
    }
    return copy;
}

void Camera::Restore(const Camera& snapshot) {
    *this = snapshot;
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

// ------------------------------------------------------------ the CCDs

std::size_t Camera::CellIndex(int ccd, int row, int col) const {
    const CcdShape& s = Shape(ccd);
    const unsigned ring = (ccds_[ccd].head + static_cast<unsigned>(row)) % s.totalRows;
    return static_cast<std::size_t>(ring) * s.totalColumns + static_cast<std::size_t>(col);
}

std::uint32_t& Camera::Cell(int ccd, int row, int col) {
    const std::size_t i = CellIndex(ccd, row, col);
    ccds_[ccd].MarkRow(i / Shape(ccd).totalColumns);
    return ccds_[ccd].cells[i];
}

std::uint32_t Camera::Charge(int ccd, int row, int col) const {
    return ccds_[ccd].cells[CellIndex(ccd, row, col)];
}

void Camera::SetCharge(int ccd, int row, int col, std::uint32_t electrons) {
    Cell(ccd, row, col) = electrons;
    Ccd& k = ccds_[ccd];
    k.chargedRows = std::max(k.chargedRows, static_cast<unsigned>(row) + 1);
}

std::uint32_t Camera::SerialCell(int ccd, int col) const {
    const Ccd& k = ccds_[ccd & 1];
    const unsigned i = k.serialPos + static_cast<unsigned>(col);
    return i < k.serial.size() ? k.serial[i] : 0;
}

void Camera::ClearArray(int ccd) {
    Ccd& k = ccds_[ccd];
    if (ccd == 0)
        StreakRebase(true);
    if (k.chargedRows == 0)
        return;  // no row holds charge: nothing to clear
    std::fill(k.cells.begin(), k.cells.end(), 0u);
    k.chargedRows = 0;
    k.MarkAll();
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
    if (k.serialPos > 0 && k.serialCharged) {
        if (k.serialPos >= cols) {
            std::fill(k.serial.begin(), k.serial.end(), 0u);
            k.serialCharged = false;
        } else {
            for (unsigned i = 0; i < cols; ++i)
                k.serial[i] = i + k.serialPos < cols ? k.serial[i + k.serialPos] : 0;
        }
    }
    k.serialPos = 0;
    if (ccd == 0)
        StreakRow(k.head);  // sky that fell on the row while the shutter stood open
    if (k.chargedRows > 0) {
        std::uint32_t* row = &k.cells[static_cast<std::size_t>(k.head) * cols];
        for (unsigned i = 0; i < cols; ++i) {
            k.serial[i] += row[i];
            row[i] = 0;
        }
        --k.chargedRows;
        k.serialCharged = true;
        k.MarkRow(k.head);
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
