// What a failure means to the person at the camera, in one table that every
// program (the zeva tool, the INDI driver, the Alpaca server) reads, and the
// warnings a program owes its user after linking.
#pragma once

#include <cstdint>
#include <string>

#include "client/client.h"

namespace zeva::client {

// The user-facing meaning of an error code ("the camera does not answer"),
// and the question that points at the usual cause ("is it plugged in and
// powered?", or null); both null for a code with nothing to add.
struct Explanation {
    const char* meaning = nullptr;
    const char* ask = nullptr;
};
Explanation ExplanationOf(std::uint16_t code);

// A failed status for a message: "the camera does not answer (ErrTxTimeout
// (error 7)): is it plugged in and powered?"; the bare Describe() for a code
// the table has nothing for.
std::string Explain(const Status& status);

// The driver links a camera whose EEPROM fails its checksum (or carries an
// unknown layout version) with its default image, which names a Gannet:
// programs say so with this text.  It says what a program can tell: the
// default image is in place (which of the two faults put it there, the
// driver does not report).
extern const char* const kEepromFailedWarning;

// Whether the EEPROM information is the driver's default image (no counts,
// no words, no flag, text "-"), put in place of a camera's that failed.
bool IsDefaultEepromImage(const EepromInfo& info);
// After a link: whether the driver put its default image in place of the
// camera's EEPROM.  Single-CCD cameras carry none and never fail.
Status CheckEeprom(Camera& camera, std::uint16_t cameraType, bool* failed);

}  // namespace zeva::client
