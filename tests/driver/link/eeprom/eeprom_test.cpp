#include "driver/link/eeprom.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/errors.h"
#include "common/le.h"
#include "driver/link/micro/fake_camera.h"

namespace zeva::driver {
namespace {

class EepromTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::g_camera = &camera;
        state = test::NewState();
        // A good image: version 1, type 5, some calibration and text.
        std::uint8_t* e = camera.eeprom;
        for (int i = 0; i < 32; ++i) e[i] = static_cast<std::uint8_t>(0x40 + i);
        e[2] = 1;
        e[3] = 5;
        std::memcpy(e + 22, "ST-7\0", 5);
        Seal();
        for (auto& b : image) b = 0xCC;
    }
    void Seal() { le::Put16(camera.eeprom, 0, CalculateEEPROMChecksum(camera.eeprom)); }
    void ExpectDefaultImageKeepingTail() {
        EXPECT_EQ(image[2], 1);
        EXPECT_EQ(image[3], 4);
        EXPECT_EQ(image[4], 0);
        EXPECT_EQ(image[5], 0);
        EXPECT_EQ(le::Get16(image, 6), 0);
        EXPECT_EQ(le::Get16(image, 8), 0x0130);
        EXPECT_EQ(le::Get16(image, 10), 0);
        EXPECT_EQ(le::Get16(image, 12), 0x0230);
        for (int i = 14; i < 22; ++i) EXPECT_EQ(image[i], 0) << i;
        EXPECT_EQ(image[22], '-');
        EXPECT_EQ(image[23], 0);
        EXPECT_EQ(le::Get16(image, 0), CalculateEEPROMChecksum(image));
    }
    test::FakeCamera camera;
    DeviceState* state = nullptr;
    std::uint8_t image[kEepromSize];
};

TEST_F(EepromTest, GoodImageIsReturnedAsRead) {
    EXPECT_EQ(GetEEPROM(state, 4, image), 0u);
    EXPECT_EQ(0, std::memcmp(image, camera.eeprom, 32));
    ASSERT_EQ(camera.packets.size(), 32u);
    // Reads carry the address with the read bit set.
    EXPECT_EQ(camera.packets[31][4] * 16 + camera.packets[31][5], 0x80 | 31);
}

TEST_F(EepromTest, BlankEepromGetsDefaultImageAndChecksumError) {
    std::memset(camera.eeprom, 0xFF, 32);
    EXPECT_EQ(CalculateEEPROMChecksum(camera.eeprom), 0xE21D);
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromChecksum));
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], 0xFF);
}

TEST_F(EepromTest, CorruptChecksumGetsDefaultImage) {
    camera.eeprom[12] ^= 1;
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromChecksum));
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], camera.eeprom[i]);
}

TEST_F(EepromTest, VersionZeroGetsDefaultImageAndVersionError) {
    camera.eeprom[2] = 0;
    Seal();
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromVersion));
    ExpectDefaultImageKeepingTail();
}

TEST_F(EepromTest, LaterVersionIsKeptButMarkedVersionOne) {
    camera.eeprom[2] = 2;
    Seal();
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromVersion));
    EXPECT_EQ(image[2], 1);
    EXPECT_EQ(image[3], 5);
    EXPECT_EQ(le::Get16(image, 0), le::Get16(camera.eeprom, 0));  // checksum not updated
    EXPECT_EQ(0, std::memcmp(image + 3, camera.eeprom + 3, 29));
}

TEST_F(EepromTest, TimeoutMidwayGivesLinkErrorAndDefaultImageKeepingTail) {
    camera.eeprom_fail_address = 10;
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(camera.packets.size(), 11u);  // stopped at the failing read
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], 0xCC);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

TEST_F(EepromTest, DefaultImageChecksumIsConsistent) {
    std::memset(camera.eeprom, 0, 32);  // checksum 0 vs computed 0xFFFF
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromChecksum));
    EXPECT_EQ(le::Get16(image, 0), CalculateEEPROMChecksum(image));
}

TEST_F(EepromTest, SerialChecksumSumsAllButTheLastByte) {
    const std::uint8_t bytes[9] = {0xA5, 0x10, 0x05, 0x01, 0x00, 0x80, 0x00, 0x80, 0x77};
    state->TipTiltSerialRecord.Count = 9;
    std::memcpy(state->TipTiltSerialRecord.Bytes, bytes, 9);
    EXPECT_EQ(CalculateSerialChecksum(state), 0xBB);
    state->TipTiltSerialRecord.Count = 1;
    EXPECT_EQ(CalculateSerialChecksum(state), 0);
    state->TipTiltSerialRecord.Count = 0;
    EXPECT_EQ(CalculateSerialChecksum(state), 0);
    state->TipTiltSerialRecord.Count = 3;
    EXPECT_EQ(CalculateSerialChecksum(state), 0xB5);
    // A count beyond the record sums only the bytes the record holds.
    state->TipTiltSerialRecord.Count = 200;
    EXPECT_EQ(CalculateSerialChecksum(state), static_cast<std::uint8_t>(0xBB + 0x77));
}

}  // namespace
}  // namespace zeva::driver
