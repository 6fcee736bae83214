// ZEVA_PORTS parsed without opening anything: kinds, the platform's keys,
// where each port sits, and entries that would share registers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/ports.h"

namespace {

using zeva::machine::ParsePortEntries;
using zeva::machine::PortEntry;
using zeva::machine::PortKind;

std::string Refusal(const std::string& text) {
    std::vector<PortEntry> entries;
    std::string error;
    EXPECT_FALSE(ParsePortEntries(text, &entries, &error)) << text;
    return error;
}

void ExpectRefused(const std::string& text, std::initializer_list<const char*> says) {
    const std::string error = Refusal(text);
    for (const char* s : says)
        EXPECT_NE(error.find(s), std::string::npos) << "'" << s << "' in: " << error;
}

TEST(PortEntries, KindsBasesAndTheBackendsShareOfEachEntry) {
    std::vector<PortEntry> e;
    std::string error;
    ASSERT_TRUE(ParsePortEntries(
        " sim:gannet?scene=pattern&base=0x3BC&seed=4 ,/dev/parport0?span=8,io:0xd010", &e, &error))
        << error;
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].kind, PortKind::Simulated);
    EXPECT_EQ(e[0].text, "sim:gannet?scene=pattern&base=0x3BC&seed=4");
    EXPECT_EQ(e[0].backendEntry, "sim:gannet?scene=pattern&seed=4");
    EXPECT_EQ(e[0].base, 0x3BCu);
    EXPECT_EQ(e[1].kind, PortKind::Ppdev);
    EXPECT_EQ(e[1].backendEntry, "/dev/parport0");
    EXPECT_EQ(e[1].base, 0x278u) << "the second position's default";
    EXPECT_EQ(e[1].span, 8u);
    EXPECT_EQ(e[2].kind, PortKind::DirectIo);
    EXPECT_EQ(e[2].address, 0xD010u);
    EXPECT_EQ(e[2].base, 0xD010u) << "an io: port sits at its own address";
}

TEST(PortEntries, EntriesSharingARegisterAreRefusedNamingBoth) {
    ExpectRefused("sim:gannet?base=0x378,sim:heron?base=0x378",
                  {"port entry 2 'sim:heron?base=0x378'", "port entry 1 'sim:gannet?base=0x378'"});
    ExpectRefused("sim:gannet?base=0x378,sim:heron?base=0x379",
                  {"'sim:heron?base=0x379'", "'sim:gannet?base=0x378'", "0x379-0x37B"});
    // The first entry sits at 0x378 by default.
    ExpectRefused("sim:gannet, sim:heron?base=0x37A", {"'sim:heron?base=0x37A'", "'sim:gannet'"});
    // An ECP port at 0x378 decodes 0x778-0x77A.
    ExpectRefused("sim:gannet, io:0x778", {"'io:0x778'", "'sim:gannet'"});
    ExpectRefused("/dev/parport0, io:0x378", {"'io:0x378'", "'/dev/parport0'"});
    ExpectRefused("io:0x378,io:0x378", {"named twice"});
    // An EPP port's span reaches further.
    ExpectRefused("sim:gannet?span=8, sim:heron?base=0x37C", {"port entry 2", "port entry 1"});
    ExpectRefused("sim:egret,sim:egret,sim:egret,sim:heron?base=0x3BC",
                  {"port entry 4", "port entry 3"});

    std::vector<PortEntry> e;
    std::string error;
    EXPECT_TRUE(ParsePortEntries("sim:gannet, sim:heron?base=0x37C", &e, &error)) << error;
    EXPECT_TRUE(ParsePortEntries("sim:gannet, sim:heron, sim:ibis, sim:kestrel", &e, &error))
        << error;
    EXPECT_TRUE(ParsePortEntries("sim:gannet?base=0x278, sim:heron?base=0x378", &e, &error))
        << error;
}

TEST(PortEntries, DefaultBasesOfAnyNumberOfEntriesNeverMeet) {
    // Entries 3 and 7 once met (0x3BC's ECP registers are 0x7BC-0x7BE).
    std::string text = "sim:gannet";
    for (int i = 1; i < 1000; ++i) text += ",sim:egret";
    std::vector<PortEntry> e;
    std::string error;
    ASSERT_TRUE(ParsePortEntries(text, &e, &error)) << error;
    ASSERT_EQ(e.size(), 1000u);
    for (std::size_t i = 0; i < e.size(); ++i)
        for (std::size_t j = i + 1; j < e.size(); ++j)
            ASSERT_FALSE(zeva::machine::PortsOverlap(e[i], e[j])) << i << " and " << j;
    // A base given by hand still meets a default one.
    ExpectRefused(
        "sim:egret,sim:egret,sim:egret,sim:egret,sim:egret,sim:egret,sim:egret?base=0x7BC",
        {"port entry 7", "port entry 3"});
}

TEST(PortEntries, CheckedAsABootWouldWithoutOpeningAPort) {
    std::string error;
    EXPECT_TRUE(zeva::machine::CheckPortEntries("sim:gannet?scene=pattern,/dev/parport7", &error))
        << error;
    for (const auto& [text, says] :
         {std::pair{"sim:ganet", "port entry 'sim:ganet': sim: unknown model 'ganet' (valid: "},
          std::pair{"sim:gannet?scene=fog", "'fog'"}, std::pair{"sim:gannet,usb:0", "'usb:0'"}}) {
        EXPECT_FALSE(zeva::machine::CheckPortEntries(text, &error)) << text;
        EXPECT_NE(error.find(says), std::string::npos) << error;
    }
}

TEST(PortEntries, BadEntriesNameTheValueAndTheValidOnes) {
    ExpectRefused("io:", {"'io:'", "io:0xNNN"});
    ExpectRefused("io:0x10000", {"'0x10000'", "0xFFFF"});
    ExpectRefused("io:lpt1", {"'lpt1'"});
    ExpectRefused("io:-888", {"'-888'"});
    ExpectRefused("io:0x378?base=0x278", {"base= does not apply"});
    ExpectRefused("io:0x378?mode=epp", {"'mode=epp'", "span=N"});
    ExpectRefused("sim:gannet?base=0x1FFFF", {"'0x1FFFF'", "for base"});
    ExpectRefused("sim:gannet?span=", {"for span"});
    ExpectRefused("usb:0", {"'usb:0'", "sim:<camera>", "/dev/parportN", "io:0xNNN"});
    ExpectRefused("sim:gannet,,sim:heron", {"empty port entry"});
    ExpectRefused("sim:gannet,", {"empty port entry"});
}

}  // namespace
