// The settings file and the cooler calibration as zeva-alpaca meets them at
// start-up: paths that are no file, numbers that cannot be right, and a
// settings file kept behind a symbolic link.
#include <sys/stat.h>

#include "alpaca/server_fixture.h"

namespace zeva::alpaca::test {
namespace {

struct Refusal {
    int exitCode = -1;  // -1: still running after the bound, and killed
    std::string output;
};

// Starts the server as a process and gives it a few seconds to refuse.
Refusal StartRefused(const fs::path& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {ZEVA_ALPACA_SERVER, "--listen", "127.0.0.1:0", "--sim", "kestrel"});
    const fs::path log = dir / "refused.log";
    const pid_t pid = zeva::test::Spawn(args, dir, log);
    Refusal r;
    r.exitCode = zeva::test::WaitFor(pid, 10);
    r.output = zeva::test::ReadFile(log);
    return r;
}

TEST_F(AlpacaServerTest, SettingsThatCannotBeRightStopTheStartNamingTheFault) {
    const fs::path folder = dir / "folder.json";
    fs::create_directories(folder);
    const fs::path fifo = dir / "fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path file = dir / "settings.json";
    const std::string cal =
        R"({"reading1": 1000, "celsius1": 25, "reading2": 3000, "celsius2": -25})";
    const std::string relays = R"({"north": 0, "south": 1, "east": 2, "west": 3})";
    auto withCamera = [](const std::string& calibration, const std::string& map) {
        return R"({"cameras": {"sim:kestrel": {"cooler_calibration": )" + calibration +
               R"(, "relays": )" + map + "}}}";
    };
    auto replace = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct {
        std::string file;  // written to settings.json when not empty
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        // Paths that are no regular file: refused at once, never read from.
        {"", {"--settings", folder.string()}, folder.string() + ": Is a directory"},
        {"", {"--settings", fifo.string()}, fifo.string() + ": not a regular file"},
        // Relays past 32 bits are not taken modulo 2^32 (4294967296 would be relay 0).
        {withCamera(cal, replace(relays, "\"north\": 0", "\"north\": 4294967296")),
         {},
         "north is 4294967296 (valid: 0 to 3)"},
        {withCamera(cal, replace(relays, "\"west\": 3", "\"west\": 18446744073709551618")),
         {},
         "an output 0 to 3 for west"},
        // Calibrations: temperatures a cooled camera cannot have, readings
        // outside the converter's range or equal.
        {withCamera(replace(cal, "\"celsius2\": -25", "\"celsius2\": -1e308"), relays),
         {},
         "celsius2 -1e+308 C is not plausible"},
        {"",
         {"--calibration", "1000,1e308,3000,-1e308"},
         "bad --calibration '1000,1e308,3000,-1e308': celsius1 1e+308 C is not plausible for a "
         "cooled camera (valid: -100 to 80 C)"},
        {"", {"--calibration", "1000,25,3000,-300"}, "celsius2 -300 C"},
        {"", {"--calibration", "1000,25,4096,-25"}, "reading2 4096 is outside 0 to 4095"},
        {"", {"--calibration", "-1,25,3000,-25"}, "reading1 -1 is outside"},
        {"", {"--calibration", "2000,25,2000,-25"}, "reading1 and reading2 are both 2000"},
        {"", {"--calibration", "1000,-5,3000,-5"}, "celsius1 and celsius2 are both -5"},
    };
    for (const auto& c : cases) {
        fs::remove(file);
        if (!c.file.empty())
            std::ofstream(file) << c.file;
        std::vector<std::string> args = c.args;
        if (args.empty() || args[0] != "--settings")
            args.insert(args.end(), {"--settings", file.string()});
        const Refusal r = StartRefused(dir, args);
        EXPECT_EQ(r.exitCode, 1) << c.says << "\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("serving"), std::string::npos) << r.output;
        if (!c.file.empty()) {
            EXPECT_EQ(zeva::test::ReadFile(file), c.file);  // refused, and left as it was
        }
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(AlpacaServerTest, SettingsBehindASymbolicLinkAreSavedToItsTarget) {
    // The fixture's settings path is a relative link into a folder kept elsewhere.
    fs::create_directories(dir / "kept");
    std::ofstream(dir / "kept" / "zeva.json") << "{}";
    chmod((dir / "kept" / "zeva.json").c_str(), 0600);
    fs::create_symlink("kept/zeva.json", dir / "settings.json");
    Start({"--sim", "kestrel", "--calibration", "1000,20,3000,-30"});
    EXPECT_TRUE(fs::is_symlink(dir / "settings.json"));
    EXPECT_EQ(fs::read_symlink(dir / "settings.json"), "kept/zeva.json");
    const json saved = json::parse(zeva::test::ReadFile(dir / "kept" / "zeva.json"));
    EXPECT_EQ(saved["cameras"]["sim:kestrel"]["cooler_calibration"]["celsius1"], 20.0);
    EXPECT_EQ(fs::status(dir / "kept" / "zeva.json").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    Connect(0);
    EXPECT_NEAR(Value(0, "ccdtemperature").get<double>(), 20.0, 0.5);
}

}  // namespace
}  // namespace zeva::alpaca::test
