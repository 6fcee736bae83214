// Configuration of a simulated camera: the model behind the port and its
// fault switches, parsed from a port entry "sim:MODEL?key=value&key=value".
#pragma once

#include <cstdint>
#include <string>

#include "platform/port_backend.h"
#include "sim/mount.h"

namespace zeva::sim {

enum class Model { Gannet, Heron, Ibis, Jacana, Kestrel, Egret, Finch, Siskin, Model9 };
enum class Scene { Stars, Pattern };
enum class EepromImage { Good, Blank, BadSum, Version0, Version2 };
// How the microcontroller misbehaves:
//   Ok        answers as the camera should
//   Silent    never takes a nibble
//   NoReply   takes the packet, never answers the turnaround
//   Nak, Can  answers every command with that byte
//   Garbage   answers 0x42, or a block starting with nibble 4
//   BadLength data blocks carry a length one below the expected one
enum class MicroFault { Ok, Silent, NoReply, Nak, Can, Garbage, BadLength };

struct Options {
    Model model = Model::Gannet;
    Scene scene = Scene::Stars;
    std::uint64_t seed = 1;
    EepromImage eeprom = EepromImage::Good;
    int eepromType = -1;  // -1: the model's own type byte
    MicroFault micro = MicroFault::Ok;
    bool busyStuck = false;
    bool shutterFault = false;
    bool unplugged = false;
    unsigned latency = 0;    // status reads before the handshake line follows
    unsigned busyReads = 2;  // status reads the busy flag stays set after a clock
    MountOptions mount;      // the telescope on the relays (stars scene)
    unsigned portNs = 0;     // real time every port access takes at least, ns
};

// Parses "sim:MODEL?key=value&..." (the "sim:" prefix is optional).  On
// failure returns false and sets *error to a message naming the bad value
// and listing the valid ones.  The key "base" belongs to the platform and is
// accepted and ignored here.
bool ParseOptions(const std::string& entry, Options* out, std::string* error);

// Builds a simulated camera from one port entry.
platform::BackendResult MakeBackend(const std::string& entry);

const char* ModelName(Model m);

}  // namespace zeva::sim
