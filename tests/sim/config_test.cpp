// Port entries for the simulator.
#include "sim/config.h"

#include <gtest/gtest.h>

#include "sim/camera.h"
#include "sim/faults.h"

namespace zeva::sim {
namespace {

// Every named fault's option is one the port entry takes, and it sets the
// same state as the fault's run-time switch.
TEST(SimConfig, NamedFaultsAreEntryOptionsAndSwitches) {
    for (const NamedFault& f : kNamedFaults) {
        Options parsed;
        std::string err;
        ASSERT_TRUE(ParseOptions(std::string("sim:gannet?") + f.option, &parsed, &err))
            << f.option << ": " << err;
        Camera camera{Options{}};
        f.set(camera, true);
        const Options& set = camera.options();
        EXPECT_EQ(set.micro, parsed.micro) << f.option;
        EXPECT_EQ(set.busyStuck, parsed.busyStuck) << f.option;
        EXPECT_EQ(set.shutterFault, parsed.shutterFault) << f.option;
        EXPECT_EQ(set.unplugged, parsed.unplugged) << f.option;
        if (!f.powerUpOnly)
            EXPECT_EQ(parsed.eeprom, EepromImage::Good) << f.option;
        else
            EXPECT_NE(parsed.eeprom, EepromImage::Good) << f.option;
        f.set(camera, false);
        EXPECT_EQ(camera.options().micro, MicroFault::Ok) << f.option;
        EXPECT_FALSE(camera.options().busyStuck || camera.options().shutterFault ||
                     camera.options().unplugged)
            << f.option;
    }
}

TEST(SimConfig, ParsesModelAndEveryOption) {
    Options o;
    std::string err;
    ASSERT_TRUE(ParseOptions(
        "sim:jacana?scene=pattern&seed=42&eeprom=badsum&eeprom-type=12&micro=nak&busy=stuck"
        "&shutter=fault&unplugged&latency=3&base=0x278",
        &o, &err))
        << err;
    EXPECT_EQ(o.model, Model::Jacana);
    EXPECT_EQ(o.scene, Scene::Pattern);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.eeprom, EepromImage::BadSum);
    EXPECT_EQ(o.eepromType, 12);
    EXPECT_EQ(o.micro, MicroFault::Nak);
    EXPECT_TRUE(o.busyStuck);
    EXPECT_TRUE(o.shutterFault);
    EXPECT_TRUE(o.unplugged);
    EXPECT_EQ(o.latency, 3u);
}

TEST(SimConfig, DefaultsWithoutQuery) {
    Options o;
    std::string err;
    ASSERT_TRUE(ParseOptions("sim:siskin", &o, &err));
    EXPECT_EQ(o.model, Model::Siskin);
    EXPECT_EQ(o.scene, Scene::Stars);
    EXPECT_EQ(o.micro, MicroFault::Ok);
    EXPECT_FALSE(o.unplugged);
}

TEST(SimConfig, ErrorsNameTheBadValueAndTheValidOnes) {
    struct Case {
        const char* entry;
        const char* bad;
        const char* valid;
    } cases[] = {
        {"sim:osprey", "osprey", "gannet"},
        {"sim:gannet?scene=galaxy", "galaxy", "pattern"},
        {"sim:gannet?micro=sleepy", "sleepy", "badlength"},
        {"sim:gannet?eeprom=torn", "torn", "version2"},
        {"sim:gannet?busy=maybe", "maybe", "stuck"},
        {"sim:gannet?shutter=open", "open", "fault"},
        {"sim:gannet?colour=red", "colour", "latency"},
        {"sim:gannet?latency=-1", "-1", "0 to"},
        {"sim:gannet?eeprom-type=300", "300", "255"},
        {"sim:gannet?seed=x1", "x1", "number"},
        {"sim:gannet?guide-rate=fast", "fast", "0 to 4"},
        {"sim:gannet?focal-length=-5", "-5", "100000"},
        {"sim:gannet?drift-dec=nan", "nan", "-3600"},
        {"sim:gannet?pe-period=0", "0", "1 to 86400"},
        {"sim:gannet?port-ns=1e3", "1e3", "number"},
        {"sim:gannet?pe", "pe", "pe-amplitude"},
    };
    for (const Case& c : cases) {
        const platform::BackendResult r = MakeBackend(c.entry);
        EXPECT_EQ(r.backend, nullptr) << c.entry;
        EXPECT_NE(r.error.find(c.bad), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(c.valid), std::string::npos) << r.error;
    }
}

TEST(SimConfig, MountAndPaceOptions) {
    Options o;
    std::string err;
    ASSERT_TRUE(ParseOptions("sim:gannet", &o, &err));
    // Defaults: a telescope guided at half the sidereal rate; no drift, no
    // periodic error, no pace.
    EXPECT_EQ(o.mount.guideRate, 0.5);
    EXPECT_GT(o.mount.focalLengthMm, 0.0);
    EXPECT_EQ(o.mount.driftRa, 0.0);
    EXPECT_EQ(o.mount.driftDec, 0.0);
    EXPECT_EQ(o.mount.peAmplitude, 0.0);
    EXPECT_EQ(o.portNs, 0u);
    ASSERT_TRUE(
        ParseOptions("sim:gannet?guide-rate=0.25&focal-length=400&drift-ra=-1.5"
                     "&drift-dec=2&pe-amplitude=7.5&pe-period=600&port-ns=1000",
                     &o, &err))
        << err;
    EXPECT_EQ(o.mount.guideRate, 0.25);
    EXPECT_EQ(o.mount.focalLengthMm, 400.0);
    EXPECT_EQ(o.mount.driftRa, -1.5);
    EXPECT_EQ(o.mount.driftDec, 2.0);
    EXPECT_EQ(o.mount.peAmplitude, 7.5);
    EXPECT_EQ(o.mount.pePeriod, 600.0);
    EXPECT_EQ(o.portNs, 1000u);
}

TEST(SimConfig, MakeBackendBuildsTheModel) {
    platform::BackendResult r = MakeBackend("sim:finch?eeprom-type=9");
    ASSERT_NE(r.backend, nullptr) << r.error;
    auto* cam = dynamic_cast<Camera*>(r.backend.get());
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(cam->info().type, 8);
    EXPECT_EQ(cam->Eeprom()[3], 9);
    EXPECT_EQ(cam->Read(0x402), 0x15);
}

}  // namespace
}  // namespace zeva::sim
