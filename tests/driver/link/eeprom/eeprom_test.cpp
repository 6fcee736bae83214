#include "driver/link/eeprom.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/errors.h"
#include "common/le.h"
#include "driver/link/micro.h"
#include "support/scripted_micro.h"

namespace zeva::driver {
namespace {

class EepromTest : public test::ScriptedMicroTest {
  protected:
    void SetUp() override {
        // A good image: version 1, type 5, some calibration and text.
        std::uint8_t* e = eeprom;
        for (int i = 0; i < 32; ++i) e[i] = static_cast<std::uint8_t>(0x40 + i);
        e[2] = 1;
        e[3] = 5;
        std::memcpy(e + 22, "HERON\0", 6);
        Seal();
        for (auto& b : image) b = 0xCC;
    }
    void Seal() { le::Put16(eeprom, 0, CalculateEEPROMChecksum(eeprom)); }
    // The camera answers the driver's reads, in address order, from the image.
    NTSTATUS Read() {
        micro.ExpectEepromReads(eeprom);
        return GetEEPROM(state, 4, image);
    }
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
    std::uint8_t eeprom[kEepromSize];
    std::uint8_t image[kEepromSize];
};

TEST_F(EepromTest, GoodImageIsReturnedAsRead) {
    // Reads carry the address with the read bit set, in address order.
    EXPECT_EQ(Read(), 0u);
    EXPECT_EQ(0, std::memcmp(image, eeprom, 32));
}

TEST_F(EepromTest, BlankEepromGetsDefaultImageAndChecksumError) {
    std::memset(eeprom, 0xFF, 32);
    EXPECT_EQ(CalculateEEPROMChecksum(eeprom), 0xE21D);
    EXPECT_EQ(Read(), ErrorStatus(ErrEepromChecksum));
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], 0xFF);
}

TEST_F(EepromTest, CorruptChecksumGetsDefaultImage) {
    eeprom[12] ^= 1;
    EXPECT_EQ(Read(), ErrorStatus(ErrEepromChecksum));
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], eeprom[i]);
}

TEST_F(EepromTest, VersionZeroGetsDefaultImageAndVersionError) {
    eeprom[2] = 0;
    Seal();
    EXPECT_EQ(Read(), ErrorStatus(ErrEepromVersion));
    ExpectDefaultImageKeepingTail();
}

TEST_F(EepromTest, LaterVersionIsKeptButMarkedVersionOne) {
    eeprom[2] = 2;
    Seal();
    EXPECT_EQ(Read(), ErrorStatus(ErrEepromVersion));
    EXPECT_EQ(image[2], 1);
    EXPECT_EQ(image[3], 5);
    EXPECT_EQ(le::Get16(image, 0), le::Get16(eeprom, 0));  // checksum not updated
    EXPECT_EQ(0, std::memcmp(image + 3, eeprom + 3, 29));
}

TEST_F(EepromTest, TimeoutMidwayGivesLinkErrorAndDefaultImageKeepingTail) {
    // The read of address 10 is never answered: nothing is asked after it.
    micro.ExpectEepromReads(eeprom, 10);
    micro.Expect(MicroEepromAccess).With({0x80 | 10, 0}).Fail(test::MicroFault::NoReply);
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrRxTimeout));
    ExpectDefaultImageKeepingTail();
    for (int i = 24; i < 32; ++i) EXPECT_EQ(image[i], 0xCC);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

TEST_F(EepromTest, DefaultImageChecksumIsConsistent) {
    std::memset(eeprom, 0, 32);  // checksum 0 vs computed 0xFFFF
    EXPECT_EQ(Read(), ErrorStatus(ErrEepromChecksum));
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
