#include "indi/inputs.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace zeva::indi {

namespace {

// The message IUUpdateNumber gives a value outside its element's range.
void OutOfRange(INumberVectorProperty* nvp, const INumber* np, double value) {
    nvp->s = IPS_ALERT;
    IDSetNumber(nvp,
                "Error: Invalid range for %s (%s). Valid range is from %g to %g. Requested value "
                "is %g",
                np->label, np->name, np->min, np->max, value);
}

}  // namespace

bool RefuseLongText(const char* device, ITextVectorProperty* tvp, char* texts[], char* names[],
                    int n, std::size_t limit) {
    for (int i = 0; i < n; ++i) {
        const std::size_t length = texts[i] != nullptr ? std::strlen(texts[i]) : 0;
        if (length <= limit)
            continue;
        if (tvp == nullptr) {
            IDMessage(device, "A text of %zu characters for %s was refused (at most %zu).", length,
                      names[i], limit);
            return true;
        }
        // Sent with the values the property holds, never the refused text.
        tvp->s = IPS_ALERT;
        IDSetText(tvp, "Text for %s (%s) is %zu characters long; at most %zu are taken.",
                  tvp->label, names[i], length, limit);
        return true;
    }
    return false;
}

bool RefuseNonFinite(const char* device, INumberVectorProperty* nvp, const double values[],
                     char* names[], int n) {
    for (int i = 0; i < n; ++i) {
        if (std::isfinite(values[i]))
            continue;
        const INumber* np = nvp != nullptr ? IUFindNumber(nvp, names[i]) : nullptr;
        if (np == nullptr) {
            // A property not defined now (the camera not connected) or an
            // element it lacks: nothing to answer with but a message.
            IDMessage(device, "Error: Invalid value %g for %s: not a number in any range.",
                      values[i], names[i]);
            return true;
        }
        if (std::strcmp(nvp->name, "CCD_EXPOSURE") == 0 ||
            std::strcmp(nvp->name, "GUIDER_EXPOSURE") == 0) {
            nvp->s = IPS_ALERT;
            IDSetNumber(nvp, "Requested %sexposure value (%g) seconds out of bounds [%g,%g].",
                        nvp->name[0] == 'G' ? "guide " : "", values[i], np->min, np->max);
        } else {
            OutOfRange(nvp, np, values[i]);
        }
        return true;
    }
    return false;
}

bool RefuseFrame(INumberVectorProperty* nvp, const double values[], char* names[], int n, int xres,
                 int yres) {
    if (nvp == nullptr)
        return false;
    double x = 0, y = 0, w = 0, h = 0;
    const std::pair<const char*, double*> fields[] = {
        {"X", &x}, {"Y", &y}, {"WIDTH", &w}, {"HEIGHT", &h}};
    for (const auto& [name, v] : fields) {
        const INumber* np = IUFindNumber(nvp, name);
        *v = np != nullptr ? np->value : 0;
    }
    for (int i = 0; i < n; ++i) {
        const INumber* np = IUFindNumber(nvp, names[i]);
        if (np == nullptr)
            return false;  // libindi refuses an unknown element itself
        if (!(values[i] >= np->min && values[i] <= np->max)) {
            OutOfRange(nvp, np, values[i]);
            return true;
        }
        for (const auto& [name, v] : fields)
            if (std::strcmp(names[i], name) == 0)
                *v = values[i];
    }
    if (x < 0 || y < 0 || w < 1 || h < 1 || x + w > xres || y + h > yres) {
        nvp->s = IPS_ALERT;
        IDSetNumber(nvp, "Invalid frame requested (%d,%d) (%d x %d)", static_cast<int>(x),
                    static_cast<int>(y), static_cast<int>(w), static_cast<int>(h));
        return true;
    }
    return false;
}

bool RefuseFraction(INumberVectorProperty* nvp, const double values[], char* names[], int n) {
    if (nvp == nullptr)
        return false;
    for (int i = 0; i < n; ++i) {
        if (values[i] == std::floor(values[i]))
            continue;
        const INumber* np = IUFindNumber(nvp, names[i]);
        nvp->s = IPS_ALERT;
        IDSetNumber(nvp, "%s (%s) takes whole numbers only: %g refused, nothing changed.",
                    np != nullptr ? np->label : names[i], names[i], values[i]);
        return true;
    }
    return false;
}

}  // namespace zeva::indi
