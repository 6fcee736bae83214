// Reads every #include "..." of the tree and checks it against the layering
// of the README: a request goes application -> client -> library -> Win32
// calls -> I/O manager -> driver -> port backend, and code depends one way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// What each folder may include besides itself.  A target "dir/file.h" allows
// that one header only.  Folders not listed (tests/, bench/, fuzz/) may
// include anything.
const std::map<std::string, std::set<std::string>>& Allowed() {
    static const std::map<std::string, std::set<std::string>> allowed = {
        {"common", {}},
        {"platform", {"common"}},
        {"driver", {"common", "platform"}},
        {"sim", {"common", "platform"}},
        // What the real-port backends share; each real-port backend stands alone.
        {"realport", {}},
        {"ppdev", {"common", "platform", "realport"}},
        {"portio", {"common", "platform", "realport"}},
        {"machine", {"common", "platform", "driver", "sim", "ppdev", "portio"}},
        // The libraries reach the system through the Win32 calls only.
        {"libnt", {"common", "include", "platform/win32.h"}},
        {"lib9x", {"common", "include", "platform/win32.h"}},
        {"libvb", {"common", "include", "platform/win32.h"}},
        // The client: the libraries' entries, the machine's narrow interface
        // and the camera families.
        {"client", {"common", "include", "machine/machine.h", "driver/camera.h"}},
        {"include", {}},
        // Applications reach nothing below the client.
        {"tools", {"client", "common"}},
        {"indi", {"client", "common"}},
        {"alpaca", {"client", "common"}},
    };
    return allowed;
}

// The folder an include names: "zeva/..." is the public include/ folder.
std::string FolderOf(const std::string& include) {
    const std::string top = include.substr(0, include.find('/'));
    return top == "zeva" ? "include" : top;
}

struct Edge {
    std::string file;
    std::string include;
};

// The quoted name of an `#include "..."` line, or "" for any other line.
std::string QuotedInclude(const std::string& line) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#')
        return "";
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0)
        return "";
    i = line.find_first_not_of(" \t", i + 7);
    if (i == std::string::npos || line[i] != '"')
        return "";
    const std::size_t end = line.find('"', i + 1);
    return end == std::string::npos ? "" : line.substr(i + 1, end - i - 1);
}

std::vector<Edge> ForbiddenEdges(const fs::path& root) {
    std::vector<Edge> forbidden;
    for (const auto& [folder, allowed] : Allowed()) {
        const fs::path dir = root / folder;
        if (!fs::exists(dir))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".c"))
                continue;
            std::ifstream in(entry.path());
            std::string line;
            while (std::getline(in, line)) {
                const std::string inc = QuotedInclude(line);
                if (inc.empty())
                    continue;
                if (inc.find('/') == std::string::npos)
                    continue;  // a header beside the file
                const std::string target = FolderOf(inc);
                if (target == folder || allowed.count(target) != 0 || allowed.count(inc) != 0)
                    continue;
                forbidden.push_back({fs::relative(entry.path(), root).string(), inc});
            }
        }
    }
    return forbidden;
}

TEST(Layering, EveryIncludeFollowsTheLayers) {
    const fs::path root = ZEVA_SOURCE_DIR;
    ASSERT_TRUE(fs::exists(root / "driver")) << root;
    for (const Edge& e : ForbiddenEdges(root))
        ADD_FAILURE() << e.file << " includes \"" << e.include << "\"";
}

// The check itself: a tree with forbidden edges is caught.
TEST(Layering, ForbiddenEdgesAreFound) {
    const fs::path root = fs::temp_directory_path() / ("zeva_layering_" + std::to_string(getpid()));
    fs::create_directories(root / "driver/ops");
    fs::create_directories(root / "tools/zeva");
    fs::create_directories(root / "client");
    std::ofstream(root / "driver/ops/x.cpp")
        << "#include \"sim/camera.h\"\n#include \"common/le.h\"\n";
    std::ofstream(root / "tools/zeva/main.cpp")
        << "  #  include \"platform/win32.h\"\n#include \"client/client.h\"\n";
    std::ofstream(root / "client/c.cpp")
        << "#include \"driver/camera.h\"\n#include \"driver/device_state.h\"\n";
    std::vector<Edge> found = ForbiddenEdges(root);
    fs::remove_all(root);
    std::set<std::string> got;
    for (const Edge& e : found) got.insert(e.file + " " + e.include);
    EXPECT_EQ(got, (std::set<std::string>{"driver/ops/x.cpp sim/camera.h",
                                          "tools/zeva/main.cpp platform/win32.h",
                                          "client/c.cpp driver/device_state.h"}));
}

}  // namespace
