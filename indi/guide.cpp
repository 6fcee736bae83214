// Guiding: pulses on the relays mapped to the four directions, ended or
// sent on in pieces by the monitor thread, which also reads the cooler.
#include <indilogger.h>

#include "client/explain.h"
#include "indi/host.h"
#include "indi/zeva_ccd.h"

namespace zeva::indi {

using host::NowNs;
using host::Wait;

void ZevaCCD::SendRelays() {
    const std::uint64_t now = NowNs();
    std::uint32_t left[2] = {0, 0};
    for (int a = 0; a < 2; ++a)
        if (pulses_[a].active && pulses_[a].endNs > now)
            left[a] = static_cast<std::uint32_t>((pulses_[a].endNs - now) / 1'000'000);
    const auto times =
        client::RelayTimes(relayMap_, left[0], pulses_[0].positive, left[1], pulses_[1].positive);
    Locked([&](client::Camera& c) { return c.ActivateRelay(times); });
}

IPState ZevaCCD::StartPulse(unsigned axis, bool positive, std::uint32_t ms) {
    if (!isConnected())
        return IPS_ALERT;
    if (!hasRelays_) {
        LOG_ERROR("This camera has no guide relays.");
        return IPS_ALERT;
    }
    if (ms < 5)
        return IPS_OK;
    std::lock_guard<std::mutex> g(guideLock_);
    const std::uint64_t now = NowNs();
    std::uint32_t left[2] = {0, 0};
    pulses_[axis] = Pulse{true, positive, now + std::uint64_t{ms} * 1'000'000, false};
    for (int a = 0; a < 2; ++a)
        if (pulses_[a].active && pulses_[a].endNs > now)
            left[a] = static_cast<std::uint32_t>((pulses_[a].endNs - now) / 1'000'000);
    const auto times =
        client::RelayTimes(relayMap_, left[0], pulses_[0].positive, left[1], pulses_[1].positive);
    client::Status st = Locked([&](client::Camera& c) { return c.ActivateRelay(times); });
    if (!st.ok()) {
        pulses_[axis] = Pulse{};
        LOGF_ERROR("Guide pulse failed: %s.", client::Explain(st).c_str());
        return IPS_ALERT;
    }
    return IPS_BUSY;
}

IPState ZevaCCD::GuideNorth(uint32_t ms) {
    return StartPulse(0, true, ms);
}
IPState ZevaCCD::GuideSouth(uint32_t ms) {
    return StartPulse(0, false, ms);
}
IPState ZevaCCD::GuideWest(uint32_t ms) {
    return StartPulse(1, true, ms);
}
IPState ZevaCCD::GuideEast(uint32_t ms) {
    return StartPulse(1, false, ms);
}

// ---------------------------------------------------------------------------
// Monitor thread: cooler and relay status, the end of guiding pulses

void ZevaCCD::MonitorLoop() {
    std::uint64_t nextTemp = 0, nextRelay = 0;
    while (!monitorStop_) {
        bool guiding;
        {
            std::lock_guard<std::mutex> g(guideLock_);
            guiding = pulses_[0].active || pulses_[1].active;
        }
        const std::uint64_t now = NowNs();
        if (now >= nextTemp || coolerDue_.exchange(false)) {
            std::uint64_t commands;
            {
                std::lock_guard<std::mutex> g(snapLock_);
                commands = coolerCommands_;
            }
            client::TemperatureStatus t;
            client::Status st =
                Locked([&](client::Camera& c) { return c.QueryTemperatureStatus(&t); });
            std::lock_guard<std::mutex> g(snapLock_);
            if (commands == coolerCommands_) {  // else read again: a command came meanwhile
                snapTempOk_ = st.ok();
                if (st.ok())
                    snapTemp_ = t;
                else
                    snapError_ = "Reading the cooler failed: " + client::Explain(st);
                nextTemp = now + 1'000'000'000;
            }
        }
        if (hasRelays_ && (guiding || now >= nextRelay)) {
            std::lock_guard<std::mutex> gg(guideLock_);
            std::uint16_t word = 0;
            client::Status st =
                Locked([&](client::Camera& c) { return c.QueryCommandStatus(7, &word); });
            if (st.ok()) {
                const unsigned out[2][2] = {{relayMap_.north, relayMap_.south},
                                            {relayMap_.west, relayMap_.east}};
                bool resend = false;
                const std::uint64_t t = NowNs();
                for (int a = 0; a < 2; ++a) {
                    Pulse& p = pulses_[a];
                    if (!p.active || client::RelayClosed(word, out[a][p.positive ? 0 : 1]))
                        continue;
                    if (p.endNs > t + 10'000'000) {
                        resend = true;  // a long pulse goes on in another piece
                    } else {
                        p.active = false;
                        p.done = true;
                    }
                }
                if (resend)
                    SendRelays();
            }
            std::lock_guard<std::mutex> g(snapLock_);
            snapRelayOk_ = st.ok();
            snapRelays_ = word;
            nextRelay = now + 500'000'000;
        }
        Wait(guiding ? 10 : 100);
    }
}

void ZevaCCD::PublishMonitor() {
    bool tempOk, relayOk;
    client::TemperatureStatus t;
    std::uint16_t relays;
    std::string error;
    {
        std::lock_guard<std::mutex> g(snapLock_);
        tempOk = snapTempOk_;
        t = snapTemp_;
        relayOk = snapRelayOk_;
        relays = snapRelays_;
        error.swap(snapError_);
    }
    if (!error.empty())
        LOGF_WARN("%s.", error.c_str());
    if (tempOk)
        PublishCooler(t);
    if (relayOk && hasRelays_) {
        bool changed = false;
        for (unsigned i = 0; i < 4; ++i) {
            const double v = client::RelayClosed(relays, i) ? 1 : 0;
            if (RelayStatusN[i].value != v) {
                RelayStatusN[i].value = v;
                changed = true;
            }
        }
        if (changed || RelayStatusNP.s != IPS_OK) {
            RelayStatusNP.s = IPS_OK;
            IDSetNumber(&RelayStatusNP, nullptr);
        }
    }
    bool done[2];
    {
        std::lock_guard<std::mutex> g(guideLock_);
        for (int a = 0; a < 2; ++a) {
            done[a] = pulses_[a].done;
            pulses_[a].done = false;
        }
    }
    if (done[0])
        GuideComplete(AXIS_DE);
    if (done[1])
        GuideComplete(AXIS_RA);
}

}  // namespace zeva::indi
