// The telescope mount behind the camera's relays: an equatorial mount that
// tracks the sky, with an ST4 guide input wired to the camera's four relay
// outputs, a slow drift in both axes (polar misalignment) and a periodic
// error in right ascension.  Pure computation: where the telescope points at
// a given time, in arc-seconds on the sky, from the relay closures it saw.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zeva::sim {

// Sidereal rate in arc-seconds of sky per second of time (at the equator,
// where the simulated field lies).
inline constexpr double kSiderealArcsecPerS = 15.041;
// Arc-seconds per radian / 1000: a pixel of p um at a focal length of f mm
// covers kArcsecPerUmPerMm * p / f arc-seconds.
inline constexpr double kArcsecPerUmPerMm = 206.265;

struct MountOptions {
    double guideRate = 0.5;         // guide speed, multiples of the sidereal rate
    double focalLengthMm = 1000.0;  // of the telescope; 0: no telescope, the sky never moves
    double driftRa = 0.0;           // arc-seconds per minute, + east
    double driftDec = 0.0;          // arc-seconds per minute, + north
    double peAmplitude = 0.0;       // periodic error in RA, arc-seconds (peak)
    double pePeriod = 480.0;        // periodic error period, seconds (a worm turn)
};

// Offset of the pointing from where it was at time 0, arc-seconds.
struct Pointing {
    double east = 0.0;
    double north = 0.0;
};

// Relay outputs 0 to 3 drive the ST4 input's North, South, East and West
// lines, the wiring the INDI driver assumes by default.
enum RelayLine : unsigned { kRelayNorth = 0, kRelaySouth = 1, kRelayEast = 2, kRelayWest = 3 };

class Mount {
  public:
    explicit Mount(const MountOptions& options) : opt_(options) {}

    const MountOptions& options() const { return opt_; }
    // True when nothing can ever move the pointing (no telescope, or no
    // guide rate, drift nor periodic error).
    bool Still() const;

    // The camera sets its relays at `nowNs`: relay i stays closed until
    // untilNs[i] (0 or a past time: open).  A new setting replaces the old one
    // from `nowNs` on, as the camera's relay command does.
    void SetRelays(std::uint64_t nowNs, const std::array<std::uint64_t, 4>& untilNs);

    // Pointing at `ns`, which must not lie before the last Forget time.
    Pointing At(std::uint64_t ns) const;

    // No question will be asked about times before `ns`: closures that ended
    // by then are folded into one offset, so the history stays short.
    void Forget(std::uint64_t ns);

    // Closures kept (for tests: Forget bounds them).
    std::size_t Segments() const { return segments_.size(); }

  private:
    struct Segment {
        std::uint64_t startNs, endNs;
        unsigned line;  // RelayLine
    };
    // Guide motion of one closure up to `ns`, arc-seconds.
    Pointing Guided(const Segment& s, std::uint64_t ns) const;

    MountOptions opt_;
    std::vector<Segment> segments_;
    Pointing folded_;  // motion of closures already forgotten
};

}  // namespace zeva::sim
