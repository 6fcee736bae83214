// Fuzz target: the INDI driver's property handling.  The driver object lives
// in this process with a simulated Gannet behind it on the virtual clock;
// numbers, switches and texts go to it through ISNewNumber, ISNewSwitch and
// ISNewText as libindidriver would deliver a client's request: known and
// unknown properties and elements, any values (NaN, infinities, huge
// texts).  The driver's XML goes to /dev/null.  Each input starts
// disconnected and ends with a disconnect, so the camera is closed and the
// exposure workers joined between inputs.  Findings are crashes, sanitizer
// reports and hangs.
//
// Input: operations of kind u8 (0 number, 1 switch, 2 text, with the
// property by index in the kind's table), element count u8 (1 to 4), then
// per element an element index u8 and a value (number: 8 bytes, a double;
// switch: 1 byte; text: a length u16, capped, and that many bytes).
#include <fcntl.h>
#include <indidevapi.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kDevice = "ZEVA CCD";

struct Property {
    const char* name;
    std::vector<const char*> elements;
};

const Property kNumbers[] = {
    {"CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE"}},
    {"CCD_FRAME", {"X", "Y", "WIDTH", "HEIGHT"}},
    {"CCD_BINNING", {"HOR_BIN", "VER_BIN"}},
    {"CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE"}},
    {"GUIDER_EXPOSURE", {"GUIDER_EXPOSURE_VALUE"}},
    {"GUIDER_FRAME", {"X", "Y", "WIDTH", "HEIGHT"}},
    {"GUIDER_BINNING", {"HOR_BIN", "VER_BIN"}},
    {"TELESCOPE_TIMED_GUIDE_NS", {"TIMED_GUIDE_N", "TIMED_GUIDE_S"}},
    {"TELESCOPE_TIMED_GUIDE_WE", {"TIMED_GUIDE_W", "TIMED_GUIDE_E"}},
    {"ZEVA_COOLER_CALIBRATION", {"READING_1", "CELSIUS_1", "READING_2", "CELSIUS_2"}},
    {"ZEVA_RELAY_MAP", {"NORTH", "SOUTH", "EAST", "WEST"}},
    {"ZEVA_TIP_TILT", {"TILT_X", "TILT_Y"}},
    {"ZEVA_PULSE_OUT", {"PULSE_COUNT", "PULSE_WIDTH", "PULSE_PERIOD"}},
    {"NO_SUCH_NUMBER", {"X"}},
};
const Property kSwitches[] = {
    {"CONNECTION", {"CONNECT", "DISCONNECT"}},
    {"CCD_COOLER", {"COOLER_ON", "COOLER_OFF"}},
    {"CCD_ABORT_EXPOSURE", {"ABORT"}},
    {"GUIDER_ABORT_EXPOSURE", {"ABORT"}},
    {"CCD_FRAME_TYPE", {"FRAME_LIGHT", "FRAME_BIAS", "FRAME_DARK", "FRAME_FLAT"}},
    {"CCD_FRAME_RESET", {"RESET"}},
    {"UPLOAD_MODE", {"UPLOAD_CLIENT", "UPLOAD_LOCAL", "UPLOAD_BOTH"}},
    {"CONFIG_PROCESS", {"CONFIG_LOAD", "CONFIG_SAVE", "CONFIG_DEFAULT", "CONFIG_PURGE"}},
    {"NO_SUCH_SWITCH", {"ON"}},
};
const Property kTexts[] = {
    {"ZEVA_PORT", {"ENTRY"}},
    {"UPLOAD_SETTINGS", {"UPLOAD_DIR", "UPLOAD_PREFIX"}},
    {"FITS_HEADER", {"FITS_OBSERVER", "FITS_OBJECT"}},
    {"ACTIVE_DEVICES", {"ACTIVE_TELESCOPE", "ACTIVE_FOCUSER"}},
    {"NO_SUCH_TEXT", {"T"}},
};

// Texts up to past the driver's own limits, not to the crash of libindi's
// echo the driver guards against (the harness would only find that again).
constexpr std::size_t kMaxText = 70000;
constexpr int kMaxOperations = 12;

