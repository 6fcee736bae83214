// The simulated camera behind a parallel port: the camera's register
// latches, its microcontroller, its CCDs with their serial registers and
// converter, as seen from the port's data, status and control registers.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/port_backend.h"
#include "sim/config.h"
#include "sim/mount.h"

namespace zeva::sim {

// The camera's own description of one CCD, in readout order: rows leave top
// border first; serial cells leave left border first (the tracking CCD's
// active columns leave right to left, which the scene accounts for).
struct CcdShape {
    std::uint16_t activeColumns, activeRows;
    std::uint16_t topRows, leftColumns, bottomRows, rightColumns;
    std::uint16_t totalColumns, totalRows;  // cells of the serial register, rows of the array
    double pixelWidthUm, pixelHeightUm;     // size of one pixel
};

enum class Family { Dual, Single };

struct ModelInfo {
    Model model;
    const char* name;
    std::uint8_t type;         // type byte of the EEPROM
    std::uint8_t modelNumber;  // top nibble of the version word
    Family family;
    bool hasTracking;
    CcdShape imaging;
    CcdShape tracking;
    std::uint16_t offset;  // converter counts at zero charge
    bool twelveBit;        // 12-bit converter, top nibble undriven
    std::uint8_t phaseA, phaseB;
    std::uint16_t imagingGain, trackingGain;  // BCD, for the EEPROM
    const char* idText;                       // EEPROM identification text
};

const ModelInfo& InfoFor(Model m);

// A stretch of time, [fromNs, toNs) on the platform clock.
struct Span {
    std::uint64_t fromNs = 0, toNs = 0;
};

struct ExposureInfo {
    bool exposing = false;
    std::uint32_t units = 0;   // timer in 10 ms units
    std::uint8_t control = 0;  // control byte as received
    std::uint64_t startNs = 0;
    std::uint32_t exposuresDone = 0;
    // While this exposure ran (or the last one, once it ended): the time the
    // CCD saw light, in ns (the shutter open; always, on a camera without one).
    std::uint64_t litNs = 0;
};

// The one shutter in front of both CCDs of a dual-CCD camera.  A start with
// shutter mode 1 opens it and makes that exposure its owner; mode 2 closes
// it; mode 0 leaves it as it is.  When the exposure that owns it ends (its
// timer runs out or the end command comes), the camera closes it.  The
// miscellaneous-control command's shutter field: 0 leaves it, 1 opens it,
// 2 closes it, 3 runs it through a full cycle (about 3 s) and leaves it closed.
struct ShutterInfo {
    bool open = false;
    int owner = -1;          // CCD whose mode-1 exposure opened it, or -1
    unsigned movements = 0;  // times it opened or closed
};

struct CoolerInfo {
    unsigned mode = 0;           // 0 off, 1 regulate, 2 fixed power
    std::uint16_t setpoint = 0;  // on the reading scale
    unsigned power = 0;          // 0..255
    double ccdCelsius = 25.0;
    double ambientCelsius = 25.0;
    bool frozen = false;            // the type-9 freeze
    std::uint16_t Reading() const;  // 0..4095, higher is colder
};

struct TraceEntry {
    std::uint64_t ns;
    std::uint32_t offset;
    std::uint8_t value;
    bool write;
};

class Camera : public platform::PortBackend {
  public:
    explicit Camera(const Options& options);

    const Options& options() const { return opt_; }
    const ModelInfo& info() const { return *info_; }

    // Run-time switches.
    void SetMicroFault(MicroFault f) { opt_.micro = f; }
    void SetBusyStuck(bool on) { opt_.busyStuck = on; }
    void SetShutterFault(bool on) { opt_.shutterFault = on; }
    void SetUnplugged(bool on) { opt_.unplugged = on; }
    void SetLatency(unsigned reads) { opt_.latency = reads; }
    void SetBusyReads(unsigned reads) { opt_.busyReads = reads; }
    void SetScene(Scene s) { opt_.scene = s; }
    // Rewrites the whole EEPROM image (type byte and checksum included).
    void SetEeprom(EepromImage image);
    // Puts the microcontroller back to its power-up state (no packet, line low).
    void ResetMicro();

    // For test benches that run many short sessions from one moment (the
    // fuzz targets): Snapshot keeps the camera's whole state, Restore puts it
    // back into this camera.  A CCD without charge is kept without its cells,
    // so a restore costs little unless charge has to come back.
    Camera Snapshot() const;
    void Restore(const Camera& snapshot);

