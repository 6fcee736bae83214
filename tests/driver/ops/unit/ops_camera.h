// The camera operations against the scripted camera behind the platform's
// port: a camera of a given model and EEPROM, linked as a test needs it.
// The camera acknowledges its plain commands, answers its version, EEPROM
// and status; anything else a test scripts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"
#include "driver/ops/link.h"
#include "support/scripted_micro.h"

namespace zeva::driver {

using Bytes = std::vector<std::uint8_t>;

class OpsTest : public test::ScriptedMicroTest {
  protected:
    void SetUp() override {
        state->MiscFan = 1;
        state->MiscShutter = 2;
        state->MiscLed = 1;
        for (std::uint16_t c : {MicroStartExposure, MicroEndExposure, MicroActivateRelay,
                                MicroPulseOut, MicroMiscControl, MicroCommand12})
            micro.Answer(c);
        Status({0, 0, 8});  // shutter status byte within 7..11
    }
    // The camera's status block (two bytes on the single-CCD cameras).
    void Status(Bytes bytes) { micro.Answer(MicroGetStatus).Reply(std::move(bytes)); }
    // A good EEPROM image of the given type byte, answered from now on.
    void GoodEeprom(std::uint8_t type) {
        std::memset(eeprom, 0, sizeof eeprom);
        eeprom[kEepromVersion] = 1;
        eeprom[kEepromCameraType] = type;
        eeprom[kEepromFlag] = 3;
        eeprom[kEepromCount] = 7;
        le::Put16(eeprom, kEepromTrackingGain, 0x0150);
        le::Put16(eeprom, kEepromImagingGain, 0x0250);
        le::Put16(eeprom, kEepromWords, 0x1111);
        le::Put16(eeprom, kEepromWords + 6, 0x4444);
        std::memcpy(eeprom + kEepromText, "ABC", 4);
        le::Put16(eeprom, kEepromChecksum, CalculateEEPROMChecksum(eeprom));
        AnswerEeprom();
    }
    // Answers the EEPROM reads with the image as it now is, checksummed or not.
    void AnswerEeprom() { micro.AnswerEeprom(eeprom); }
    // The version word the microcontroller reports: the model in the top nibble.
    void Model(int model) {
        micro.Answer(MicroGetVersion).Reply({static_cast<std::uint8_t>(model << 4 | 0x1), 0x23});
    }
    NTSTATUS Link() { return EstablishLink(state, link_result); }
    // Links a camera of the given model number (and EEPROM type byte); the
    // record starts empty.
    void LinkAs(int model, int eeprom_type = -1) {
        Model(model);
        if (eeprom_type >= 0)
            GoodEeprom(static_cast<std::uint8_t>(eeprom_type));
        if (model == 1 || model == 3)
            Status({0, 0});
        ASSERT_EQ(Link(), 0u);
        micro.ClearPackets();
        micro.ResetClocking();
    }
    // Platform time in ns that f takes (every port access costs 1 us of it).
    template <typename F>
    std::int64_t ElapsedNs(F f) {
        const std::uint64_t start = micro.NowNs();
        f();
        return static_cast<std::int64_t>(micro.NowNs() - start);
    }

    std::uint8_t eeprom[kEepromSize] = {};
    std::uint8_t link_result[2] = {0xEE, 0xEE};
};

}  // namespace zeva::driver
