// The mount's pointing: guide closures, drift and periodic error.
#include "sim/mount.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zeva::sim {

namespace {
// A camera guided for a whole night keeps a few closures a second; past this
// many the oldest are folded even if an exposure might still ask for them.
constexpr std::size_t kMaxSegments = 100000;
}  // namespace

bool Mount::Still() const {
    return opt_.focalLengthMm <= 0.0 || (opt_.guideRate == 0.0 && opt_.driftRa == 0.0 &&
                                         opt_.driftDec == 0.0 && opt_.peAmplitude == 0.0);
}

void Mount::SetRelays(std::uint64_t nowNs, const std::array<std::uint64_t, 4>& untilNs) {
    for (Segment& s : segments_) s.endNs = std::clamp(nowNs, s.startNs, s.endNs);
    for (unsigned line = 0; line < 4; ++line)
        if (untilNs[line] > nowNs)
            segments_.push_back({nowNs, untilNs[line], line});
    if (segments_.size() > kMaxSegments)
        Forget(segments_[segments_.size() / 2].startNs);
}

Pointing Mount::Guided(const Segment& s, std::uint64_t ns) const {
    Pointing p;
    if (ns <= s.startNs)
        return p;
    const double seconds = static_cast<double>(std::min(ns, s.endNs) - s.startNs) / 1e9;
    const double arcsec = opt_.guideRate * kSiderealArcsecPerS * seconds;
    switch (s.line) {
        case kRelayNorth:
            p.north = arcsec;
            break;
        case kRelaySouth:
            p.north = -arcsec;
            break;
        case kRelayEast:
            p.east = arcsec;
            break;
        default:
            p.east = -arcsec;
            break;
    }
    return p;
}

Pointing Mount::At(std::uint64_t ns) const {
    Pointing p = folded_;
    for (const Segment& s : segments_) {
        const Pointing g = Guided(s, ns);
        p.east += g.east;
        p.north += g.north;
    }
    const double t = static_cast<double>(ns) / 1e9;
    p.east += opt_.driftRa * t / 60.0;
    p.north += opt_.driftDec * t / 60.0;
    if (opt_.peAmplitude != 0.0 && opt_.pePeriod > 0.0)
        p.east += opt_.peAmplitude * std::sin(2.0 * std::numbers::pi * t / opt_.pePeriod);
    return p;
}

void Mount::Forget(std::uint64_t ns) {
    std::size_t kept = 0;
    for (const Segment& s : segments_) {
        if (s.endNs <= ns) {
            const Pointing g = Guided(s, s.endNs);
            folded_.east += g.east;
            folded_.north += g.north;
        } else {
            segments_[kept++] = s;
        }
    }
    segments_.resize(kept);
}

}  // namespace zeva::sim
