// The Visual Basic host wrapper: which library it forwards to, decided at
// each OpenDriver by the platform's version record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/le.h"
#include "libnt/recorder.h"
#include "machine/machine.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Put16;
using zeva::le::Put32;

class VbWrapper : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(recorder::Boot());
        zeva::machine::InstallVirtualDeviceDriver();
        unsetenv("ZEVA_WINDOWS");
        unsetenv("ZEVA_NO_SERVICE");
        unsetenv("ZEVA_NO_VXD");
    }
    void TearDown() override {
        ParDrvCommand(ZEVA_CLOSE_DRIVER, nullptr, nullptr);
        ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, nullptr, nullptr);
        unsetenv("ZEVA_WINDOWS");
        unsetenv("ZEVA_NO_SERVICE");
        unsetenv("ZEVA_NO_VXD");
        zeva::platform::ShutdownSystem();
    }
    // Name and version of the library answering GetDriverInfo request 1.
    std::string AnsweringLibrary() {
        std::uint8_t request[2];
        std::uint8_t info[68] = {};
        Put16(request, 0, 1);
        EXPECT_EQ(ParDrvCommandVB(ZEVA_GET_DRIVER_INFO, request, info), 0u);
        return std::string(reinterpret_cast<const char*>(info + 2)) + " " +
               std::to_string(Get16(info, 0));
    }
};

// Runs first in its process: before any OpenDriver the wrapper uses the
// Windows 95/98 library, also on NT.
TEST_F(VbWrapper, BeforeOpenDriverThe9xLibraryAnswersThenTheNtLibrary) {
    EXPECT_EQ(AnsweringLibrary(), "95/98 DLL Ver 1.02 258");
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(AnsweringLibrary(), "ZEVANT.DLL Ver 1.05 261");
}

TEST_F(VbWrapper, MissingServiceOnNtGives1020) {
    setenv("ZEVA_NO_SERVICE", "1", 1);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 1020u);
    EXPECT_EQ(AnsweringLibrary(), "ZEVANT.DLL Ver 1.05 261");
}

TEST_F(VbWrapper, On9xOpenDriverGoesToTheVirtualDeviceDriver) {
    setenv("ZEVA_WINDOWS", "98", 1);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 21u);
    EXPECT_EQ(AnsweringLibrary(), "95/98 DLL Ver 1.02 258");
    recorder::Last().status = 0xE0000006u;
    std::uint8_t link[2];
    EXPECT_EQ(ParDrvCommandVB(ZEVA_ESTABLISH_LINK, nullptr, link), 6u);  // no offset on this path
    EXPECT_EQ(ParDrvCommandVB(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 20u);
}

TEST_F(VbWrapper, On95AMissingVirtualDeviceDriverGives19) {
    setenv("ZEVA_WINDOWS", "95", 1);
    setenv("ZEVA_NO_VXD", "1", 1);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 19u);
}

TEST_F(VbWrapper, HighCommandBitsCountAsOpenDriverAndPassOn) {
    setenv("ZEVA_WINDOWS", "98", 1);
    ASSERT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    ASSERT_EQ(ParDrvCommandVB(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0u);
    unsetenv("ZEVA_WINDOWS");
    EXPECT_EQ(ParDrvCommandVB(0x10011u, nullptr, nullptr), 0u);
    EXPECT_EQ(AnsweringLibrary(), "ZEVANT.DLL Ver 1.05 261");
}

TEST_F(VbWrapper, BothPathsShareTheOneExclusiveDevice) {
    setenv("ZEVA_WINDOWS", "98", 1);
    ASSERT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    std::uint8_t port[2];
    Put16(port, 0, 1);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 1108u);
    ASSERT_EQ(ParDrvCommandVB(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 0u);
    // Now the NT side holds it: the virtual device driver cannot open.
    EXPECT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 19u);
}

}  // namespace