template <std::size_t N>
const Property& Pick(const Property (&table)[N], std::uint8_t index) {
    return table[index % N];
}

const char* ElementName(const Property& p, std::uint8_t index) {
    // Now and then an element the property does not have.
    return index == 0xFF ? "NO_SUCH_ELEMENT" : p.elements[index % p.elements.size()];
}

char* Mutable(const char* text) {
    return const_cast<char*>(text);
}

void Disconnect() {
    ISState off[] = {ISS_OFF, ISS_ON};
    char* names[] = {Mutable("CONNECT"), Mutable("DISCONNECT")};
    ISNewSwitch(kDevice, "CONNECTION", off, names, 2);
}

}  // namespace

// libindidriver 1.9.9 keeps a little memory of some requests for good (its
// own allocations, as installed and not instrumented); leaks of the driver's
// code are still findings.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libindidriver.so\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZEVA_PORTS", "sim:gannet?scene=pattern", 1);
    setenv("ZEVA_CLOCK", "virtual", 1);
    // Saved configurations go to a directory of the run's own.
    char home[] = "/tmp/zeva-fuzz-indi-XXXXXX";
    if (mkdtemp(home) != nullptr)
        setenv("HOME", home, 1);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0)
        dup2(null, STDOUT_FILENO);
    ISGetProperties(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    auto take = [&](std::size_t n) -> const std::uint8_t* {
        if (size - pos < n)
            return nullptr;
        const std::uint8_t* at = data + pos;
        pos += n;
        return at;
    };
    for (int op = 0; op < kMaxOperations; ++op) {
        const std::uint8_t* head = take(3);
        if (head == nullptr)
            break;
        const unsigned kind = head[0] % 3;
        const int n = 1 + head[2] % 4;
        std::vector<std::string> nameStore, textStore;
        std::vector<double> numbers;
        std::vector<ISState> states;
        const Property& p = kind == 0   ? Pick(kNumbers, head[1])
                            : kind == 1 ? Pick(kSwitches, head[1])
                                        : Pick(kTexts, head[1]);
        bool complete = true;
        for (int i = 0; i < n && complete; ++i) {
            const std::uint8_t* e = take(1);
            if (e == nullptr) {
                complete = false;
                break;
            }
            nameStore.emplace_back(ElementName(p, e[0]));
            if (kind == 0) {
                const std::uint8_t* v = take(8);
                double d = 0;
                if (v == nullptr) {
                    complete = false;
                    break;
                }
                std::memcpy(&d, v, sizeof d);
                numbers.push_back(d);
            } else if (kind == 1) {
                const std::uint8_t* v = take(1);
                if (v == nullptr) {
                    complete = false;
                    break;
                }
                states.push_back(v[0] & 1 ? ISS_ON : ISS_OFF);
            } else {
                const std::uint8_t* l = take(2);
                if (l == nullptr) {
                    complete = false;
                    break;
                }
                std::size_t length = (l[0] | l[1] << 8u);
                // A long text is made, not read: one repeated byte.
                if (length > 256) {
                    textStore.emplace_back(std::min(length * 64, kMaxText), 'a' + length % 26);
                } else {
                    const std::uint8_t* t = take(length);
                    if (t == nullptr) {
                        complete = false;
                        break;
                    }
                    textStore.emplace_back(reinterpret_cast<const char*>(t), length);
                    // Up to the first NUL, as a text from the XML parser ends.
                    textStore.back().resize(std::strlen(textStore.back().c_str()));
                }
            }
        }
        if (!complete)
            break;
        std::vector<char*> names;
        for (std::string& s : nameStore) names.push_back(s.data());
        if (kind == 0) {
            ISNewNumber(kDevice, p.name, numbers.data(), names.data(), n);
        } else if (kind == 1) {
            ISNewSwitch(kDevice, p.name, states.data(), names.data(), n);
        } else {
            std::vector<char*> texts;
            for (std::string& s : textStore) texts.push_back(s.data());
            ISNewText(kDevice, p.name, texts.data(), names.data(), n);
        }
    }
    Disconnect();
    return 0;
}
