// zeva info: the camera, its readout modes, EEPROM and cooler.
#include <cstdio>
#include <cstring>

#include "client/explain.h"
#include "client/plan.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

int CmdInfo(const Global& g, int argc, char** argv) {
    if (argc > 0) {
        if (std::strcmp(argv[0], "--help") == 0) {
            std::printf(
                "usage: zeva info\n  camera name and type, firmware, readout modes, EEPROM, "
                "cooler\n");
            return 0;
        }
        return Fail(std::string("info: unexpected argument '") + argv[0] + "'");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    const unsigned ccds = HasTrackingCcd(s.type) ? 2 : 1;
    for (unsigned ccd = 0; ccd < ccds; ++ccd) {
        CcdInfo info;
        Status st = s.camera.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info);
        if (!st.ok())
            return FailStatus("reading the CCD information", st);
        if (ccd == 0)
            std::printf("camera: %s (type %u), firmware %u\n", info.name.c_str(), info.cameraType,
                        info.firmwareVersion);
        std::printf("%s CCD: %zu readout modes\n", ccd == 0 ? "imaging" : "tracking",
                    info.modes.size());
        for (const ReadoutModeInfo& m : info.modes) {
            std::printf("  mode %u: %u x ", m.mode, m.width);
            if (m.height)
                std::printf("%u", m.height);
            else
                std::printf("(rows/V)");
            std::printf(" pixels, %.2f x %.2f um, gain %.2f e-/ADU\n", BcdHundredths(m.pixelWidth),
                        BcdHundredths(m.pixelHeight), BcdHundredths(m.gain));
        }
    }
    if (!IsSingleCcd(s.type)) {
        EepromInfo e;
        Status st = s.camera.GetEepromInfo(&e);
        if (st.ok())
            std::printf("eeprom: count %u, words %04X %04X %04X %04X, flag %u, id '%s'\n", e.count,
                        e.words[0], e.words[1], e.words[2], e.words[3], e.flag,
                        e.identification.c_str());
        else
            std::printf("eeprom: %s\n", Explain(st).c_str());
    }
    TemperatureStatus t;
    Status st = s.camera.QueryTemperatureStatus(&t);
    if (st.ok())
        PrintTemperature(t);
    else
        std::printf("cooler: %s\n", Explain(st).c_str());
    return 0;
}

}  // namespace zeva::tool
