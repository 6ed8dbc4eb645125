// `kelvo cameras` and `kelvo record` on a machine without Kelvo cameras.
#include <string>

#include <gtest/gtest.h>

#include "kelvo/cameras.hpp"
#include "kelvo/json.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {

std::string cli() {
    return std::string("'") + KELVO_CLI + "'";
}

int run(const std::string& args, std::string* out) {
    const int status = testing::run_command(cli() + " " + args + " 2>&1", out);
    return status;
}

TEST(CamerasCommand, ListsConnectedCameras) {
    const auto attached = list_connected_kelvo_cameras();
    std::string text;
    ASSERT_EQ(run("cameras", &text), 0) << text;
    std::string json_text;
    ASSERT_EQ(testing::run_command(cli() + " cameras --json", &json_text), 0);
    const Json listed = Json::parse(json_text);
    ASSERT_TRUE(listed.is_array());
    EXPECT_EQ(listed.size(), attached.size());
    if (attached.empty()) {
        EXPECT_NE(text.find("no connected Kelvo cameras"), std::string::npos) << text;
        EXPECT_EQ(json_text, "[]\n");
    } else {
        for (std::size_t i = 0; i < attached.size(); ++i) {
            EXPECT_EQ(listed[i], attached[i].to_dict());
            EXPECT_NE(text.find(attached[i].serial), std::string::npos);
        }
    }
    EXPECT_EQ(run("cameras --bogus", &text), 2);
}

TEST(RecordCommand, FailsCleanlyWithoutTheCamera) {
    testing::TempDir dir("record_cli");
    const std::string out = (dir / "rec.mkv").string();
    std::string text;
    EXPECT_EQ(run("record --serial NO-SUCH-UNIT --out '" + out + "' --seconds 1", &text), 1)
        << text;
    EXPECT_NE(text.find("no connected camera with serial 'NO-SUCH-UNIT'"), std::string::npos)
        << text;
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(run("record --serial NO-SUCH-UNIT --out '" + out + "' --seconds 0", &text), 1)
        << text;
    if (list_connected_kelvo_cameras().empty()) {
        // Without --serial the only attached camera is taken; with none, that is said.
        EXPECT_EQ(run("record --out '" + out + "'", &text), 1) << text;
        EXPECT_NE(text.find("no connected Kelvo cameras found"), std::string::npos) << text;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    struct Case {
        std::string args;
        std::string message;
    };
    // All refused before any camera is looked for.
    const std::vector<Case> usage = {
        {"record --out x.mkv --mode 1x1@1-NOPE", "unknown capture mode '1x1@1-NOPE'"},
        {"record --out x.mkv --set no_such_control=1", "unknown camera control 'no_such_control'"},
        {"record --out x.mkv --set exposure=0", "exposure must be within 1..80000"},
        {"record --serial A", "--out"},
        {"record --serial A --out x.mkv --set exposure", "NAME=VALUE"},
        {"record --serial A --out x.mkv --set exposure=fast", "NAME=VALUE"},
        {"record --serial A --out x.mkv --seconds -2", "--seconds"},
        {"record --serial A --out x.mkv --seconds abc", "--seconds"},
    };
    for (const auto& c : usage) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run(c.args, &text), 2) << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace kelvo
