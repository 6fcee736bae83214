// The one table of what errors mean to the user, and the EEPROM check.
#include "client/explain.h"

#include <gtest/gtest.h>

#include "common/errors.h"

namespace zeva::client {
namespace {

Status StatusOf(std::uint16_t code) {
    return Status(ErrorStatus(code));
}

TEST(Explain, EveryCodeTheSystemReturnsHasAMeaning) {
    for (unsigned code = 1; code <= 0xFFFF; ++code) {
        if (ErrorName(static_cast<std::uint16_t>(code)) == nullptr)
            continue;
        EXPECT_NE(ExplanationOf(static_cast<std::uint16_t>(code)).meaning, nullptr)
            << "code " << code << " (" << ErrorName(static_cast<std::uint16_t>(code)) << ")";
    }
}

TEST(Explain, CameraThatDoesNotAnswerAsksAboutCableAndPower) {
    EXPECT_EQ(Explain(StatusOf(ErrTxTimeout)),
              "the camera does not answer (ErrTxTimeout (error 7)): is it plugged in and powered?");
    // A camera that answered with a model this software does not know: no cable advice.
    EXPECT_EQ(Explain(StatusOf(ErrCameraNotFound)),
              "a camera answered with a model number this software does not support "
              "(ErrCameraNotFound (error 18))");
    EXPECT_EQ(Explain(StatusOf(ErrShutter)), "the shutter reports a fault (ErrShutter (error 17))");
}

TEST(Explain, ValueWithoutACodeIsDescribedAsItIs) {
    const Status platform(5);  // a platform error number, no driver code
    EXPECT_EQ(Explain(platform), platform.Describe());
}

TEST(CheckEeprom, OnlyTheDriversDefaultImageCountsAsFailed) {
    EepromInfo def;
    def.identification = "-";
    EXPECT_TRUE(IsDefaultEepromImage(def));
    EepromInfo named = def;
    named.identification = "K-1042";
    EXPECT_FALSE(IsDefaultEepromImage(named));
    EepromInfo counted = def;
    counted.count = 3;
    EXPECT_FALSE(IsDefaultEepromImage(counted));
}

}  // namespace
}  // namespace zeva::client
