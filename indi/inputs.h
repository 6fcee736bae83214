// What the driver refuses before a new value reaches a property: texts too
// long to echo, numbers that are not finite, frames that do not fit the CCD.
// Each check answers the client itself (the property in Alert, with the
// message libindi gives a value out of range) and returns true when it
// refused; a refused request changes nothing.
#pragma once

#include <indidevapi.h>

#include <cstddef>
#include <cstring>

namespace zeva::indi {

// Longest text of any property, and of a camera port entry.  libindidriver
// 1.9.9 crashes echoing a text near 64 KiB; a path or an entry never needs
// more than this.
inline constexpr std::size_t kMaxText = 4096;
inline constexpr std::size_t kMaxPortEntry = 512;

// An empty entry, or one of blanks only.
inline bool IsBlank(const char* text) {
    return text == nullptr || text[std::strspn(text, " \t")] == '\0';
}

// Refuses when a text is longer than `limit`; `tvp` may be null (a property
// the driver does not have: refused all the same, nothing echoed).
bool RefuseLongText(const char* device, ITextVectorProperty* tvp, char* texts[], char* names[],
                    int n, std::size_t limit);

// Refuses NaN and infinities with the message of an out-of-range value:
// libindi's own for the exposure times, IUUpdateNumber's for any other.
// `nvp` may be null (a property not defined at the moment): refused all the same.
bool RefuseNonFinite(const char* device, INumberVectorProperty* nvp, const double values[],
                     char* names[], int n);

// Refuses a CCD_FRAME or GUIDER_FRAME request (elements X, Y, WIDTH,
// HEIGHT, unbinned pixels; missing ones keep their value) whose values lie
// outside their elements' ranges or whose window leaves the xres x yres CCD.
bool RefuseFrame(INumberVectorProperty* nvp, const double values[], char* names[], int n, int xres,
                 int yres);

// Refuses a value that is not a whole number for a property whose elements
// count things (binning, relay numbers): libindi would cut the fraction off.
bool RefuseFraction(INumberVectorProperty* nvp, const double values[], char* names[], int n);

}  // namespace zeva::indi
