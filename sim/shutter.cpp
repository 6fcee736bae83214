// The shutter of the dual-CCD cameras: one blade in front of both CCDs.
// Light reaches a CCD only while the shutter is open; an exposing CCD keeps
// the spans of light it saw for the scene, and the imaging CCD, while it is
// not exposing (read out, say), collects sky on the rows still in the array.
#include <algorithm>

#include "sim/camera.h"

namespace zeva::sim {

void Camera::MoveShutter(bool open, std::uint64_t now) {
    if (shutter_.open == open)
        return;
    StreakUpTo(now);
    for (int c = 0; c < 2; ++c) {
        if (!exposure_[c].exposing)
            continue;
        if (open)
            litFrom_[c] = now;
        else if (now > litFrom_[c])
            lit_[c].push_back(Span{litFrom_[c], now});
    }
    shutter_.open = open;
    ++shutter_.movements;
}

void Camera::MiscShutter(unsigned command, std::uint64_t now) {
    if (command == 0)
        return;  // the field every exposure start and end sends: leave it
    shutter_.owner = -1;
    MoveShutter(command == 1, now);
}

void Camera::StreakUpTo(std::uint64_t now) {
    if (now <= streakNs_)
        return;
    if (shutter_.open && !exposure_[0].exposing && opt_.scene == Scene::Stars)
        streakCount_ += kSkyPerSecond * static_cast<double>(now - streakNs_) / 1e9;
    streakNs_ = now;
}

void Camera::StreakRow(unsigned ring) {
    if (!HasShutter() || opt_.scene != Scene::Stars)
        return;
    const CcdShape& s = Shape(0);
    if (streakBase_.size() != s.totalRows)
        streakBase_.assign(s.totalRows, streakCount_);
    if (shutter_.open)
        StreakUpTo(Now());
    const double extra = streakCount_ - streakBase_[ring];
    streakBase_[ring] = streakCount_;  // the row entering at the far end starts empty
    if (extra < 0.5)
        return;
    Ccd& k = ccds_[0];
    std::uint32_t* row = &k.cells[static_cast<std::size_t>(ring) * s.totalColumns];
    const auto add = static_cast<std::uint32_t>(extra + 0.5);
    for (unsigned c = s.leftColumns; c < s.leftColumns + s.activeColumns; ++c) row[c] += add;
    k.MarkRow(ring);
    k.chargedRows = std::max(k.chargedRows, 1u);
}

void Camera::StreakRebase(bool current) {
    if (!HasShutter())
        return;
    if (current && shutter_.open)
        StreakUpTo(Now());
    streakBase_.assign(Shape(0).totalRows, streakCount_);
}

ShutterInfo Camera::Shutter() {
    Advance();
    return shutter_;
}

}  // namespace zeva::sim