    // Inspection.
    std::uint8_t Register(unsigned reg) const { return regs_[reg & 7]; }
    std::uint8_t DataLatch() const { return data_; }
    std::uint16_t SampleRegister() const { return sample_; }
    bool Busy() const { return opt_.busyStuck || busyLeft_ > 0; }
    bool Vdd() const { return (regs_[1] & 4) == 0; }
    ExposureInfo Exposure(int ccd);
    ShutterInfo Shutter();
    CoolerInfo Cooler();
    std::uint64_t RelayRemainingNs(int relay);
    bool PulseActive();
    bool SerialHold();
    const std::vector<std::uint8_t>& SerialBytes() const { return serial_; }
    unsigned TipTiltGood() const { return tipTiltGood_; }
    unsigned TipTiltBad() const { return tipTiltBad_; }
    std::uint8_t MiscControl() const { return misc_; }
    const std::array<std::uint8_t, 32>& Eeprom() const { return eeprom_; }
    unsigned PacketsTaken() const { return packets_; }
    int CcdCount() const { return info_->hasTracking ? 2 : 1; }
    const CcdShape& Shape(int ccd) const { return ccd == 1 ? info_->tracking : info_->imaging; }
    // Charge in array row `row` (readout order, 0 = next row out), cell `col`.
    std::uint32_t Charge(int ccd, int row, int col) const;
    void SetCharge(int ccd, int row, int col, std::uint32_t electrons);
    std::uint32_t SerialCell(int ccd, int col) const;
    unsigned RowsTransferred(int ccd) const { return ccds_[ccd & 1].rowsMoved; }
    unsigned HorizontalClocks(int ccd) const { return ccds_[ccd & 1].clocks; }
    // The mount on the relays: where the telescope points (stars scene).
    const Mount& mount() const { return mount_; }
    // Arc-seconds of sky per pixel of CCD `ccd` across and down (0 without a telescope).
    double ArcsecPerPixelX(int ccd) const;
    double ArcsecPerPixelY(int ccd) const;

    // Trace of every port access with its time.
    void StartTrace() {
        trace_.clear();
        tracing_ = true;
    }
    void StopTrace() { tracing_ = false; }
    const std::vector<TraceEntry>& Trace() const { return trace_; }

    // Sky electrons a pixel collects per second of light (stars scene).
    static constexpr double kSkyPerSecond = 20.0;

    // Pattern scene values, r and c from the first active row and leftmost active column.
    static std::uint32_t PatternImaging(int r, int c) { return (31u * r + 17u * c) % 1000u; }
    static std::uint32_t PatternTracking(int r, int c) {
        return 2000u + (13u * r + 7u * c) % 1000u;
    }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override;
    void DoWrite(std::uint32_t offset, std::uint8_t value) override;

    struct Ccd {
        std::vector<std::uint32_t> cells;  // totalRows x totalColumns, ring of rows
        std::vector<std::uint32_t> serial;
        unsigned head = 0;       // ring index of the next row out
        unsigned serialPos = 0;  // next serial cell out
        // Rows from the head on that may hold charge, and whether any serial
        // cell may: an empty CCD's row transfers (every clear) skip the cells.
        unsigned chargedRows = 0;
        bool serialCharged = false;
        std::uint32_t pipeOld = 0, pipeNew = 0;
        unsigned rowsMoved = 0, clocks = 0;
        // The snapshot these cells were last made equal to, and the rows
        // (ring indices) changed since: restoring that snapshot again copies
        // those rows only.  `changed` is empty until the first snapshot.
        mutable std::uint64_t origin = 0;
        mutable std::vector<std::uint8_t> changed;
        mutable bool anyChanged = true;
        mutable bool allChanged = true;
        void MarkRow(std::size_t ring) {
            anyChanged = true;
            if (ring < changed.size())
                changed[ring] = 1;
        }
        void MarkAll() { anyChanged = allChanged = true; }
        void Unmark() const;

        Ccd() = default;
        Ccd(const Ccd&) = default;
        Ccd(Ccd&&) = default;
        Ccd& operator=(Ccd&&) = default;
        // Copies into this CCD's own storage (no allocation between equal
        // shapes); a source kept without its cells (no charge) reads as zeros.
        Ccd& operator=(const Ccd& other);
    };

