// The camera's faults by name: each is a port-entry option that gives it from
// power-up, and (but for the EEPROM images) a run-time switch.  The fault
// matrix and the fuzz targets take their faults from here.
#pragma once

#include <cstddef>

#include "sim/camera.h"
#include "sim/config.h"

namespace zeva::sim {

enum class FaultId {
    None,  // the healthy camera
    Silent,
    NoReply,
    Nak,
    Can,
    Garbage,
    BadLength,
    BusyStuck,
    Unplugged,
    EepromVersion0,
    EepromVersion2,
    EepromBadSum,
    EepromBlank,
    Shutter,
};

struct NamedFault {
    FaultId id;
    const char* option;  // the port entry's option, "key=value"
    bool powerUpOnly;    // an EEPROM image: set by the entry, cleared by a good image
    void (*set)(Camera& camera, bool on);
};

inline constexpr NamedFault kNamedFaults[] = {
    {FaultId::Silent, "micro=silent", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::Silent : MicroFault::Ok); }},
    {FaultId::NoReply, "micro=noreply", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::NoReply : MicroFault::Ok); }},
    {FaultId::Nak, "micro=nak", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::Nak : MicroFault::Ok); }},
    {FaultId::Can, "micro=can", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::Can : MicroFault::Ok); }},
    {FaultId::Garbage, "micro=garbage", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::Garbage : MicroFault::Ok); }},
    {FaultId::BadLength, "micro=badlength", false,
     [](Camera& c, bool on) { c.SetMicroFault(on ? MicroFault::BadLength : MicroFault::Ok); }},
    {FaultId::BusyStuck, "busy=stuck", false, [](Camera& c, bool on) { c.SetBusyStuck(on); }},
    {FaultId::Unplugged, "unplugged=1", false, [](Camera& c, bool on) { c.SetUnplugged(on); }},
    {FaultId::EepromVersion0, "eeprom=version0", true,
     [](Camera& c, bool on) { c.SetEeprom(on ? EepromImage::Version0 : EepromImage::Good); }},
    {FaultId::EepromVersion2, "eeprom=version2", true,
     [](Camera& c, bool on) { c.SetEeprom(on ? EepromImage::Version2 : EepromImage::Good); }},
    {FaultId::EepromBadSum, "eeprom=badsum", true,
     [](Camera& c, bool on) { c.SetEeprom(on ? EepromImage::BadSum : EepromImage::Good); }},
    {FaultId::EepromBlank, "eeprom=blank", true,
     [](Camera& c, bool on) { c.SetEeprom(on ? EepromImage::Blank : EepromImage::Good); }},
    {FaultId::Shutter, "shutter=fault", false, [](Camera& c, bool on) { c.SetShutterFault(on); }},
};

// The named fault of an id; null for FaultId::None.
constexpr const NamedFault* FindFault(FaultId id) {
    for (const NamedFault& f : kNamedFaults) {
        if (f.id == id)
            return &f;
    }
    return nullptr;
}

}  // namespace zeva::sim