    std::uint64_t Now() const;
    void Latch(unsigned reg, std::uint8_t value);
    void OnReg30(std::uint8_t old, std::uint8_t now);
    void OnReg10(std::uint8_t old, std::uint8_t now);
    void OnReg00(std::uint8_t now);
    void HorizontalClock(int ccd, unsigned columns);
    void RowTransfer(int ccd);
    std::uint16_t Convert(int ccd, std::uint32_t charge) const;
    std::uint8_t MicroStatus();
    void TakeNibble(std::uint8_t nibble);
    void Answer();
    void Execute();
    void ReplyByte(std::uint8_t b);
    void ReplyBlock(const std::uint8_t* data, unsigned count);
    void Advance();
    void StartExposure(int ccd, std::uint32_t units, std::uint8_t control, std::uint64_t now);
    void EndExposure(int ccd, std::uint64_t now);
    // The shutter (sim/shutter.cpp).
    bool HasShutter() const { return info_->family == Family::Dual; }
    void MoveShutter(bool open, std::uint64_t now);
    void MiscShutter(unsigned command, std::uint64_t now);
    void StreakUpTo(std::uint64_t now);
    void StreakRow(unsigned ring);
    // Every row of the imaging CCD starts collecting anew (`current`: from now).
    void StreakRebase(bool current);
    void ApplyScene(int ccd, std::uint64_t startNs, std::uint64_t endNs,
                    const std::vector<Span>& lit);
    void ExposeStars(int ccd, std::uint64_t startNs, std::uint64_t endNs,
                     const std::vector<Span>& lit);
    void Pace(std::uint64_t sinceNs) const;
    void ClearArray(int ccd);
    std::uint32_t& Cell(int ccd, int row, int col);
    std::size_t CellIndex(int ccd, int row, int col) const;

    Options opt_;
    const ModelInfo* info_;
    std::uint8_t data_ = 0, control_ = 0, ecr_ = 0x15;
    std::array<std::uint8_t, 8> regs_{};
    std::uint16_t sample_ = 0;
    unsigned busyLeft_ = 0;
    std::array<Ccd, 2> ccds_;

    // Vertical clock recognition.
    int imagingPhase_ = 0;  // 0 idle, 1 A, 2 B, 3 A again, -1 out of order
    int singleState_ = 0;   // 0 closed, 1 open, 2 row armed (6 seen)
    bool trackingArmed_ = false;

    // Microcontroller.
    enum class MicroState { Idle, WaitStart, Receiving, Turnaround, Replying };
    MicroState micro_ = MicroState::Idle;
    bool hsTarget_ = false, hsShown_ = false;
    unsigned lag_ = 0;
    std::array<std::uint8_t, 600> rx_{};
    unsigned rxCount_ = 0, rxExpected_ = 4;
    std::array<std::uint8_t, 80> reply_{};
    unsigned replyCount_ = 0, replyPos_ = 0;
    unsigned packets_ = 0;

    // Behind the commands.
    std::array<ExposureInfo, 2> exposure_{};
    bool anyExposing_ = false;
    ShutterInfo shutter_;
    // Per CCD: the spans of light of the exposure running (or last ended),
    // and since when the open shutter lights it.
    std::array<std::vector<Span>, 2> lit_;
    std::array<std::uint64_t, 2> litFrom_{};
    // Light falling on the imaging CCD while it is not exposing (the shutter
    // open during its readout): sky electrons a pixel has collected so far,
    // counted up to streakNs_, and per array row (ring index) the count when
    // that row was last cleared, exposed or read.  A row takes the difference
    // as it leaves the array: rows read later carry more (a streak).
    double streakCount_ = 0;
    std::uint64_t streakNs_ = 0;
    std::vector<double> streakBase_;
    std::uint8_t misc_ = 0;
    std::array<std::uint64_t, 4> relayUntil_{};
    Mount mount_;
    std::uint64_t pulseUntil_ = 0, holdUntil_ = 0;
    std::vector<std::uint8_t> serial_;
    unsigned tipTiltGood_ = 0, tipTiltBad_ = 0;
    std::array<std::uint8_t, 32> eeprom_{};
    void BuildEeprom();
    CoolerInfo cooler_;
    std::uint64_t coolerNs_ = 0;
    double coolerIntegral_ = 0;  // integral part of the regulator's drive

    bool tracing_ = false;
    std::vector<TraceEntry> trace_;
};

}  // namespace zeva::sim
